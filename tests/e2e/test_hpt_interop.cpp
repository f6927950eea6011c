// The server beside the husky tosser hpt, on one node whose configuration file both of
// them read (the server through its fidoConfig key):
//  - what hpt tosses from its uplink (echomail into Squish bases, netmail into a *.MSG
//    directory) lists and reads through the server exactly as the packets carried it and
//    as hpt stored it, with the addresses of the Squish header and of the netmail's
//    routing kludges;
//  - the areas served are exactly those the husky library reads as Squish echomail and
//    *.MSG netmail;
//  - posts through the server leave the node through `hpt scan` ready to travel (tearline,
//    Origin line, PID, TZUTC, MSGIDs that never repeat), and the server's echo toss log
//    has hpt scan exactly the areas posted to;
//  - after deletes through the server, hpt tosses on into the freed frames or appends,
//    and the base stays sound and is accepted by sqpack;
//  - a bounded soak: hpt tosses thousands of messages while clients post and delete, and
//    hpt, the server and the base agree afterwards.
// Every run of a husky tool is bounded (a killed child after a time-out), and the tests
// skip, naming HUSKY_BIN_DIR, when the tools are not found.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/fido_packet.h"
#include "common/hpt_node.h"
#include "common/interop_checks.h"
#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "config/config.h"
#include "support/le.h"
#include "fido/attributes.h"

namespace {

using fidopkt::EchoDraft;
using fidopkt::kludgeValue;
using fidopkt::NetmailDraft;
using fidopkt::PackedMsg;
using fidopkt::textLines;
using hpt::HptNode;
using hpt::ranCleanly;
using hpt::receivedAndTossed;
using interop::cleanField;
using qclient::Connection;
using qclient::Status;

const std::string kA = "\x01";  // kludge mark

// A point of the node, an ordinary user, and the node's sysop, who may delete any message.
const FidoAddr kUserAddr{2, 5020, 999, 1};
const char kUserName[] = "Test User";
const char kUserLine[] = "user Test User,secret,2:5020/999.1";
const char kSysopName[] = "Test Sysop";
const char kSysopLine[] = "user Test Sysop,secret,2:5020/999.0,super";

class HptInterop : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = hpt::missingTools();
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
};

// The file of an echo area's Squish base under the node's BASES folder: its tag in lower
// case without the dots ("TEST.TWO" in testtwo).
std::string baseFile(const std::string& tag) {
    std::string file;
    for (char ch : tag)
        if (ch != '.') file += char(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    return file;
}

// A node whose echo areas are these Squish bases, named as baseFile() names them.
hpt::NodeSetup squishAreas(const std::vector<std::string>& tags) {
    hpt::NodeSetup setup;
    setup.areas.clear();
    for (const std::string& tag : tags) setup.areas.push_back(hpt::squishEchoArea(tag, baseFile(tag)));
    return setup;
}

// One echomail from the uplink into each area, for hpt to make the bases as it tosses
// them (the server never creates one): subjects "First in TAG", MSGIDs `msgIdLead`
// followed by the message's index.
std::vector<PackedMsg> firstEchoes(const std::vector<std::string>& tags, const std::string& msgIdLead) {
    std::vector<PackedMsg> messages;
    for (const std::string& tag : tags) {
        EchoDraft d;
        d.area = tag;
        d.subject = "First in " + tag;
        d.kludges = {"MSGID: 2:5020/1 " + msgIdLead + std::to_string(messages.size())};
        d.body = {"Makes the base."};
        messages.push_back(fidopkt::echoMessage(d, hpt::kUplinkAddr, hpt::kNodeAddr));
    }
    return messages;
}

// Starts the server on the node's configuration with these settings lines (by default
// both users) and logs one user in.
void startAndLogin(ServerProcess& server, const TempDir& dir, const HptNode& node,
                   const std::vector<std::string>& settingsLines, Connection& c, const char* name,
                   const FidoAddr& addr) {
    ASSERT_TRUE(server.start(dir, node.serverSettings(settingsLines))) << server.out() << server.err();
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login(name, "secret", addr), Status::Ok);
}
void startAndLogin(ServerProcess& server, const TempDir& dir, const HptNode& node, Connection& c, const char* name,
                   const FidoAddr& addr) {
    // The ordinary user reads all netmail here (its visibility has tests of its own).
    startAndLogin(server, dir, node, {kUserLine, kSysopLine, "netmailVisibility all"}, c, name, addr);
}

std::map<std::string, int32_t> areaNumbers(Connection& c) {
    std::map<std::string, int32_t> numbers;
    std::vector<pktAreaInfo> areas;
    EXPECT_EQ(c.getAreaList(areas), Status::Ok);
    for (size_t i = 0; i < areas.size(); ++i) numbers[cleanField(areas[i].name)] = int32_t(i);
    return numbers;
}

// The message list of an area by subject (subjects are unique in these tests).
std::map<std::string, pktMsgHeader> listBySubject(Connection& c, int32_t area) {
    std::vector<pktMsgHeader> list;
    EXPECT_EQ(c.getMsgList(area, list), Status::Ok);
    std::map<std::string, pktMsgHeader> bySubject;
    for (const pktMsgHeader& h : list) bySubject[cleanField(h.subject)] = h;
    return bySubject;
}

std::vector<uint32_t> numbersOf(Connection& c, int32_t area) {
    std::vector<pktMsgHeader> list;
    EXPECT_EQ(c.getMsgList(area, list), Status::Ok);
    std::vector<uint32_t> numbers;
    for (const pktMsgHeader& h : list) numbers.push_back(h.msgNumber);
    return numbers;
}

// The lines of an echomail text after its AREA line.
std::vector<std::string> echoLines(const PackedMsg& m) {
    std::vector<std::string> lines = textLines(m.text);
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
        EXPECT_EQ(lines[0].rfind("AREA:", 0), 0u) << lines[0];
        lines.erase(lines.begin());
    }
    return lines;
}

// The frame of a Squish base's message, found through the index.
bool storedSquishMessage(const std::string& basePath, uint32_t umsgid, sqfix::Frame& frame) {
    sqfix::BaseImage img;
    if (!sqfix::readBase(basePath, img)) return false;
    for (const sqfix::IndexRecord& r : img.messages())
        if (r.umsgid == umsgid) return img.readFrame(r.frameOffset, frame);
    return false;
}

