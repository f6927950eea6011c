// The commands of a logged-in session, end to end against the real server: area list,
// message list, fetch, post and delete on a Squish base and on a *.MSG directory, the
// refusals and their error lines, compressed replies, the unknown-command rule, the size
// bounds of requests, and logout.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "protocol/handlers.h"
#include "wire/packets.h"
#include "support/le.h"

namespace {

using qclient::Connection;
using qclient::Reply;
using qclient::Status;

const FidoAddr kUserAddr{2, 5020, 1, 0};
const FidoAddr kBossAddr{2, 5020, 2, 0};
// The ordinary user reads every netmail here, as on a node whose users share one mailbox:
// these tests are of the commands, the visibility of netmail has its own.
const char kUsers[] = "netmailVisibility all\nuser Name,pass,2:5020/1.0\nuser Boss,pw,2:5020/2.0,super\n";

constexpr int kWaitMs = 5000;  // a close or an output line; below the server's transfer stall
constexpr int kQuietMs = 200;  // how long "no reply" is watched for

const std::string kA = "\x01";  // kludge mark (kept apart: "\x01C..." would be one escape)

constexpr uint32_t packedDate(uint32_t day, uint32_t month, uint32_t years1980, uint32_t h, uint32_t m,
                              uint32_t s) {
    return day | month << 5 | years1980 << 9 | (s / 2) << 16 | m << 21 | h << 27;
}
// "05 Jan 07  13:45:30", the date of every fixture message.
constexpr uint32_t kFixtureDate = packedDate(5, 1, 27, 13, 45, 30);

template <size_t N>
std::string str(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

// True for ^A "MSGID: <addr> " followed by eight upper-case hexadecimal digits.
bool isMsgIdOf(const std::string& line, const FidoAddr& addr) {
    std::string prefix = kA + "MSGID: " + addrText(addr) + " ";
    if (line.size() != prefix.size() + 8 || line.compare(0, prefix.size(), prefix) != 0) return false;
    return std::all_of(line.begin() + long(prefix.size()), line.end(),
                       [](char c) { return isdigit(uint8_t(c)) || (c >= 'A' && c <= 'F'); });
}

std::vector<uint8_t> areaRequest(int32_t area) {
    std::vector<uint8_t> b(4);
    putI32(b.data(), area);
    return b;
}

std::vector<uint8_t> messageRequest(int32_t area, uint32_t number) {
    std::vector<uint8_t> b(8);
    putI32(b.data(), area);
    putU32(b.data() + 4, number);
    return b;
}

pktMessage postRecord(int32_t area, const std::string& to, const std::string& subject, const FidoAddr& dest,
                      uint16_t attributes = 0) {
    pktMessage m;
    copyField(m.header.fromName, "Name", sizeof m.header.fromName);
    copyField(m.header.toName, to.c_str(), sizeof m.header.toName);
    copyField(m.header.subject, subject.c_str(), sizeof m.header.subject);
    m.origAddr = FidoAddr{1, 1, 1, 1};  // forged: the server must put the user's address instead
    m.destAddr = dest;
    m.areaNumber = area;
    m.attributes = attributes;
    return m;
}

std::vector<uint8_t> postData(const pktMessage& m, const std::string& text) {
    std::vector<uint8_t> data(kMessageRecordSize + text.size());
    encodeMessage(m, data.data());
    memcpy(data.data() + kMessageRecordSize, text.data(), text.size());
    return data;
}

// The messages stored in both fixture areas. Numbers differ by format: UMSGIDs in the
// Squish base, file numbers in the *.MSG directory.
struct Sample {
    uint32_t squishNumber, msgNumber;
    std::string from, to, subject;
    std::vector<std::string> kludges;  // without ^A
    std::vector<std::string> lines;    // the text, each line stored with a CR
    uint16_t attr;
    FidoAddr orig, dest;
};

const std::vector<Sample>& samples() {
    static const std::vector<Sample> s = {
        {10, 1, "Alice Smith", "All", "First", {"MSGID: 2:5020/100.0 12345678", "PID: Fixture 1"},
         {"Hello all", "Second line"}, 0x0001, {2, 5020, 100, 0}, {2, 5020, 1, 0}},
        // Another address's message.
        {15, 2, "Bob", "Alice Smith", "Re: First", {"MSGID: 2:5020/200.0 23456789", "REPLY: 2:5020/100.0 12345678"},
         {"Hi Alice"}, 0x0100, {2, 5020, 200, 0}, {2, 5020, 100, 0}},
        {20, 5, "Carl", "Dora", "No kludges", {}, {"Plain text"}, 0x0000, {2, 5020, 400, 3}, {2, 5020, 1, 0}},
        // The user's own message, already sent.
        {25, 6, "Name", "Bob", "Sent reply", {"MSGID: 2:5020/1.0 11111111", "REPLY: 2:5020/200.0 23456789"},
         {"Thanks"}, 0x0108, {2, 5020, 1, 0}, {2, 5020, 200, 0}},
    };
    return s;
}

// Area numbers of the standard set of areas.
enum : int32_t { kEcho, kNetmail, kEmptyEcho, kEmptyNet, kGoneEcho, kGoneNet, kLongTag, kAreaCount };
const std::string kLongTagName = "LONG.TAG.OF.EXACTLY.36.CHARACTERS.XY";

// What differs between the two formats in the tests below.
struct Format {
    const char* name;
    int32_t area, emptyArea, goneArea;
    bool squish;
    const char* tag;  // of `area`
    uint32_t number(const Sample& s) const { return squish ? s.squishNumber : s.msgNumber; }
};
// The user as the console lines of refusals name them.
const std::string kUserLabel = "user Name, 2:5020/1.0";
const Format kFormats[] = {
    {"squish", kEcho, kEmptyEcho, kGoneEcho, true, "ECHO"},
    {"msg", kNetmail, kEmptyNet, kGoneNet, false, "NETMAIL"},
};

class Commands : public ::testing::Test {
protected:
    TempDir dir;
    ServerProcess server;

    std::string echoBase() const { return dir.file("echo"); }
    std::string netmailDir() const { return dir.file("netmail"); }
    // How the area's reasons name the files of `area` of the format.
    std::string whereOf(const Format& f) const {
        return f.squish ? "Squish base " + echoBase() : "*.MSG folder " + netmailDir();
    }

    // The file of message n in the netmail directory, whatever the letter case of its
    // name; empty when there is none.
    std::string netmailFile(uint32_t n) const {
        for (std::string name : msgfixture::listNames(netmailDir())) {
            std::string path = netmailDir() + "/" + name;
            std::transform(name.begin(), name.end(), name.begin(), [](char ch) { return char(tolower(uint8_t(ch))); });
            if (name == std::to_string(n) + ".msg") return path;
        }
        return "";
    }

    // Starts the server with the two users and the given tosser configuration.
    [[nodiscard]] bool start(const std::string& tosserLines) {
        dir.write("areas.cfg", tosserLines);
        return server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + kUsers);
    }

    // The standard areas: the samples in both formats with last-read marks, both formats
    // empty, both formats missing, and an area with a 36-character tag.
    [[nodiscard]] bool startStandard() {
        std::vector<sqfix::Message> echo;
        for (const Sample& s : samples()) {
            sqfix::Message m;
            m.from = s.from;
            m.to = s.to;
            m.subject = s.subject;
            for (const std::string& k : s.kludges) m.control += kA + k;
            for (const std::string& l : s.lines) m.text += l + "\r";
            m.attr = s.attr;
            m.orig = s.orig;
            m.dest = s.dest;
            echo.push_back(m);
        }
        sqfix::BuildOptions options;
        options.firstUmsgid = 10;
        options.umsgidStep = 5;
        options.lastReadMark = 15;
        sqfix::buildBase(echoBase(), echo, options);
        sqfix::buildBase(dir.file("emptyecho"), {});

        dir.mkdir("netmail");
        for (const Sample& s : samples()) {
            msgfixture::MsgFile m;
            m.fromName = s.from;
            m.toName = s.to;
            m.subject = s.subject;
            m.orig = s.orig;
            m.dest = s.dest;
            m.attribute = s.attr;
            m.kludges = s.kludges;
            m.body.clear();
            for (const std::string& l : s.lines) m.body += l + "\r";
            if (!msgfixture::writeMsgFile(netmailDir(), std::to_string(s.msgNumber) + ".MSG", m)) return false;
        }
        if (!msgfixture::writeLastread(netmailDir(), 2)) return false;
        dir.mkdir("emptynet");

        return start("EchoArea ECHO " + echoBase() + " -a 2:5020/1\n" +        //
                     "NetArea NETMAIL " + netmailDir() + "\n" +                 //
                     "EchoArea EMPTYECHO " + dir.file("emptyecho") + "\n" +    //
                     "NetArea EMPTYNET " + dir.file("emptynet") + "\n" +       //
                     "EchoArea GONE " + dir.file("gone") + "\n" +              //
                     "NetArea NODIR " + dir.file("nodir") + "\n" +             //
                     "EchoArea " + kLongTagName + " " + dir.file("long") + "\n");
    }

    [[nodiscard]] bool login(Connection& c, bool boss = false) {
        if (!server.connect(c)) return false;
        return (boss ? c.login("Boss", "pw", kBossAddr) : c.login("Name", "pass", kUserAddr)) == Status::Ok;
    }

    // Waits until the error stream holds `text` at least n times.
    [[nodiscard]] bool errCountReaches(const std::string& text, int n) {
        return waitUntil([&] { return server.countErr(text) >= n; }, kWaitMs);
    }

    std::vector<uint32_t> numbers(Connection& c, int32_t area) {
        std::vector<pktMsgHeader> headers;
        EXPECT_EQ(Status::Ok, c.getMsgList(area, headers));
        std::vector<uint32_t> n;
        for (const pktMsgHeader& h : headers) n.push_back(h.msgNumber);
        return n;
    }
};

TEST_F(Commands, AreaListReportsEveryAreaWithCountsTypesAndNames) {
    ASSERT_EQ(36u, kLongTagName.size());
    ASSERT_TRUE(startStandard()) << server.err();
    Connection c;
    ASSERT_TRUE(login(c));

    struct Expected {
        std::string name;
        int32_t type;
        uint32_t msgCount, unreadCount;
    };
    const Expected expected[] = {
        {"ECHO", 2, 4, 2},       // .SQL mark 15: 20 and 25 unread
        {"NETMAIL", 1, 4, 2},    // lastread 2: 5 and 6 unread
        {"EMPTYECHO", 2, 0, 0},  //
        {"EMPTYNET", 1, 0, 0},   //
        {"GONE", 2, 0, 0},       // statistics fail: 0 and 0
        {"NODIR", 1, 0, 0},      //
        {kLongTagName, 2, 0, 0},
    };
    // Twice on one connection: the list is rebuilt, not appended to.
    for (int round = 0; round < 2; ++round) {
        std::vector<pktAreaInfo> areas;
        ASSERT_EQ(Status::Ok, c.getAreaList(areas));
        ASSERT_EQ(std::size(expected), areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            SCOPED_TRACE(expected[i].name);
            EXPECT_EQ(expected[i].name, str(areas[i].name));
            EXPECT_EQ(expected[i].type, areas[i].type);
            EXPECT_EQ(expected[i].msgCount, areas[i].msgCount);
            EXPECT_EQ(expected[i].unreadCount, areas[i].unreadCount);
        }
        EXPECT_EQ(nullptr, memchr(areas[kLongTag].name, 0, sizeof areas[kLongTag].name));
    }
    EXPECT_EQ(0, server.countErr("error:")) << server.err();
}

TEST_F(Commands, AreaListWithoutAreasHasNoData) {
    ASSERT_TRUE(server.start(dir, kUsers)) << server.err();  // no tosser configuration named
    Connection c;
    ASSERT_TRUE(login(c));
    ASSERT_TRUE(c.sendPacket(CID_C_GETAREALIST, nullptr, 0));
    Reply r;
    ASSERT_TRUE(c.readReply(r));
    EXPECT_EQ(CID_S_AREALIST, r.cmd);
    EXPECT_EQ(0u, r.rawSize);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(Status::Ok, c.ping());
}

TEST_F(Commands, ListAndFetchInBothFormats) {
    ASSERT_TRUE(startStandard()) << server.err();
    Connection c;
    ASSERT_TRUE(login(c));
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        std::vector<pktMsgHeader> list;
        ASSERT_EQ(Status::Ok, c.getMsgList(f.area, list));
        ASSERT_EQ(samples().size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            const Sample& s = samples()[i];
            SCOPED_TRACE(s.subject);
            EXPECT_EQ(f.number(s), list[i].msgNumber);
            EXPECT_EQ(s.from, str(list[i].fromName));
            EXPECT_EQ(s.to, str(list[i].toName));
            EXPECT_EQ(s.subject, str(list[i].subject));
            EXPECT_EQ(kFixtureDate, list[i].dateWritten);
        }
        // Replies link to what they answer; a message without kludges has no hashes.
        EXPECT_NE(0u, list[0].msgIdHash);
        EXPECT_EQ(0u, list[0].replyHash);
        EXPECT_EQ(list[0].msgIdHash, list[1].replyHash);
        EXPECT_EQ(list[1].msgIdHash, list[3].replyHash);
        EXPECT_NE(list[0].msgIdHash, list[1].msgIdHash);
        EXPECT_EQ(0u, list[2].msgIdHash);
        EXPECT_EQ(0u, list[2].replyHash);

        for (const Sample& s : samples()) {
            SCOPED_TRACE(s.subject);
            pktMessage m;
            std::vector<std::string> lines;
            ASSERT_EQ(Status::Ok, c.getMessage(f.area, f.number(s), m, lines));
            EXPECT_EQ(f.number(s), m.header.msgNumber);
            EXPECT_EQ(s.from, str(m.header.fromName));
            EXPECT_EQ(s.to, str(m.header.toName));
            EXPECT_EQ(s.subject, str(m.header.subject));
            EXPECT_EQ(kFixtureDate, m.header.dateWritten);
            EXPECT_EQ(0u, m.header.msgIdHash);
            EXPECT_EQ(0u, m.header.replyHash);
            EXPECT_EQ(s.attr, m.attributes);
            // Both formats report the stored addresses.
            EXPECT_EQ(s.orig, m.origAddr);
            EXPECT_EQ(s.dest, m.destAddr);
            std::vector<std::string> want;
            for (const std::string& k : s.kludges) want.push_back(kA + k);
            want.insert(want.end(), s.lines.begin(), s.lines.end());
            EXPECT_EQ(want, lines);
        }

        // A missing number is refused, reported naming the area, the user and the cause, and
        // the connection goes on.
        const uint32_t missing = 999;
        const std::string line = "error: area " + std::string(f.tag) + ": fail to read message #999: " + kUserLabel +
                                 ": not found: " + whereOf(f) + ": no message 999\n";
        int before = server.countErr(line);
        pktMessage m;
        std::vector<std::string> lines;
        EXPECT_EQ(Status::Refused, c.getMessage(f.area, missing, m, lines));
        EXPECT_EQ(before + 1, server.countErr(line)) << server.err();
        EXPECT_EQ(Status::Ok, c.getMessage(f.area, f.number(samples()[0]), m, lines));
    }
    // Empty and missing areas give empty lists.
    for (int32_t area : {kEmptyEcho, kEmptyNet, kGoneEcho, kGoneNet}) {
        SCOPED_TRACE(area);
        std::vector<pktMsgHeader> list;
        EXPECT_EQ(Status::Ok, c.getMsgList(area, list));
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(Status::Ok, c.ping());
}

TEST_F(Commands, PostStoresTheUsersAddressInBothFormats) {
    ASSERT_TRUE(startStandard()) << server.err();
    Connection c;
    ASSERT_TRUE(login(c));
    const FidoAddr dest{2, 5020, 300, 0};
    const std::string text = kA + "CHRS: LATIN-1 2\rLine one\rLine two\r";
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        // The *.MSG area writes an INTL kludge before the MSGID.
        const std::vector<std::string> intl = f.squish ? std::vector<std::string>{}
                                                       : std::vector<std::string>{kA + "INTL 2:5020/300 2:5020/1"};
        // The server adds PID and TZUTC kludges to every post, and ends echomail with a
        // tearline and an Origin line (tests/e2e/test_post_rules.cpp has the details).
        const size_t added = 2;
        const std::vector<std::string> tail =
            f.squish ? std::vector<std::string>{"--- Quorva 1.0.1", " * Origin: Quorva 1.0.1 (2:5020/1.0)"}
                     : std::vector<std::string>{};

        // A post with a forged origin address.
        std::vector<uint32_t> before = numbers(c, f.area);
        ASSERT_EQ(Status::Ok, c.post(postRecord(f.area, "Carol", "Posted subject", dest, 0x0101), text));
        std::vector<uint32_t> after = numbers(c, f.area);
        ASSERT_EQ(before.size() + 1, after.size());
        const uint32_t number = after.back();
        EXPECT_GT(number, before.back());

        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(Status::Ok, c.getMessage(f.area, number, m, lines));
        EXPECT_EQ("Name", str(m.header.fromName));
        EXPECT_EQ("Carol", str(m.header.toName));
        EXPECT_EQ("Posted subject", str(m.header.subject));
        ASSERT_EQ(intl.size() + 4 + added + tail.size(), lines.size());
        EXPECT_TRUE(std::equal(intl.begin(), intl.end(), lines.begin()));
        EXPECT_TRUE(isMsgIdOf(lines[intl.size()], kUserAddr)) << lines[intl.size()];
        std::vector<std::string> posted = {kA + "CHRS: LATIN-1 2", "Line one", "Line two"};
        posted.insert(posted.end(), tail.begin(), tail.end());
        EXPECT_EQ(posted, std::vector<std::string>(lines.begin() + long(intl.size() + 1 + added), lines.end()));
        if (f.squish) {
            sqfix::BaseImage img;
            ASSERT_TRUE(sqfix::readBase(echoBase(), img));
            bool found = false;
            for (const sqfix::IndexRecord& r : img.messages()) {
                if (r.umsgid != number) continue;
                sqfix::Frame frame;
                ASSERT_TRUE(img.readFrame(r.frameOffset, frame));
                EXPECT_EQ(kUserAddr, frame.msg.orig);
                EXPECT_EQ(dest, frame.msg.dest);
                EXPECT_EQ(size_t(0), frame.control.find(kA + "MSGID: 2:5020/1.0 ")) << frame.control;
                found = true;
            }
            EXPECT_TRUE(found);
            EXPECT_EQ(std::vector<std::string>{}, sqfix::checkBase(echoBase()));
        } else {
            EXPECT_EQ(kUserAddr, m.origAddr);
            EXPECT_EQ(dest, m.destAddr);
            EXPECT_EQ(0x0101, m.attributes);
            msgfixture::StoredMsg stored;
            ASSERT_TRUE(msgfixture::readMsgFile(netmailFile(number), stored));
            EXPECT_EQ(kUserAddr, stored.origAddr());
            EXPECT_EQ(dest, stored.destAddr());
        }

        // A post of exactly the record: an empty text. Into the empty area, so it is the first
        // number: UMSGID 1, or 2.msg (1.msg is left to the tosser's high-water mark).
        const uint32_t first = f.squish ? 1 : 2;
        std::vector<uint8_t> bare = postData(postRecord(f.emptyArea, "Nobody", "Empty", dest), "");
        ASSERT_EQ(186u, bare.size());
        ASSERT_TRUE(c.sendPacket(CID_C_NEWMESSAGE, bare.data(), bare.size()));
        Reply r;
        ASSERT_TRUE(c.readReply(r));
        EXPECT_EQ(CID_S_OK, r.cmd);
        EXPECT_EQ(std::vector<uint32_t>{first}, numbers(c, f.emptyArea));
        ASSERT_EQ(Status::Ok, c.getMessage(f.emptyArea, first, m, lines));
        EXPECT_EQ("Empty", str(m.header.subject));
        ASSERT_EQ(intl.size() + 1 + added + tail.size(), lines.size());  // the kludges and nothing else
        EXPECT_TRUE(isMsgIdOf(lines[intl.size()], kUserAddr)) << lines[intl.size()];

        // A text without its terminating zero gets one from the server.
        std::vector<uint8_t> unterminated = postData(postRecord(f.emptyArea, "Nobody", "No zero", dest), "Last words");
        ASSERT_TRUE(c.sendPacket(CID_C_NEWMESSAGE, unterminated.data(), unterminated.size()));
        ASSERT_TRUE(c.readReply(r));
        EXPECT_EQ(CID_S_OK, r.cmd);
        ASSERT_EQ(Status::Ok, c.getMessage(f.emptyArea, first + 1, m, lines));
        ASSERT_GT(lines.size(), tail.size());
        EXPECT_EQ("Last words", lines[lines.size() - 1 - tail.size()]);

        // A post the area cannot store is refused with its cause on the console; the
        // session goes on.
        const std::string lost = f.squish ? "error: area GONE: fail to post: " + kUserLabel + ": not found: " +
                                                dir.file("gone") + ".sqd is missing\n"
                                          : "error: area NODIR: fail to post: " + kUserLabel +
                                                ": not found: *.MSG folder " + dir.file("nodir") + " is missing\n";
        int errors = server.countErr("error:");
        EXPECT_EQ(Status::Refused, c.post(postRecord(f.goneArea, "Carol", "Lost", dest), text));
        EXPECT_EQ(errors + 1, server.countErr("error:")) << server.err();
        EXPECT_EQ(1, server.countErr(lost)) << server.err();
        EXPECT_EQ(Status::Ok, c.ping());
    }
    // The area list reads the areas anew.
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(Status::Ok, c.getAreaList(areas));
    ASSERT_EQ(size_t(kAreaCount), areas.size());
    EXPECT_EQ(5u, areas[kEcho].msgCount);
    EXPECT_EQ(5u, areas[kNetmail].msgCount);
    EXPECT_EQ(2u, areas[kEmptyEcho].msgCount);
    EXPECT_EQ(2u, areas[kEmptyNet].msgCount);
    EXPECT_EQ(0u, areas[kGoneEcho].msgCount);
}

