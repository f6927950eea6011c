// The news door beside the husky tosser hpt, on one node whose configuration both read:
//  - articles posted as a newsreader posts them (a new thread, and a reply naming its
//    original in References) leave the node through `hpt scan` as echomail ready to
//    travel: MSGID of the user's address, REPLY of the original, CHRS of the area's
//    charset, the text in that charset, tearline and Origin;
//  - mail hpt tossed (echomail and netmail) reads over NNTP with the text the binary door
//    gives, converted to UTF-8 with CRLF line ends, and its kludges, SEEN-BY and PATH as
//    X-FTN-* header fields in their order.
// The tests skip, naming HUSKY_BIN_DIR, when the husky tools are not found.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/fido_packet.h"
#include "common/hpt_node.h"
#include "common/news_client.h"
#include "common/server_process.h"

namespace {

using fidopkt::EchoDraft;
using fidopkt::kludgeValue;
using fidopkt::NetmailDraft;
using fidopkt::PackedMsg;
using fidopkt::textLines;
using hpt::HptNode;
using hpt::ranCleanly;
using hpt::receivedAndTossed;

const char kUserLine[] = "user Test User,secret,2:5020/999.1";
const char kSysopLine[] = "user Test Sysop,secret,2:5020/999.0,super";
const FidoAddr kSysopAddr{2, 5020, 999, 0};

class NewsHpt : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = hpt::missingTools();
        if (!missing.empty()) GTEST_SKIP() << missing;
    }

    // Starts the server on the node's configuration with the news door on, TEST.ONE in
    // CP866, both users.
    void start(const HptNode& node) {
        ASSERT_TRUE(server.start(tmp, node.serverSettings({kUserLine, kSysopLine, "nntpPort 0",
                                                           "nntpGroupPrefix fido.", "areaCharset TEST.ONE CP866"})))
            << server.out() << server.err();
        ASSERT_NE(server.newsPort(), 0) << server.out();
    }

    TempDir tmp;
    ServerProcess server;
};

std::string cp866(const std::string& utf8) { return news::convert(utf8, "UTF-8", "CP866"); }

// ---------------------------------------------------------------------------------------
// Posted as a newsreader posts, exported by hpt scan

struct ReaderPost {
    const char* name;
    std::string subject;
    std::string references;  // empty for a new thread
    std::vector<std::string> body;
};