// A stored message in the lines a client receives: the kludges of the control
// information one per line, then the text up to its zero byte.
std::vector<std::string> storedLines(const sqfix::Frame& f) {
    std::vector<std::string> lines;
    std::string control = f.control.substr(0, f.control.find('\0'));
    for (size_t at = control.find('\x01'); at != std::string::npos;) {
        size_t next = control.find('\x01', at + 1);
        lines.push_back(control.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    for (const std::string& line : textLines(f.text.substr(0, f.text.find('\0')))) lines.push_back(line);
    return lines;
}

// A body of about `bytes` characters in lines of 70, each line unique.
std::vector<std::string> bodyOf(size_t bytes, const std::string& tag) {
    std::vector<std::string> lines;
    for (size_t n = 0, i = 0; n < bytes; ++i) {
        std::string line = tag + " line " + std::to_string(i) + ": ";
        line.resize(70, char('a' + i % 26));
        n += line.size() + 1;
        lines.push_back(line);
    }
    return lines;
}

// ---------------------------------------------------------------------------------------
// Tossed mail, listed and read

struct EchoCase {
    const char* name;
    EchoDraft draft;
};

std::vector<EchoCase> tossedEchoCases() {
    std::vector<EchoCase> cases(4);
    cases[0].name = "plain, with PID, TZUTC and CHRS";
    cases[0].draft.area = "TEST.ONE";
    cases[0].draft.subject = "Hello from the uplink";
    cases[0].draft.kludges = {"MSGID: 2:5020/1 5e1f0001", "PID: TestKit 1.0", "TZUTC: 0300", "CHRS: CP866 2"};
    cases[0].draft.body = {"Hello, all.", "", "A second paragraph after an empty line."};

    cases[1].name = "reply from a point: 35-character name, 71-character subject, 8-bit text";
    cases[1].draft.area = "TEST.ONE";
    cases[1].draft.fromName = "Maximilian Alexander von Habsburger";
    cases[1].draft.toName = "John Doe";
    cases[1].draft.subject = "Re: Hello from the uplink, " + std::string(44, 's');
    cases[1].draft.dateTime = "31 Dec 99  23:59:58";
    cases[1].draft.kludges = {"MSGID: 2:5020/1.5 5e1f0002", "REPLY: 2:5020/1 5e1f0001"};
    // CP866; 0x8D is an ordinary byte, not a line end.
    cases[1].draft.body = {"\x8f\xe0\xa8\xa2\xa5\xe2, \xa2\xe1\xa5\xac!", "\x8d\xa5\xe2 \xff\x80"};
    cases[1].draft.origin = "A point of the uplink (2:5020/1.5)";
    cases[1].draft.seenBy = "5020/1 2 3 100";
    cases[1].draft.path = "5020/100 1";

    cases[2].name = "long text in the second area";
    cases[2].draft.area = "TEST.TWO";
    cases[2].draft.subject = "A long one";
    cases[2].draft.dateTime = "01 Jan 00  00:00:00";
    cases[2].draft.kludges = {"MSGID: 2:5020/1 5e1f0003"};
    cases[2].draft.body = bodyOf(24000, "long");
    cases[2].draft.body.insert(cases[2].draft.body.begin() + 100, std::string(3000, 'X'));

    cases[3].name = "without MSGID";
    cases[3].draft.area = "TEST.ONE";
    cases[3].draft.subject = "From old software";
    cases[3].draft.kludges = {"PID: OldSoft 0.1"};
    cases[3].draft.body = {"Written by software that sets no MSGID."};
    cases[3].draft.tearline = "---";
    return cases;
}

struct NetCase {
    const char* name;
    NetmailDraft draft;
};

std::vector<NetCase> tossedNetmailCases() {
    std::vector<NetCase> cases(2);
    cases[0].name = "from a point of the uplink to the sysop";
    cases[0].draft.subject = "Netmail for the sysop";
    cases[0].draft.from = {2, 5020, 1, 5};
    cases[0].draft.to = hpt::kNodeAddr;
    cases[0].draft.kludges = {"MSGID: 2:5020/1.5 5e1f0005", "PID: TestKit 1.0"};
    cases[0].draft.body = {"Hello, sysop.", "This netmail came through the uplink."};

    cases[1].name = "from another zone to a point of the node, replying";
    cases[1].draft.fromName = "Zone One Sysop";
    cases[1].draft.toName = kUserName;
    cases[1].draft.subject = "Re: Netmail for the sysop";
    cases[1].draft.dateTime = "29 Feb 24  12:34:56";
    cases[1].draft.from = {1, 234, 5, 0};
    cases[1].draft.to = kUserAddr;
    cases[1].draft.kludges = {"MSGID: 1:234/5 5e1f0006", "REPLY: 2:5020/1.5 5e1f0005"};
    cases[1].draft.body = {"\x8e\xe2\xa2\xa5\xe2 from zone 1.", ""};
    return cases;
}

TEST_F(HptInterop, TossedMailListsAndReadsAsItsPacketsCarriedIt) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"), squishAreas({"TEST.ONE", "TEST.TWO"}));

    std::vector<EchoCase> echo = tossedEchoCases();
    std::vector<NetCase> net = tossedNetmailCases();
    std::vector<PackedMsg> packed;
    for (const EchoCase& e : echo) packed.push_back(fidopkt::echoMessage(e.draft, hpt::kUplinkAddr, hpt::kNodeAddr));
    for (const NetCase& n : net) packed.push_back(fidopkt::netmailMessage(n.draft));
    ASSERT_TRUE(receivedAndTossed(node, packed));

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;

    // The areas in the order of the configuration, with what hpt stored in them.
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), 3u) << server.out();
    const struct {
        const char* tag;
        int32_t type;
        uint32_t count;
    } expectedAreas[] = {{"NETMAIL", 1, 2}, {"TEST.ONE", 2, 3}, {"TEST.TWO", 2, 1}};
    for (size_t i = 0; i < areas.size(); ++i) {
        SCOPED_TRACE(expectedAreas[i].tag);
        EXPECT_EQ(cleanField(areas[i].name), expectedAreas[i].tag);
        EXPECT_EQ(areas[i].type, expectedAreas[i].type);
        EXPECT_EQ(areas[i].msgCount, expectedAreas[i].count) << node.log();
    }
    std::map<std::string, int32_t> number = areaNumbers(c);
    std::map<std::string, std::string> basePathOf = {{"TEST.ONE", node.basePath("testone")},
                                                     {"TEST.TWO", node.basePath("testtwo")}};

    // Echomail: the header fields of the packet; lines exactly those of the packet after
    // its AREA line, which are also exactly what hpt stored (kludges in the control
    // information, SEEN-BY and PATH at the end of the text).
    std::map<std::string, pktMsgHeader> heads;
    for (size_t i = 0; i < echo.size(); ++i) {
        SCOPED_TRACE(echo[i].name);
        const PackedMsg& p = packed[i];
        const int32_t area = number[echo[i].draft.area];
        std::map<std::string, pktMsgHeader> list = listBySubject(c, area);
        ASSERT_EQ(list.count(p.subject), 1u);
        const pktMsgHeader h = list[p.subject];
        heads[p.subject] = h;
        const std::vector<std::string> lines = echoLines(p);
        interop::expectListedAsPacked(h, p);

        pktMessage m;
        std::vector<std::string> fetched;
        ASSERT_EQ(c.getMessage(area, h.msgNumber, m, fetched), Status::Ok);
        EXPECT_EQ(m.header.msgNumber, h.msgNumber);
        interop::expectHeaderAsPacked(m.header, p);
        EXPECT_EQ(m.attributes & (kAttrSent | kAttrLocal), 0) << "tossed mail is neither local nor sent";
        EXPECT_EQ(fetched, lines);

        sqfix::Frame stored;
        ASSERT_TRUE(storedSquishMessage(basePathOf[echo[i].draft.area], h.msgNumber, stored));
        EXPECT_EQ(fetched, storedLines(stored));
        EXPECT_EQ(stored.msg.from, p.fromName);
        EXPECT_EQ(std::string(stored.msg.dateTextRaw.c_str()), p.dateTime);

        // The addresses of the message header, where hpt keeps the address of the Origin
        // line and the node's own.
        FidoAddr originAddr;
        const std::string& origin = echo[i].draft.origin;
        ASSERT_TRUE(parseFidoAddr(origin.substr(origin.rfind('(') + 1).c_str(), originAddr)) << origin;
        EXPECT_EQ(stored.msg.orig, originAddr) << formatFidoAddr(stored.msg.orig);
        EXPECT_EQ(stored.msg.dest, hpt::kNodeAddr) << formatFidoAddr(stored.msg.dest);
        EXPECT_EQ(m.origAddr, stored.msg.orig) << formatFidoAddr(m.origAddr);
        EXPECT_EQ(m.destAddr, stored.msg.dest) << formatFidoAddr(m.destAddr);
    }
    // The client links the reply to the message it answers.
    EXPECT_EQ(heads[echo[1].draft.subject].replyHash, heads[echo[0].draft.subject].msgIdHash);
    EXPECT_NE(heads[echo[0].draft.subject].msgIdHash, 0u);
    EXPECT_EQ(heads[echo[3].draft.subject].msgIdHash, 0u);

    // Netmail: the packet's lines, INTL, FMPT and TOPT included, exactly as in the file
    // hpt wrote.
    std::map<std::string, pktMsgHeader> netList = listBySubject(c, number["NETMAIL"]);
    for (size_t i = 0; i < net.size(); ++i) {
        SCOPED_TRACE(net[i].name);
        const PackedMsg& p = packed[echo.size() + i];
        ASSERT_EQ(netList.count(p.subject), 1u);
        const pktMsgHeader& h = netList[p.subject];
        const std::vector<std::string> lines = textLines(p.text);
        interop::expectListedAsPacked(h, p);

        pktMessage m;
        std::vector<std::string> fetched;
        ASSERT_EQ(c.getMessage(number["NETMAIL"], h.msgNumber, m, fetched), Status::Ok);
        interop::expectHeaderAsPacked(m.header, p);
        EXPECT_EQ(m.attributes & kAttrPrivate, p.attribute & kAttrPrivate);
        EXPECT_EQ(fetched, lines);

        msgfixture::StoredMsg stored;
        ASSERT_TRUE(msgfixture::readMsgFile(node.netmailDir() + "/" + std::to_string(h.msgNumber) + ".msg", stored));
        EXPECT_EQ(fetched, textLines(stored.text.substr(0, stored.text.find('\0'))));
    }
    EXPECT_EQ(netList[net[1].draft.subject].replyHash, netList[net[0].draft.subject].msgIdHash);

    for (const auto& [tag, base] : basePathOf) EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{}) << tag;
}

