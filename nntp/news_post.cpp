#include "nntp/news_post.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/desk.h"
#include "fido/attributes.h"
#include "fido/kludges.h"
#include "nntp/article.h"
#include "nntp/mime.h"
#include "support/log.h"
#include "support/text.h"

namespace {

// A refusal the poster hears: "441 " and the reason.
struct Refusal {
    std::string reason;
};
// Another program is writing the area: the post is tried again a moment later.
struct HeldBack {};

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

// The words of a header value that lists names or Message-IDs (commas and blanks between).
std::vector<std::string> listOf(std::string_view value) {
    std::vector<std::string> items;
    std::string item;
    for (char c : value) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!item.empty()) items.push_back(std::move(item));
            item.clear();
        } else {
            item += c;
        }
    }
    if (!item.empty()) items.push_back(std::move(item));
    return items;
}

// A character a charset lacks, as the refusal names it: "U+0416 'Ж' (line 3)".
std::string describeFailure(const ConversionError& e, const char* where) {
    std::string text;
    if (e.kind == ConversionError::Kind::NoConverter) return "no converter for the charset";
    if (e.kind == ConversionError::Kind::BadInput) {
        text = "a byte that is not UTF-8";
    } else {
        text = "the character " + codePointText(e.codePoint) + " '" + e.character + "'";
    }
    text += std::string(" ") + where;
    if (std::strcmp(where, "in the text") == 0) text += " (line " + std::to_string(e.line) + ")";
    return text;
}

// UTF-8 in the area's charset; a refusal naming the first character that does not fit.
std::string toAreaCharset(std::string_view utf8, const Charset& charset, const char* where) {
    if (&charset == &utf8Charset() || std::strcmp(charset.name, utf8Charset().name) == 0) {
        if (!isValidUtf8(utf8)) throw Refusal{std::string("the ") + (where + 3) + " is not valid UTF-8"};
        return std::string(utf8);
    }
    std::string out;
    ConversionError error;
    if (!encodeStrict(utf8, charset.iconvName, out, error))
        throw Refusal{describeFailure(error, where) + " cannot be written in " + charset.name +
                      ", the charset of this group"};
    return out;
}

// Text lines with CRLF or LF ends as FidoNet lines with CR ends; ^A and zero bytes go.
std::string fidoLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += '\r';
        } else if (c == '\n') {
            out += '\r';
        } else if (c != '\x01' && c != '\0') {
            out += c;
        }
    }
    if (!out.empty() && out.back() != '\r') out += '\r';
    return out;
}

// The first line of a new netmail's text: "To: Name, Z:N/F.P". The line (and one blank line
// after it) leave the text.
bool takeAddressee(std::string& utf8Text, std::string& toName, FidoAddr& dest) {
    size_t end = utf8Text.find('\n');
    std::string line = utf8Text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 4 || strncasecmp(line.c_str(), "To:", 3) != 0) return false;
    size_t comma = line.rfind(',');
    if (comma == std::string::npos) return false;
    toName = trimmed(std::string_view(line).substr(3, comma - 3));
    std::string address = trimmed(std::string_view(line).substr(comma + 1));
    if (toName.empty() || !parseFidoAddr(address.c_str(), dest)) return false;
    utf8Text.erase(0, end == std::string::npos ? utf8Text.size() : end + 1);
    if (utf8Text.compare(0, 2, "\r\n") == 0) utf8Text.erase(0, 2);
    else if (utf8Text.compare(0, 1, "\n") == 0) utf8Text.erase(0, 1);
    return true;
}

// A stored name or subject in UTF-8, read in the message's own charset.
std::string storedToUtf8(const std::string& field, const StoredMessage& m, const Charset& areaCharset) {
    std::string chrs = chrsName(m.control);
    if (chrs.empty()) chrs = chrsName(m.text);
    const Charset* c = chrs.empty() ? nullptr : findCharset(chrs);
    return decodeToUtf8(field, (c ? *c : areaCharset).iconvName);
}

class Poster {
public:
    Poster(Services& services, const NewsGroups& groups, NewsStore& store, const rClientInfo& user, const Now& now,
           bool mayHoldBack)
        : services_(services), groups_(groups), store_(store), user_(user), now_(now), mayHoldBack_(mayHoldBack) {}

