#include "nntp/mime.h"

#include <algorithm>
#include <cstdint>

#include "fido/charset.h"
#include "support/text.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
// The longest line RFC 5322 allows, without its CRLF.
constexpr size_t kMaxLineBytes = 998;
// An encoded-word's limit, and the limit of a header line that holds encoded-words.
constexpr size_t kMaxEncodedWord = 75;
constexpr size_t kMaxEncodedLine = 76;
constexpr std::string_view kWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldCase(x) == foldCase(y); });
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isWhitespace(char c) { return isBlank(c) || c == '\r' || c == '\n'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// One line of a text: its bytes and its line end (CRLF, LF, or none for a last line
// without one).
struct Line {
    std::string_view text;
    std::string_view end;
    bool ended() const { return !end.empty(); }
};

// The lines of a text whose lines end with CRLF or LF. A text that ends with a line end
// has no empty line after it.
std::vector<Line> splitCrLfLines(std::string_view text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back({text.substr(start), {}});
            break;
        }
        bool crlf = nl > start && text[nl - 1] == '\r';
        lines.push_back({text.substr(start, nl - start - crlf), text.substr(nl - crlf, 1 + crlf)});
        start = nl + 1;
    }
    return lines;
}

bool isControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

std::string controlsAsSpaces(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (isControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

bool isPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\t' || (c >= 0x20 && c < 0x7F); });
}

// ---------------------------------------------------------------------------------------
// Encoded-words

// The parts of "=?charset?E?text?=" starting at `at`; `end` is just after it.
struct EncodedWord {
    std::string_view charset;
    char encoding = 0;
    std::string_view text;
    size_t end = 0;
};

bool parseEncodedWord(std::string_view value, size_t at, EncodedWord& w) {
    size_t charsetEnd = value.find('?', at + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd == at + 2 || charsetEnd + 2 >= value.size()) return false;
    if (value[charsetEnd + 2] != '?') return false;
    size_t textEnd = value.find('?', charsetEnd + 3);
    if (textEnd == std::string_view::npos || textEnd + 1 >= value.size() || value[textEnd + 1] != '=') return false;
    w.charset = value.substr(at + 2, charsetEnd - at - 2);
    w.encoding = foldCase(value[charsetEnd + 1]);
    w.text = value.substr(charsetEnd + 3, textEnd - charsetEnd - 3);
    w.end = textEnd + 2;
    auto hasWhitespace = [](std::string_view s) { return std::any_of(s.begin(), s.end(), isWhitespace); };
    return (w.encoding == 'b' || w.encoding == 'q') && !hasWhitespace(w.charset) && !hasWhitespace(w.text);
}

bool decodeQ(std::string_view text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            bytes += ' ';
        } else if (text[i] != '=') {
            bytes += text[i];
        } else {
            if (i + 2 >= text.size()) return false;
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            bytes += char(hi * 16 + lo);
            i += 2;
        }
    }
    return true;
}

// Decoded encoded-words in a row with the same charset, converted together.
struct WordRun {
    const Charset* charset = nullptr;
    std::string bytes;

    void flushInto(std::string& out) {
        if (!charset) return;
        std::string utf8 = decodeToUtf8(bytes, charset->iconvName);
        for (char& c : utf8)
            if (c == '\r' || c == '\n' || c == '\0') c = ' ';
        out += utf8;
        charset = nullptr;
        bytes.clear();
    }
};

