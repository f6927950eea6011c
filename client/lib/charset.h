// Character sets of FidoNet message text: the names a CHRS kludge gives them, and the
// conversions between a message's charset, UTF-8 and the terminal's charset (iconv).
//
// UTF-8 is the pivot: fetched bytes are turned into UTF-8 once, lines and columns are
// built in UTF-8, and only the finished output is turned into the terminal's charset.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qclient {

struct Charset {
    const char* name;       // as the CHRS kludge writes it: "CP866"
    int level;              // the kludge's level: 2 for 8-bit sets, 4 for UTF-8
    const char* iconvName;  // the name iconv knows it by
};

// A charset by its CHRS name or a common alias ("IBM866", "ISO-8859-1", "+7_FIDO"), in
// any letter case; nullptr when unknown.
const Charset* findCharset(std::string_view name);
const Charset& utf8Charset();
const Charset& cp437Charset();
// The CHRS names this client knows, for messages: "CP437, CP850, ...".
std::string knownCharsetNames();

// The kludge line that labels a text: ^A "CHRS: CP866 2", without a line end.
std::string chrsKludge(const Charset& c);
// The charset name of the first CHRS (or the older CHARSET) kludge among a message's lines,
// the first word of its value; empty when the message has none.
std::string chrsName(const std::vector<std::string>& lines);

// The terminal's charset: the codeset of the LC_CTYPE locale of the environment
// (setlocale must have run), for example "UTF-8" or "ANSI_X3.4-1968".
std::string localeCodeset();
bool isUtf8Codeset(std::string_view codeset);

// Bytes in the charset iconv knows as `from` as UTF-8. A byte that does not convert (a
// broken sequence, a byte the charset does not define) becomes U+FFFD; nothing is dropped.
std::string decodeToUtf8(std::string_view bytes, const char* from);
// True when the bytes are valid UTF-8.
bool isValidUtf8(std::string_view bytes);

// UTF-8 for output on a terminal whose charset is `codeset`: a character the charset
// lacks becomes '?'.
std::string encodeForTerminal(std::string_view utf8, const std::string& codeset);

// Control characters (C0 but tab, DEL, C1) would move the cursor or recolour the
// terminal, and the bidi controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069) would let a text reorder what the terminal shows around it: they all
// become '?'. The text is UTF-8.
std::string displaySafe(std::string_view utf8);

// Characters as a terminal counts them: UTF-8 code points.
size_t utf8Length(std::string_view utf8);
// The longest prefix of at most maxBytes bytes that does not cut a UTF-8 sequence.
std::string_view utf8Prefix(std::string_view utf8, size_t maxBytes);

// Where a strict conversion stopped.
struct ConversionError {
    enum class Kind { BadInput, Unrepresentable, NoConverter } kind = Kind::BadInput;
    size_t offset = 0;          // byte offset in the input
    size_t line = 1, column = 1;  // 1-based; the column counts characters (UTF-8 input)
    std::string character;      // the offending character (UTF-8), or the bad byte
    uint32_t codePoint = 0;     // of `character` for Unrepresentable
};

// Strict conversions, for text that is about to be posted: nothing is replaced.
// The bytes of charset `from` as UTF-8; fails at the first sequence that is not valid.
[[nodiscard]] bool decodeStrict(std::string_view bytes, const std::string& from, std::string& utf8,
                                ConversionError& error);
// UTF-8 in the charset iconv knows as `to`; fails at the first character it cannot
// represent (or an invalid UTF-8 sequence).
[[nodiscard]] bool encodeStrict(std::string_view utf8, const char* to, std::string& out, ConversionError& error);
// "U+0416".
std::string codePointText(uint32_t codePoint);

}  // namespace qclient