// ---------------------------------------------------------------------------------------
// Addresses of tossed mail

struct NetAddressCase {
    const char* name;
    FidoAddr from, to;
    bool intl;  // the packet carries INTL, FMPT and TOPT; without, hpt writes an INTL itself
    std::string dateTime;
};

TEST_F(HptInterop, TossedNetmailFetchesWithTheAddressesOfItsRoutingKludges) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"));
    const NetAddressCase cases[] = {
        {"from a point of the uplink to the node", {2, 5020, 1, 5}, hpt::kNodeAddr, true, "05 Mar 26  07:08:09"},
        {"from another zone to a point of the node", {1, 234, 5, 0}, {2, 5020, 999, 1}, true, "29 Feb 24  12:34:56"},
        {"point to point, both in another net", {2, 463, 68, 12}, {2, 5030, 40, 7}, true, "01 Jan 00  00:00:00"},
        {"FMPT and TOPT only", {2, 5020, 1, 7}, {2, 5020, 999, 3}, false, "31 Dec 99  23:59:58"},
        {"no kludge at all", hpt::kUplinkAddr, hpt::kNodeAddr, false, "15 Jun 25  18:30:00"},
    };
    std::vector<PackedMsg> packed;
    for (const NetAddressCase& nc : cases) {
        NetmailDraft d;
        d.subject = nc.name;
        d.dateTime = nc.dateTime;
        d.from = nc.from;
        d.to = nc.to;
        d.body = {"Where from, where to?"};
        PackedMsg m = fidopkt::netmailMessage(d);
        if (!nc.intl) {
            m.text.clear();
            if (nc.from.point) m.text += kA + "FMPT " + std::to_string(nc.from.point) + "\r";
            if (nc.to.point) m.text += kA + "TOPT " + std::to_string(nc.to.point) + "\r";
            m.text += "Where from, where to?\r";
        }
        packed.push_back(m);
    }
    ASSERT_TRUE(receivedAndTossed(node, packed));

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kSysopName, hpt::kNodeAddr);
    if (HasFatalFailure()) return;
    const int32_t netmail = areaNumbers(c)["NETMAIL"];
    std::map<std::string, pktMsgHeader> list = listBySubject(c, netmail);
    ASSERT_EQ(list.size(), std::size(cases)) << node.log();
    for (const NetAddressCase& nc : cases) {
        SCOPED_TRACE(nc.name);
        ASSERT_EQ(list.count(nc.name), 1u);
        const uint32_t number = list[nc.name].msgNumber;

        // hpt keeps the packed date written where the header's zones would be, and the
        // date of arrival where its points would be: only the kludges tell the addresses.
        msgfixture::StoredMsg stored;
        ASSERT_TRUE(msgfixture::readMsgFile(node.netmailDir() + "/" + std::to_string(number) + ".msg", stored));
        EXPECT_EQ(uint32_t(stored.destZone) | uint32_t(stored.origZone) << 16, fidopkt::packedDate(nc.dateTime));
        const std::vector<std::string> storedLines = textLines(stored.text.substr(0, stored.text.find('\0')));
        EXPECT_EQ(kludgeValue(storedLines, "INTL"), fidopkt::intlValue(nc.to, nc.from));

        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(c.getMessage(netmail, number, m, lines), Status::Ok);
        EXPECT_EQ(m.origAddr, nc.from) << formatFidoAddr(m.origAddr);
        EXPECT_EQ(m.destAddr, nc.to) << formatFidoAddr(m.destAddr);
        EXPECT_EQ(lines, storedLines);
    }
}

// ---------------------------------------------------------------------------------------
// The tosser's configuration as the area list

TEST_F(HptInterop, FidoConfigOfTheTosserServesExactlyItsSquishEchoAndMsgNetmailAreas) {
    TempDir tmp;
    const std::string uplink = formatFidoAddr(hpt::kUplinkAddr);
    const std::string root = tmp.subdir("node");
    // Written as a sysop writes it: letter case as it comes, the [BASES] variable, an
    // include, defaults for later areas, and areas of every kind beside the Squish ones.
    hpt::NodeSetup setup;
    setup.areas = {
        hpt::squishEchoArea("TEST.ONE", "testone"),
        {"EchoArea", "TEST.NOFORMAT", "noformat", uplink},  // Squish: hpt's default format
        {"echoarea", "TEST.JAM", "testjam", "-b jam " + uplink},
        {"echoarea", "TEST.MSGECHO", "msgecho", "-b msg " + uplink},
        {"ECHOAREA", "TEST.PASS", "", uplink},  // passthrough
        {"LocalArea", "LOCAL.ONE", "localone", "-b squish"},
    };
    setup.extraLines = {
        "EchoAreaDefaults -b Jam -dupecheck move",
        "echoarea TEST.JAMDEFAULT [BASES]/jamdefault " + uplink,
        "echoarea TEST.SQUISHAGAIN [BASES]/squishagain -b Squish " + uplink,
        "Include " + root + "/more.areas",
    };
    writeFile(root + "/more.areas", "# areas added later\nechoArea TEST.INCLUDED [BASES]/included -b squish " + uplink + "\n");
    HptNode node(root, setup);

    // How the husky library reads the file: the areas the server must serve, and the rest.
    hpt::RunResult parsed = node.tparser();
    ASSERT_EQ(parsed.exitStatus, 0) << hpt::describe(parsed);
    std::set<std::string> servable, other;
    for (const hpt::ParsedArea& a : hpt::parsedAreas(parsed.out)) {
        bool echo = a.section == "EchoAreas" || a.section == "LocalAreas";
        bool served = (echo && a.format == "Squish") || (a.section == "NetMailAreas" && a.format == "SDM");
        (served ? servable : other).insert(a.tag);
    }
    ASSERT_EQ(servable, (std::set<std::string>{"NETMAIL", "TEST.ONE", "TEST.NOFORMAT", "LOCAL.ONE", "TEST.SQUISHAGAIN",
                                               "TEST.INCLUDED"}))
        << parsed.out;
    ASSERT_EQ(other, (std::set<std::string>{"BAD", "DUPE", "TEST.JAM", "TEST.MSGECHO", "TEST.PASS", "TEST.JAMDEFAULT"}))
        << parsed.out;

    // Mail in every area: tossed from the uplink (one message per echo area, two for
    // TEST.ONE, a netmail), and written into the local area by hpt itself.
    const std::vector<std::string> echoTags = {"TEST.ONE",  "TEST.ONE",        "TEST.NOFORMAT",    "TEST.JAM",
                                               "TEST.MSGECHO", "TEST.PASS", "TEST.JAMDEFAULT", "TEST.SQUISHAGAIN",
                                               "TEST.INCLUDED"};
    std::vector<PackedMsg> packed;
    std::map<std::string, std::vector<std::string>> subjectsOf;
    for (size_t i = 0; i < echoTags.size(); ++i) {
        EchoDraft d;
        d.area = echoTags[i];
        d.subject = "Message " + std::to_string(i) + " in " + echoTags[i];
        d.kludges = {"MSGID: 2:5020/1 7e570" + std::to_string(100 + i)};
        d.body = {"Tossed into " + echoTags[i] + "."};
        packed.push_back(fidopkt::echoMessage(d, hpt::kUplinkAddr, hpt::kNodeAddr));
        subjectsOf[echoTags[i]].push_back(d.subject);
    }
    NetmailDraft n;
    n.subject = "The netmail";
    n.from = hpt::kUplinkAddr;
    n.to = hpt::kNodeAddr;
    n.kludges = {"MSGID: 2:5020/1 7e570200"};
    n.body = {"To the sysop."};
    packed.push_back(fidopkt::netmailMessage(n));
    subjectsOf["NETMAIL"] = {n.subject};
    ASSERT_TRUE(receivedAndTossed(node, packed));
    ASSERT_TRUE(ranCleanly(node.post("LOCAL.ONE", "Written by the tosser", "A local message.\n"), node));
    subjectsOf["LOCAL.ONE"] = {"Written by the tosser"};

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;

    // Served in the order of the file; each skipped area named once with its reason.
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    const std::vector<std::string> expectedOrder = {"NETMAIL",   "TEST.ONE",         "TEST.NOFORMAT",
                                                    "LOCAL.ONE", "TEST.SQUISHAGAIN", "TEST.INCLUDED"};
    std::vector<std::string> served;
    for (const pktAreaInfo& a : areas) served.push_back(cleanField(a.name));
    EXPECT_EQ(served, expectedOrder) << server.out();
    for (const std::string& tag : other) {
        SCOPED_TRACE(tag);
        EXPECT_EQ(server.countOut("-> skipped area " + tag + " ("), 1) << server.out();
    }
    EXPECT_EQ(server.countOut("-> skipped area "), int(other.size())) << server.out();
    EXPECT_EQ(server.err(), "");

    // Each served area holds what hpt put there, and only that.
    for (size_t i = 0; i < areas.size(); ++i) {
        const std::string tag = cleanField(areas[i].name);
        SCOPED_TRACE(tag);
        EXPECT_EQ(areas[i].type, tag == "NETMAIL" ? 1 : 2);
        std::vector<pktMsgHeader> list;
        ASSERT_EQ(c.getMsgList(int32_t(i), list), Status::Ok);
        std::vector<std::string> subjects;
        for (const pktMsgHeader& h : list) subjects.push_back(cleanField(h.subject));
        EXPECT_EQ(subjects, subjectsOf[tag]) << node.log();
        EXPECT_EQ(areas[i].msgCount, list.size());
    }
}

