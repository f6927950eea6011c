// Posts against the real server, fetched back as stored: the rights of ordinary users
// against sysop users in both formats (sender name, netmail attribute bits, the kludges
// the server stamps), the PID, TZUTC, tearline and Origin line that let echomail travel,
// MSGIDs of posts in a row, the echo toss log, and the login challenge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"
#include "support/md5.h"
#include "support/osfile.h"
#include "fido/attributes.h"

namespace {

using qclient::Connection;
using qclient::Status;

const std::string kA = "\x01";  // kludge mark

// The ordinary user is a point, so that the server writes an FMPT kludge of its own.
const FidoAddr kUserAddr{2, 5020, 1, 5};
const FidoAddr kBossAddr{2, 5020, 2, 0};
const FidoAddr kDest{2, 5020, 300, 0};
const char kUsers[] = "user Name,pass,2:5020/1.5\nuser Boss,pw,2:5020/2.0,super\n";
const char kOrigin[] = "Test Node, Somewhere far";

constexpr int kWaitMs = 10000;

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

template <size_t N>
std::string str(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Sets an environment variable for the servers started while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        if (old) old_ = old;
        had_ = old != nullptr;
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
        tzset();
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

// Lines as fetched, matched against expected lines in which "MSGID <addr>" stands for the
// server's own MSGID of that address (any serial) and everything else must be equal.
bool matches(const std::vector<std::string>& got, const std::vector<std::string>& want, std::string& why) {
    if (got.size() != want.size()) {
        why = "got " + std::to_string(got.size()) + " lines, want " + std::to_string(want.size());
    } else {
        for (size_t i = 0; i < got.size(); ++i) {
            const std::string& w = want[i];
            bool ok;
            if (w.rfind("MSGID ", 0) == 0) {
                std::string prefix = kA + "MSGID: " + w.substr(6) + " ";
                ok = got[i].size() == prefix.size() + 8 && got[i].rfind(prefix, 0) == 0 &&
                     std::all_of(got[i].begin() + long(prefix.size()), got[i].end(),
                                 [](char c) { return isdigit(uint8_t(c)) || (c >= 'A' && c <= 'F'); });
            } else {
                ok = got[i] == w;
            }
            if (!ok) {
                why = "line " + std::to_string(i) + ": got [" + got[i] + "], want [" + w + "]";
                break;
            }
        }
        if (why.empty()) return true;
    }
    for (const std::string& l : got) why += "\n  " + (l.empty() || l[0] != 1 ? l : "^A" + l.substr(1));
    return false;
}

class PostRules : public ::testing::Test {
protected:
    TempDir dir;
    ServerProcess server;

    enum : int32_t { kEcho, kNetmail, kEcho2, kGone };

    std::string echoBase() const { return dir.file("echo"); }
    std::string netmailDir() const { return dir.file("netmail"); }

    // Two empty Squish bases, an empty netmail folder, and an echo area whose base is
    // missing (posts to it fail).
    [[nodiscard]] bool start(const std::string& moreSettings = "") {
        sqfix::buildBase(echoBase(), {});
        sqfix::buildBase(dir.file("echo2"), {});
        dir.mkdir("netmail");
        dir.write("areas.cfg", "EchoArea ECHO " + echoBase() + "\n" +       //
                                   "NetArea NETMAIL " + netmailDir() + "\n" +  //
                                   "EchoArea ECHO2 " + dir.file("echo2") + "\n" + "EchoArea GONE " + dir.file("gone") +
                                   "\n");
        return server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + kUsers + moreSettings);
    }

    [[nodiscard]] bool login(Connection& c, bool boss) {
        if (!server.connect(c)) return false;
        return (boss ? c.login("Boss", "pw", kBossAddr) : c.login("Name", "pass", kUserAddr)) == Status::Ok;
    }

    static pktMessage record(int32_t area, const std::string& from, uint16_t attributes) {
        pktMessage m;
        copyField(m.header.fromName, from.c_str(), sizeof m.header.fromName);
        copyField(m.header.toName, "Max Kern", sizeof m.header.toName);
        copyField(m.header.subject, "Rights", sizeof m.header.subject);
        m.destAddr = kDest;
        m.areaNumber = area;
        m.attributes = attributes;
        return m;
    }

    // Posts and fetches the new message back (the highest number of the area).
    void postAndFetch(Connection& c, const pktMessage& m, const std::string& text, pktMessage& stored,
                      std::vector<std::string>& lines, uint32_t* number = nullptr) {
        ASSERT_EQ(Status::Ok, c.post(m, text));
        std::vector<pktMsgHeader> list;
        ASSERT_EQ(Status::Ok, c.getMsgList(m.areaNumber, list));
        ASSERT_FALSE(list.empty());
        if (number) *number = list.back().msgNumber;
        ASSERT_EQ(Status::Ok, c.getMessage(m.areaNumber, list.back().msgNumber, stored, lines));
    }

    // The stored frame of a Squish message, by UMSGID.
    bool squishFrame(uint32_t umsgid, sqfix::Frame& frame) {
        sqfix::BaseImage img;
        if (!sqfix::readBase(echoBase(), img)) return false;
        for (const sqfix::IndexRecord& r : img.messages())
            if (r.umsgid == umsgid) return img.readFrame(r.frameOffset, frame);
        return false;
    }
};

// ---- rights ----------------------------------------------------------------------------

TEST_F(PostRules, OrdinaryAndSysopRightsInBothFormats) {
    // Five and a half hours east of Greenwich, so that TZUTC shows minutes as well.
    ScopedEnv tz("TZ", "QRV-05:30");
    ASSERT_TRUE(start("origin " + std::string(kOrigin) + "\n")) << server.err();
    Connection user, boss;
    ASSERT_TRUE(login(user, false));
    ASSERT_TRUE(login(boss, true));

    // A client that claims another sender, every attribute bit and the server's kludges.
    const std::vector<std::string> forged = {kA + "MSGID: 9:9/9.0 00000001", kA + "INTL 2:5020/300 9:9/9",
                                             kA + "FMPT 3", kA + "TOPT 4"};
    std::string text;
    for (const std::string& k : forged) text += k + "\r";
    text += kA + "REPLY: 2:5020/300.0 12345678\rBody line\r";
    const std::string pid = kA + "PID: Quorva 1.0.1", tzutc = kA + "TZUTC: 0530";
    const std::string reply = kA + "REPLY: 2:5020/300.0 12345678";
    const std::string tear = "--- Quorva 1.0.1";

    struct Case {
        const char* name;
        int32_t area;
        bool boss;
        const char* fromName;
        uint16_t attributes;
        std::vector<std::string> lines;
    };
    const uint16_t userBits = kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrHold | kAttrReturnReceiptRequest;
    std::vector<Case> cases = {
        {"netmail, ordinary user", kNetmail, false, "Name", uint16_t(userBits | kAttrLocal),
         {kA + "INTL 2:5020/300 2:5020/1", kA + "FMPT 5", "MSGID 2:5020/1.5", pid, tzutc, reply, "Body line"}},
        {"netmail, sysop", kNetmail, true, "Forged Sender", 0xFFFF, {kA + "INTL 2:5020/300 2:5020/2", "MSGID 2:5020/2.0", pid, tzutc}},
        // A Squish base gives every new message its own attribute word (local).
        {"echomail, ordinary user", kEcho, false, "Name", kAttrLocal,
         {"MSGID 2:5020/1.5", pid, tzutc, reply, "Body line", tear,
          " * Origin: " + std::string(kOrigin) + " (2:5020/1.5)"}},
        {"echomail, sysop", kEcho, true, "Forged Sender", kAttrLocal, {"MSGID 2:5020/2.0", pid, tzutc}},
    };
    // The sysop's own kludges stand after the server's, as sent.
    for (Case& c : cases) {
        if (!c.boss) continue;
        c.lines.insert(c.lines.end(), forged.begin(), forged.end());
        c.lines.push_back(reply);
        c.lines.push_back("Body line");
        if (c.area == kEcho) {
            c.lines.push_back(tear);
            c.lines.push_back(" * Origin: " + std::string(kOrigin) + " (2:5020/2.0)");
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection& conn = c.boss ? boss : user;
        pktMessage stored;
        std::vector<std::string> lines;
        uint32_t number = 0;
        postAndFetch(conn, record(c.area, "Forged Sender", 0xFFFF), text, stored, lines, &number);
        EXPECT_EQ(c.fromName, str(stored.header.fromName));
        EXPECT_EQ(c.attributes, stored.attributes);
        std::string why;
        EXPECT_TRUE(matches(lines, c.lines, why)) << why;

        if (c.area == kNetmail) {
            // The file itself: header fields and the kludges a tosser routes by.
            std::string path = netmailDir() + "/" + std::to_string(number) + ".msg";
            if (!fileExists(path)) path = netmailDir() + "/" + std::to_string(number) + ".MSG";
            msgfixture::StoredMsg msg;
            ASSERT_TRUE(msgfixture::readMsgFile(path, msg)) << path;
            EXPECT_EQ(c.fromName, msgfixture::fieldText(msg.fromField));
            EXPECT_EQ(c.attributes, msg.attribute);
            EXPECT_EQ(c.boss ? kBossAddr : kUserAddr, msg.origAddr());
        } else {
            // Squish: the kludges at the top of the text became control information.
            sqfix::Frame frame;
            ASSERT_TRUE(squishFrame(number, frame));
            std::string wantControl;
            for (const std::string& l : c.lines) {
                if (l.rfind("MSGID ", 0) == 0) continue;
                if (l.empty() || l[0] != 1) break;
                wantControl += l;
            }
            ASSERT_EQ(frame.control.rfind(kA + "MSGID: " + addrText(c.boss ? kBossAddr : kUserAddr) + " ", 0), 0u);
            EXPECT_EQ(frame.control.substr(frame.control.find(kA, 1)), wantControl + std::string(1, '\0'));
            EXPECT_EQ(c.boss ? kBossAddr : kUserAddr, frame.msg.orig);
            EXPECT_EQ(std::vector<std::string>{}, sqfix::checkBase(echoBase()));
        }
    }
}

// ---- echomail that travels -------------------------------------------------------------

TEST_F(PostRules, EchomailGetsTearlineOriginPidAndTzutc) {
    ScopedEnv tz("TZ", "QRV+05");  // five hours west of Greenwich
    ASSERT_TRUE(start("origin " + std::string(kOrigin) + "\n")) << server.err();
    Connection user, boss;
    ASSERT_TRUE(login(user, false));
    ASSERT_TRUE(login(boss, true));
    const std::string userOrigin = " * Origin: " + std::string(kOrigin) + " (2:5020/1.5)";

    struct Case {
        const char* name;
        bool boss;
        std::string text;
        std::string storedText;     // the text after the control information, final zero excluded
        std::string storedControl;  // after the server's MSGID
    };
    const std::string added = kA + "PID: Quorva 1.0.1" + kA + "TZUTC: -0500";
    const Case cases[] = {
        {"plain text", false, "Hello\r\rBye", "Hello\r\rBye\r--- Quorva 1.0.1\r" + userOrigin + "\r", added},
        {"own tearline", false, "Hello\r--- MyEditor 2.0\r", "Hello\r--- MyEditor 2.0\r" + userOrigin + "\r", added},
        {"own Origin of the user's address", false, "Hi\r--- X\r * Origin: Home (2:5020/1.5)\r",
         "Hi\r--- X\r * Origin: Home (2:5020/1.5)\r", added},
        {"own Origin naming another node: the node's Origin instead", false,
         "Hi\r--- X\r * Origin: Elsewhere (1:2/3)\r", "Hi\r--- X\r" + userOrigin + "\r", added},
        {"sysop's Origin naming another node", true, "Hi\r--- X\r * Origin: Elsewhere (1:2/3)\r",
         "Hi\r--- X\r * Origin: Elsewhere (1:2/3)\r", added},
        {"own PID and TZUTC", false, kA + "PID: GoldED+ 1.1.5\r" + kA + "TZUTC: 0300\rHi\r",
         "Hi\r--- Quorva 1.0.1\r" + userOrigin + "\r", kA + "PID: GoldED+ 1.1.5" + kA + "TZUTC: 0300"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pktMessage stored;
        std::vector<std::string> lines;
        uint32_t number = 0;
        postAndFetch(c.boss ? boss : user, record(kEcho, "Name", 0), c.text, stored, lines, &number);
        sqfix::Frame frame;
        ASSERT_TRUE(squishFrame(number, frame));
        size_t afterMsgId = frame.control.find(kA, 1);
        ASSERT_NE(afterMsgId, std::string::npos) << frame.control;
        // The kludges and the zero byte that ends them.
        EXPECT_EQ(frame.control.substr(afterMsgId), c.storedControl + std::string(1, '\0'));
        EXPECT_EQ(frame.text, c.storedText + std::string(1, '\0'));
    }
    EXPECT_EQ(std::vector<std::string>{}, sqfix::checkBase(echoBase()));
}

// Without an origin key the Origin text is the program's name and version.
TEST_F(PostRules, DefaultOriginText) {
    ASSERT_TRUE(start()) << server.err();
    Connection user;
    ASSERT_TRUE(login(user, false));
    pktMessage stored;
    std::vector<std::string> lines;
    postAndFetch(user, record(kEcho, "Name", 0), "Hello\r", stored, lines);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "--- Quorva 1.0.1");
    EXPECT_EQ(lines.back(), " * Origin: Quorva 1.0.1 (2:5020/1.5)");
}

// Posts in a row, far more than 16 within a second: every MSGID differs.
TEST_F(PostRules, FortyPostsInARowHaveDistinctMsgIds) {
    ASSERT_TRUE(start()) << server.err();
    Connection user;
    ASSERT_TRUE(login(user, false));
    constexpr int kPosts = 40;
    const time_t begun = time(nullptr);
    for (int i = 0; i < kPosts; ++i)
        ASSERT_EQ(Status::Ok, user.post(record(kEcho, "Name", 0), "Post " + std::to_string(i) + "\r")) << i;
    const time_t ended = time(nullptr);
    std::vector<pktMsgHeader> list;
    ASSERT_EQ(Status::Ok, user.getMsgList(kEcho, list));
    ASSERT_EQ(size_t(kPosts), list.size());
    std::set<std::string> msgIds;
    for (const pktMsgHeader& h : list) {
        pktMessage m;
        std::vector<std::string> lines;
        ASSERT_EQ(Status::Ok, user.getMessage(kEcho, h.msgNumber, m, lines));
        ASSERT_FALSE(lines.empty());
        ASSERT_EQ(lines[0].rfind(kA + "MSGID: 2:5020/1.5 ", 0), 0u) << lines[0];
        msgIds.insert(lines[0]);
    }
    EXPECT_EQ(size_t(kPosts), msgIds.size()) << "posted within " << (ended - begun + 1) << " s";
}

// ---- echo toss log ---------------------------------------------------------------------

TEST_F(PostRules, EchoTossLogListsEachPostedEchoAreaOnce) {
    const std::string log = dir.file("echotoss.log");
    dir.write("echotoss.log", "OTHER.AREA\n");
    ASSERT_TRUE(start("echoTossLog " + log + "\n")) << server.err();
    Connection user;
    ASSERT_TRUE(login(user, false));
    struct Step {
        int32_t area;
        bool stored;
        std::string log;  // after the post
    } steps[] = {
        {kEcho, true, "OTHER.AREA\nECHO\n"},
        {kEcho, true, "OTHER.AREA\nECHO\n"},  // listed already
        {kNetmail, true, "OTHER.AREA\nECHO\n"},  // netmail is no echo area
        {kGone, false, "OTHER.AREA\nECHO\n"},    // nothing stored, nothing listed
        {kEcho2, true, "OTHER.AREA\nECHO\nECHO2\n"},
        {kEcho2, true, "OTHER.AREA\nECHO\nECHO2\n"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.area);
        // The log is written before the reply, so it is complete when the reply comes.
        EXPECT_EQ(s.stored ? Status::Ok : Status::Refused, user.post(record(s.area, "Name", 0), "Hi\r"));
        EXPECT_EQ(readFile(log), s.log);
    }
    // The tosser scans and empties the log; the next post lists its area again.
    writeFile(log, "");
    ASSERT_EQ(Status::Ok, user.post(record(kEcho2, "Name", 0), "Again\r"));
    EXPECT_EQ(readFile(log), "ECHO2\n");
    // The one error line is the refused post's.
    EXPECT_EQ(1, server.countErr("error:")) << server.err();
    EXPECT_EQ(1, server.countErr("error: area GONE: fail to post: user Name, 2:5020/1.5: not found: " + dir.file("gone") +
                                 ".sqd is missing\n"))
        << server.err();
}

TEST_F(PostRules, EchoTossLogThatCannotBeWrittenDoesNotFailThePost) {
    dir.mkdir("notafile");
    ASSERT_TRUE(start("echoTossLog " + dir.file("notafile") + "\n")) << server.err();
    Connection user;
    ASSERT_TRUE(login(user, false));
    EXPECT_EQ(Status::Ok, user.post(record(kEcho, "Name", 0), "Hi\r"));
    EXPECT_TRUE(server.waitForErr("error: cannot list ECHO in the echo toss log " + dir.file("notafile")))
        << server.err();
    std::vector<pktMsgHeader> list;
    ASSERT_EQ(Status::Ok, user.getMsgList(kEcho, list));
    EXPECT_EQ(1u, list.size());
}

TEST_F(PostRules, NoEchoTossLogWithoutTheKey) {
    ASSERT_TRUE(start()) << server.err();
    Connection user;
    ASSERT_TRUE(login(user, false));
    ASSERT_EQ(Status::Ok, user.post(record(kEcho, "Name", 0), "Hi\r"));
    std::vector<std::string> names;
    ASSERT_TRUE(listDirectory(dir.path(), names));
    for (const std::string& n : names) EXPECT_EQ(n.find("toss"), std::string::npos) << n;
}

// ---- the login challenge ---------------------------------------------------------------

class Challenge : public ::testing::Test {
protected:
    TempDir dir;
    ServerProcess server;
    static constexpr int kUserCount = 20;
    static FidoAddr addrOf(int i) { return FidoAddr{2, 5020, uint16_t(100 + i), 0}; }
    static std::string nameOf(int i) { return "User " + std::to_string(i); }

    void SetUp() override {
        std::string users;
        for (int i = 0; i < kUserCount; ++i)
            users += "user " + nameOf(i) + ",pw" + std::to_string(i) + "," + addrText(addrOf(i)) + "\n";
        ASSERT_TRUE(server.start(dir, users)) << server.err();
    }

    static void digestFor(int user, const uint8_t challenge[20], uint8_t digest[16]) {
        uint8_t key[36];
        qclient::passwordKey("pw" + std::to_string(user), key);
        hmacMd5(key, challenge, digest);
    }
};

TEST_F(Challenge, TwoHellosInTheSameSecondGetDifferentChallenges) {
    // Two users greet back to back; a pair that straddles a second is tried again.
    bool sameSecond = false;
    for (int attempt = 0; attempt < kUserCount / 2 && !sameSecond; ++attempt) {
        SCOPED_TRACE(attempt);
        Connection a, b;
        ASSERT_TRUE(server.connect(a));
        ASSERT_TRUE(server.connect(b));
        uint8_t ca[20], cb[20];
        const time_t before = time(nullptr);
        ASSERT_EQ(Status::Ok, a.hello(nameOf(2 * attempt), addrOf(2 * attempt), ca));
        ASSERT_EQ(Status::Ok, b.hello(nameOf(2 * attempt + 1), addrOf(2 * attempt + 1), cb));
        sameSecond = time(nullptr) == before;
        EXPECT_NE(std::string(reinterpret_cast<char*>(ca), 20), std::string(reinterpret_cast<char*>(cb), 20));
        // Both answer correctly and are logged in.
        uint8_t da[16], db[16];
        digestFor(2 * attempt, ca, da);
        digestFor(2 * attempt + 1, cb, db);
        EXPECT_EQ(Status::Ok, a.answer(da));
        EXPECT_EQ(Status::Ok, b.answer(db));
    }
    EXPECT_TRUE(sameSecond) << "no two hellos fell into one second";
}

TEST_F(Challenge, ReplayedAnswerIsRefused) {
    // An answer seen on the wire during one login...
    uint8_t first[20], digest[16];
    {
        Connection c;
        ASSERT_TRUE(server.connect(c));
        ASSERT_EQ(Status::Ok, c.hello(nameOf(0), addrOf(0), first));
        digestFor(0, first, digest);
        ASSERT_EQ(Status::Ok, c.answer(digest));
        EXPECT_EQ(Status::Ok, c.logout());
    }
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") >= 2; }, kWaitMs)) << server.out();
    // ...and sent again at once on a new connection.
    Connection c;
    ASSERT_TRUE(server.connect(c));
    uint8_t second[20];
    ASSERT_EQ(Status::Ok, c.hello(nameOf(0), addrOf(0), second));
    EXPECT_NE(std::string(reinterpret_cast<char*>(first), 20), std::string(reinterpret_cast<char*>(second), 20));
    EXPECT_EQ(Status::Refused, c.answer(digest));
    EXPECT_TRUE(server.waitForErr("user User 0, 2:5020/100.0 authentication failed")) << server.err();
    // The right answer to the new challenge still logs in.
    Connection d;
    ASSERT_TRUE(server.connect(d));
    uint8_t third[20], good[16];
    ASSERT_EQ(Status::Ok, d.hello(nameOf(0), addrOf(0), third));
    digestFor(0, third, good);
    EXPECT_EQ(Status::Ok, d.answer(good));
}

}  // namespace