TEST_F(Commands, DeleteRightsInBothFormats) {
    ASSERT_TRUE(startStandard()) << server.err();
    Connection user, boss;
    ASSERT_TRUE(login(user));
    ASSERT_TRUE(login(boss, true));
    const Sample& others = samples()[1];
    const Sample& ownSent = samples()[3];
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        // The user's own unsent message.
        ASSERT_EQ(Status::Ok, user.post(postRecord(f.area, "Carol", "Mine", {2, 5020, 300, 0}), "Oops\r"));
        const uint32_t own = numbers(user, f.area).back();
        EXPECT_EQ(Status::Ok, user.deleteMsg(f.area, own));

        // Another address's message, the user's sent one and a missing one are refused,
        // each with its cause.
        const struct {
            uint32_t number;
            std::string cause;
        } refused[] = {
            {f.number(others), "forbidden: not yours"},
            {f.number(ownSent), "forbidden: already sent"},
            {60000u, "not found: " + whereOf(f) + ": no message 60000"},
        };
        for (const auto& [number, cause] : refused) {
            SCOPED_TRACE(number);
            const std::string line = "error: area " + std::string(f.tag) + ": fail to delete message #" +
                                     std::to_string(number) + ": " + kUserLabel + ": " + cause + "\n";
            int before = server.countErr(line);
            EXPECT_EQ(Status::Refused, user.deleteMsg(f.area, number));
            EXPECT_EQ(before + 1, server.countErr(line)) << server.err();
        }
        EXPECT_EQ(Status::Ok, user.ping());

        // The super user may delete both.
        EXPECT_EQ(Status::Ok, boss.deleteMsg(f.area, f.number(others)));
        EXPECT_EQ(Status::Ok, boss.deleteMsg(f.area, f.number(ownSent)));
        EXPECT_EQ((std::vector<uint32_t>{f.number(samples()[0]), f.number(samples()[2])}), numbers(user, f.area));
        if (f.squish) {
            EXPECT_EQ(std::vector<std::string>{}, sqfix::checkBase(echoBase()));
        } else {
            for (uint32_t n : {own, f.number(others), f.number(ownSent)}) EXPECT_EQ("", netmailFile(n)) << n;
            EXPECT_NE("", netmailFile(f.number(samples()[0])));
        }
    }
}