// ---------------------------------------------------------------------------------------
// Posts leave the node through hpt scan

// A post as a client sends it: the kludges (without their ^A), then the body lines.
Status postEcho(Connection& c, int32_t area, const std::string& fromName, const std::string& toName,
                const std::string& subject, const std::vector<std::string>& kludges,
                const std::vector<std::string>& body) {
    pktMessage m;
    copyField(m.header.fromName, fromName.c_str(), sizeof m.header.fromName);
    copyField(m.header.toName, toName.c_str(), sizeof m.header.toName);
    copyField(m.header.subject, subject.c_str(), sizeof m.header.subject);
    m.destAddr = hpt::kUplinkAddr;
    m.areaNumber = area;
    m.attributes = kAttrLocal;
    std::string text;
    for (const std::string& k : kludges) text += kA + k + "\r";
    for (const std::string& line : body) text += line + "\r";
    return c.post(m, text);
}

// What one scan exported, by subject (subjects are unique in these tests); the count of
// exported messages goes to `count`.
std::map<std::string, PackedMsg> takeExported(const HptNode& node, size_t& count) {
    std::vector<fidopkt::Packet> packets;
    std::string error;
    EXPECT_TRUE(node.takeOutbound(packets, &error)) << error;
    std::map<std::string, PackedMsg> bySubject;
    count = 0;
    for (const fidopkt::Packet& p : packets) {
        EXPECT_EQ(p.header.orig, hpt::kNodeAddr);
        EXPECT_EQ(p.header.dest, hpt::kUplinkAddr);
        for (const PackedMsg& m : p.messages) bySubject[m.subject] = m;
        count += p.messages.size();
    }
    return bySubject;
}

struct PostCase {
    const char* name;
    const char* area;
    const char* toName;
    const char* subject;
    std::vector<std::string> kludges;  // without ^A
    std::vector<std::string> body;
};

TEST_F(HptInterop, EchomailPostedThroughServerIsExportedIntactByScan) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"), squishAreas({"TEST.ONE", "TEST.TWO"}));

    // Messages from the uplink, one to answer; being tossed, they must not travel back.
    ASSERT_TRUE(receivedAndTossed(node, firstEchoes({"TEST.ONE", "TEST.TWO"}, "5e1f010")));

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;
    std::map<std::string, int32_t> number = areaNumbers(c);

    const PostCase posts[] = {
        {"a reply with 8-bit text and an empty line", "TEST.ONE", "John Doe", "Re: First in TEST.ONE",
         {"REPLY: 2:5020/1 5e1f0100"},
         {"Thanks for the news.", "", "\x8f\xe0\xa8\xa2\xa5\xe2 \xa2\xe1\xa5\xac \xff\x80", "Bye."}},
        {"a new thread in the second area", "TEST.TWO", "All", "A new thread", {}, {"First line", "Second line"}},
    };
    struct Posted {
        uint32_t number = 0;
        std::string msgId, dateText;
    };
    std::vector<Posted> posted;
    for (const PostCase& pc : posts) {
        SCOPED_TRACE(pc.name);
        ASSERT_EQ(postEcho(c, number[pc.area], kUserName, pc.toName, pc.subject, pc.kludges, pc.body), Status::Ok);

        // What the server stored: its number, MSGID and date text.
        std::map<std::string, pktMsgHeader> list = listBySubject(c, number[pc.area]);
        ASSERT_EQ(list.count(pc.subject), 1u);
        Posted p;
        p.number = list[pc.subject].msgNumber;
        sqfix::Frame stored;
        ASSERT_TRUE(storedSquishMessage(node.basePath(baseFile(pc.area)), p.number, stored));
        p.msgId = kludgeValue(storedLines(stored), "MSGID");
        p.dateText = stored.msg.dateTextRaw.c_str();
        ASSERT_EQ(p.msgId.rfind(formatFidoAddr(kUserAddr) + " ", 0), 0u) << p.msgId;
        posted.push_back(p);
    }

    ASSERT_TRUE(ranCleanly(node.scan(), node));
    size_t exportedCount = 0;
    std::map<std::string, PackedMsg> exported = takeExported(node, exportedCount);
    ASSERT_EQ(exportedCount, std::size(posts)) << "only the posts leave: " << node.log();

    for (size_t i = 0; i < std::size(posts); ++i) {
        const PostCase& pc = posts[i];
        SCOPED_TRACE(pc.name);
        ASSERT_EQ(exported.count(pc.subject), 1u);
        const PackedMsg& m = exported[pc.subject];
        EXPECT_EQ(m.fromName, kUserName);
        EXPECT_EQ(m.toName, pc.toName);
        EXPECT_EQ(m.dateTime, posted[i].dateText);
        EXPECT_EQ(m.origNet, hpt::kNodeAddr.net);
        EXPECT_EQ(m.origNode, hpt::kNodeAddr.node);
        EXPECT_EQ(m.destNet, hpt::kUplinkAddr.net);
        EXPECT_EQ(m.destNode, hpt::kUplinkAddr.node);

        // AREA line, the kludges (the post's own among them), the body as posted, then
        // the lines of the tosser: SEEN-BY naming the node and its uplink, PATH the node.
        std::vector<std::string> lines = textLines(m.text);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], std::string("AREA:") + pc.area);
        size_t at = 1;
        std::vector<std::string> kludges;
        while (at < lines.size() && !lines[at].empty() && lines[at][0] == 1) kludges.push_back(lines[at++]);
        EXPECT_EQ(kludgeValue(kludges, "MSGID"), posted[i].msgId);
        for (const std::string& k : pc.kludges)
            EXPECT_NE(std::find(kludges.begin(), kludges.end(), kA + k), kludges.end()) << k;
        ASSERT_LE(at + pc.body.size(), lines.size());
        EXPECT_EQ(std::vector<std::string>(lines.begin() + long(at), lines.begin() + long(at + pc.body.size())),
                  pc.body);
        std::vector<std::string> tail(lines.begin() + long(at + pc.body.size()), lines.end());
        ASSERT_GE(tail.size(), 2u);
        EXPECT_EQ(tail[tail.size() - 2], "SEEN-BY: 5020/1 999");
        EXPECT_EQ(tail.back(), kA + "PATH: 5020/999");

        // The tosser marked the post sent; the server shows it.
        pktMessage fetched;
        std::vector<std::string> fetchedLines;
        ASSERT_EQ(c.getMessage(number[pc.area], posted[i].number, fetched, fetchedLines), Status::Ok);
        EXPECT_EQ(fetched.attributes & (kAttrSent | kAttrLocal), kAttrSent | kAttrLocal);
    }

    // Nothing is left to export.
    ASSERT_TRUE(ranCleanly(node.scan(), node));
    std::vector<fidopkt::Packet> packets;
    std::string error;
    ASSERT_TRUE(node.takeOutbound(packets, &error)) << error;
    EXPECT_TRUE(packets.empty()) << node.log();
    EXPECT_EQ(hpt::squishProblems(node.basePath("testone")), std::vector<std::string>{});
    EXPECT_EQ(hpt::squishProblems(node.basePath("testtwo")), std::vector<std::string>{});
}