// UTF-8 as encoded-words of base64: the first with room for `firstRoom` characters, the
// others 75, none cutting a character.
std::string encodedWords(std::string_view utf8, size_t firstRoom) {
    std::string out;
    size_t room = std::min(firstRoom, kMaxEncodedWord);
    while (!utf8.empty()) {
        size_t overhead = kWordStart.size() + kWordEnd.size();
        size_t payload = room > overhead ? (room - overhead) / 4 * 3 : 0;
        size_t take = 0;
        while (take < utf8.size()) {
            size_t n;
            utf8CodePoint(utf8.substr(take), n);
            n = std::max<size_t>(n, 1);  // a byte that is not UTF-8 goes alone
            if (take > 0 && take + n > payload) break;
            take += n;
        }
        if (!out.empty()) out += "\r\n ";
        out += kWordStart;
        out += encodeBase64(utf8.substr(0, take));
        out += kWordEnd;
        utf8.remove_prefix(take);
        room = kMaxEncodedWord;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// format=flowed

bool needsStuffing(std::string_view line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '>' || line.substr(0, 5) == "From ");
}

// Where a line too long for `width` characters is broken: just after the last space that
// keeps it within the width, else just after the first space at all; a word without one
// within the line's bytes is cut there, at a character boundary.
size_t breakPoint(std::string_view line, size_t stuffing, size_t width) {
    const size_t byteRoom = kMaxLineBytes - stuffing;
    size_t columns = stuffing, lastSpace = std::string_view::npos;
    for (size_t i = 0; i < std::min(line.size(), byteRoom) && columns < width; ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        ++columns;
        if (line[i] == ' ') lastSpace = i;
    }
    if (lastSpace != std::string_view::npos) return lastSpace + 1;
    size_t firstSpace = line.substr(0, byteRoom).find(' ');
    if (firstSpace != std::string_view::npos) return firstSpace + 1;
    if (line.size() <= byteRoom) return line.size();
    size_t cut = utf8Prefix(line, byteRoom).size();
    return byteRoom - cut > 3 ? byteRoom : cut;  // no character that long: not UTF-8, cut at the limit
}

// ---------------------------------------------------------------------------------------
// Content-Type

bool isTokenChar(char c) {
    return c > 0x20 && c < 0x7F && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// The value with its comments (in parentheses, nested, outside quoted strings) as spaces.
std::string withoutComments(std::string_view value) {
    std::string out;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\' && (quoted || depth > 0) && i + 1 < value.size()) {
            if (!depth) out.append(value.substr(i, 2));
            ++i;
        } else if (depth > 0) {
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            if (depth == 0) out += ' ';
        } else if (c == '"') {
            quoted = !quoted;
            out += c;
        } else if (c == '(' && !quoted) {
            depth = 1;
        } else {
            out += c;
        }
    }
    return out;
}

// A small reader over a header value for the Content-Type grammar.
struct Reader {
    std::string_view s;
    size_t at = 0;

    void skipBlanks() {
        while (at < s.size() && isBlank(s[at])) ++at;
    }
    bool take(char c) {
        skipBlanks();
        if (at >= s.size() || s[at] != c) return false;
        ++at;
        return true;
    }
    std::string_view token() {
        skipBlanks();
        size_t start = at;
        while (at < s.size() && isTokenChar(s[at])) ++at;
        return s.substr(start, at - start);
    }
    // A token or a quoted string, unquoted (an unclosed one ends with the value).
    std::string value() {
        skipBlanks();
        if (at >= s.size() || s[at] != '"') return std::string(token());
        std::string v;
        for (++at; at < s.size() && s[at] != '"'; ++at) {
            if (s[at] == '\\' && at + 1 < s.size()) ++at;
            v += s[at];
        }
        if (at < s.size()) ++at;
        return v;
    }
};

std::string lowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = foldCase(c);
    return out;
}

}  // namespace

std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const Line& line : splitCrLfLines(text)) {
        std::string_view content = line.text;
        while (!content.empty() && isBlank(content.back())) content.remove_suffix(1);
        bool softBreak = !content.empty() && content.back() == '=';
        if (softBreak) content.remove_suffix(1);
        for (size_t i = 0; i < content.size(); ++i) {
            int hi = -1, lo = -1;
            if (content[i] == '=' && i + 2 < content.size()) {
                hi = hexValue(content[i + 1]);
                lo = hexValue(content[i + 2]);
            }
            if (hi >= 0 && lo >= 0) {
                out += char(hi * 16 + lo);
                i += 2;
            } else {
                out += content[i];
            }
        }
        if (!softBreak) out += line.end;
    }
    return out;
}