// Requests whose size does not suit the command: reported and closed at once, without
// waiting for the data (only the header is sent).
TEST_F(Commands, WrongSizesAreReportedAndClose) {
    ASSERT_TRUE(startStandard()) << server.err();
    struct Case {
        uint32_t cmd, dataSize;
        std::string line;
    };
    const Case cases[] = {
        {CID_C_GETMSGLIST, 8, "incoming cmd CID_C_GETMSGLIST: invalid data size = 8, expected 4\n\n"},
        {CID_C_GETMSGLIST, 0, "incoming cmd CID_C_GETMSGLIST: invalid data size = 0, expected 4\n\n"},
        {CID_C_GETMESSAGE, 4, "incoming cmd CID_C_GETMESSAGE: invalid data size = 4, expected 8\n\n"},
        {CID_C_GETMESSAGE, 12, "incoming cmd CID_C_GETMESSAGE: invalid data size = 12, expected 8\n\n"},
        {CID_C_DELETEMSG, 7, "incoming cmd CID_C_DELETEMSG: invalid data size = 7, expected 8\n\n"},
        {CID_C_NEWMESSAGE, 185, "incoming cmd CID_C_NEWMESSAGE: invalid data size = 185, too small.\n\n"},
        {CID_C_NEWMESSAGE, 0, "incoming cmd CID_C_NEWMESSAGE: invalid data size = 0, too small.\n\n"},
        // Over the post bound: refused before anything is allocated or read.
        {CID_C_NEWMESSAGE, kMaxPostDataSize + 1, "incoming cmd CID_C_NEWMESSAGE: invalid data size = " +
                                                     std::to_string(kMaxPostDataSize + 1) + ", too large.\n\n"},
        {CID_C_NEWMESSAGE, 0xFFFFFFFFu, "incoming cmd CID_C_NEWMESSAGE: invalid data size = 4294967295, too large.\n\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        const std::string line = "error: " + k.line;
        int before = server.countErr(line);
        int disconnects = server.countOut("client disconnected.");
        Connection c;
        ASSERT_TRUE(login(c));
        ASSERT_TRUE(c.sendPacketWithSize(k.cmd, k.dataSize, nullptr, 0));
        EXPECT_TRUE(c.waitClosed(kWaitMs));
        c.close();
        EXPECT_TRUE(errCountReaches(line, before + 1)) << server.err();
        EXPECT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") > disconnects; }, kWaitMs));
    }
    EXPECT_EQ(0, server.countErr("readn() failed")) << server.err();

    // Request data cut short: the read fails and the connection is closed.
    Connection c;
    ASSERT_TRUE(login(c));
    std::vector<uint8_t> req = messageRequest(kEcho, 10);
    ASSERT_TRUE(c.sendPacketWithSize(CID_C_GETMESSAGE, 8, req.data(), 6));
    shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.waitClosed(kWaitMs));
    c.close();
    EXPECT_TRUE(errCountReaches("error: readn() failed.\n", 1)) << server.err();
}

