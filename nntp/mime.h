// The MIME of news articles, as far as the news door reads posts and writes articles:
// transfer encodings of a body (RFC 2045), encoded-words in header values (RFC 2047),
// format=flowed text (RFC 3676), the header block of a posted article with its
// Content-Type and Content-Transfer-Encoding, and the display name of a From header.
// Everything here works on bytes in memory and is safe on any bytes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Quoted-printable: "=XX" (either letter case) is the byte XX, "=" at the end of a line
// (before CRLF or LF, blanks allowed between) is a soft line break that joins the line
// with the next one, and blanks at the end of a line are dropped, as the transport may
// have added them. Other line ends stay as they are. A bad escape ("=G1", "=4" at the
// end) is kept as it is.
std::string decodeQuotedPrintable(std::string_view text);

// Base64: whitespace anywhere is skipped and decoding stops at the first '='; a missing
// padding is forgiven. False, with `bytes` unspecified, on any other character outside
// the alphabet or on a single character left over at the end.
[[nodiscard]] bool decodeBase64(std::string_view text, std::string& bytes);
// Base64 with padding, in one line.
std::string encodeBase64(std::string_view bytes);

// A header value with its encoded-words ("=?charset?B?...?=", "=?charset?Q?...?=", B and
// Q in either letter case, a "*language" after the charset ignored) decoded to UTF-8.
// The whitespace between two adjacent encoded-words goes; the bytes of encoded-words in
// a row with the same charset are joined before they are converted, so a character split
// between two of them survives. An encoded-word whose charset is unknown, or whose
// encoding is broken, stays as it is; so does the text outside encoded-words. A decoded
// CR, LF or zero byte becomes a space, so that the value stays one line.
std::string decodeHeaderValue(std::string_view value);
// A UTF-8 header value ready to follow "Name: ". Control characters (but tab) become
// spaces first. Printable ASCII stays as it is; any other value becomes "=?UTF-8?B?...?="
// encoded-words of at most 75 characters, none of which cuts a UTF-8 sequence, separated
// by CRLF and a space, so that each line of the field keeps within 76 characters (with
// the field name, of `nameLength` characters, on the first). Readers join the words
// without the folds. A value that holds "=?" is encoded as well, so that it reads back
// as it was written.
std::string encodeHeaderValue(std::string_view utf8, size_t nameLength);

// A display name as the phrase of a From (or To) header, "Max Kern" in `Max Kern
// <max@example.org>`: a name of atoms and single spaces as it is, another ASCII name as a
// quoted string (with '"' and '\' escaped), a name with other characters as encoded-words
// (folded for a field name of `nameLength` characters). Control characters become spaces;
// an empty name gives an empty phrase.
std::string displayNamePhrase(std::string_view utf8, size_t nameLength = 4);

// format=flowed. Lines end with CRLF or LF on input and with CRLF on output; the last line
// keeps having none when it had none.
// Decoding: a line that ends with a space is soft-broken and joins the next line when that
// line has the same quote depth (the number of '>' it starts with); one leading space
// (space-stuffing) is removed after the quote marks; with `delSp` the space of a soft
// break is removed as well. The signature separator "-- " is always a line of its own,
// and a soft-broken line before it ends its paragraph. Quoted lines come out as the quote
// marks, then a space and the text unless it is empty.
std::string decodeFlowed(std::string_view body, bool delSp);
// Encoding (without DelSp): a line longer than `width` characters is broken at spaces
// into soft-broken lines, each keeping the space it was broken at; a line starting with a
// space, '>' or "From " gets a space in front; spaces at the end of a line go (they would
// read as a soft break), but for the signature separator "-- ". A word that does not fit
// is not broken: its line is as long as it needs to be, up to 998 bytes, beyond which it
// is cut with a hard line break at a character boundary.
std::string encodeFlowed(std::string_view text, size_t width = 78);

// One field of a header block, its value unfolded and trimmed of surrounding blanks.
struct HeaderField {
    std::string name;
    std::string value;
};

// A posted article split at its first empty line.
struct PostedArticle {
    std::vector<HeaderField> fields;  // in the order given
    std::string body;                 // everything after the empty line, as it is

    // The value of the first field named `name` (in any letter case); nullptr without one.
    const std::string* find(std::string_view name) const;
    // The values of all fields named `name`, in order.
    std::vector<std::string_view> all(std::string_view name) const;
};

// Splits an article at the first empty line (lines end with CRLF or LF; without an empty
// line it is all header) and reads the header block: "Name: value" lines, each followed
// by its continuation lines (those that begin with a space or tab), unfolded by removing
// the line ends. A name is printable ASCII but ':'; blanks before the colon are allowed.
// False, with `error` naming the line, for a line that is neither a field nor a
// continuation, or a continuation before the first field.
[[nodiscard]] bool parseArticle(std::string_view article, PostedArticle& out, std::string& error);

// A Content-Type value: type and subtype in lower case, and the parameters the news door
// reads. Quoted values are unquoted; parameter names count in any letter case, comments
// in parentheses are skipped.
struct ContentType {
    std::string type = "text";
    std::string subtype = "plain";
    std::string charset = "us-ascii";  // as given
    bool flowed = false;               // format=flowed
    bool delSp = false;                // delsp=yes
};
// A missing or empty value, and one whose type/subtype does not parse, give text/plain in
// US-ASCII, as MIME says a reader takes it.
ContentType parseContentType(std::string_view value);

enum class TransferEncoding { SevenBit, EightBit, Binary, QuotedPrintable, Base64, Unknown };
// A Content-Transfer-Encoding value in any letter case; a missing or empty one is 7bit.
TransferEncoding parseTransferEncoding(std::string_view value);
