#include "client/lib/charset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdio>

namespace qclient {

namespace {

// The charset identifiers of FidoNet's CHRS kludge with their levels: 1 for 7-bit sets,
// 2 for 8-bit sets, 4 for UTF-8.
constexpr Charset kCharsets[] = {
    {"ASCII", 1, "ASCII"},          {"CP437", 2, "CP437"},           {"CP850", 2, "CP850"},
    {"CP852", 2, "CP852"},          {"CP866", 2, "CP866"},           {"CP1250", 2, "CP1250"},
    {"CP1251", 2, "CP1251"},        {"CP1252", 2, "CP1252"},         {"CP10000", 2, "MACINTOSH"},
    {"LATIN-1", 2, "ISO-8859-1"},   {"LATIN-2", 2, "ISO-8859-2"},    {"LATIN-5", 2, "ISO-8859-9"},
    {"LATIN-9", 2, "ISO-8859-15"},  {"KOI8-R", 2, "KOI8-R"},         {"KOI8-U", 2, "KOI8-U"},
    {"UTF-8", 4, "UTF-8"},
};

struct Alias {
    const char* alias;
    const char* name;
};
// Other names that messages and people use for the same sets. IBMPC is the old name of
// the IBM PC's own code page; "+7_FIDO" and "ALT" the old names of CP866 in the
// Russian-speaking networks.
constexpr Alias kAliases[] = {
    {"US-ASCII", "ASCII"},       {"IBMPC", "CP437"},          {"IBM437", "CP437"},
    {"CP-437", "CP437"},         {"437", "CP437"},            {"IBM850", "CP850"},
    {"CP-850", "CP850"},         {"IBM852", "CP852"},         {"CP-852", "CP852"},
    {"+7_FIDO", "CP866"},        {"+7", "CP866"},             {"ALT", "CP866"},
    {"IBM866", "CP866"},         {"CP-866", "CP866"},         {"866", "CP866"},
    {"WINDOWS-1250", "CP1250"},  {"WINDOWS-1251", "CP1251"},  {"WINDOWS-1252", "CP1252"},
    {"MAC", "CP10000"},          {"MACINTOSH", "CP10000"},    {"ISO-8859-1", "LATIN-1"},
    {"ISO8859-1", "LATIN-1"},    {"ISO_8859-1", "LATIN-1"},   {"LATIN1", "LATIN-1"},
    {"ISO-8859-2", "LATIN-2"},   {"ISO8859-2", "LATIN-2"},    {"LATIN2", "LATIN-2"},
    {"ISO-8859-9", "LATIN-5"},   {"ISO8859-9", "LATIN-5"},    {"LATIN5", "LATIN-5"},
    {"ISO-8859-15", "LATIN-9"},  {"ISO8859-15", "LATIN-9"},   {"LATIN9", "LATIN-9"},
    {"KOI8R", "KOI8-R"},         {"KOI8U", "KOI8-U"},         {"UTF8", "UTF-8"},
};

constexpr const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Length of the UTF-8 sequence that a lead byte begins (1 for a byte that begins none).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

// The code point of a valid sequence at the start of s; 0 when there is none.
uint32_t firstCodePoint(std::string_view s, size_t& length) {
    length = 0;
    if (s.empty()) return 0;
    unsigned char lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    size_t n = sequenceLength(lead);
    if (n == 1 || n > s.size()) return 0;
    uint32_t cp = lead & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    length = n;
    return cp;
}

// The explicit bidi controls (Unicode's Bidi_Control property): marks, embeddings,
// overrides and isolates, which reorder the characters around them on the screen.
bool isBidiControl(uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// One iconv conversion descriptor, closed on every way out.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts from the front of `in` into `out` until the input ends or a byte sequence
    // stops it; `in` keeps what was not converted. Returns 0, or EILSEQ for a sequence
    // that is invalid or cannot be represented, EINVAL for one cut short at the end.
    int convert(std::string_view& in, std::string& out) {
        char buffer[4096];
        for (;;) {
            char* inPtr = const_cast<char*>(in.data());
            size_t inLeft = in.size();
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
            int error = r == static_cast<size_t>(-1) ? errno : 0;
            out.append(buffer, size_t(outPtr - buffer));
            in.remove_prefix(in.size() - inLeft);
            if (error == E2BIG) continue;
            if (error == 0 && !in.empty()) continue;
            return error == EINVAL ? EINVAL : error == 0 ? 0 : EILSEQ;
        }
    }
    // Writes what a stateful charset needs at the end of the text.
    void finish(std::string& out) {
        char buffer[64];
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, size_t(outPtr - buffer));
    }
    void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t cd_;
};

// Line and column (1-based) just after a UTF-8 text.
void positionAfter(std::string_view utf8, ConversionError& error) {
    size_t lineStart = 0;
    error.line = 1;
    for (size_t i = 0; i < utf8.size(); ++i)
        if (utf8[i] == '\n' || (utf8[i] == '\r' && (i + 1 >= utf8.size() || utf8[i + 1] != '\n'))) {
            ++error.line;
            lineStart = i + 1;
        }
    error.column = utf8Length(utf8.substr(lineStart)) + 1;
}

}  // namespace