TEST_F(Commands, AreaNumberOutOfRangeCloses) {
    ASSERT_TRUE(startStandard()) << server.err();
    struct Case {
        const char* name;
        uint32_t cmd;
        std::vector<uint8_t> data;
        int32_t area;
    };
    const Case cases[] = {
        {"fetch -1", CID_C_GETMESSAGE, messageRequest(-1, 10), -1},
        {"fetch count", CID_C_GETMESSAGE, messageRequest(kAreaCount, 10), kAreaCount},
        {"list -1", CID_C_GETMSGLIST, areaRequest(-1), -1},
        {"list count", CID_C_GETMSGLIST, areaRequest(kAreaCount), kAreaCount},
        {"delete count", CID_C_DELETEMSG, messageRequest(kAreaCount, 10), kAreaCount},
        {"delete min", CID_C_DELETEMSG, messageRequest(INT32_MIN, 10), INT32_MIN},
        {"post count", CID_C_NEWMESSAGE, postData(postRecord(kAreaCount, "All", "Nowhere", {}), std::string(1, '\0')),
         kAreaCount},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        // The number asked for is named before the line.
        const std::string line = "error: area number " + std::to_string(k.area) + ": invalid area number.\n\n";
        int before = server.countErr(line);
        Connection c;
        ASSERT_TRUE(login(c));
        ASSERT_TRUE(c.sendPacket(k.cmd, k.data.data(), k.data.size()));
        EXPECT_TRUE(c.waitClosed(kWaitMs));
        c.close();
        EXPECT_TRUE(errCountReaches(line, before + 1)) << server.err();
    }
    EXPECT_EQ(0, server.countErr("internal error")) << server.err();
    // Nothing was stored by the refused post.
    Connection c;
    ASSERT_TRUE(login(c));
    EXPECT_EQ(samples().size(), numbers(c, kEcho).size());
}

