#include "nntp/mime.h"

#include <algorithm>
#include <cstdint>

#include "support/text.h"

namespace {

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
