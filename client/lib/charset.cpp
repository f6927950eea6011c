#include "client/lib/charset.h"

#include <langinfo.h>

namespace qclient {

namespace {

// The explicit bidi controls (Unicode's Bidi_Control property): marks, embeddings,
// overrides and isolates, which reorder the characters around them on the screen.
bool isBidiControl(uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string localeCodeset() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset && *codeset ? codeset : "ANSI_X3.4-1968";
}

bool isUtf8Codeset(std::string_view codeset) { return findCharset(codeset) == &utf8Charset(); }

std::string encodeForTerminal(std::string_view utf8, const std::string& codeset) {
    if (isUtf8Codeset(codeset)) return std::string(utf8);
    return encodeReplacing(utf8, codeset);
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
            uint32_t cp = utf8CodePoint(utf8.substr(i), n);
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

}  // namespace qclient