TEST_F(NewsHpt, ArticlesPostedWithANewsreaderLeaveThroughScanWithTheirKludges) {
    HptNode node(tmp.subdir("node"));
    EchoDraft original;
    original.area = "TEST.ONE";
    original.subject = "Hello from the uplink";
    original.kludges = {"MSGID: 2:5020/1 5e1f0100"};
    original.body = {"Anyone reading news here?"};
    ASSERT_TRUE(receivedAndTossed(node, {fidopkt::echoMessage(original, hpt::kUplinkAddr, hpt::kNodeAddr)}));
    start(node);
    if (HasFatalFailure()) return;

    news::Client c;
    ASSERT_TRUE(c.connect(server.newsPort()));
    ASSERT_TRUE(c.login("Test User", "secret"));
    ASSERT_EQ(c.command("GROUP fido.test.one").rfind("211 1 1 1 ", 0), 0u);
    const std::string originalId = "<MSGID_2=3A5020=2F1_5e1f0100@fidonet.org>";
    ASSERT_EQ(c.command("STAT 1"), "223 1 " + originalId);

    const ReaderPost posts[] = {
        {"a new thread", "A new thread from a newsreader", "", {"Пишу из читалки.", "", "Второй абзац."}},
        {"a reply", "Re: Hello from the uplink", "<elsewhere.1@example.org> " + originalId,
         {"Ответ на письмо аплинка."}},
    };
    int serial = 0;
    for (const ReaderPost& p : posts) {
        SCOPED_TRACE(p.name);
        std::string article = "From: Test User <test@example.org>\n"
                              "Newsgroups: fido.test.one\n"
                              "Subject: " + p.subject + "\n"
                              "Message-ID: <reader." + std::to_string(++serial) + "@example.org>\n";
        if (!p.references.empty()) article += "References: " + p.references + "\n";
        article += "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 8bit\n\n";
        for (const std::string& line : p.body) article += line + "\n";
        ASSERT_EQ(c.post(article).rfind("240 ", 0), 0u) << server.out();
    }

    ASSERT_TRUE(ranCleanly(node.scan(), node));
    std::vector<fidopkt::Packet> packets;
    std::string error;
    ASSERT_TRUE(node.takeOutbound(packets, &error)) << error;
    std::map<std::string, PackedMsg> exported;
    for (const fidopkt::Packet& packet : packets)
        for (const PackedMsg& m : packet.messages) exported[m.subject] = m;
    ASSERT_EQ(exported.size(), std::size(posts)) << "the posts leave, the tossed original does not: " << node.log();

    std::string msgIds[2];
    for (size_t i = 0; i < std::size(posts); ++i) {
        const ReaderPost& p = posts[i];
        SCOPED_TRACE(p.name);
        ASSERT_EQ(exported.count(p.subject), 1u);
        const PackedMsg& m = exported[p.subject];
        EXPECT_EQ(m.fromName, "Test User");
        EXPECT_EQ(m.toName, p.references.empty() ? "All" : original.fromName);

        // AREA line; kludges: MSGID of the user's address, REPLY naming the original's
        // MSGID (the last reference), CHRS of the area's charset; the text in CP866;
        // tearline and Origin with the user's address; SEEN-BY and PATH of the node.
        std::vector<std::string> lines = textLines(m.text);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "AREA:TEST.ONE");
        size_t at = 1;
        std::vector<std::string> kludges;
        while (at < lines.size() && !lines[at].empty() && lines[at][0] == '\x01') kludges.push_back(lines[at++]);
        msgIds[i] = kludgeValue(kludges, "MSGID");
        EXPECT_EQ(msgIds[i].rfind("2:5020/999.1 ", 0), 0u) << msgIds[i];
        EXPECT_EQ(kludgeValue(kludges, "REPLY"), p.references.empty() ? "" : "2:5020/1 5e1f0100");
        EXPECT_EQ(kludgeValue(kludges, "CHRS"), "CP866 2");
        std::vector<std::string> text(lines.begin() + long(at), lines.end());
        ASSERT_EQ(text.size(), p.body.size() + 4) << "the text, tearline, Origin, SEEN-BY and PATH";
        for (size_t k = 0; k < p.body.size(); ++k) EXPECT_EQ(text[k], cp866(p.body[k])) << "line " << k;
        const std::string& tearline = text[text.size() - 4];
        const std::string& origin = text[text.size() - 3];
        EXPECT_EQ(tearline.rfind("--- ", 0), 0u) << tearline;
        EXPECT_EQ(origin.rfind(" * Origin: ", 0), 0u) << origin;
        EXPECT_EQ(origin.substr(origin.size() - 14), "(2:5020/999.1)") << origin;
        EXPECT_EQ(text[text.size() - 2], "SEEN-BY: 5020/1 999");
        EXPECT_EQ(text.back(), "\x01PATH: 5020/999");

        // The Message-ID the reader gave finds the post, whose MSGID is the one that left.
        ASSERT_EQ(c.command("HDR X-FTN-MSGID <reader." + std::to_string(i + 1) + "@example.org>"), "225 Headers follow");
        std::vector<std::string> hdr;
        ASSERT_TRUE(c.block(hdr));
        EXPECT_EQ(hdr, std::vector<std::string>{"0 " + msgIds[i]});
    }
    EXPECT_NE(msgIds[0], msgIds[1]);
}

// ---------------------------------------------------------------------------------------
// Tossed mail, read over both doors

// What the article of a message must carry, made from the lines the binary door gives:
// the X-FTN-* fields in order, and the body in UTF-8.
struct ExpectedArticle {
    std::vector<std::pair<std::string, std::string>> ftnFields;
    std::vector<std::string> body;
};

ExpectedArticle expectedFrom(const std::vector<std::string>& lines, const std::string& areaCharset) {
    ExpectedArticle e;
    std::string charset = kludgeValue(lines, "CHRS");
    charset = charset.empty() ? areaCharset : charset.substr(0, charset.find(' '));
    for (const std::string& line : lines) {
        if (line.rfind("SEEN-BY: ", 0) == 0) {
            e.ftnFields.emplace_back("X-FTN-SEEN-BY", line.substr(9));
        } else if (!line.empty() && line[0] == '\x01') {
            std::string kludge = line.substr(1);
            std::string keyword = kludge.substr(0, kludge.find_first_of(": "));
            const bool named = keyword == "MSGID" || keyword == "REPLY" || keyword == "PID" || keyword == "TZUTC" ||
                               keyword == "CHRS" || keyword == "PATH";
            if (named)
                e.ftnFields.emplace_back("X-FTN-" + keyword, kludge.substr(keyword.size() + 2));
            else
                e.ftnFields.emplace_back("X-FTN-Kludge", kludge);
        } else {
            e.body.push_back(news::convert(line, charset.c_str(), "UTF-8"));
        }
    }
    return e;
}