bool decodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int pending = 0, count = 0;
    for (char c : text) {
        if (c == '=') break;
        if (isWhitespace(c) || c == '\f' || c == '\v') continue;
        int v = base64Value(c);
        if (v < 0) return false;
        bits = (bits << 6 | uint32_t(v)) & 0xFFFFFF;
        pending += 6;
        ++count;
        if (pending >= 8) {
            pending -= 8;
            bytes += char((bits >> pending) & 0xFF);
        }
    }
    return count % 4 != 1;
}

std::string encodeBase64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

std::string decodeHeaderValue(std::string_view value) {
    std::string out;
    WordRun run;
    size_t literalStart = 0, at = 0;
    std::string bytes;
    while ((at = value.find("=?", at)) != std::string_view::npos) {
        EncodedWord w;
        const Charset* charset = nullptr;
        if (parseEncodedWord(value, at, w))
            charset = findMimeCharset(w.charset.substr(0, w.charset.find('*')));
        if (!charset || !(w.encoding == 'b' ? decodeBase64(w.text, bytes) : decodeQ(w.text, bytes))) {
            ++at;
            continue;
        }
        std::string_view between = value.substr(literalStart, at - literalStart);
        bool adjacent = run.charset && std::all_of(between.begin(), between.end(), isWhitespace);
        if (!adjacent || run.charset != charset) run.flushInto(out);
        if (!adjacent) out += between;
        run.charset = charset;
        run.bytes += bytes;
        literalStart = at = w.end;
    }
    run.flushInto(out);
    out += value.substr(literalStart);
    return out;
}

std::string encodeHeaderValue(std::string_view utf8, size_t nameLength) {
    std::string clean = controlsAsSpaces(utf8);
    if (isPrintableAscii(clean) && clean.find("=?") == std::string::npos) return clean;
    size_t used = nameLength + 2;  // "Name: "
    return encodedWords(clean, used < kMaxEncodedLine ? kMaxEncodedLine - used : 0);
}

std::string displayNamePhrase(std::string_view utf8, size_t nameLength) {
    std::string name = controlsAsSpaces(utf8);
    if (name.empty()) return name;
    if (!isPrintableAscii(name) || name.find("=?") != std::string::npos) return encodeHeaderValue(name, nameLength);
    auto isAtext = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    };
    bool atoms = name.front() != ' ' && name.back() != ' ' && name.find("  ") == std::string::npos &&
                 std::all_of(name.begin(), name.end(), [&](char c) { return c == ' ' || isAtext(c); });
    if (atoms) return name;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

std::string decodeFlowed(std::string_view body, bool delSp) {
    std::string out;
    out.reserve(body.size());
    std::string paragraph;
    size_t depth = 0;
    bool open = false;
    auto close = [&](bool ended) {
        if (depth > 0) out += std::string(depth, '>') + (paragraph.empty() ? "" : " ");
        out += paragraph;
        if (ended) out += kCrLf;
        paragraph.clear();
        open = false;
    };
    const std::vector<Line> lines = splitCrLfLines(body);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view content = lines[i].text;
        size_t quotes = 0;
        while (quotes < content.size() && content[quotes] == '>') ++quotes;
        content.remove_prefix(quotes);
        if (!content.empty() && content[0] == ' ') content.remove_prefix(1);
        bool signature = content == "-- ";
        bool soft = !signature && !content.empty() && content.back() == ' ';
        if (open && (quotes != depth || signature)) close(true);
        depth = quotes;
        open = true;
        if (soft && delSp) content.remove_suffix(1);
        paragraph += content;
        if (!soft || i + 1 == lines.size()) close(lines[i].ended());
    }
    return out;
}