    std::string post(std::string_view articleText) {
        PostedArticle article;
        std::string error;
        if (articleText.find_first_not_of("\r\n") == std::string_view::npos)
            throw Refusal{"the article is empty"};
        if (!parseArticle(articleText, article, error)) throw Refusal{"the header is not understood: " + error};

        const NewsGroup& group = theGroup(article);
        if (const std::string* control = article.find("Control")) return cancel(group, *control);
        if (article.find("Supersedes")) throw Refusal{"Supersedes is not supported: post a new article"};

        const std::string body = decodedBody(article);
        const Charset& charset = store_.charsetOf(group);
        const mArea& area = services_.areaList[size_t(group.area)];
        const bool netmail = area.type == AreaType::Netmail;

        NewMessage m;
        m.origAddr = user_.address;
        m.fromName.assign(user_.name, strnlen(user_.name, sizeof user_.name));
        std::string toName = netmail ? "" : "All";
        std::string replyTo;  // the REPLY value
        std::string text = body;
        if (const std::string* comment = article.find("X-Comment-To")) {
            std::string named = trimmed(decodeHeaderValue(*comment));
            if (!named.empty()) toName = named;
        }
        bool original = false;
        if (const std::string* references = article.find("References")) {
            std::vector<std::string> ids = listOf(*references);
            if (!ids.empty()) original = answer(ids.back(), netmail, charset, toName, replyTo, m);
        }
        if (netmail && !original) {
            std::string named;
            if (!takeAddressee(text, named, m.destAddr))
                throw Refusal{"a new netmail needs the addressee as its first line: \"To: Name, Z:N/F.P\""};
            toName = named;
        }
        if (netmail) m.attributes |= kAttrPrivate;

        std::string subject;
        if (const std::string* s = article.find("Subject")) subject = trimmed(decodeHeaderValue(*s));
        m.subject = toAreaCharset(subject, charset, "in the subject");
        m.toName = toAreaCharset(toName, charset, "in the addressee's name");
        std::string kludges = chrsKludge(charset) + "\r";
        if (!replyTo.empty()) kludges += "\x01REPLY: " + replyTo + "\r";
        m.text = kludges + fidoLines(toAreaCharset(text, charset, "in the text"));
        m.written = wallTimeAt(now_.wall);

        std::unique_ptr<CEchoArea> target = openConfiguredArea(services_, group.area);
        if (!target) throw Refusal{"the group cannot be written"};
        uint32_t stored = 0;
        AreaResult r = postMessage(services_, user_, group.area, *target, std::move(m), now_.wall, stored);
        if (!r.isOk()) refuseWrite(group, "post", r);
        // A Message-ID the reader gave its post finds the post.
        if (const std::string* id = article.find("Message-ID")) {
            StoredMessage posted;
            if (target->getMessage(stored, posted).isOk() && !posted.summary.msgId.empty())
                store_.notePosted(trimmed(*id), area.name, posted.summary.msgId);
        }
        return "240 Article received OK";
    }

private:
    Services& services_;
    const NewsGroups& groups_;
    NewsStore& store_;
    const rClientInfo& user_;
    const Now& now_;
    const bool mayHoldBack_;

    // A write another program held back: tried again later while that is allowed, else the
    // refusal names the cause.
    void refuseWrite(const NewsGroup& group, const std::string& what, AreaResult r) {
        if (r.code() == AreaResult::Code::Busy) {
            if (mayHoldBack_) throw HeldBack{};
            r = AreaResult::busy(r.reason() + "; given up once writeRetryTime was over");
        }
        reportRefusal(services_, user_, group.area, what.c_str(), r);
        if (r.code() == AreaResult::Code::Busy) throw Refusal{"another program is writing the area: try again"};
        if (r.code() == AreaResult::Code::Forbidden)
            throw Refusal{std::string(what == "post" ? "post" : "cancel") + " refused: " + r.reason()};
        throw Refusal{what == "post" ? "the message could not be stored" : "the article could not be cancelled"};
    }

    const NewsGroup& theGroup(const PostedArticle& article) {
        const std::string* newsgroups = article.find("Newsgroups");
        if (!newsgroups) throw Refusal{"the article has no Newsgroups header"};
        std::vector<std::string> names = listOf(*newsgroups);
        if (names.empty()) throw Refusal{"the article names no group"};
        for (const std::string& name : names)
            if (name != names[0]) throw Refusal{"crossposts are not allowed"};
        const NewsGroup* g = groups_.find(names[0]);
        if (!g) throw Refusal{"no such group: " + names[0].substr(0, 100)};
        return *g;
    }