// Texts an ordinary user might write to speak for another node, post to another area or
// forge the routing, posted through the server, exported by hpt scan and tossed at the
// uplink's own hpt: there the message comes from the user's address alone, and its
// SEEN-BY and PATH are those of the two nodes.
TEST_F(HptInterop, HostileTextsOfAnOrdinaryUserLeaveWithTheNodesRoutingOnly) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"), squishAreas({"TEST.ONE"}));
    hpt::NodeSetup uplinkSetup;
    uplinkSetup.address = hpt::kUplinkAddr;
    uplinkSetup.link = hpt::kNodeAddr;
    uplinkSetup.areas = {hpt::squishEchoArea("TEST.ONE", "testone", hpt::kNodeAddr),
                         hpt::squishEchoArea("OTHER.ECHO", "otherecho", hpt::kNodeAddr)};
    HptNode uplink(tmp.subdir("uplink"), uplinkSetup);
    ASSERT_TRUE(receivedAndTossed(node, firstEchoes({"TEST.ONE"}, "70b0")));
    // The uplink's bases exist before anything is tossed there.
    ASSERT_TRUE(uplink.post("TEST.ONE", "Base", "Makes the base.\n").exitStatus == 0) << uplink.log();
    ASSERT_TRUE(uplink.post("OTHER.ECHO", "Base", "Makes the base.\n").exitStatus == 0) << uplink.log();

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;
    const int32_t area = areaNumbers(c)["TEST.ONE"];
    const std::vector<PostCase> posts = {
        {"a second address in the Origin's parentheses", "TEST.ONE", "All", "Forged origin one", {},
         {"Text.", "---", " * Origin: my point (2:5020/999.1 1:2/3)"}},
        {"an address after the Origin's parentheses", "TEST.ONE", "All", "Forged origin two", {},
         {"Text.", "---", " * Origin: my point (2:5020/999.1) 1:2/3)"}},
        {"routing lines in the text", "TEST.ONE", "All", "Forged routing", {"PATH: 1/2 3/4", "Via 1:2/3 @20260101"},
         {"Text.", "SEEN-BY: 1/2 3/4 5/6", kA + "PATH: 7/8", "More text."}},
        {"another echo area named first", "TEST.ONE", "All", "Forged area", {}, {"AREA:OTHER.ECHO", "Text."}},
    };
    for (const PostCase& p : posts)
        ASSERT_EQ(postEcho(c, area, kUserName, p.toName, p.subject, p.kludges, p.body), Status::Ok) << p.name;

    ASSERT_TRUE(ranCleanly(node.scan(), node));
    ASSERT_TRUE(node.sendOutboundTo(uplink));
    ASSERT_TRUE(ranCleanly(uplink.toss(), uplink));

    sqfix::BaseImage img;
    ASSERT_TRUE(sqfix::readBase(uplink.basePath("testone"), img)) << uplink.log();
    std::map<std::string, sqfix::Frame> arrived;
    for (const sqfix::IndexRecord& r : img.messages()) {
        sqfix::Frame f;
        ASSERT_TRUE(img.readFrame(r.frameOffset, f));
        arrived[f.msg.subject] = f;
    }
    for (const PostCase& p : posts) {
        SCOPED_TRACE(p.name);
        ASSERT_EQ(arrived.count(p.subject), 1u) << "tossed into TEST.ONE: " << uplink.log();
        const sqfix::Frame& f = arrived[p.subject];
        EXPECT_EQ(formatFidoAddr(f.msg.orig), formatFidoAddr(kUserAddr)) << "the origin the uplink stored";
        std::vector<std::string> lines = storedLines(f);
        std::vector<std::string> seenBy, path;
        for (const std::string& l : lines) {
            if (l.rfind("SEEN-BY:", 0) == 0) seenBy.push_back(l);
            if (l.rfind(kA + "PATH:", 0) == 0) path.push_back(l);
            EXPECT_NE(l.rfind(kA + "Via", 0), 0u) << l;
        }
        EXPECT_EQ(seenBy, std::vector<std::string>{"SEEN-BY: 5020/1 999"});
        EXPECT_EQ(path, std::vector<std::string>{kA + "PATH: 5020/999"});
    }
    // Nothing reached the other area.
    sqfix::BaseImage other;
    ASSERT_TRUE(sqfix::readBase(uplink.basePath("otherecho"), other));
    EXPECT_EQ(other.messages().size(), 1u) << "only the uplink's own first message";
}

// The value of a TZUTC kludge written now on this machine: the local offset from UTC as
// hours and minutes, a minus sign west of Greenwich.
std::string localTzutc() {
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int minutes = int(local.tm_gmtoff / 60);
    const int magnitude = minutes < 0 ? -minutes : minutes;
    char value[16];
    snprintf(value, sizeof value, "%s%02d%02d", minutes < 0 ? "-" : "", magnitude / 60 % 100, magnitude % 60);
    return value;
}

// An exported echomail split into its parts: the AREA tag, the kludges at the top (with
// their ^A), the lines up to SEEN-BY, and the tosser's SEEN-BY and PATH lines.
struct ExportedParts {
    std::string area;
    std::vector<std::string> kludges, body, trailer;
};

ExportedParts partsOf(const PackedMsg& m) {
    ExportedParts parts;
    std::vector<std::string> lines = textLines(m.text);
    size_t at = 0;
    if (at < lines.size() && lines[at].rfind("AREA:", 0) == 0) parts.area = lines[at++].substr(5);
    while (at < lines.size() && !lines[at].empty() && lines[at][0] == 1) parts.kludges.push_back(lines[at++]);
    while (at < lines.size() && lines[at].rfind("SEEN-BY:", 0) != 0) parts.body.push_back(lines[at++]);
    parts.trailer.assign(lines.begin() + long(at), lines.end());
    return parts;
}

size_t kludgeCount(const std::vector<std::string>& kludges, const std::string& name) {
    return size_t(std::count_if(kludges.begin(), kludges.end(), [&](const std::string& k) {
        return k.rfind(kA + name + ":", 0) == 0 || k.rfind(kA + name + " ", 0) == 0;
    }));
}

// The origin text the server is given, and what its own lines read.
const char kOriginText[] = "The hpt test node, where tosser and server meet";
const std::string kProgram = std::string(kProgramName) + " " + kProgramVersion;

struct EchoPostCase {
    const char* name;
    std::string area, subject;
    std::vector<std::string> kludges, body;
    // What leaves the node between the kludges and SEEN-BY, and the PID it carries.
    std::vector<std::string> exportedBody;
    std::string pid;
};

TEST_F(HptInterop, FortyPostsInARowAllLeaveThroughScanReadyToTravel) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"), squishAreas({"TEST.ONE", "TEST.TWO"}));
    ASSERT_TRUE(receivedAndTossed(node, firstEchoes({"TEST.ONE", "TEST.TWO"}, "40400")));

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, {std::string("origin ") + kOriginText, kUserLine}, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;
    std::map<std::string, int32_t> number = areaNumbers(c);

    const std::string tear = "--- " + kProgram;
    const std::string origin = std::string(" * Origin: ") + kOriginText + " (" + formatFidoAddr(kUserAddr) + ")";
    std::vector<EchoPostCase> posts;
    for (int i = 1; i <= 40; ++i) {
        std::string line = "Post " + std::to_string(i) + " of 40 in a row.";
        posts.push_back({"plain", "TEST.ONE", "In a row #" + std::to_string(i), {}, {line}, {line, tear, origin}, kProgram});
    }
    // A few into the second area, as editors write them.
    posts.push_back({"own tearline, kept", "TEST.TWO", "With a tearline", {}, {"Text.", "", "--- GoldED+ 1.1.5"},
                     {"Text.", "", "--- GoldED+ 1.1.5", origin}, kProgram});
    posts.push_back({"own Origin naming another node, which gives way to the node's", "TEST.TWO",
                     "With an Origin", {}, {"Text.", "---", " * Origin: Somewhere else (2:5020/1)"},
                     {"Text.", "---", origin}, kProgram});
    posts.push_back({"own PID, kept alone", "TEST.TWO", "With a PID", {"PID: GoldED+ 1.1.5"}, {"Text."},
                     {"Text.", tear, origin}, "GoldED+ 1.1.5"});

    // In a row, as fast as the server takes them: more than 16 in a second.
    for (const EchoPostCase& p : posts)
        ASSERT_EQ(postEcho(c, number[p.area], kUserName, "All", p.subject, p.kludges, p.body), Status::Ok) << p.subject;

    ASSERT_TRUE(ranCleanly(node.scan(), node));
    size_t count = 0;
    std::map<std::string, PackedMsg> exported = takeExported(node, count);
    ASSERT_EQ(count, posts.size()) << "every post, and only the posts, leave: " << node.log();

    const std::string tzutc = localTzutc();
    std::set<std::string> msgIds;
    for (const EchoPostCase& p : posts) {
        SCOPED_TRACE(p.subject + ": " + p.name);
        ASSERT_EQ(exported.count(p.subject), 1u);
        ExportedParts parts = partsOf(exported[p.subject]);
        EXPECT_EQ(parts.area, p.area);
        const std::string msgId = kludgeValue(parts.kludges, "MSGID");
        EXPECT_EQ(msgId.rfind(formatFidoAddr(kUserAddr) + " ", 0), 0u) << msgId;
        EXPECT_EQ(msgId.size(), formatFidoAddr(kUserAddr).size() + 9) << msgId;
        msgIds.insert(msgId);
        EXPECT_EQ(kludgeValue(parts.kludges, "PID"), p.pid);
        EXPECT_EQ(kludgeValue(parts.kludges, "TZUTC"), tzutc);
        EXPECT_EQ(kludgeCount(parts.kludges, "PID"), 1u);
        EXPECT_EQ(kludgeCount(parts.kludges, "TZUTC"), 1u);
        EXPECT_EQ(kludgeCount(parts.kludges, "MSGID"), 1u);
        EXPECT_EQ(parts.body, p.exportedBody);
        EXPECT_EQ(parts.trailer, (std::vector<std::string>{"SEEN-BY: 5020/1 999", kA + "PATH: 5020/999"}));
    }
    EXPECT_EQ(msgIds.size(), posts.size()) << "MSGIDs repeat";
}

