#include "client/commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/draft.h"
#include "client/failure.h"
#include "client/lib/charset.h"
#include "client/lib/reply_draft.h"
#include "client/lib/threads.h"
#include "client/message_text.h"
#include "client/session.h"
#include "client/terminal.h"
#include "support/le.h"
#include "fido/attributes.h"
#include "wire/packets.h"

namespace qclient::cli {

namespace {

bool isBlank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

// A message ready to be posted: header fields and text in the message's charset, the
// text with its kludges first and CR line ends.
struct Outgoing {
    std::string from, to, subject, text;
    FidoAddr dest;
    uint16_t attributes = kAttrLocal;
};

// Posts and says which number the message got. The server does not say: the lists
// before and after are compared.
void postMessage(Session& s, const Area& area, const Outgoing& out, const std::string& note = "") {
    if (out.text.size() + kMessageRecordSize + 1 > kMaxPostDataSize)
        fail(kExitUsage, "the message text is longer than the server takes (" +
                             std::to_string(kMaxPostDataSize - kMessageRecordSize - 1) + " bytes)");
    pktMessage m;
    copyField(m.header.fromName, out.from.c_str(), sizeof m.header.fromName);
    copyField(m.header.toName, out.to.c_str(), sizeof m.header.toName);
    copyField(m.header.subject, out.subject.c_str(), sizeof m.header.subject);
    m.origAddr = s.address();  // the server stamps the user's address anyway
    m.destAddr = out.dest;
    m.areaNumber = area.number;
    m.attributes = out.attributes;

    std::set<uint32_t> before;
    for (const pktMsgHeader& h : s.messages(area)) before.insert(h.msgNumber);
    s.check(s.conn().post(m, out.text), "post", "the server could not store the message in " + area.tag());
    std::vector<uint32_t> mine;
    for (const pktMsgHeader& h : s.messages(area)) {
        std::string from = fieldText(h.fromName, kNameField);
        // A server may store the user's registered name in place of the one sent.
        if (!before.count(h.msgNumber) && (from == out.from.substr(0, kNameField) || from == s.user()) &&
            fieldText(h.subject, kSubjectField) == out.subject.substr(0, kSubjectField))
            mine.push_back(h.msgNumber);
    }
    if (mine.size() == 1)
        say("Posted message #" + std::to_string(mine[0]) + " to " + area.shownTag() + note + ".");
    else
        say("Posted to " + area.shownTag() + note + ".");
}

void commandAreas(Session& s) {
    std::vector<Area> all = s.areas();
    if (all.empty()) {
        say("The server has no areas.");
        return;
    }
    size_t tagWidth = 4;
    for (const Area& a : all) tagWidth = std::max(tagWidth, utf8Length(a.shownTag()));
    char buf[128];
    snprintf(buf, sizeof buf, "%3s  ", "#");
    std::string head = buf + column("Area", tagWidth);
    snprintf(buf, sizeof buf, "  %-8s  %8s  %6s", "Type", "Messages", "Unread");
    say(head + buf);
    for (const Area& a : all) {
        snprintf(buf, sizeof buf, "%3d  ", a.number);
        std::string row = buf + column(a.shownTag(), tagWidth);
        snprintf(buf, sizeof buf, "  %-8s  %8u  %6u", areaTypeText(a.info.type), a.info.msgCount, a.info.unreadCount);
        say(row + buf);
    }
}

// Header rows of `list` and `thread`: the subject indented by the row's depth.
void printHeaderRows(const std::vector<pktMsgHeader>& headers, const std::vector<qclient::ThreadRow>& rows,
                     const Charset* given) {
    constexpr size_t kMaxIndent = 30;  // levels; deeper replies line up with the 30th
    std::vector<size_t> parents = qclient::replyParents(headers);
    size_t numberWidth = 1;
    for (const pktMsgHeader& h : headers) numberWidth = std::max(numberWidth, std::to_string(h.msgNumber).size());
    size_t reWidth = std::max<size_t>(2, numberWidth + 1);

    say(rightAligned("#", numberWidth) + "  " + column("Date", 17) + "  " + column("From", 20) + "  " +
        column("To", 20) + "  " + column("Re", reWidth) + "  Subject");
    for (const qclient::ThreadRow& row : rows) {
        const pktMsgHeader& h = headers[row.index];
        std::string re;
        if (parents[row.index] != qclient::kNoParent)
            re = "#" + std::to_string(headers[parents[row.index]].msgNumber);
        else if (h.replyHash)
            re = "?";
        say(rightAligned(std::to_string(h.msgNumber), numberWidth) + "  " + column(packedDateText(h.dateWritten), 17) +
            "  " + column(headerText(fieldText(h.fromName, kNameField), given), 20) + "  " +
            column(headerText(fieldText(h.toName, kNameField), given), 20) + "  " + column(re, reWidth) + "  " +
            std::string(2 * std::min(row.depth, kMaxIndent), ' ') +
            qclient::displaySafe(headerText(fieldText(h.subject, kSubjectField), given)));
    }
}

std::string areaTitle(const Area& area) {
    return area.shownTag() + " (area " + std::to_string(area.number) + ", " + areaTypeText(area.info.type) + ")";
}

void commandList(Session& s, const std::string& areaName, bool threads, const Charset* given) {
    Area area = s.findArea(areaName);
    std::vector<pktMsgHeader> headers = s.messages(area);
    std::string title = areaTitle(area) + ": " + std::to_string(headers.size()) + " message" +
                        (headers.size() == 1 ? "" : "s");
    std::vector<qclient::ThreadRow> rows;
    if (threads) {
        rows = qclient::threadRows(headers);
        size_t trees = size_t(std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.depth == 0; }));
        title += " in " + std::to_string(trees) + " thread" + (trees == 1 ? "" : "s");
    } else {
        for (size_t i = 0; i < headers.size(); ++i) rows.push_back(qclient::ThreadRow{i, 0, false});
    }
    say(title);
    if (!headers.empty()) printHeaderRows(headers, rows, given);
}

