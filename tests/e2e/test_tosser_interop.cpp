// The server beside a real FidoNet tosser, crashmail, sharing its netmail area (a *.msg
// directory), end to end in both directions:
//  - netmail in: packets made by crashwrite (points on both sides, another zone, a long
//    text, 8-bit names and text, a reply) are tossed by crashmail, and the server must
//    list, count and fetch every message with what its packet carried;
//  - netmail out: a message posted through the server is exported by crashmail (SCAN),
//    and the packet, tossed by a second node's crashmail, must arrive there intact.
// crashmail handles *.msg and JAM message bases only, so echomail (Squish bases on the
// server's side) has no common format with it and no round trip here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/fido_packet.h"
#include "common/interop_checks.h"
#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/tosser_interop.h"
#include "support/le.h"

namespace {

using fidopkt::kludgeValue;
using fidopkt::PackedMsg;
using fidopkt::textLines;
using interop::cleanField;
using qclient::Connection;
using qclient::Status;
using tosser::NetmailDraft;
using tosser::NodeSetup;
using tosser::TosserNode;

constexpr uint16_t kAttrPrivate = 0x0001;
constexpr uint16_t kAttrSent = 0x0008;
constexpr uint16_t kAttrLocal = 0x0100;

const std::string kA = "\x01";  // kludge mark

// Our node; the server's users are its points.
const char kOurAka[] = "2:5020/200.0";

class TosserInterop : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = tosser::missingPrograms();
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
};

FidoAddr parsed(const std::string& text) {
    FidoAddr a;
    EXPECT_TRUE(parseFidoAddr(text.c_str(), a)) << text;
    return a;
}

