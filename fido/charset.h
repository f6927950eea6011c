// Character sets of FidoNet message text: the names a CHRS kludge, a settings file and a
// MIME header give them, and the conversions between a message's charset and UTF-8
// (iconv).
//
// UTF-8 is the pivot: stored bytes are turned into UTF-8 once, text is worked on in UTF-8,
// and only the finished text is turned into the charset it is stored or shown in. The
// conversions take iconv's name of a charset (`Charset::iconvName`, or a locale's codeset).
// Each keeps the descriptors it opens, one per direction and charset, for the rest of the
// thread, and starts every call from the initial shift state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Charset {
    const char* name;       // as the CHRS kludge writes it: "CP866"
    int level;              // the kludge's level: 1 for 7-bit sets, 2 for 8-bit sets, 4 for UTF-8
    const char* iconvName;  // the name iconv knows it by
    const char* mimeName;   // the name for Content-Type and encoded-words: "IBM866"
};

// A charset by its CHRS name or a common alias ("IBM866", "ISO-8859-1", "+7_FIDO"), in
// any letter case; nullptr when unknown. This is the name of a CHRS kludge, of a sysop's
// setting (`defaultCharset CP437`) and of the client's --charset.
const Charset* findCharset(std::string_view name);
// A charset by the name a MIME header gives ("utf-8", "koi8-r", "windows-1251",
// "us-ascii", "cp866"), in any letter case: its MIME name, the registered aliases, then
// the names findCharset knows; nullptr when unknown.
const Charset* findMimeCharset(std::string_view name);
const Charset& utf8Charset();
const Charset& cp437Charset();
// The CHRS names known here, for messages: "ASCII, CP437, CP850, ...".
std::string knownCharsetNames();

// The kludge line that labels a text: ^A "CHRS: CP866 2", without a line end.
std::string chrsKludge(const Charset& c);
// The charset name of the first CHRS (or the older CHARSET) kludge, the first word of its
// value; empty when there is none. A line may hold several kludges one after another (as
// a Squish base keeps its control information): each ^A begins one.
std::string chrsName(const std::vector<std::string>& lines);
// The same for a text whose lines end with CR or LF.
std::string chrsName(std::string_view text);

// Bytes in the charset iconv knows as `from` as UTF-8. A byte that does not convert (a
// broken sequence, a byte the charset does not define) becomes U+FFFD; nothing is
// dropped. Without a converter for `from`, ASCII bytes are kept and every other byte is
// U+FFFD. Safe on any bytes: the result is at most 4 bytes per input byte (3 for each
// U+FFFD), and valid UTF-8 whenever the converter writes valid UTF-8.
std::string decodeToUtf8(std::string_view bytes, std::string_view from);
// UTF-8 in the charset iconv knows as `to`, for showing: a character the charset lacks,
// and a byte that is not UTF-8, becomes '?'. Without a converter for `to`, ASCII is kept
// and every other character becomes '?'.
std::string encodeReplacing(std::string_view utf8, std::string_view to);

// Where a strict conversion stopped.
struct ConversionError {
    enum class Kind { BadInput, Unrepresentable, NoConverter } kind = Kind::BadInput;
    size_t offset = 0;            // byte offset in the input
    size_t line = 1, column = 1;  // 1-based; the column counts characters (UTF-8 input)
    std::string character;        // the offending character (UTF-8), or the bad byte
    uint32_t codePoint = 0;       // of `character` for Unrepresentable
};

// Strict conversions, for text that is about to be posted: nothing is replaced.
// The bytes of charset `from` as UTF-8; fails at the first sequence that is not valid.
[[nodiscard]] bool decodeStrict(std::string_view bytes, std::string_view from, std::string& utf8,
                                ConversionError& error);
// UTF-8 in the charset iconv knows as `to`; fails at the first character it cannot
// represent (or an invalid UTF-8 sequence).
[[nodiscard]] bool encodeStrict(std::string_view utf8, std::string_view to, std::string& out, ConversionError& error);

// UTF-8 helpers.
// The code point of the valid UTF-8 sequence at the start of `s`, and its length in
// `length`; `length` is 0 when `s` is empty or begins with no valid sequence (a stray
// continuation byte, a cut, overlong or surrogate sequence, a value above U+10FFFF).
uint32_t utf8CodePoint(std::string_view s, size_t& length);
// True when the bytes are valid UTF-8.
bool isValidUtf8(std::string_view bytes);
// Characters as a terminal counts them: UTF-8 code points.
size_t utf8Length(std::string_view utf8);
// The longest prefix of at most maxBytes bytes that does not cut a UTF-8 sequence.
std::string_view utf8Prefix(std::string_view utf8, size_t maxBytes);
// "U+0416".
std::string codePointText(uint32_t codePoint);