TEST_F(Commands, LongRepliesTravelCompressed) {
    const int kCount = 300;
    std::vector<sqfix::Message> messages;
    for (int i = 0; i < kCount; ++i) {
        sqfix::Message m;
        m.from = "Sender " + std::to_string(i);
        m.to = "All";
        m.subject = "Topic number " + std::to_string(i % 17);
        char id[16];
        snprintf(id, sizeof id, "%08X", 0x1000u + unsigned(i));
        m.control = kA + "MSGID: 2:5020/100.0 " + id;
        if (i > 0) {
            snprintf(id, sizeof id, "%08X", 0x1000u + unsigned(i - 1));
            m.control += kA + "REPLY: 2:5020/100.0 " + id;
        }
        m.text = "Short text " + std::to_string(i) + "\r";
        messages.push_back(m);
    }
    std::string longText;
    std::vector<std::string> longLines;
    for (int i = 0; i < 60; ++i) {
        longLines.push_back("This is line " + std::to_string(i) + " of a long message, quoted again and again.");
        longText += longLines.back() + "\r";
    }
    messages[7].text = longText;
    sqfix::buildBase(dir.file("big"), messages);
    ASSERT_TRUE(start("EchoArea BIG " + dir.file("big") + "\n")) << server.err();
    Connection c;
    ASSERT_TRUE(login(c));

    // A single area's record is too short to be compressed.
    ASSERT_TRUE(c.sendPacket(CID_C_GETAREALIST, nullptr, 0));
    Reply r;
    ASSERT_TRUE(c.readReply(r));
    EXPECT_EQ(CID_S_AREALIST, r.cmd);
    ASSERT_EQ(48u, r.rawSize);
    pktAreaInfo info = decodeAreaInfo(r.data.data());
    EXPECT_EQ("BIG", str(info.name));
    EXPECT_EQ(uint32_t(kCount), info.msgCount);

    // The message list.
    std::vector<uint8_t> req = areaRequest(0);
    ASSERT_TRUE(c.sendPacket(CID_C_GETMSGLIST, req.data(), req.size()));
    ASSERT_TRUE(c.readReply(r));
    EXPECT_EQ(CID_S_MSGLIST, r.cmd);
    EXPECT_NE(0u, r.rawSize & PKT_SIZE_COMPRESSED);
    EXPECT_LT(r.rawSize & ~PKT_SIZE_COMPRESSED, uint32_t(kCount) * kMsgHeaderSize);
    ASSERT_EQ(size_t(kCount) * kMsgHeaderSize, r.data.size());
    std::vector<pktMsgHeader> list;
    for (int i = 0; i < kCount; ++i) list.push_back(decodeMsgHeader(r.data.data() + size_t(i) * kMsgHeaderSize));
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(uint32_t(i + 1), list[size_t(i)].msgNumber);
        EXPECT_EQ(messages[size_t(i)].from, str(list[size_t(i)].fromName));
        EXPECT_EQ("All", str(list[size_t(i)].toName));
        EXPECT_EQ(messages[size_t(i)].subject, str(list[size_t(i)].subject));
        EXPECT_EQ(kFixtureDate, list[size_t(i)].dateWritten);
        EXPECT_NE(0u, list[size_t(i)].msgIdHash);
        EXPECT_EQ(i ? list[size_t(i) - 1].msgIdHash : 0u, list[size_t(i)].replyHash);
    }

    // A long message.
    req = messageRequest(0, 8);
    ASSERT_TRUE(c.sendPacket(CID_C_GETMESSAGE, req.data(), req.size()));
    ASSERT_TRUE(c.readReply(r));
    EXPECT_EQ(CID_S_MESSAGE, r.cmd);
    EXPECT_NE(0u, r.rawSize & PKT_SIZE_COMPRESSED);
    ASSERT_GE(r.data.size(), kMessageRecordSize);
    EXPECT_EQ(8u, decodeMessage(r.data.data()).header.msgNumber);
    std::vector<std::string> lines = qclient::splitLines(r.data.data() + kMessageRecordSize, r.data.size() - kMessageRecordSize);
    ASSERT_EQ(longLines.size() + 2, lines.size());
    EXPECT_TRUE(std::equal(longLines.begin(), longLines.end(), lines.begin() + 2));
}