// The leading kludge lines of a text, its body, and the kludges a tosser appended after
// the body (its Via lines).
struct SplitText {
    std::vector<std::string> kludges, body, trailer;
};
SplitText splitText(const std::vector<std::string>& lines) {
    SplitText s;
    size_t i = 0;
    while (i < lines.size() && !lines[i].empty() && lines[i][0] == 1) s.kludges.push_back(lines[i++]);
    size_t end = lines.size();
    while (end > i && !lines[end - 1].empty() && lines[end - 1][0] == 1) --end;
    s.body.assign(lines.begin() + long(i), lines.begin() + long(end));
    s.trailer.assign(lines.begin() + long(end), lines.end());
    return s;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The text of a stored message file up to its first zero byte.
std::string storedText(const msgfixture::StoredMsg& m) { return m.text.substr(0, m.text.find('\0')); }

std::string tosserCfg(const std::string& netmailDir) { return "NetArea NETMAIL " + netmailDir + "\n"; }

// ---------------------------------------------------------------------------------------
// Netmail in

struct IncomingCase {
    const char* name;
    NetmailDraft draft;
    int replyTo;  // index of the case whose MSGID this one's REPLY kludge repeats, or -1
};

std::string longText() {
    std::string text;
    for (int i = 0; i < 400; ++i) {
        char line[96];
        snprintf(line, sizeof line, "Line %03d of a long netmail: the quick brown fox jumps over the lazy dog.\n", i);
        text += line;
        if (i == 200) text += std::string(3000, 'X') + "\n";
    }
    return text;
}

std::vector<IncomingCase> incomingCases() {
    return {
        {"points on both sides",
         {"Alice Point", "2:5020/100.7", "Bob Point", "2:5020/200.3", "Points on both sides",
          "Hello Bob,\nthis netmail goes from a point to a point.\n\nRegards, Alice\n"},
         -1},
        {"another zone, long text",
         {"Carol Node", "1:234/5", "Test Sysop", kOurAka, std::string(57, 'L') + " subject of 71",
          longText()},
         -1},
        {"8-bit names, subject and text",
         // CP437 and CP866 bytes; 0x8D (CP866 "H") is an ordinary byte, not a line break.
         {"J\x81rgen M\x81ller", "2:5020/300.12", "\x81\xae\xe0\xa8\xe1 \x8f\xa5\xe2\xe0\xae\xa2", kOurAka,
          "\x8f\xe0\xa8\xa2\xa5\xe2 \x84\x94\x81\xe1",
          "\x8f\xe0\xa8\xa2\xa5\xe2, \x81\xae\xe0\xa8\xe1!\n\x8d\xa5\xe2 \xe1\xae\xae\xa1\xe9\xa5\xad\xa8\xa9 \xff\x80\n"},
         -1},
        {"reply with a 35-character name",
         {"Maximilian Alexander von Habsburger", "2:5020/100.7", "Bob Point", "2:5020/200.3",
          "Re: Points on both sides", "Agreed.\n"},
         0},
    };
}

// One tossed message: what its packet carried and the number crashmail stored it under.
struct Tossed {
    PackedMsg packed;
    FidoAddr orig, dest;
    uint32_t number = 0;
};

void expectCounts(Connection& c, uint32_t count, uint32_t unread) {
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(cleanField(areas[0].name), "NETMAIL");
    EXPECT_EQ(areas[0].type, 1);
    EXPECT_EQ(areas[0].msgCount, count);
    EXPECT_EQ(areas[0].unreadCount, unread);
}

TEST_F(TosserInterop, NetmailTossedByCrashmailIsListedCountedAndFetched) {
    TempDir tmp;
    NodeSetup setup;
    setup.aka = kOurAka;
    setup.imports = {"2:5020/200.3"};  // a point of ours; mail to the node itself is imported anyway
    TosserNode node(tmp.file("node"), setup);
    tmp.mkdir("packets");
    tmp.mkdir("drafts");

    // Packets first, each read back so that the expectations are what travelled.
    std::vector<IncomingCase> cases = incomingCases();
    std::vector<Tossed> tossed(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        NetmailDraft draft = cases[i].draft;
        if (cases[i].replyTo >= 0) {
            std::vector<std::string> original = textLines(tossed[size_t(cases[i].replyTo)].packed.text);
            draft.text = kA + "REPLY: " + kludgeValue(original, "MSGID") + "\n" + draft.text;
        }
        std::string packet, error;
        ASSERT_TRUE(tosser::writeNetmailPacket(draft, tmp.file("packets"), tmp.file("drafts"), packet, &error))
            << error;
        fidopkt::Packet inPacket;
        ASSERT_TRUE(fidopkt::readPacketFile(packet, inPacket, &error)) << error;
        ASSERT_EQ(inPacket.messages.size(), 1u);
        tossed[i].packed = inPacket.messages[0];
        tossed[i].orig = parsed(draft.fromAddr);
        tossed[i].dest = parsed(draft.toAddr);
        // crashwrite carried the draft as given (names and subject fit their fields).
        EXPECT_EQ(tossed[i].packed.fromName, draft.fromName);
        EXPECT_EQ(tossed[i].packed.toName, draft.toName);
        EXPECT_EQ(tossed[i].packed.subject, draft.subject);
    }

    tosser::RunResult toss = node.crashmail({"TOSSDIR", tmp.file("packets"), "NOSECURITY"});
    ASSERT_EQ(toss.exitStatus, 0) << tosser::describe(toss);
    std::vector<std::string> files = node.netmailFiles();
    ASSERT_EQ(files.size(), cases.size()) << tosser::describe(toss) << node.log();

    // Which file holds which message: subjects are unique.
    for (const std::string& name : files) {
        msgfixture::StoredMsg stored;
        ASSERT_TRUE(msgfixture::readMsgFile(node.netmailDir() + "/" + name, stored)) << name;
        std::string subject = msgfixture::fieldText(stored.subjectField);
        auto it = std::find_if(tossed.begin(), tossed.end(),
                               [&](const Tossed& t) { return t.packed.subject == subject; });
        ASSERT_NE(it, tossed.end()) << name << " has an unknown subject";
        it->number = uint32_t(strtoul(name.c_str(), nullptr, 10));
    }

    ServerProcess server;
    tmp.write("squish.cfg", tosserCfg(node.netmailDir()));
    ASSERT_TRUE(server.start(tmp, "squishCfg " + tmp.file("squish.cfg") + "\nnetmailVisibility all\nuser Bob Point,secret,2:5020/200.3\n"))
        << server.err();
    Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Bob Point", "secret", FidoAddr{2, 5020, 200, 3}), Status::Ok);

    // The list: every message, ascending, with the names, subject, date and kludge hashes
    // of its packet.
    std::vector<pktMsgHeader> list;
    ASSERT_EQ(c.getMsgList(0, list), Status::Ok);
    ASSERT_EQ(list.size(), tossed.size());
    std::vector<uint32_t> numbers;
    for (const Tossed& t : tossed) numbers.push_back(t.number);
    std::sort(numbers.begin(), numbers.end());
    std::map<uint32_t, pktMsgHeader> byNumber;
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].msgNumber, numbers[i]);
        byNumber[list[i].msgNumber] = list[i];
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const Tossed& t = tossed[i];
        ASSERT_EQ(byNumber.count(t.number), 1u);
        const pktMsgHeader& h = byNumber[t.number];
        interop::expectListedAsPacked(h, t.packed);
        EXPECT_NE(h.msgIdHash, 0u);
        if (cases[i].replyTo >= 0) {
            // The client links the reply to the message it answers.
            EXPECT_EQ(h.replyHash, byNumber[tossed[size_t(cases[i].replyTo)].number].msgIdHash);
        }
    }

    // Fetching: the record with both addresses, points included, and every line of the
    // packet's text, kludges first; a tosser's own trace kludges may follow.
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const Tossed& t = tossed[i];
        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(c.getMessage(0, t.number, m, lines), Status::Ok);
        EXPECT_EQ(m.header.msgNumber, t.number);
        interop::expectHeaderAsPacked(m.header, t.packed);
        EXPECT_EQ(formatFidoAddr(m.origAddr), formatFidoAddr(t.orig));
        EXPECT_EQ(formatFidoAddr(m.destAddr), formatFidoAddr(t.dest));
        msgfixture::StoredMsg stored;
        ASSERT_TRUE(msgfixture::readMsgFile(node.netmailDir() + "/" + std::to_string(t.number) + ".msg", stored));
        EXPECT_EQ(m.attributes, stored.attribute);
        EXPECT_EQ(m.attributes & kAttrPrivate, t.packed.attribute & kAttrPrivate);

        std::vector<std::string> packetLines = textLines(t.packed.text);
        ASSERT_GE(lines.size(), packetLines.size());
        for (size_t k = 0; k < packetLines.size(); ++k) EXPECT_EQ(lines[k], packetLines[k]) << "line " << k;
        for (size_t k = packetLines.size(); k < lines.size(); ++k)
            EXPECT_EQ(lines[k].substr(0, 1), kA) << "extra line " << k << ": " << lines[k];
        // What crashwrite put at the top: the routing kludges for the zones and points.
        SplitText split = splitText(packetLines);
        EXPECT_EQ(kludgeValue(split.kludges, "INTL"), fidopkt::intlValue(t.dest, t.orig));
        EXPECT_EQ(kludgeValue(packetLines, "FMPT"), t.orig.point ? std::to_string(t.orig.point) : "");
        EXPECT_EQ(kludgeValue(packetLines, "TOPT"), t.dest.point ? std::to_string(t.dest.point) : "");
        EXPECT_EQ(kludgeValue(packetLines, "MSGID").rfind(cases[i].draft.fromAddr, 0), 0u);
        std::vector<std::string> draftBody = textLines([&] {
            std::string s = cases[i].draft.text;
            std::replace(s.begin(), s.end(), '\n', '\r');
            return s;
        }());
        EXPECT_EQ(split.body, draftBody);
    }

    // Counting: every message unread without a lastread file, then by the mark a reader
    // leaves (the tosser never writes one; some tools spell the name in capitals).
    struct LastreadCase {
        const char* name;
        const char* file;  // nullptr: no lastread file
        size_t markIndex;  // index into the sorted numbers
        uint32_t unread;
    };
    const LastreadCase lastreadCases[] = {
        {"no lastread file", nullptr, 0, 4},
        {"mark on the second message", "lastread", 1, 2},
        {"mark on the last message", "lastread", 3, 0},
        {"mark on the first message, name in capitals", "LASTREAD", 0, 3},
    };
    for (const LastreadCase& lc : lastreadCases) {
        SCOPED_TRACE(lc.name);
        std::remove((node.netmailDir() + "/lastread").c_str());
        std::remove((node.netmailDir() + "/LASTREAD").c_str());
        if (lc.file) {
            ASSERT_TRUE(msgfixture::writeLastread(node.netmailDir(), uint16_t(numbers[lc.markIndex]), lc.file));
        }
        expectCounts(c, uint32_t(tossed.size()), lc.unread);
    }
}