void commandThread(Session& s, const std::string& areaName, const std::string& numberText,
                   const Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    std::vector<pktMsgHeader> headers = s.messages(area);
    std::vector<qclient::ThreadRow> rows = qclient::threadRowsOf(headers, number);
    if (rows.empty()) fail(kExitRefused, "no message #" + std::to_string(number) + " in " + area.tag());
    say("Thread of #" + std::to_string(number) + " in " + areaTitle(area) + ": " + std::to_string(rows.size()) +
        " message" + (rows.size() == 1 ? "" : "s"));
    printHeaderRows(headers, rows, given);
}

// A fetched message; the refusal names the message.
void fetchMessage(Session& s, const Area& area, uint32_t number, pktMessage& m, std::vector<std::string>& lines,
                  const std::string& what) {
    s.check(s.conn().getMessage(area.number, number, m, lines), what,
            "no message #" + std::to_string(number) + " in " + area.tag() + " (or it cannot be read)");
}

const Charset& fetchedCharset(const std::vector<std::string>& lines, const Charset* given, uint32_t number) {
    std::string unknown;
    const Charset& c = messageCharset(lines, given, unknown);
    if (!unknown.empty())
        fprintf(stderr, "quorva-client: message #%u names the charset '%s' in its CHRS kludge, which this client does "
                        "not know; it is shown as %s\n",
                number, qclient::encodeForTerminal(qclient::displaySafe(unknown), terminalCodeset()).c_str(), c.name);
    return c;
}

void commandRead(Session& s, const std::string& areaName, const std::string& numberText,
                 const Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    pktMessage m;
    std::vector<std::string> lines;
    fetchMessage(s, area, number, m, lines, "read");
    const Charset& charset = fetchedCharset(lines, given, number);
    auto text = [&](const std::string& bytes) {
        return qclient::displaySafe(decodeToUtf8(bytes, charset.iconvName));
    };

    auto withAddr = [](const std::string& name, const FidoAddr& a) {
        return isZero(a) ? name : name + ", " + addrText(a);
    };
    say("Message #" + std::to_string(m.header.msgNumber) + " in " + areaTitle(area));
    say("From:    " + withAddr(text(fieldText(m.header.fromName, kNameField)), m.origAddr));
    say("To:      " + withAddr(text(fieldText(m.header.toName, kNameField)), m.destAddr));
    say("Subject: " + text(fieldText(m.header.subject, kSubjectField)));
    say("Date:    " + packedDateText(m.header.dateWritten));
    say("Attr:    " + attrText(m.attributes));

    std::vector<std::string> kludges, body;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '\x01')
            kludges.push_back("^A" + text(line.substr(1)));
        else
            body.push_back(text(line));
    }
    if (!kludges.empty()) {
        say("Kludges:");
        for (const std::string& k : kludges) say("  " + k);
    }
    say("--------------------------------------------------------------------------");
    for (const std::string& t : body) say(t);
}

