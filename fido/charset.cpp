#include "fido/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "fido/message_text.h"
#include "support/text.h"

namespace {

// The charset identifiers of FidoNet's CHRS kludge with their levels: 1 for 7-bit sets,
// 2 for 8-bit sets, 4 for UTF-8. ISO-8859-5 has no FidoNet identifier of its own: it goes
// by its MIME name.
constexpr Charset kCharsets[] = {
    {"ASCII", 1, "ASCII", "US-ASCII"},
    {"CP437", 2, "CP437", "IBM437"},
    {"CP850", 2, "CP850", "IBM850"},
    {"CP852", 2, "CP852", "IBM852"},
    {"CP866", 2, "CP866", "IBM866"},
    {"CP1250", 2, "CP1250", "windows-1250"},
    {"CP1251", 2, "CP1251", "windows-1251"},
    {"CP1252", 2, "CP1252", "windows-1252"},
    {"CP10000", 2, "MACINTOSH", "macintosh"},
    {"LATIN-1", 2, "ISO-8859-1", "ISO-8859-1"},
    {"LATIN-2", 2, "ISO-8859-2", "ISO-8859-2"},
    {"LATIN-5", 2, "ISO-8859-9", "ISO-8859-9"},
    {"LATIN-9", 2, "ISO-8859-15", "ISO-8859-15"},
    {"ISO-8859-5", 2, "ISO-8859-5", "ISO-8859-5"},
    {"KOI8-R", 2, "KOI8-R", "KOI8-R"},
    {"KOI8-U", 2, "KOI8-U", "KOI8-U"},
    {"UTF-8", 4, "UTF-8", "UTF-8"},
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
    {"ISO8859-5", "ISO-8859-5"}, {"ISO_8859-5", "ISO-8859-5"}, {"KOI8R", "KOI8-R"},
    {"KOI8U", "KOI8-U"},         {"UTF8", "UTF-8"},
};
// The aliases of the MIME charset registry that the list above does not hold already.
constexpr Alias kMimeAliases[] = {
    {"ANSI_X3.4-1968", "ASCII"},        {"ANSI_X3.4-1986", "ASCII"},         {"ISO_646.irv:1991", "ASCII"},
    {"ISO646-US", "ASCII"},             {"us", "ASCII"},                     {"IBM367", "ASCII"},
    {"cp367", "ASCII"},                 {"iso-ir-6", "ASCII"},               {"csASCII", "ASCII"},
    {"csPC8CodePage437", "CP437"},      {"csPC850Multilingual", "CP850"},    {"csPCp852", "CP852"},
    {"csIBM866", "CP866"},              {"cswindows1250", "CP1250"},         {"cswindows1251", "CP1251"},
    {"cswindows1252", "CP1252"},        {"csMacintosh", "CP10000"},          {"ISO_8859-1:1987", "LATIN-1"},
    {"iso-ir-100", "LATIN-1"},          {"l1", "LATIN-1"},                   {"IBM819", "LATIN-1"},
    {"CP819", "LATIN-1"},               {"csISOLatin1", "LATIN-1"},          {"ISO_8859-2:1987", "LATIN-2"},
    {"iso-ir-101", "LATIN-2"},          {"ISO_8859-2", "LATIN-2"},           {"l2", "LATIN-2"},
    {"csISOLatin2", "LATIN-2"},         {"ISO_8859-9:1989", "LATIN-5"},      {"iso-ir-148", "LATIN-5"},
    {"ISO_8859-9", "LATIN-5"},          {"l5", "LATIN-5"},                   {"csISOLatin5", "LATIN-5"},
    {"ISO_8859-15", "LATIN-9"},         {"csISO885915", "LATIN-9"},          {"ISO_8859-5:1988", "ISO-8859-5"},
    {"iso-ir-144", "ISO-8859-5"},       {"cyrillic", "ISO-8859-5"},          {"csISOLatinCyrillic", "ISO-8859-5"},
    {"csKOI8R", "KOI8-R"},              {"csKOI8U", "KOI8-U"},               {"csUTF8", "UTF-8"},
};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldCase(x) == foldCase(y); });
}

const Charset* byAlias(std::string_view name, const Alias* begin, const Alias* end) {
    for (const Alias* a = begin; a != end; ++a)
        if (sameName(name, a->alias)) return findCharset(a->name);
    return nullptr;
}