// ---------------------------------------------------------------------------------------
// Netmail out

const FidoAddr kUserAddr{2, 5020, 200, 5};
const char kUserName[] = "Local User";

enum class AreaBefore {
    Empty,
    TossedNetmail,       // a netmail to the user, tossed by crashmail (2.msg)
    UpperCaseNeighbour,  // 7.MSG, a received netmail written by another tool
};

struct OutgoingCase {
    const char* name;
    const char* remoteAka;  // the destination's node, which runs the second crashmail
    const char* remoteName;
    FidoAddr dest;
    AreaBefore before;
    bool reply;               // the post answers the tossed netmail (REPLY kludge)
    uint32_t expectedNumber;  // the number the server gives the post; 0: any
};

// The 7.MSG written by another tool: received, so no tosser would export it.
msgfixture::MsgFile upperCaseNeighbour() {
    msgfixture::MsgFile m;
    m.fromName = "Somebody Else";
    m.toName = kUserName;
    m.subject = "Received earlier";
    m.dateTime = "05 Jan 26  10:00:00";
    m.orig = FidoAddr{2, 5020, 300, 0};
    m.dest = kUserAddr;
    m.attribute = kAttrPrivate | kAttrSent;
    m.kludges = {"INTL 2:5020/200 2:5020/300", "TOPT 5", "MSGID: 2:5020/300.0 0badcafe"};
    m.body = "Seen already.\r";
    return m;
}