void commandPost(Session& s, const Options& o, const std::string& areaName, const Charset* given) {
    if (!o.haveSubject) fail(kExitUsage, "post needs --subject TEXT");
    const Charset& charset = given ? *given : utf8Charset();
    Outgoing out;
    if (o.haveAttr) out.attributes = kAttrLocal | parseAttributes(o.attr);
    if (o.haveDest) out.dest = parseAddress(o.dest, "--dest");
    out.from = o.haveFrom ? headerField(o.from, charset, "--from", kNameField)
                          : headerField(s.user(), charset, "the user name", kNameField);
    out.to = headerField(o.haveTo ? o.to : "All", charset, "--to", kNameField);
    out.subject = headerField(o.subject, charset, "--subject", kSubjectField);

    // The text is read before the connection is made: the session does not wait for a
    // person typing.
    if (isatty(STDIN_FILENO)) fprintf(stderr, "Enter the message text; end it with Ctrl-D on a line of its own.\n");
    std::string utf8 = localeToUtf8(readAll(stdin), "the message text", true);
    if (isBlank(utf8) && !o.allowEmpty)
        fail(kExitUsage, "the message text is empty: nothing posted (--allow-empty posts it anyway)");
    out.text = chrsKludge(charset) + "\r" +
               withCrLineEnds(utf8ToCharset(utf8, charset, "the message text", true));

    s.open();
    Area area = s.findArea(areaName);
    bool netmail = area.info.type == AREA_TYPE_NETMAIL;
    if (netmail && !o.haveTo) fail(kExitUsage, "a netmail post needs --to NAME");
    if (netmail && !o.haveDest) fail(kExitUsage, "a netmail post needs --dest ZONE:NET/NODE[.POINT]");
    if (!netmail && o.haveAttr)
        fail(kExitUsage, "--attr applies to netmail only: the server gives every new echomail message its own "
                         "attribute word; nothing posted");
    postMessage(s, area, out);
}

// The charset of a reply without --charset: the one the original's CHRS kludge names, when
// every part of the reply (UTF-8) can be written in it; else UTF-8, which holds them all.
const Charset& replyCharset(const std::vector<std::string>& originalLines, const std::vector<std::string>& utf8Parts) {
    const Charset* named = findCharset(chrsName(originalLines));
    if (!named) return utf8Charset();
    std::string converted;
    ConversionError e;
    for (const std::string& part : utf8Parts)
        if (!encodeStrict(part, named->iconvName, converted, e)) return utf8Charset();
    return *named;
}

void commandReply(Session& s, const Options& o, const std::string& areaName, const std::string& numberText,
                  const Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    // The header is checked in --charset (or UTF-8) before anything is fetched or written;
    // without --charset the reply may yet take the original's charset, once its text is known.
    const Charset& headerCharset = given ? *given : utf8Charset();
    Outgoing out;
    if (o.haveAttr) out.attributes = kAttrLocal | parseAttributes(o.attr);
    out.from = headerField(s.user(), headerCharset, "the user name", kNameField);

    s.open();
    Area area = s.findArea(areaName);
    bool netmail = area.info.type == AREA_TYPE_NETMAIL;
    if (!netmail && o.haveAttr)
        fail(kExitUsage, "--attr applies to netmail only: the server gives every new echomail message its own "
                         "attribute word");
    pktMessage original;
    std::vector<std::string> lines;
    fetchMessage(s, area, number, original, lines, "reply");
    s.close();  // the reply may take a while to write

    const Charset& originalCharset = fetchedCharset(lines, given, number);
    auto asUtf8 = [&](const std::string& bytes) { return decodeToUtf8(bytes, originalCharset.iconvName); };
    std::string originalFrom = asUtf8(fieldText(original.header.fromName, kNameField));
    std::vector<std::string> utf8Lines;
    for (const std::string& line : lines) utf8Lines.push_back(asUtf8(line));

    std::string subject = qclient::replySubject(asUtf8(fieldText(original.header.subject, kSubjectField)));
    auto setHeader = [&](const Charset& charset) {
        out.from = headerField(s.user(), charset, "the user name", kNameField);
        out.to = cutField(utf8ToCharset(originalFrom, charset, "the original's sender name", false), charset,
                          kNameField);
        out.subject = cutField(utf8ToCharset(subject, charset, "the reply's subject", false), charset, kSubjectField);
    };
    setHeader(headerCharset);
    if (netmail) out.dest = qclient::replyDestination(lines, original.origAddr);
    // What answers private netmail is meant for the same eyes only.
    if (netmail && (original.attributes & kAttrPrivate)) out.attributes |= kAttrPrivate;
    std::string msgId = qclient::kludgeValue(lines, "MSGID");
    if (msgId.empty())
        fprintf(stderr, "quorva-client: message #%u has no MSGID: the reply cannot name it in a REPLY kludge\n",
                number);

    std::string quote;
    for (const std::string& line : qclient::quoteLines(utf8Lines, originalFrom))
        quote += qclient::displaySafe(line) + "\n";
    if (!quote.empty()) quote += "\n";
    std::string draft = qclient::encodeForTerminal(quote, terminalCodeset());

    std::string written;
    std::unique_ptr<DraftFile> file;
    if (isatty(STDIN_FILENO)) {
        file = std::make_unique<DraftFile>(draft);
        runEditor(*file);
        written = file->read();
        if (written == draft || isBlank(written))
            fail(kExitUsage, "the draft was left empty or unchanged: nothing posted");
    } else {
        std::string added = readAll(stdin);
        if (isBlank(added)) fail(kExitUsage, "no text on standard input: nothing posted");
        written = draft + added;
    }
    // The draft stays until the reply is posted: a refusal from here on must not lose it.
    if (file) file->keep();
    try {
        std::string utf8Text = localeToUtf8(written, "the reply's text", true);
        std::string userName = localeToUtf8(s.user(), "the user name", false);
        const Charset& charset =
            given ? *given : replyCharset(lines, {userName, originalFrom, subject, utf8Text});
        if (&charset != &headerCharset) setHeader(charset);
        std::string text = utf8ToCharset(utf8Text, charset, "the reply's text", true);
        if (!text.empty() && text.back() != '\n') text += '\n';
        out.text = msgId.empty() ? std::string() : "\x01" "REPLY: " + msgId + "\r";
        out.text += chrsKludge(charset) + "\r" + withCrLineEnds(text);

        s.open();
        postMessage(s, s.findArea(std::to_string(area.number)), out, ", a reply to #" + std::to_string(number));
    } catch (Failure& f) {
        if (file) f.message += " (the draft is kept in " + file->path() + ")";
        throw;
    }
    if (file) file->keep(false);
}