bool isUtf8Name(std::string_view name) { return sameName(name, "UTF-8") || sameName(name, "UTF8"); }

// Length of the UTF-8 sequence that a lead byte begins (1 for a byte that begins none).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

// One iconv conversion descriptor, closed on every way out.
class Converter {
public:
    Converter(std::string_view to, std::string_view from)
        : to_(to), from_(from), cd_(iconv_open(to_.c_str(), from_.c_str())) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    bool converts(std::string_view to, std::string_view from) const { return to == to_ && from == from_; }

    // Converts from the front of `in` into `out` until the input ends, a byte sequence
    // stops it, or `out` holds `limit` bytes; `in` keeps what was not converted. Returns
    // 0 when all is converted; EILSEQ for a sequence that is invalid or cannot be
    // represented, EINVAL for one cut short at the end; E2BIG at the limit, or when
    // iconv takes nothing and gives nothing (so that no caller can loop on it).
    int convert(std::string_view& in, std::string& out, size_t limit) {
        char buffer[4096];
        while (!in.empty()) {
            if (out.size() >= limit) return E2BIG;
            char* inPtr = const_cast<char*>(in.data());
            size_t inLeft = in.size();
            char* outPtr = buffer;
            size_t outLeft = std::min(sizeof buffer, limit - out.size());
            size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
            int error = r == static_cast<size_t>(-1) ? errno : 0;
            size_t produced = size_t(outPtr - buffer), consumed = in.size() - inLeft;
            out.append(buffer, produced);
            in.remove_prefix(consumed);
            if (error == EILSEQ || error == EINVAL) return error;
            if (error != 0 && error != E2BIG) return EILSEQ;
            if (produced == 0 && consumed == 0 && !in.empty()) return E2BIG;
        }
        return 0;
    }
    // Writes what a stateful charset needs at the end of the text.
    void finish(std::string& out) {
        char buffer[64];
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, size_t(outPtr - buffer));
    }
    void reset() {
        if (ok()) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }

private:
    std::string to_, from_;
    iconv_t cd_;
};

// Opening a descriptor costs more than converting a message, so the thread keeps those it
// opened (a charset without a converter too), the oldest closed first past this many.
constexpr size_t kKeptConverters = 64;

// The converter from `from` to `to`, reset to its initial state. The reference holds
// until the next call on the same thread.
Converter& converterFor(std::string_view to, std::string_view from) {
    thread_local std::vector<std::unique_ptr<Converter>> kept;
    for (const std::unique_ptr<Converter>& c : kept)
        if (c->converts(to, from)) {
            c->reset();
            return *c;
        }
    if (kept.size() >= kKeptConverters) kept.erase(kept.begin());
    kept.push_back(std::make_unique<Converter>(to, from));
    return *kept.back();
}

// The most a conversion writes: four bytes for each input byte, as much as a UTF-8
// character takes.
size_t outputLimit(std::string_view in) { return 4 * in.size(); }

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

// The charset name of a kludge (with its ^A) when it is a CHRS or CHARSET kludge.
bool kludgeCharsetName(std::string_view kludge, std::string& name) {
    kludge.remove_prefix(1);
    for (std::string_view keyword : {std::string_view("CHRS:"), std::string_view("CHARSET:")}) {
        if (kludge.substr(0, keyword.size()) != keyword) continue;
        std::string_view v = kludge.substr(keyword.size());
        while (!v.empty() && (v[0] == ' ' || v[0] == '\t')) v.remove_prefix(1);
        name = std::string(v.substr(0, v.find_first_of(" \t")));
        return true;
    }
    return false;
}

bool lineCharsetName(std::string_view line, std::string& name) {
    for (std::string_view kludge : kludgesOfLine(line).kludges)
        if (kludgeCharsetName(kludge, name)) return true;
    return false;
}

}  // namespace

const Charset* findCharset(std::string_view name) {
    for (const Charset& c : kCharsets)
        if (sameName(name, c.name)) return &c;
    return byAlias(name, std::begin(kAliases), std::end(kAliases));
}