TEST_F(NewsHpt, TossedMailReadsOverNntpAsOverTheBinaryDoor) {
    HptNode node(tmp.subdir("node"));
    EchoDraft labelled;
    labelled.area = "TEST.ONE";
    labelled.fromName = "Ivan Petrov";
    labelled.subject = "Labelled CP866";
    labelled.kludges = {"MSGID: 2:5020/1 5e1f0201", "PID: TestKit 1.0", "TZUTC: 0300", "CHRS: CP866 2"};
    labelled.body = {cp866("Привет всем."), "", cp866("Вторая строка.")};
    EchoDraft unlabelled;
    unlabelled.area = "TEST.ONE";
    unlabelled.fromName = "Max Kern";
    unlabelled.toName = "Ivan Petrov";
    unlabelled.subject = "Re: Labelled CP866";
    unlabelled.kludges = {"MSGID: 2:5020/1.5 5e1f0202", "REPLY: 2:5020/1 5e1f0201", "NOTE: not a kludge this door knows"};
    unlabelled.body = {cp866("Без CHRS: кодировка эхи.")};
    unlabelled.seenBy = "5020/1 2 3";
    unlabelled.path = "5020/100 1";
    NetmailDraft netmail;
    netmail.subject = "Netmail for the sysop";
    netmail.from = {2, 5020, 1, 5};
    netmail.to = hpt::kNodeAddr;
    netmail.kludges = {"MSGID: 2:5020/1.5 5e1f0203", "CHRS: CP866 2"};
    netmail.body = {cp866("Лично сисопу.")};
    ASSERT_TRUE(receivedAndTossed(node, {fidopkt::echoMessage(labelled, hpt::kUplinkAddr, hpt::kNodeAddr),
                                         fidopkt::echoMessage(unlabelled, hpt::kUplinkAddr, hpt::kNodeAddr),
                                         fidopkt::netmailMessage(netmail)}));
    start(node);
    if (HasFatalFailure()) return;

    qclient::Connection binary;
    ASSERT_TRUE(server.connect(binary));
    ASSERT_EQ(binary.login("Test Sysop", "secret", kSysopAddr), qclient::Status::Ok);
    news::Client nntp;
    ASSERT_TRUE(nntp.connect(server.newsPort()));
    ASSERT_TRUE(nntp.login("Test_Sysop", "secret"));

    const struct {
        int32_t area;
        const char* group;
        const char* charset;  // of messages without CHRS
        size_t count;
    } areas[] = {{0, "fido.netmail", "CP437", 1}, {1, "fido.test.one", "CP866", 2}};
    for (const auto& area : areas) {
        SCOPED_TRACE(area.group);
        std::vector<pktMsgHeader> list;
        ASSERT_EQ(binary.getMsgList(area.area, list), qclient::Status::Ok);
        ASSERT_EQ(list.size(), area.count) << node.log();
        ASSERT_EQ(nntp.command(std::string("GROUP ") + area.group).rfind("211 ", 0), 0u);
        for (const pktMsgHeader& h : list) {
            SCOPED_TRACE("message " + std::to_string(h.msgNumber));
            pktMessage m;
            std::vector<std::string> lines;
            ASSERT_EQ(binary.getMessage(area.area, h.msgNumber, m, lines), qclient::Status::Ok);
            const ExpectedArticle expected = expectedFrom(lines, area.charset);

            ASSERT_EQ(nntp.command("ARTICLE " + std::to_string(h.msgNumber)).rfind("220 " + std::to_string(h.msgNumber), 0),
                      0u);
            std::vector<std::string> block;
            ASSERT_TRUE(nntp.block(block));
            news::Article a;
            ASSERT_TRUE(news::splitArticle(block, a));
            std::vector<std::pair<std::string, std::string>> ftnFields;
            for (const auto& field : a.headers)
                if (field.first.rfind("X-FTN-", 0) == 0) ftnFields.push_back(field);
            EXPECT_EQ(ftnFields, expected.ftnFields);
            EXPECT_EQ(a.body, expected.body);
            ASSERT_TRUE(a.header("Subject") && a.header("X-Comment-To"));
            EXPECT_EQ(*a.header("Subject"), std::string(m.header.subject));
            EXPECT_EQ(*a.header("X-Comment-To"), std::string(m.header.toName));
        }
    }
    EXPECT_EQ(nntp.linesWithoutCr(), 0u) << "every line of the door ends in CRLF";
}

}  // namespace