    // The body as UTF-8 text: transfer encoding undone, the charset read, flowed lines
    // joined.
    std::string decodedBody(const PostedArticle& article) {
        const std::string* type = article.find("Content-Type");
        ContentType ct = parseContentType(type ? *type : "");
        if (ct.type != "text" || ct.subtype != "plain") throw Refusal{"only text/plain articles are taken"};
        std::string bytes;
        const std::string* encoding = article.find("Content-Transfer-Encoding");
        switch (parseTransferEncoding(encoding ? *encoding : "")) {
        case TransferEncoding::SevenBit:
        case TransferEncoding::EightBit:
        case TransferEncoding::Binary: bytes = article.body; break;
        case TransferEncoding::QuotedPrintable: bytes = decodeQuotedPrintable(article.body); break;
        case TransferEncoding::Base64:
            if (!decodeBase64(article.body, bytes)) throw Refusal{"the base64 body does not decode"};
            break;
        case TransferEncoding::Unknown: throw Refusal{"unknown Content-Transfer-Encoding"};
        }
        const Charset* charset = findMimeCharset(ct.charset);
        if (!charset) throw Refusal{"unknown charset " + ct.charset.substr(0, 40)};
        std::string utf8;
        ConversionError error;
        if (!decodeStrict(bytes, charset->iconvName, utf8, error))
            throw Refusal{std::string("the text is not valid ") + charset->mimeName + " (line " +
                          std::to_string(error.line) + ")"};
        if (ct.flowed) utf8 = decodeFlowed(utf8, ct.delSp);
        return utf8;
    }

    // The message a reply answers: its MSGID as REPLY, its sender as addressee, and for
    // netmail its origin as destination. False when it is not found (the MSGID of one of
    // our Message-IDs still makes the REPLY).
    bool answer(const std::string& messageId, bool netmail, const Charset& areaCharset, std::string& toName,
                std::string& replyTo, NewMessage& m) {
        const NewsGroup* group = nullptr;
        uint64_t number = 0;
        StoredMessage original;
        if (store_.findMessageId(messageId, user_, group, number) &&
            store_.article(*group, user_, number, original).isOk()) {
            replyTo = original.summary.msgId;
            toName = storedToUtf8(original.summary.fromName, original, areaCharset);
            if (netmail) {
                m.destAddr = original.summary.origAddr;
                RoutingKludges routing = findRoutingKludges(original.text.c_str());
                if (original.control.size()) routing = findRoutingKludges(original.control.c_str());
                if (routing.hasIntl) {
                    m.destAddr = routing.intlOrig;
                    m.destAddr.point = routing.hasFmpt ? routing.fmpt : 0;
                }
                if (original.attributes & kAttrPrivate) m.attributes |= kAttrPrivate;
            }
            return true;
        }
        MessageIdTarget target = parseMessageId(messageId, services_.settings.news.domain);
        if (target.kind == MessageIdTarget::Kind::MsgId && target.msgId.find(' ') != std::string::npos)
            replyTo = target.msgId;
        return false;
    }

    std::string cancel(const NewsGroup& group, const std::string& control) {
        std::vector<std::string> words = listOf(control);
        if (words.size() != 2 || !equalsNoCase(words[0], "cancel"))
            throw Refusal{"control messages other than cancel are not supported"};
        const NewsGroup* found = nullptr;
        uint64_t number = 0;
        if (!store_.findMessageId(words[1], user_, found, number) || found != &group)
            throw Refusal{"no article " + words[1].substr(0, 100) + " in " + group.name};
        StoredMessage m;
        if (!store_.article(group, user_, number, m).isOk()) throw Refusal{"the article cannot be read"};
        std::unique_ptr<CEchoArea> area = openConfiguredArea(services_, group.area);
        if (!area) throw Refusal{"the group cannot be written"};
        AreaResult r = deleteMessage(services_, user_, group.area, *area, m.summary.number);
        if (!r.isOk()) refuseWrite(group, "delete message #" + std::to_string(m.summary.number), r);
        return "240 Article received OK";
    }
};

}  // namespace

std::string storePost(Services& services, const NewsGroups& groups, NewsStore& store, const rClientInfo& user,
                      std::string_view article, const Now& now, bool mayHoldBack, bool& heldBack) {
    heldBack = false;
    try {
        return Poster(services, groups, store, user, now, mayHoldBack).post(article);
    } catch (const HeldBack&) {
        heldBack = true;
        return "";
    } catch (const Refusal& refused) {
        std::string reason = refused.reason;
        for (char& c : reason)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
        reportError(0, "user %.36s, %s: post refused: %s", user.name, formatFidoAddr(user.address).c_str(),
                    reason.c_str());
        return "441 " + reason;
    } catch (const std::bad_alloc&) {
        reportError(0, "out of memory while posting");
        return "441 the server is short of memory: try again";
    }
}
