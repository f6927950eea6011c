// The MIME of news articles, as far as the news door reads posts and writes articles:
// transfer encodings of a body (RFC 2045), and the header block of a posted article with
// its Content-Type and Content-Transfer-Encoding.
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