const Charset* findMimeCharset(std::string_view name) {
    for (const Charset& c : kCharsets)
        if (sameName(name, c.mimeName)) return &c;
    if (const Charset* c = byAlias(name, std::begin(kMimeAliases), std::end(kMimeAliases))) return c;
    return findCharset(name);
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
    std::string name;
    for (const std::string& line : lines)
        if (lineCharsetName(line, name)) return name;
    return {};
}

std::string chrsName(std::string_view text) {
    // Most texts carry no such kludge: then there is nothing to split.
    if (text.find("\x01" "CHRS:") == std::string_view::npos && text.find("\x01" "CHARSET:") == std::string_view::npos)
        return {};
    std::string name;
    for (const TextLine& line : splitLines(text))
        if (lineCharsetName(line.body, name)) return name;
    return {};
}

std::string decodeToUtf8(std::string_view bytes, std::string_view from) {
    std::string out;
    out.reserve(bytes.size());
    if (isUtf8Name(from)) {
        // The common case needs no converter: valid sequences stay, every other byte is
        // replaced, as iconv's UTF-8 decoder would have it.
        while (!bytes.empty()) {
            size_t n;
            utf8CodePoint(bytes, n);
            out += n ? bytes.substr(0, n) : kReplacement;
            bytes.remove_prefix(n ? n : 1);
        }
        return out;
    }
    Converter& converter = converterFor("UTF-8", from);
    if (!converter.ok()) {
        for (char c : bytes) out += static_cast<unsigned char>(c) < 0x80 ? std::string_view(&c, 1) : kReplacement;
        return out;
    }
    const size_t limit = outputLimit(bytes);
    std::string_view in = bytes;
    for (;;) {
        int stop = converter.convert(in, out, limit);
        if (stop == 0 || stop == E2BIG || out.size() + kReplacement.size() > limit) break;
        out += kReplacement;
        in.remove_prefix(1);
        converter.reset();
    }
    converter.finish(out);
    return out;
}

std::string encodeReplacing(std::string_view utf8, std::string_view to) {
    std::string out;
    out.reserve(utf8.size());
    Converter& converter = converterFor(to, "UTF-8");
    const size_t limit = outputLimit(utf8);
    std::string_view in = utf8;
    for (;;) {
        if (converter.ok()) {
            int stop = converter.convert(in, out, limit);
            if (stop == 0 || stop == E2BIG) break;
        } else {
            while (!in.empty() && static_cast<unsigned char>(in[0]) < 0x80) {
                out += in[0];
                in.remove_prefix(1);
            }
            if (in.empty()) break;
        }
        out += '?';
        size_t n;
        utf8CodePoint(in, n);
        in.remove_prefix(n ? n : 1);
        converter.reset();
    }
    if (converter.ok()) converter.finish(out);
    return out;
}

bool decodeStrict(std::string_view bytes, std::string_view from, std::string& utf8, ConversionError& error) {
    utf8.clear();
    error = ConversionError{};
    Converter& converter = converterFor("UTF-8", from);
    if (!converter.ok()) {
        error.kind = ConversionError::Kind::NoConverter;
        return false;
    }
    std::string_view in = bytes;
    if (converter.convert(in, utf8, outputLimit(bytes)) != 0) {
        error.kind = ConversionError::Kind::BadInput;
        error.offset = bytes.size() - in.size();
        error.character = std::string(in.substr(0, 1));
        positionAfter(utf8, error);
        return false;
    }
    converter.finish(utf8);
    return true;
}

bool encodeStrict(std::string_view utf8, std::string_view to, std::string& out, ConversionError& error) {
    out.clear();
    error = ConversionError{};
    Converter& converter = converterFor(to, "UTF-8");
    if (!converter.ok()) {
        error.kind = ConversionError::Kind::NoConverter;
        return false;
    }
    std::string_view in = utf8;
    if (converter.convert(in, out, outputLimit(utf8)) != 0) {
        error.offset = utf8.size() - in.size();
        positionAfter(utf8.substr(0, error.offset), error);
        size_t n;
        uint32_t cp = utf8CodePoint(in, n);
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

uint32_t utf8CodePoint(std::string_view s, size_t& length) {
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

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        size_t n;
        utf8CodePoint(bytes, n);
        if (n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
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

std::string codePointText(uint32_t codePoint) {
    char buf[16];
    snprintf(buf, sizeof buf, "U+%04X", codePoint);
    return buf;
}