// The areas a scan went through, from hpt's "Scanning area: TAG" lines after the last
// "Start scanning".
std::vector<std::string> scannedAreas(const std::string& log) {
    std::vector<std::string> areas;
    const std::string mark = "Scanning area: ";
    std::istringstream in(log.substr(std::min(log.rfind("Start scanning"), log.size())));
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(mark);
        if (at != std::string::npos) areas.push_back(line.substr(at + mark.size()));
    }
    return areas;
}

TEST_F(HptInterop, EchoTossLogOfTheServerHasScanGoThroughExactlyThePostedAreas) {
    TempDir tmp;
    hpt::NodeSetup setup = squishAreas({"TEST.ONE", "TEST.TWO", "TEST.THREE"});
    setup.echoTossLog = true;
    HptNode node(tmp.subdir("node"), setup);
    const std::string tossLog = node.echoTossLogPath();
    ASSERT_TRUE(receivedAndTossed(node, firstEchoes({"TEST.ONE", "TEST.TWO", "TEST.THREE"}, "7055100")));
    // The server, told nothing of the log, writes to the one hpt's configuration names.
    {
        TempDir before;
        ServerProcess server;
        Connection c;
        startAndLogin(server, before, node, {kUserLine}, c, kUserName, kUserAddr);
        if (HasFatalFailure()) return;
        ASSERT_EQ(postEcho(c, areaNumbers(c)["TEST.THREE"], kUserName, "All", "Waiting in the third area", {},
                           {"Posted before the log."}),
                  Status::Ok);
    }
    EXPECT_EQ(readFile(tossLog), "TEST.THREE\n");
    // With the log gone, TEST.THREE holds local mail that only a full scan would export.
    ASSERT_EQ(unlink(tossLog.c_str()), 0);

    // Now the server names the log itself, as hpt does.
    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, {"echoTossLog " + tossLog, kUserLine}, c, kUserName, kUserAddr);
    if (HasFatalFailure()) return;
    std::map<std::string, int32_t> number = areaNumbers(c);

    // Posts into two of the three areas, each tag listed once, in the order of the first
    // posts.
    const std::vector<std::pair<std::string, std::string>> posts = {
        {"TEST.TWO", "First post in TEST.TWO"}, {"TEST.ONE", "First post in TEST.ONE"},
        {"TEST.TWO", "Second post in TEST.TWO"}, {"TEST.ONE", "Second post in TEST.ONE"},
        {"TEST.ONE", "Third post in TEST.ONE"}};
    for (const auto& [area, subject] : posts)
        ASSERT_EQ(postEcho(c, number[area], kUserName, "All", subject, {}, {"Posted."}), Status::Ok) << subject;
    EXPECT_EQ(readFile(tossLog), "TEST.TWO\nTEST.ONE\n");

    const std::vector<uint8_t> thirdData = sqfix::readFileBytes(sqfix::fileOf(node.basePath("testthree"), ".SQD"));
    const std::vector<uint8_t> thirdIndex = sqfix::readFileBytes(sqfix::fileOf(node.basePath("testthree"), ".SQI"));
    ASSERT_FALSE(thirdData.empty());
    ASSERT_TRUE(ranCleanly(node.scan(), node));
    const std::string log = node.log();
    EXPECT_NE(log.find("EchoTossLogFile found -> Scanning only listed areas"), std::string::npos) << log;
    EXPECT_EQ(scannedAreas(log), (std::vector<std::string>{"TEST.TWO", "TEST.ONE"})) << log;
    size_t count = 0;
    std::map<std::string, PackedMsg> exported = takeExported(node, count);
    EXPECT_EQ(count, posts.size()) << log;
    for (const auto& [area, subject] : posts) {
        SCOPED_TRACE(subject);
        ASSERT_EQ(exported.count(subject), 1u);
        EXPECT_EQ(partsOf(exported[subject]).area, area);
    }
    EXPECT_NE(access(tossLog.c_str(), F_OK), 0) << "hpt removes the log it has scanned by";
    // The third area is as it was, its local mail still waiting.
    EXPECT_EQ(sqfix::readFileBytes(sqfix::fileOf(node.basePath("testthree"), ".SQD")), thirdData);
    EXPECT_EQ(sqfix::readFileBytes(sqfix::fileOf(node.basePath("testthree"), ".SQI")), thirdIndex);

    // The next post starts a new log, and the next scan goes through that area alone.
    ASSERT_EQ(postEcho(c, number["TEST.ONE"], kUserName, "All", "After the scan", {}, {"Posted."}), Status::Ok);
    EXPECT_EQ(readFile(tossLog), "TEST.ONE\n");
    ASSERT_TRUE(ranCleanly(node.scan(), node));
    EXPECT_EQ(scannedAreas(node.log()), std::vector<std::string>{"TEST.ONE"}) << node.log();
    exported = takeExported(node, count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(exported.count("After the scan"), 1u) << node.log();

    // Without a log hpt goes through every area, and the third one's mail leaves at last.
    ASSERT_TRUE(ranCleanly(node.scan(), node));
    EXPECT_NE(node.log().rfind("EchoTossLogFile not found -> Scanning all areas"), std::string::npos);
    exported = takeExported(node, count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(exported.count("Waiting in the third area"), 1u) << node.log();
    for (const char* file : {"testone", "testtwo", "testthree"})
        EXPECT_EQ(hpt::squishProblems(node.basePath(file)), std::vector<std::string>{}) << file;
}

// ---------------------------------------------------------------------------------------
// Deletes, then more tossing, then sqpack

// Echomail from the uplink into TEST.ONE with a body of about `bytes` characters.
PackedMsg sizedEcho(const std::string& subject, size_t bytes, unsigned serial) {
    EchoDraft d;
    d.area = "TEST.ONE";
    d.subject = subject;
    char msgId[40];
    snprintf(msgId, sizeof msgId, "MSGID: 2:5020/1 de1e%04x", serial);
    d.kludges = {msgId};
    d.body = bodyOf(bytes, subject);
    return fidopkt::echoMessage(d, hpt::kUplinkAddr, hpt::kNodeAddr);
}

TEST_F(HptInterop, TossingAfterServerDeletesKeepsTheBaseSoundAndSqpackAcceptsIt) {
    TempDir tmp;
    HptNode node(tmp.subdir("node"));
    const std::string base = node.basePath("testone");

    // Six messages, large and small, UMSGIDs 1 to 6.
    const size_t sizes[] = {3000, 200, 3000, 800, 200, 3000};
    std::vector<PackedMsg> first;
    for (size_t i = 0; i < std::size(sizes); ++i)
        first.push_back(sizedEcho("First " + std::to_string(i + 1), sizes[i], unsigned(i + 1)));
    ASSERT_TRUE(receivedAndTossed(node, first));
    ASSERT_EQ(hpt::squishProblems(base), std::vector<std::string>{});

    ServerProcess server;
    Connection c;
    startAndLogin(server, tmp, node, c, kSysopName, hpt::kNodeAddr);
    if (HasFatalFailure()) return;
    const int32_t area = areaNumbers(c)["TEST.ONE"];
    ASSERT_EQ(numbersOf(c, area), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));

    // The sysop deletes the first, a middle and the last message: three large frames.
    sqfix::BaseImage before;
    ASSERT_TRUE(sqfix::readBase(base, before));
    std::set<uint32_t> freed;
    for (uint32_t umsgid : {1u, 3u, 6u}) {
        SCOPED_TRACE(umsgid);
        ASSERT_EQ(c.deleteMsg(area, umsgid), Status::Ok) << server.out() << server.err();
        for (const sqfix::IndexRecord& r : before.messages())
            if (r.umsgid == umsgid) freed.insert(r.frameOffset);
        ASSERT_EQ(hpt::squishProblems(base), std::vector<std::string>{});
    }
    ASSERT_EQ(numbersOf(c, area), (std::vector<uint32_t>{2, 4, 5}));

    // hpt tosses on: small messages fit the freed frames, large ones do not.
    const size_t moreSizes[] = {150, 5000, 600, 6000};
    std::vector<PackedMsg> more;
    for (size_t i = 0; i < std::size(moreSizes); ++i)
        more.push_back(sizedEcho("More " + std::to_string(i + 1), moreSizes[i], unsigned(100 + i)));
    ASSERT_TRUE(receivedAndTossed(node, more));
    EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{});

    sqfix::BaseImage after;
    ASSERT_TRUE(sqfix::readBase(base, after));
    std::map<uint32_t, uint32_t> frameOf;
    for (const sqfix::IndexRecord& r : after.messages()) frameOf[r.umsgid] = r.frameOffset;
    // The small ones went into frames the server freed, the large ones after the old end.
    EXPECT_EQ(freed.count(frameOf[7]), 1u) << frameOf[7];
    EXPECT_EQ(freed.count(frameOf[9]), 1u) << frameOf[9];
    EXPECT_GE(frameOf[8], before.sqd.size());
    EXPECT_GE(frameOf[10], before.sqd.size());

    // The server sees the survivors and the new messages, each as its packet carried it.
    ASSERT_EQ(numbersOf(c, area), (std::vector<uint32_t>{2, 4, 5, 7, 8, 9, 10}));
    std::map<uint32_t, const PackedMsg*> packetOf = {{2, &first[1]}, {4, &first[3]}, {5, &first[4]},
                                                     {7, &more[0]},  {8, &more[1]},  {9, &more[2]},
                                                     {10, &more[3]}};
    for (const auto& [umsgid, p] : packetOf) {
        SCOPED_TRACE(umsgid);
        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(c.getMessage(area, umsgid, m, lines), Status::Ok);
        EXPECT_EQ(cleanField(m.header.subject), p->subject);
        EXPECT_EQ(lines, echoLines(*p));
    }

    // A frame hpt reused is deleted again.
    ASSERT_EQ(c.deleteMsg(area, 7), Status::Ok);
    EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{});

    // sqpack packs the base: the same messages in the same order, renumbered from 1, no
    // free frames left, and the server reads them all.
    ASSERT_TRUE(ranCleanly(node.sqpack({"TEST.ONE"}), node));
    EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{}) << node.sqpackLog();
    sqfix::BaseImage packed;
    ASSERT_TRUE(sqfix::readBase(base, packed));
    EXPECT_EQ(packed.header.numMsg, 6u);
    EXPECT_EQ(packed.header.freeFrame, 0u);
    std::vector<std::string> expectedSubjects = {"First 2", "First 4", "First 5", "More 2", "More 3", "More 4"};
    std::vector<pktMsgHeader> list;
    ASSERT_EQ(c.getMsgList(area, list), Status::Ok);
    ASSERT_EQ(list.size(), expectedSubjects.size()) << node.sqpackLog();
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].msgNumber, i + 1);
        EXPECT_EQ(cleanField(list[i].subject), expectedSubjects[i]);
    }
}