// Ids that name no command get no reply, whatever they announce up to the post bound; the
// data is dropped and never taken for a header. Each carries a ping header as its data.
TEST_F(Commands, UnknownCommandsAreIgnoredAndTheirDataDiscarded) {
    ASSERT_TRUE(startStandard()) << server.err();
    Connection c;
    ASSERT_TRUE(login(c));
    uint8_t ping[kPktHeaderSize];
    encodeHeader(pktHeader{CID_C_PING, 0}, ping);
    std::vector<uint8_t> hello(kHelloSize, 0);
    memcpy(hello.data(), "Name", 4);
    encodeFidoAddr(kUserAddr, hello.data() + kHelloAddrOffset);
    memcpy(hello.data() + kHelloSize - kPktHeaderSize, ping, kPktHeaderSize);
    std::vector<uint8_t> pings(kPktHeaderSize * 4);
    for (size_t i = 0; i < pings.size(); i += kPktHeaderSize) memcpy(pings.data() + i, ping, kPktHeaderSize);
    std::vector<uint8_t> auth(pings.begin(), pings.begin() + kAuthSize);

    struct Case {
        const char* name;
        uint32_t cmd;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"8 without data", 8, {}},
        {"8 with data", 8, pings},
        {"0", 0, pings},
        {"1", 1, pings},
        {"12", 12, pings},
        {"max id", 0xFFFFFFFFu, pings},
        {"hello after login", CID_C_HELLO, hello},
        {"auth after login", CID_C_AUTH, auth},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(c.sendPacket(k.cmd, k.data.data(), k.data.size()));
        EXPECT_TRUE(c.nothingWithin(kQuietMs));
    }
    EXPECT_EQ(Status::Ok, c.ping());
    if (HasFailure()) return;  // a server that answers the data would also answer 4 MiB of it

    // Exactly the bound is still discarded.
    std::vector<uint8_t> big(kMaxPostDataSize);
    for (size_t i = 0; i + kPktHeaderSize <= big.size(); i += kPktHeaderSize) memcpy(big.data() + i, ping, kPktHeaderSize);
    ASSERT_TRUE(c.sendPacket(8, big.data(), big.size()));
    EXPECT_EQ(Status::Ok, c.ping());
    EXPECT_TRUE(c.nothingWithin(kQuietMs));  // that was the only reply
    EXPECT_EQ(0, server.countErr("error:")) << server.err();

    // Beyond the bound the connection is closed without reading.
    ASSERT_TRUE(c.sendPacketWithSize(8, kMaxPostDataSize + 1, nullptr, 0));
    EXPECT_TRUE(c.waitClosed(kWaitMs));
    c.close();
    EXPECT_TRUE(errCountReaches("error: unknown command (8) announces " + std::to_string(kMaxPostDataSize + 1) +
                                    " bytes of data, too large.\n",
                                1))
        << server.err();
}

TEST_F(Commands, LogoutAnswersOkAndCloses) {
    ASSERT_TRUE(startStandard()) << server.err();
    int disconnects = server.countOut("client disconnected.\n");
    Connection c;
    ASSERT_TRUE(login(c));
    ASSERT_TRUE(c.sendPacket(CID_C_LOGOUT, nullptr, 0));
    Reply r;
    ASSERT_TRUE(c.readReply(r));
    EXPECT_EQ(CID_S_OK, r.cmd);
    EXPECT_EQ(0u, r.rawSize);
    EXPECT_TRUE(c.waitClosed(kWaitMs));
    c.close();
    EXPECT_TRUE(waitUntil([&] { return server.countOut("client disconnected.\n") == disconnects + 1; }, kWaitMs))
        << server.out();
    EXPECT_EQ(0, server.countErr("error:")) << server.err();
    // The user may log in again at once.
    Connection again;
    ASSERT_TRUE(login(again));
    EXPECT_EQ(Status::Ok, again.ping());
}

}  // namespace
