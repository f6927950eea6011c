// A stored FidoNet message as a news article: its header fields, its body in UTF-8, the
// Message-ID that names it, and its overview line.
//
// The Message-ID is the one FidoNet gateways share: "<MSGID_" + the MSGID's origin with
// every byte outside letters, digits, '.' and '-' written "=XX" (":" as "=3A", "/" as
// "=2F") + "_" + the serial, written the same way + "@" + the domain + ">". A MSGID whose
// origin is already "<...@...>" gives that as it is. A message without a MSGID is named
// from its area's tag, its stored number and its date:
// "<NOMSGID_" + tag + "_" + number + "_" + packed date in hex + "@" + domain + ">"; the
// tag keeps letters, digits, '.', '-' and '_', any other byte is written "=XX", and the
// date has eight hexadecimal digits. A Message-ID longer than a news server takes (250
// bytes) is never made from a MSGID: such a message is named the NOMSGID way.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fido/charset.h"
#include "fido/message.h"

// Where an article is shown, and what its text is read as.
struct ArticleView {
    std::string groupName;        // "fido.ru.fidonet"
    std::string areaTag;          // "RU.FIDONET"
    uint64_t number = 0;          // the article number in the group
    bool netmail = false;
    // The charset of a text without a CHRS kludge (areaCharset, else defaultCharset).
    const Charset* charset = nullptr;
    std::string domain = "fidonet.org";  // nntpDomain
};

struct Article {
    // The header fields in the order they are sent, names without the colon, values ready
    // to follow "Name: " (already encoded, possibly folded with CRLF and a blank).
    std::vector<std::pair<std::string, std::string>> headers;
    // The body in UTF-8, lines ended by CRLF, not yet dot-stuffed.
    std::string body;
    // The article's size as sent (header block, empty line and body, CRLF ends, before
    // dot-stuffing) and the body's lines.
    size_t bytes = 0;
    size_t lines = 0;

    // The value of the first header field of that name (letter case ignored); nullptr
    // without one.
    const std::string* header(std::string_view name) const;
};

// Renders a stored message: From, Subject, Date, Message-ID, References (from REPLY),
// Newsgroups, Path, Xref, X-Comment-To, MIME-Version, Content-Type (text/plain, UTF-8, with
// format=flowed where lines are long), Content-Transfer-Encoding 8bit, the X-FTN-* fields
// of the kludges (MSGID, REPLY, PID, TZUTC, CHRS, others as X-FTN-Kludge) and of the
// SEEN-BY and PATH lines, which leave the body. Tearline and Origin stay in the body.
// Control information and text end at their first zero byte, as the stores' readers take
// them. A date text that makes no date gives the packed dates' first day, 1 Jan 1980.
void renderArticle(const StoredMessage& message, const ArticleView& view, Article& out);

// The Message-ID of a message as renderArticle gives it.
std::string messageIdOf(const MessageSummary& summary, const std::string& areaTag, const std::string& domain);
// The Message-ID a MSGID value ("2:5020/1 6543abcd") stands for; empty for a value that
// makes none.
std::string messageIdOfMsgId(std::string_view msgId, const std::string& domain);

// What a Message-ID of ours names: the MSGID value it was made from, or the area tag and
// stored number of a message without one.
struct MessageIdTarget {
    enum class Kind { None, MsgId, Numbered } kind = Kind::None;
    std::string msgId;       // Kind::MsgId: "2:5020/1 6543abcd"
    std::string areaTag;     // Kind::Numbered
    uint32_t number = 0;     // Kind::Numbered
    uint32_t written = 0;    // Kind::Numbered: the packed date it carries
};
// Reads a Message-ID (with its angle brackets) made by messageIdOf for `domain`; a
// "<...@...>" that is not of our forms is taken as a MSGID origin that was a Message-ID
// itself (Kind::MsgId with the Message-ID as the value's origin). Kind::None when it is no
// Message-ID at all. The domain counts in any letter case; the MSGID value read back has
// one space between its origin and serial.
MessageIdTarget parseMessageId(std::string_view messageId, const std::string& domain);

// The overview line of an article numbered `number`: the number, Subject, From, Date,
// Message-ID, References, Bytes and Lines, separated by tabs, every field present, tabs,
// CR and LF inside a field as spaces; without a line end.
std::string overviewLine(uint64_t number, const Article& article);
// The same line appended to `out`.
void appendOverviewLine(std::string& out, uint64_t number, const Article& article);

// Overview lines of stored messages, the same as appendOverviewLine gives for the message
// rendered by renderArticle, made without keeping the article: the overview's fields are
// rendered, the others and the body only measured (rendered only where their size is not
// plain to see: folded or encoded values, converted or long lines). One maker serves a
// walk and keeps its scratch room between the lines.
class OverviewMaker {
public:
    void append(std::string& out, uint64_t number, const StoredMessage& message, const ArticleView& view);

private:
    std::string scratch_;
};
// The value HDR gives for a field: a header's value unfolded (tabs, CR and LF as spaces),
// ":bytes" and ":lines" as numbers; empty when the article has no such field.
std::string headerForHdr(const Article& article, std::string_view field);