// ---------------------------------------------------------------------------------------
// A bounded soak: hpt tosses while clients post and delete

// The soak's size: messages hpt tosses, in rounds of packets. HPT_SOAK_MESSAGES asks for
// another number (a longer soak on a spare machine); the default takes some ten seconds.
size_t soakMessages() {
    const char* asked = getenv("HPT_SOAK_MESSAGES");
    if (asked && *asked) {
        char* end = nullptr;
        unsigned long n = strtoul(asked, &end, 10);
        if (end && *end == 0 && n >= 100 && n <= 1000000) return n;
    }
    return 30000;
}

constexpr size_t kSoakRounds = 5;  // hpt toss runs, one after another
constexpr size_t kSoakPacketsPerRound = 2;  // packets waiting for each run
constexpr size_t kSoakClients = 3;

// One client's part of the soak: as one user, it posts messages with unique subjects
// into the area and, every few posts, lists the area, deletes its oldest surviving post
// and reads another one back, until the tosser has finished (and at least a few times).
struct SoakClient {
    std::string userName;
    FidoAddr addr;
    Connection c;

    struct Post {
        std::string subject;
        Status status = Status::Error;
        bool deleted = false;
    };
    std::vector<Post> posts;
    size_t deletesOk = 0, deletesRefused = 0, fetches = 0, lists = 0;
    size_t writesWhileTossing = 0, refusedWhileTossing = 0;
    long longestWriteMs = 0;
    std::string failure;  // what stopped the client early
};

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

void runSoakClient(SoakClient& client, int32_t area, const std::atomic<bool>& tossing, const std::atomic<bool>& done,
                   std::atomic<int>& started) {
    constexpr size_t kMinimumPosts = 8;
    constexpr size_t kPostsPerDelete = 3;
    auto timed = [&](auto&& operation) {
        auto start = std::chrono::steady_clock::now();
        bool duringToss = tossing.load();
        Status s = operation();
        long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                           .count());
        client.longestWriteMs = std::max(client.longestWriteMs, ms);
        if (duringToss || tossing.load()) {
            ++client.writesWhileTossing;
            if (s == Status::Refused) ++client.refusedWhileTossing;
        }
        return s;
    };
    for (size_t n = 0; !done.load() || client.posts.size() < kMinimumPosts; ++n) {
        SoakClient::Post post;
        post.subject = "Soak post by " + formatFidoAddr(client.addr) + " #" + std::to_string(n);
        post.status = timed([&] {
            return postEcho(client.c, area, client.userName, "All", post.subject, {}, {post.subject + " body"});
        });
        client.posts.push_back(post);
        if (n == 0) ++started;
        if (post.status != Status::Ok && post.status != Status::Refused) {
            client.failure = post.subject + ": " + qclient::statusText(post.status);
            return;
        }
        if (n % kPostsPerDelete != kPostsPerDelete - 1) continue;

        // The numbers of this client's surviving posts, from the list.
        std::vector<pktMsgHeader> list;
        if (client.c.getMsgList(area, list) != Status::Ok) {
            client.failure = "the list failed";
            return;
        }
        ++client.lists;
        std::map<std::string, uint32_t> numberOf;
        for (const pktMsgHeader& h : list) numberOf[fieldText(h.subject, sizeof h.subject)] = h.msgNumber;
        std::vector<SoakClient::Post*> alive;
        for (SoakClient::Post& p : client.posts)
            if (p.status == Status::Ok && !p.deleted) alive.push_back(&p);
        if (alive.size() < 2) continue;
        for (SoakClient::Post* p : alive)
            if (numberOf.count(p->subject) != 1) {
                client.failure = "a post answered OK is not listed: " + p->subject;
                return;
            }

        // The newest survivor reads back as posted...
        pktMessage fetched;
        std::vector<std::string> lines;
        if (client.c.getMessage(area, numberOf[alive.back()->subject], fetched, lines) != Status::Ok ||
            fieldText(fetched.header.subject, sizeof fetched.header.subject) != alive.back()->subject ||
            std::find(lines.begin(), lines.end(), alive.back()->subject + " body") == lines.end()) {
            client.failure = "cannot read back " + alive.back()->subject;
            return;
        }
        ++client.fetches;
        // ...and the oldest goes.
        Status s = timed([&] { return client.c.deleteMsg(area, numberOf[alive.front()->subject]); });
        if (s == Status::Ok) {
            alive.front()->deleted = true;
            ++client.deletesOk;
        } else if (s == Status::Refused) {
            ++client.deletesRefused;
        } else {
            client.failure = "delete of " + alive.front()->subject + ": " + qclient::statusText(s);
            return;
        }
    }
}