std::string encodeFlowed(std::string_view text, size_t width) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (const Line& line : splitCrLfLines(text)) {
        std::string_view rest = line.text;
        if (rest != "-- ")
            while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
        for (;;) {
            size_t stuffing = needsStuffing(rest) ? 1 : 0;
            bool fits = rest == "-- " || (stuffing + rest.size() <= kMaxLineBytes && stuffing + utf8Length(rest) <= width);
            size_t cut = fits ? rest.size() : breakPoint(rest, stuffing, width);
            if (stuffing) out += ' ';
            out += rest.substr(0, cut);
            rest.remove_prefix(cut);
            if (rest.empty()) {
                if (line.ended()) out += kCrLf;
                break;
            }
            out += kCrLf;
        }
    }
    return out;
}

const std::string* PostedArticle::find(std::string_view name) const {
    for (const HeaderField& f : fields)
        if (equalsIgnoringCase(f.name, name)) return &f.value;
    return nullptr;
}

std::vector<std::string_view> PostedArticle::all(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const HeaderField& f : fields)
        if (equalsIgnoringCase(f.name, name)) values.push_back(f.value);
    return values;
}

bool parseArticle(std::string_view article, PostedArticle& out, std::string& error) {
    out = PostedArticle{};
    error.clear();
    size_t at = 0, lineNumber = 0;
    while (at < article.size()) {
        size_t nl = article.find('\n', at);
        std::string_view line = article.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
        at = nl == std::string_view::npos ? article.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lineNumber;
        if (line.empty()) {
            out.body = std::string(article.substr(at));
            break;
        }
        if (isBlank(line[0])) {
            if (out.fields.empty()) {
                error = "line " + std::to_string(lineNumber) + " continues a header field that has not begun";
                return false;
            }
            out.fields.back().value += line;
            continue;
        }
        size_t colon = line.find(':');
        std::string_view name = trimBlanks(line.substr(0, colon));
        bool nameOk = colon != std::string_view::npos && !name.empty() &&
                      std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F; });
        if (!nameOk) {
            error = "line " + std::to_string(lineNumber) + " is not a header field (Name: value)";
            return false;
        }
        out.fields.push_back({std::string(name), std::string(line.substr(colon + 1))});
    }
    for (HeaderField& f : out.fields) f.value = std::string(trimBlanks(f.value));
    return true;
}

ContentType parseContentType(std::string_view value) {
    const std::string text = withoutComments(value);
    Reader r{text};
    std::string_view type = r.token();
    if (type.empty() || !r.take('/')) return {};
    std::string_view subtype = r.token();
    if (subtype.empty()) return {};
    ContentType ct;
    ct.type = lowerCase(type);
    ct.subtype = lowerCase(subtype);
    while (r.take(';')) {
        std::string_view name = r.token();
        if (name.empty() || !r.take('=')) break;
        std::string v = r.value();
        if (equalsIgnoringCase(name, "charset")) {
            ct.charset = v;
        } else if (equalsIgnoringCase(name, "format")) {
            ct.flowed = equalsIgnoringCase(v, "flowed");
        } else if (equalsIgnoringCase(name, "delsp")) {
            ct.delSp = equalsIgnoringCase(v, "yes");
        }
    }
    return ct;
}

TransferEncoding parseTransferEncoding(std::string_view value) {
    std::string text = withoutComments(value);
    std::string_view v = trimBlanks(text);
    if (v.empty() || equalsIgnoringCase(v, "7bit")) return TransferEncoding::SevenBit;
    if (equalsIgnoringCase(v, "8bit")) return TransferEncoding::EightBit;
    if (equalsIgnoringCase(v, "binary")) return TransferEncoding::Binary;
    if (equalsIgnoringCase(v, "quoted-printable")) return TransferEncoding::QuotedPrintable;
    if (equalsIgnoringCase(v, "base64")) return TransferEncoding::Base64;
    return TransferEncoding::Unknown;
}