const Charset* findCharset(std::string_view name) {
    for (const Charset& c : kCharsets)
        if (sameName(name, c.name)) return &c;
    for (const Alias& a : kAliases)
        if (sameName(name, a.alias)) return findCharset(a.name);
    return nullptr;
}

const Charset& utf8Charset() { return *findCharset("UTF-8"); }
const Charset& cp437Charset() { return *findCharset("CP437"); }

std::string knownCharsetNames() {
    std::string names;
    for (const Charset& c : kCharsets) names += std::string(names.empty() ? "" : ", ") + c.name;
    return names;
}

std::string chrsKludge(const Charset& c) {
    return std::string("\x01" "CHRS: ") + c.name + " " + std::to_string(c.level);
}

std::string chrsName(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::string_view v(line);
        if (v.substr(0, 6) == "\x01" "CHRS:") {
            v.remove_prefix(6);
        } else if (v.substr(0, 9) == "\x01" "CHARSET:") {
            v.remove_prefix(9);
        } else {
            continue;
        }
        while (!v.empty() && (v[0] == ' ' || v[0] == '\t')) v.remove_prefix(1);
        size_t end = v.find_first_of(" \t");
        return std::string(v.substr(0, end));
    }
    return {};
}

std::string localeCodeset() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset && *codeset ? codeset : "ANSI_X3.4-1968";
}

bool isUtf8Codeset(std::string_view codeset) { return sameName(codeset, "UTF-8") || sameName(codeset, "UTF8"); }

std::string decodeToUtf8(std::string_view bytes, const char* from) {
    std::string out;
    out.reserve(bytes.size());
    Converter converter("UTF-8", from);
    if (!converter.ok()) {
        for (char c : bytes) out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : kReplacement;
        return out;
    }
    std::string_view in = bytes;
    while (converter.convert(in, out) != 0) {
        out += kReplacement;
        in.remove_prefix(1);
        converter.reset();
    }
    converter.finish(out);
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        size_t n;
        if (firstCodePoint(bytes, n) == 0 && n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

std::string encodeForTerminal(std::string_view utf8, const std::string& codeset) {
    if (isUtf8Codeset(codeset)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    Converter converter(codeset.c_str(), "UTF-8");
    std::string_view in = utf8;
    for (;;) {
        if (converter.ok()) {
            if (converter.convert(in, out) == 0) break;
        } else {
            while (!in.empty() && static_cast<unsigned char>(in[0]) < 0x80) {
                out += in[0];
                in.remove_prefix(1);
            }
            if (in.empty()) break;
        }
        out += '?';
        size_t n;
        firstCodePoint(in, n);
        in.remove_prefix(n ? n : 1);
        if (converter.ok()) converter.reset();
    }
    if (converter.ok()) converter.finish(out);
    return out;
}

std::string displaySafe(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += '?';
            ++i;
            continue;
        }
        size_t n = 1;
        if (c >= 0x80) {
            uint32_t cp = firstCodePoint(utf8.substr(i), n);
            if (n == 0) {
                n = 1;  // not UTF-8: the byte goes as it is, the terminal's conversion shows it
            } else if ((cp >= 0x80 && cp <= 0x9F) || isBidiControl(cp)) {
                out += '?';
                i += n;
                continue;
            }
        }
        out.append(utf8.substr(i, n));
        i += n;
    }
    return out;
}

size_t utf8Length(std::string_view utf8) {
    size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::string_view utf8Prefix(std::string_view utf8, size_t maxBytes) {
    if (utf8.size() <= maxBytes) return utf8;
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    return utf8.substr(0, cut);
}

bool decodeStrict(std::string_view bytes, const std::string& from, std::string& utf8, ConversionError& error) {
    utf8.clear();
    error = ConversionError{};
    Converter converter("UTF-8", from.c_str());
    if (!converter.ok()) {
        error.kind = ConversionError::Kind::NoConverter;
        return false;
    }
    std::string_view in = bytes;
    if (converter.convert(in, utf8) != 0) {
        error.kind = ConversionError::Kind::BadInput;
        error.offset = bytes.size() - in.size();
        error.character = std::string(in.substr(0, 1));
        positionAfter(utf8, error);
        return false;
    }
    converter.finish(utf8);
    return true;
}

bool encodeStrict(std::string_view utf8, const char* to, std::string& out, ConversionError& error) {
    out.clear();
    error = ConversionError{};
    Converter converter(to, "UTF-8");
    if (!converter.ok()) {
        error.kind = ConversionError::Kind::NoConverter;
        return false;
    }
    std::string_view in = utf8;
    if (converter.convert(in, out) != 0) {
        error.offset = utf8.size() - in.size();
        positionAfter(utf8.substr(0, error.offset), error);
        size_t n;
        uint32_t cp = firstCodePoint(in, n);
        if (n == 0) {
            error.kind = ConversionError::Kind::BadInput;
            error.character = std::string(in.substr(0, 1));
        } else {
            error.kind = ConversionError::Kind::Unrepresentable;
            error.character = std::string(in.substr(0, n));
            error.codePoint = cp;
        }
        return false;
    }
    converter.finish(out);
    return true;
}

std::string codePointText(uint32_t codePoint) {
    char buf[16];
    snprintf(buf, sizeof buf, "U+%04X", codePoint);
    return buf;
}

}  // namespace qclient