// Echomail for the soak: unique subjects and MSGIDs, bodies of 100 to about 2,500 bytes.
std::vector<PackedMsg> soakPacket(size_t first, size_t count) {
    std::vector<PackedMsg> messages;
    for (size_t i = first; i < first + count; ++i) {
        EchoDraft d;
        d.area = "TEST.ONE";
        d.subject = "Tossed #" + std::to_string(i);
        char msgId[40];
        snprintf(msgId, sizeof msgId, "MSGID: 2:5020/1 5a%06zx", i);
        d.kludges = {msgId};
        d.body = bodyOf(100 + (i * 7919) % 2400, d.subject);
        messages.push_back(fidopkt::echoMessage(d, hpt::kUplinkAddr, hpt::kNodeAddr));
    }
    return messages;
}

TEST_F(HptInterop, SoakTossingWhileClientsPostAndDeleteEndsWithTosserServerAndBaseInAgreement) {
    const auto soakStart = std::chrono::steady_clock::now();
    TempDir tmp;
    HptNode node(tmp.subdir("node"));
    const std::string base = node.basePath("testone");
    const size_t total = soakMessages();
    const size_t perPacket = (total + kSoakRounds * kSoakPacketsPerRound - 1) / (kSoakRounds * kSoakPacketsPerRound);

    // hpt makes the base with its first message (the server never creates one).
    std::vector<PackedMsg> tossed = soakPacket(0, 1);
    ASSERT_TRUE(receivedAndTossed(node, tossed));

    std::vector<std::unique_ptr<SoakClient>> clients;
    std::vector<std::string> settingsLines;
    for (size_t k = 0; k < kSoakClients; ++k) {
        auto client = std::make_unique<SoakClient>();
        client->userName = "Soak User " + std::to_string(k + 1);
        client->addr = FidoAddr{2, 5020, 999, uint16_t(11 + k)};
        settingsLines.push_back("user " + client->userName + ",secret," + formatFidoAddr(client->addr));
        clients.push_back(std::move(client));
    }
    ServerProcess server;
    ASSERT_TRUE(server.start(tmp, node.serverSettings(settingsLines))) << server.out() << server.err();
    int32_t area = -1;
    for (auto& client : clients) {
        ASSERT_TRUE(server.connect(client->c));
        ASSERT_EQ(client->c.login(client->userName, "secret", client->addr), Status::Ok);
        if (area < 0) area = areaNumbers(client->c)["TEST.ONE"];
    }

    // The clients start; hpt tosses round after round once each has posted; the clients
    // stop after the last round.
    std::atomic<bool> tossing{false}, done{false};
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (auto& client : clients)
        threads.emplace_back(runSoakClient, std::ref(*client), area, std::cref(tossing), std::cref(done),
                             std::ref(started));
    const bool allStarted = waitUntil([&] { return started.load() == int(kSoakClients); }, 30000);
    std::vector<hpt::RunResult> runs;
    std::string error;
    const auto tossStart = std::chrono::steady_clock::now();
    if (allStarted) {
        for (size_t round = 0; round < kSoakRounds; ++round) {
            for (size_t p = 0; p < kSoakPacketsPerRound; ++p) {
                std::vector<PackedMsg> packet = soakPacket(tossed.size(), std::min(perPacket, total + 1 - tossed.size()));
                if (!node.receive(packet, &error)) break;
                tossed.insert(tossed.end(), packet.begin(), packet.end());
            }
            tossing = true;
            runs.push_back(node.toss());
            tossing = false;
            if (runs.back().exitStatus != 0) break;
        }
    }
    const auto tossEnd = std::chrono::steady_clock::now();
    done = true;
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(allStarted) << "the clients did not start";
    for (const hpt::RunResult& r : runs) ASSERT_TRUE(ranCleanly(r, node));
    ASSERT_EQ(runs.size(), kSoakRounds);
    ASSERT_EQ(tossed.size(), total + 1);
    // A client that stopped early says why; the checks below show what became of the base.
    for (auto& client : clients) EXPECT_EQ(client->failure, "") << client->userName << "\n" << server.err();

    // hpt: every message tossed into the area, none written badly, none taken for a dupe.
    const std::string log = node.log();
    EXPECT_EQ(hpt::linesWith(log, "Could not write"), "");
    EXPECT_EQ(hpt::statisticsTotal(log, "echoMail"), long(tossed.size()));
    EXPECT_EQ(hpt::statisticsTotal(log, "bad"), 0);
    EXPECT_EQ(hpt::statisticsTotal(log, "dupe"), 0);

    // The base: sound, and the same through the server (to one client: the server waits
    // a moment on each idle connection).
    EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{});
    for (size_t k = 1; k < clients.size(); ++k) clients[k]->c.close();
    Connection& c = clients[0]->c;
    std::vector<pktMsgHeader> list;
    ASSERT_EQ(c.getMsgList(area, list), Status::Ok);
    std::map<std::string, int> listed;
    std::map<std::string, uint32_t> numberOf;
    for (const pktMsgHeader& h : list) {
        ++listed[cleanField(h.subject)];
        numberOf[cleanField(h.subject)] = h.msgNumber;
    }
    size_t expectedCount = tossed.size();
    for (const PackedMsg& m : tossed) EXPECT_EQ(listed[m.subject], 1) << m.subject;
    size_t postsOk = 0, postsRefused = 0, deletesOk = 0, deletesRefused = 0, writesWhileTossing = 0,
           refusedWhileTossing = 0;
    long longestWriteMs = 0;
    std::set<std::string> survivors;
    for (auto& client : clients) {
        for (const SoakClient::Post& p : client->posts) {
            const bool present = p.status == Status::Ok && !p.deleted;
            EXPECT_EQ(listed[p.subject], present ? 1 : 0) << p.subject << (p.status == Status::Ok ? "" : ", refused");
            if (present) survivors.insert(p.subject);
            (p.status == Status::Ok ? postsOk : postsRefused)++;
        }
        deletesOk += client->deletesOk;
        deletesRefused += client->deletesRefused;
        writesWhileTossing += client->writesWhileTossing;
        refusedWhileTossing += client->refusedWhileTossing;
        longestWriteMs = std::max(longestWriteMs, client->longestWriteMs);
    }
    expectedCount += survivors.size();
    EXPECT_EQ(list.size(), expectedCount);
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    EXPECT_EQ(areas[size_t(area)].msgCount, list.size());

    // Every survivor and a sample of the tossed messages read back as written.
    for (const std::string& subject : survivors) {
        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(c.getMessage(area, numberOf[subject], m, lines), Status::Ok) << subject;
        EXPECT_NE(std::find(lines.begin(), lines.end(), subject + " body"), lines.end()) << subject;
    }
    for (size_t i = 0; i < tossed.size(); i += 97) {
        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(c.getMessage(area, numberOf[tossed[i].subject], m, lines), Status::Ok) << tossed[i].subject;
        EXPECT_EQ(lines, echoLines(tossed[i])) << tossed[i].subject;
    }

    // hpt's scan exports exactly the survivors.
    ASSERT_TRUE(ranCleanly(node.scan(), node));
    std::vector<fidopkt::Packet> packets;
    ASSERT_TRUE(node.takeOutbound(packets, &error)) << error;
    std::multiset<std::string> exported;
    for (const fidopkt::Packet& p : packets)
        for (const PackedMsg& m : p.messages) exported.insert(m.subject);
    EXPECT_EQ(exported, std::multiset<std::string>(survivors.begin(), survivors.end())) << node.log();
    EXPECT_EQ(hpt::squishProblems(base), std::vector<std::string>{});

    const auto ms = [](auto d) { return long(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); };
    printf("[ soak     ] %zu messages tossed by hpt in %zu runs of %zu packets (%ld ms); %zu clients: %zu posts "
           "(%zu refused), %zu deletes (%zu refused), %zu writes while hpt tossed (%zu refused), longest write %ld ms; "
           "%zu messages in the base; %ld ms in all\n",
           tossed.size(), kSoakRounds, kSoakPacketsPerRound, ms(tossEnd - tossStart), kSoakClients,
           postsOk + postsRefused, postsRefused, deletesOk + deletesRefused, deletesRefused, writesWhileTossing,
           refusedWhileTossing,
           longestWriteMs, list.size(), ms(std::chrono::steady_clock::now() - soakStart));
    printf("[ soak     ] hpt log, statistics of the runs:\n%s", hpt::linesWith(log, "echoMail:").c_str());
    EXPECT_GT(writesWhileTossing, 0u);
}

}  // namespace