void commandDelete(Session& s, const std::string& areaName, const std::string& numberText) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    s.check(s.conn().deleteMsg(area.number, number), "delete",
            "the server refused to delete message #" + std::to_string(number) + " in " + area.tag() +
                ": there is no such message, or it is not yours to delete (without the super right only "
                "your own messages that are not yet sent)");
    say("Deleted message #" + std::to_string(number) + " from " + area.shownTag() + ".");
}

void commandPing(Session& s) {
    auto start = std::chrono::steady_clock::now();
    s.check(s.conn().ping(), "ping");
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char roundTrip[64];
    snprintf(roundTrip, sizeof roundTrip, "; round trip %.3f ms", ms);
    say(s.where() + " answers: logged in as " +
        qclient::displaySafe(decodeToUtf8(s.user(), terminalCodeset().c_str())) + ", " +
        addrText(s.address()) + roundTrip);
}

struct CommandSpec {
    const char* name;
    size_t arguments;
    const char* usage;
};

const CommandSpec kCommands[] = {
    {"areas", 0, "areas"},
    {"list", 1, "list AREA"},
    {"thread", 2, "thread AREA NUMBER"},
    {"read", 2, "read AREA NUMBER"},
    {"post", 1, "post AREA"},
    {"reply", 2, "reply AREA NUMBER"},
    {"delete", 2, "delete AREA NUMBER"},
    {"ping", 0, "ping"},
};

}  // namespace

int runCommand(const Options& o) {
    if (o.words.empty()) fail(kExitUsage, "no command given (see --help)");
    const std::string& command = o.words[0];
    const CommandSpec* spec = nullptr;
    for (const CommandSpec& c : kCommands)
        if (command == c.name) spec = &c;
    if (!spec) fail(kExitUsage, "unknown command '" + command + "' (see --help)");
    if (o.words.size() != spec->arguments + 1) fail(kExitUsage, std::string("usage: quorva-client ") + spec->usage);
    if (command != "post" && (o.haveTo || o.haveSubject || o.haveDest || o.haveFrom || o.allowEmpty))
        fail(kExitUsage, "--to, --subject, --dest, --from and --allow-empty belong to the post command");
    if (command != "post" && command != "reply" && o.haveAttr)
        fail(kExitUsage, "--attr belongs to the post and reply commands");
    if (command != "list" && o.threads) fail(kExitUsage, "--threads belongs to the list command");

    useLocaleCharset();
    const Charset* given = givenCharset(o);

    Session s(connectionSettings(o));
    if (command == "post") {
        commandPost(s, o, o.words[1], given);  // reads its text before it connects
        return kExitOk;
    }
    if (command == "reply") {
        commandReply(s, o, o.words[1], o.words[2], given);
        return kExitOk;
    }
    s.open();
    if (command == "areas") commandAreas(s);
    else if (command == "list") commandList(s, o.words[1], o.threads, given);
    else if (command == "thread") commandThread(s, o.words[1], o.words[2], given);
    else if (command == "read") commandRead(s, o.words[1], o.words[2], given);
    else if (command == "delete") commandDelete(s, o.words[1], o.words[2]);
    else commandPing(s);
    return kExitOk;
}

}  // namespace qclient::cli