void exportRoundTrip(const OutgoingCase& oc) {
    TempDir tmp;
    const std::string userAddr = formatFidoAddr(kUserAddr);
    const FidoAddr remoteAka = parsed(oc.remoteAka);
    const std::string remoteBoss = formatFidoAddr(remoteAka);

    NodeSetup ours;
    ours.aka = kOurAka;
    ours.links = {remoteBoss};
    ours.imports = {userAddr};
    ours.extra = {std::string("ROUTE \"*:*/*.*\" \"*:*/*.0\" ") + kOurAka};  // netmail goes to the boss node
    TosserNode node(tmp.file("ours"), ours);

    NodeSetup theirs;
    theirs.aka = remoteBoss;
    theirs.sysop = "Remote Sysop";
    theirs.links = {kOurAka};
    if (oc.dest.point != 0) theirs.imports = {formatFidoAddr(oc.dest)};
    TosserNode remote(tmp.file("remote"), theirs);

    // The area as the post finds it.
    std::string incomingMsgId;
    std::string neighbourBytes;
    if (oc.before == AreaBefore::TossedNetmail) {
        tmp.mkdir("packets");
        tmp.mkdir("drafts");
        NetmailDraft d{oc.remoteName, formatFidoAddr(oc.dest), kUserName, userAddr, "Question",
                       "Can you read this?\n"};
        std::string packet, error;
        ASSERT_TRUE(tosser::writeNetmailPacket(d, tmp.file("packets"), tmp.file("drafts"), packet, &error)) << error;
        fidopkt::Packet packed;
        ASSERT_TRUE(fidopkt::readPacketFile(packet, packed, &error)) << error;
        ASSERT_EQ(packed.messages.size(), 1u);
        incomingMsgId = kludgeValue(textLines(packed.messages[0].text), "MSGID");
        tosser::RunResult toss = node.crashmail({"TOSSDIR", tmp.file("packets"), "NOSECURITY"});
        ASSERT_EQ(toss.exitStatus, 0) << tosser::describe(toss);
        ASSERT_EQ(node.netmailFiles(), std::vector<std::string>{"2.msg"}) << tosser::describe(toss);
    } else if (oc.before == AreaBefore::UpperCaseNeighbour) {
        neighbourBytes = msgfixture::encodeMsgFile(upperCaseNeighbour());
        ASSERT_TRUE(msgfixture::writeRawFile(node.netmailDir() + "/7.MSG", neighbourBytes));
    }

    ServerProcess server;
    tmp.write("squish.cfg", tosserCfg(node.netmailDir()));
    ASSERT_TRUE(server.start(tmp, "squishCfg " + tmp.file("squish.cfg") + "\nnetmailVisibility all\nuser " + kUserName + ",secret," +
                                      userAddr + "\n"))
        << server.err();
    Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login(kUserName, "secret", kUserAddr), Status::Ok);

    // The post, as a reader sends it: local and private, a body with 8-bit characters.
    const std::string subject = oc.reply ? "Re: Question" : "Greetings from a point";
    std::string body = "Hello,\rthis netmail leaves through the tosser.\r\x8f\xe0\xa8\xa2\xa5\xe2 \xe4\xf6\xfc\r";
    std::string text = (oc.reply ? kA + "REPLY: " + incomingMsgId + "\r" : std::string()) + body;
    pktMessage post;
    copyField(post.header.fromName, kUserName, sizeof post.header.fromName);
    copyField(post.header.toName, oc.remoteName, sizeof post.header.toName);
    copyField(post.header.subject, subject.c_str(), sizeof post.header.subject);
    post.destAddr = oc.dest;
    post.areaNumber = 0;
    post.attributes = kAttrLocal | kAttrPrivate;
    ASSERT_EQ(c.post(post, text), Status::Ok);

    std::vector<pktMsgHeader> list;
    ASSERT_EQ(c.getMsgList(0, list), Status::Ok);
    ASSERT_FALSE(list.empty());
    const uint32_t number = list.back().msgNumber;
    if (oc.expectedNumber != 0) {
        ASSERT_EQ(number, oc.expectedNumber) << "files: " << ::testing::PrintToString(node.netmailFiles());
    }
    const std::string postedPath = node.netmailDir() + "/" + std::to_string(number) + ".msg";
    msgfixture::StoredMsg posted;
    ASSERT_TRUE(msgfixture::readMsgFile(postedPath, posted))
        << "files: " << ::testing::PrintToString(node.netmailFiles());
    const std::vector<std::string> postedKludges = splitText(textLines(storedText(posted))).kludges;
    const std::string msgId = kludgeValue(postedKludges, "MSGID");
    ASSERT_EQ(msgId.rfind(userAddr + " ", 0), 0u) << msgId;

    // Our crashmail exports it.
    tosser::RunResult scan = node.crashmail({"SCAN"});
    ASSERT_EQ(scan.exitStatus, 0) << tosser::describe(scan);
    std::vector<std::string> packets = node.outboundPackets();
    ASSERT_FALSE(packets.empty()) << "nothing exported: " << tosser::describe(scan) << node.log();
    std::vector<PackedMsg> exported;
    for (const std::string& p : packets) {
        fidopkt::Packet inPacket;
        std::string error;
        ASSERT_TRUE(fidopkt::readPacketFile(p, inPacket, &error)) << error;
        exported.insert(exported.end(), inPacket.messages.begin(), inPacket.messages.end());
    }
    ASSERT_EQ(exported.size(), 1u) << "only the post is due for export";
    EXPECT_EQ(exported[0].dateTime, msgfixture::fieldText(posted.dateField));

    // The tosser marked it sent in place; the server shows that, and still lists the
    // neighbour it left alone.
    pktMessage fetched;
    std::vector<std::string> lines;
    ASSERT_EQ(c.getMessage(0, number, fetched, lines), Status::Ok);
    EXPECT_EQ(fetched.attributes & (kAttrSent | kAttrLocal | kAttrPrivate), kAttrSent | kAttrLocal | kAttrPrivate);
    if (oc.before == AreaBefore::UpperCaseNeighbour) {
        std::string now;
        ASSERT_TRUE(msgfixture::readFile(node.netmailDir() + "/7.MSG", now));
        EXPECT_EQ(now, neighbourBytes);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].msgNumber, 7u);
    }

    // The packet reaches the remote node, whose crashmail tosses it into its netmail area.
    for (const std::string& p : packets) ASSERT_TRUE(remote.receive(p)) << p;
    tosser::RunResult toss = remote.crashmail({"TOSS"});
    ASSERT_EQ(toss.exitStatus, 0) << tosser::describe(toss);
    std::vector<std::string> arrived = remote.netmailFiles();
    ASSERT_EQ(arrived.size(), 1u) << tosser::describe(toss) << remote.log() << "remote outbound: "
                                  << ::testing::PrintToString(remote.outboundPackets());
    msgfixture::StoredMsg got;
    ASSERT_TRUE(msgfixture::readMsgFile(remote.netmailDir() + "/" + arrived[0], got));
    EXPECT_EQ(msgfixture::fieldText(got.fromField), kUserName);
    EXPECT_EQ(msgfixture::fieldText(got.toField), oc.remoteName);
    EXPECT_EQ(msgfixture::fieldText(got.subjectField), subject);
    EXPECT_EQ(msgfixture::fieldText(got.dateField), msgfixture::fieldText(posted.dateField));
    EXPECT_EQ(formatFidoAddr(got.origAddr()), userAddr);
    EXPECT_EQ(formatFidoAddr(got.destAddr()), formatFidoAddr(oc.dest));
    EXPECT_EQ(got.attribute & kAttrPrivate, kAttrPrivate);

    SplitText split = splitText(textLines(storedText(got)));
    EXPECT_EQ(sorted(split.kludges), sorted(postedKludges));
    EXPECT_EQ(kludgeValue(split.kludges, "MSGID"), msgId);
    EXPECT_EQ(kludgeValue(split.kludges, "INTL"), fidopkt::intlValue(oc.dest, kUserAddr));
    EXPECT_EQ(kludgeValue(split.kludges, "FMPT"), std::to_string(kUserAddr.point));
    EXPECT_EQ(kludgeValue(split.kludges, "TOPT"), oc.dest.point ? std::to_string(oc.dest.point) : "");
    EXPECT_EQ(kludgeValue(split.kludges, "REPLY"), oc.reply ? incomingMsgId : "");
    EXPECT_EQ(split.body, textLines(body));
}

TEST_F(TosserInterop, NetmailPostedThroughServerIsExportedAndArrivesIntact) {
    const OutgoingCase cases[] = {
        {"reply to a tossed netmail, point to point", "2:5030/400", "Remote Person", {2, 5030, 400, 9},
         AreaBefore::TossedNetmail, true, 3},
        {"7.MSG in capitals beside the post", "2:5030/400", "Remote Person", {2, 5030, 400, 9},
         AreaBefore::UpperCaseNeighbour, false, 8},
        {"node in another zone", "1:234/5", "Zone One Sysop", {1, 234, 5, 0}, AreaBefore::TossedNetmail, false, 3},
    };
    for (const OutgoingCase& oc : cases) {
        SCOPED_TRACE(oc.name);
        exportRoundTrip(oc);
    }
}

// crashmail keeps its highwater mark in 1.msg and never exports that file, so the first post
// into an empty netmail area must not land there.
TEST_F(TosserInterop, FirstNetmailPostedIntoEmptyAreaIsExported) {
    exportRoundTrip({"empty area", "2:5030/400", "Remote Person", {2, 5030, 400, 9}, AreaBefore::Empty, false, 0});
}

}  // namespace
