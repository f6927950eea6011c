// What the server does to a post before it is stored: the rights of ordinary users
// against sysop users (attribute bits, fromName, the kludges the server stamps), the PID
// and TZUTC kludges, the tearline and Origin line of echomail; the settings keys that
// feed them; and the echo toss log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "common/test_time.h"
#include "config/config.h"
#include "core/post_rules.h"
#include "support/le.h"
#include "fido/attributes.h"

namespace {

const std::string kA = "\x01";  // kludge mark, kept apart from the letters after it

rClientInfo makeUser(const char* name, const FidoAddr& addr, bool super) {
    rClientInfo u;
    copyField(u.name, name, sizeof u.name);
    copyField(u.password, "pw", sizeof u.password);
    u.address = addr;
    u.superUser = super ? 1 : 0;
    return u;
}

const rClientInfo kAnn = makeUser("Ann Reader", {2, 5020, 1234, 5}, false);
const rClientInfo kSysop = makeUser("Demo Sysop", {2, 5020, 1234, 0}, true);

// The kludges every post gets when its text has none of its own.
const std::string kAdded = kA + "PID: Quorva 1.0.1\r" + kA + "TZUTC: 0100\r";

ServerSettings settingsWithOrigin(const std::string& origin) {
    ServerSettings s;
    s.origin = origin;
    return s;
}

NewMessage postedRecord(const char* from, uint16_t attributes) {
    NewMessage m;
    m.fromName = from;
    m.toName = "Max Kern";
    m.subject = "Files";
    m.origAddr = FidoAddr{1, 1, 1, 1};
    m.destAddr = FidoAddr{2, 5020, 100, 0};
    m.attributes = attributes;
    return m;
}

constexpr bool kNetmail = true, kEchomail = false;

// The post with this text as the server prepares it for the user.
NewMessage prepared(NewMessage post, std::string_view text, const rClientInfo& user, bool netmail, const WallTime& now,
                    const ServerSettings& settings) {
    post.text = text;
    preparePost(post, user, RightsPolicy(), netmail, now, settings);
    return post;
}

// ---- rights: attribute bits and fromName -----------------------------------------------

TEST(PostRules, AttributeBitsAndSenderNameByRights) {
    struct Case {
        const char* name;
        const rClientInfo* user;
        bool netmail;
        uint16_t asked;
        uint16_t stored;
        const char* fromName;
    };
    const uint16_t allowed = kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrHold | kAttrReturnReceiptRequest;
    const Case cases[] = {
        {"user, nothing asked: local only", &kAnn, kNetmail, 0, kAttrLocal, "Ann Reader"},
        {"user, every bit: the allowed ones and local", &kAnn, kNetmail, 0xFFFF, allowed | kAttrLocal,
         "Ann Reader"},
        {"user, the allowed ones", &kAnn, kNetmail, allowed, allowed | kAttrLocal, "Ann Reader"},
        {"user, file attach", &kAnn, kNetmail, kAttrFileAttach | kAttrPrivate, kAttrPrivate | kAttrLocal,
         "Ann Reader"},
        {"user, file and update request", &kAnn, kNetmail, kAttrFileRequest | kAttrUpdateRequest, kAttrLocal,
         "Ann Reader"},
        {"user, sent, received, in transit, orphan", &kAnn, kNetmail,
         kAttrSent | kAttrReceived | kAttrInTransit | kAttrOrphan | kAttrCrash, kAttrCrash | kAttrLocal, "Ann Reader"},
        {"sysop, every bit as asked", &kSysop, kNetmail, 0xFEFF, 0xFFFF, "Somebody Else"},
        {"sysop, file attach, local added", &kSysop, kNetmail, kAttrFileAttach, kAttrFileAttach | kAttrLocal,
         "Somebody Else"},
        // The Squish base sets the attributes of echomail itself.
        {"user, echomail: attributes untouched", &kAnn, kEchomail, 0x0011, 0x0011, "Ann Reader"},
        {"sysop, echomail", &kSysop, kEchomail, 0x0000, 0x0000, "Somebody Else"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewMessage p = prepared(postedRecord("Somebody Else", c.asked), "Hi\r", *c.user, c.netmail,
                                     testWallTime(), ServerSettings{});
        EXPECT_EQ(p.attributes, c.stored);
        EXPECT_EQ(p.fromName, c.fromName);
        EXPECT_EQ(p.origAddr, c.user->address) << "always the user's own address";
        // Everything else passes as it came.
        EXPECT_EQ(p.toName, "Max Kern");
        EXPECT_EQ(p.subject, "Files");
        EXPECT_EQ(p.destAddr, (FidoAddr{2, 5020, 100, 0}));
    }
}

TEST(PostRules, RegisteredNameFillsTheWholeField) {
    const rClientInfo longName = makeUser("Abcdefghij Klmnopqrst Uvwxyz 0123456789", {1, 2, 3, 4}, false);
    NewMessage p =
        prepared(postedRecord("X", 0), "", longName, kNetmail, testWallTime(), ServerSettings{});
    EXPECT_EQ(p.fromName, std::string(longName.name, 36));
}

// ---- rights: the kludges the server stamps ---------------------------------------------

TEST(PostRules, StampedKludgesAreDroppedForOrdinaryUsersOnly) {
    struct Case {
        const char* name;
        std::string text;
        std::string user;   // stored text for the ordinary user, after the added kludges
        std::string sysop;  // and for the sysop
    };
    const std::string stamped = kA + "MSGID: 1:1/1.0 12345678\r" + kA + "INTL 2:5020/100 1:1/1\r" + kA + "FMPT 3\r" +
                                kA + "TOPT 4\r";
    const Case cases[] = {
        {"the four at the top, others kept", stamped + kA + "REPLY: 2:5020/9 1\rHello\r", kA + "REPLY: 2:5020/9 1\rHello\r",
         stamped + kA + "REPLY: 2:5020/9 1\rHello\r"},
        {"after the body too", "Hello\r" + kA + "MSGID: 1:1/1 1\rBye\r", "Hello\rBye\r",
         "Hello\r" + kA + "MSGID: 1:1/1 1\rBye\r"},
        {"inside a line", "Hi" + kA + "INTL 1:1/1 2:2/2\r", "Hi\r", "Hi" + kA + "INTL 1:1/1 2:2/2\r"},
        {"several on one line", kA + "CHRS: CP866 2" + kA + "MSGID: 1:1/1 1" + kA + "TOPT 2\rX\r",
         kA + "CHRS: CP866 2\rX\r", kA + "CHRS: CP866 2" + kA + "MSGID: 1:1/1 1" + kA + "TOPT 2\rX\r"},
        {"without a value", kA + "INTL\r" + kA + "MSGID:\rX", "X", kA + "INTL\r" + kA + "MSGID:\rX"},
        {"ended by LF", kA + "FMPT 9\nBody\r", "Body\r", kA + "FMPT 9\nBody\r"},
        {"names that only begin alike stay", kA + "MSGIDX: 1\r" + kA + "INTLNET\r", kA + "MSGIDX: 1\r" + kA + "INTLNET\r",
         kA + "MSGIDX: 1\r" + kA + "INTLNET\r"},
        {"letter case counts", kA + "msgid: 1:1/1 1\r", kA + "msgid: 1:1/1 1\r", kA + "msgid: 1:1/1 1\r"},
        {"plain text naming them stays", "MSGID: 1:1/1 1\rINTL\r", "MSGID: 1:1/1 1\rINTL\r", "MSGID: 1:1/1 1\rINTL\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewMessage u = prepared(postedRecord("X", 0), c.text, kAnn, kNetmail, testWallTime(), {});
        EXPECT_EQ(u.text, kAdded + c.user);
        NewMessage s = prepared(postedRecord("X", 0), c.text, kSysop, kNetmail, testWallTime(), {});
        EXPECT_EQ(s.text, kAdded + c.sysop);
    }
}

// Lines a tosser reads as routing or identity are made inert in an ordinary user's text,
// wherever they stand; a sysop's text keeps them.
TEST(PostRules, RoutingLinesOfOrdinaryUsersAreMadeInert) {
    struct Case {
        const char* name;
        std::string text;
        std::string user;  // stored for the ordinary user, after the added kludges
    };
    const Case cases[] = {
        {"SEEN-BY at a line's start", "Hi\rSEEN-BY: 5020/1 999\rBye\r", "Hi\rSEEN+BY: 5020/1 999\rBye\r"},
        {"SEEN-BY as the first line", "SEEN-BY: 1/1\r", "SEEN+BY: 1/1\r"},
        {"SEEN-BY not at a line's start stays", "Hi\r SEEN-BY: 1/1\rsee SEEN-BY: 1/1\r",
         "Hi\r SEEN-BY: 1/1\rsee SEEN-BY: 1/1\r"},
        {"AREA as the first line", "AREA:OTHER.ECHO\rHello\r", "Hello\r"},
        {"AREA as the first line after kludges", kA + "REPLY: 1:1/1 1\rAREA:X\rHello\r",
         kA + "REPLY: 1:1/1 1\rHello\r"},
        {"AREA further down stays", "Hello\rAREA:X\r", "Hello\rAREA:X\r"},
        {"PATH and Via kludges", kA + "PATH: 5020/1\rHi\r" + kA + "Via 2:5020/1 @20260101.1200\r" + kA + "PATH: 1/1\r",
         "Hi\r"},
        {"PATH on a line with another kludge", kA + "CHRS: CP866 2" + kA + "PATH: 1/1\rHi\r", kA + "CHRS: CP866 2\rHi\r"},
        {"a kludge that only begins like PATH stays", kA + "PATHX: 1\rHi\r", kA + "PATHX: 1\rHi\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewMessage u = prepared(postedRecord("X", 0), c.text, kAnn, kNetmail, testWallTime(), {});
        EXPECT_EQ(u.text, kAdded + c.user);
        NewMessage s = prepared(postedRecord("X", 0), c.text, kSysop, kNetmail, testWallTime(), {});
        EXPECT_EQ(s.text, kAdded + c.text);
    }
}

// ---- PID and TZUTC ---------------------------------------------------------------------

TEST(PostRules, PidAndTzutcAreAddedUnlessTheLeadingKludgesHaveThem) {
    struct Case {
        const char* name;
        std::string text;
        std::string stored;
    };
    const std::string pid = kA + "PID: Quorva 1.0.1\r";
    const std::string tz = kA + "TZUTC: 0100\r";
    const Case cases[] = {
        {"none", "Hello\r", pid + tz + "Hello\r"},
        {"empty text", "", pid + tz},
        {"own PID", kA + "PID: GoldED 3\rHello\r", tz + kA + "PID: GoldED 3\rHello\r"},
        {"own TZUTC", kA + "TZUTC: -0500\rHello\r", pid + kA + "TZUTC: -0500\rHello\r"},
        {"both on one line", kA + "PID: X 1" + kA + "TZUTC: 0200\rHello\r", kA + "PID: X 1" + kA + "TZUTC: 0200\rHello\r"},
        {"both after other kludges", kA + "REPLY: 1:1/1 1\r" + kA + "TZUTC: 0200\r" + kA + "PID: X\rHi",
         kA + "REPLY: 1:1/1 1\r" + kA + "TZUTC: 0200\r" + kA + "PID: X\rHi"},
        // After the first ordinary line a kludge line is text to a Squish base.
        {"PID in the body does not count", "Hello\r" + kA + "PID: X\r", pid + tz + "Hello\r" + kA + "PID: X\r"},
        {"PIDX is another kludge", kA + "PIDX: 1\rHi\r", pid + tz + kA + "PIDX: 1\rHi\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const rClientInfo* user : {&kAnn, &kSysop}) {
            SCOPED_TRACE(user->name);
            NewMessage p = prepared(postedRecord("X", 0), c.text, *user, kNetmail, testWallTime(), {});
            EXPECT_EQ(p.text, c.stored);
        }
    }
}

TEST(PostRules, TzutcIsTheLocalOffsetInHoursAndMinutes) {
    struct Case {
        long gmtoff;
        const char* text;
    } cases[] = {
        {0, "0000"},         {3600, "0100"},        {-18000, "-0500"}, {19800, "0530"},
        {-12600, "-0330"},   {45900, "1245"},       {50400, "1400"},   {-43200, "-1200"},
        {20700, "0545"},     {-34200, "-0930"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::tm t{};
        t.tm_gmtoff = c.gmtoff;
        EXPECT_EQ(formatTzutc(t), c.text);
    }
}

// ---- tearline and Origin line of echomail ----------------------------------------------

TEST(PostRules, EchomailEndsWithTearlineAndOriginLine) {
    struct Case {
        const char* name;
        std::string text;
        std::string user;   // stored for the ordinary user (2:5020/1234.5), without the added kludges
        std::string sysop;  // stored for the sysop (2:5020/1234.0)
    };
    const std::string tear = "--- Quorva 1.0.1\r";
    const std::string annOrigin = " * Origin: Test Node, Somewhere (2:5020/1234.5)\r";
    const std::string sysOrigin = " * Origin: Test Node, Somewhere (2:5020/1234.0)\r";
    const Case cases[] = {
        {"none", "Hello\r", "Hello\r" + tear + annOrigin, "Hello\r" + tear + sysOrigin},
        {"last line without CR", "Hello", "Hello\r" + tear + annOrigin, "Hello\r" + tear + sysOrigin},
        {"empty text", "", tear + annOrigin, tear + sysOrigin},
        {"blank lines at the end stay before the tearline", "Hello\r\r", "Hello\r\r" + tear + annOrigin,
         "Hello\r\r" + tear + sysOrigin},
        {"own tearline kept, Origin after it", "Hello\r--- GoldED+ 1.1.5\r",
         "Hello\r--- GoldED+ 1.1.5\r" + annOrigin, "Hello\r--- GoldED+ 1.1.5\r" + sysOrigin},
        {"bare tearline, blank lines after it dropped", "Hello\r---\r\r \r", "Hello\r---\r" + annOrigin,
         "Hello\r---\r" + sysOrigin},
        {"a rule of dashes is no tearline", "Hello\r----------\r", "Hello\r----------\r" + tear + annOrigin,
         "Hello\r----------\r" + tear + sysOrigin},
        {"own Origin with the own address", "Hi\r--- X\r * Origin: Home (2:5020/1234.5)\r",
         "Hi\r--- X\r * Origin: Home (2:5020/1234.5)\r", "Hi\r--- X\r * Origin: Home (2:5020/1234.5)\r"},
        {"own address followed by blanks", "Hi\r * Origin: Home (2:5020/1234.5)  \r",
         "Hi\r * Origin: Home (2:5020/1234.5)  \r", "Hi\r * Origin: Home (2:5020/1234.5)  \r"},
        // An ordinary user's Origin line that names anything but exactly their address
        // gives way to the node's, with their address.
        {"own Origin, own address without the point", "Hi\r * Origin: Home (2:5020/1234)\r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Home (2:5020/1234)\r"},
        {"own Origin naming another node", "Hi\r * Origin: Forged (1:1/1)\r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Forged (1:1/1)\r"},
        {"a second address inside the parentheses", "Hi\r * Origin: my point (2:5020/1234.5 1:2/3)\r",
         "Hi\r" + tear + annOrigin, "Hi\r * Origin: my point (2:5020/1234.5 1:2/3)\r"},
        {"an address after the parentheses", "Hi\r * Origin: my point (2:5020/1234.5) 1:2/3)\r",
         "Hi\r" + tear + annOrigin, "Hi\r * Origin: my point (2:5020/1234.5) 1:2/3)\r"},
        {"text after the parentheses", "Hi\r * Origin: my point (2:5020/1234.5) x\r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: my point (2:5020/1234.5) x\r"},
        {"the own tearline stays before the node's Origin", "Hi\r--- X\r * Origin: Forged (1:1/1)\r",
         "Hi\r--- X\r" + annOrigin, "Hi\r--- X\r * Origin: Forged (1:1/1)\r"},
        {"own Origin with a domain", "Hi\r * Origin: Home (2:5020/1234.5@fidonet)\r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Home (2:5020/1234.5@fidonet)\r"},
        {"own Origin without an address", "Hi\r * Origin: Home  \r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Home  \r"},
        {"own Origin whose parentheses hold no address", "Hi\r * Origin: Home (Moscow)\r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Home (Moscow)\r"},
        {"own Origin, blank lines after it dropped", "Hi\r * Origin: Home (1:2/3)\r\r \r", "Hi\r" + tear + annOrigin,
         "Hi\r * Origin: Home (1:2/3)\r"},
        {"own Origin without CR", "Hi\r * Origin: Home (2:5020/1234.5)", "Hi\r * Origin: Home (2:5020/1234.5)\r",
         "Hi\r * Origin: Home (2:5020/1234.5)\r"},
        {"an Origin line that is not the last line is text", "> * Origin: quoted (1:1/1)\r * Origin: q (1:1/1)\rMore",
         "> * Origin: quoted (1:1/1)\r * Origin: q (1:1/1)\rMore\r" + tear + annOrigin,
         "> * Origin: quoted (1:1/1)\r * Origin: q (1:1/1)\rMore\r" + tear + sysOrigin},
        {"kludges only", kA + "REPLY: 1:1/1 1\r", kA + "REPLY: 1:1/1 1\r" + tear + annOrigin,
         kA + "REPLY: 1:1/1 1\r" + tear + sysOrigin},
    };
    const ServerSettings settings = settingsWithOrigin("Test Node, Somewhere");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewMessage u = prepared(postedRecord("X", 0), c.text, kAnn, kEchomail, testWallTime(), settings);
        EXPECT_EQ(u.text, kAdded + c.user);
        NewMessage s =
            prepared(postedRecord("X", 0), c.text, kSysop, kEchomail, testWallTime(), settings);
        EXPECT_EQ(s.text, kAdded + c.sysop);
    }
}

TEST(PostRules, NetmailGetsNoTearlineNorOrigin) {
    NewMessage p = prepared(postedRecord("X", 0), "Hello", kAnn, kNetmail, testWallTime(),
                                 settingsWithOrigin("Test Node"));
    EXPECT_EQ(p.text, kAdded + "Hello");
}

TEST(PostRules, DefaultOriginTextIsTheProgramsNameAndVersion) {
    EXPECT_EQ(ServerSettings{}.origin, "Quorva 1.0.1");
    NewMessage p =
        prepared(postedRecord("X", 0), "Hi\r", kAnn, kEchomail, testWallTime(), ServerSettings{});
    EXPECT_EQ(p.text, kAdded + "Hi\r--- Quorva 1.0.1\r * Origin: Quorva 1.0.1 (2:5020/1234.5)\r");
}

// ---- settings keys ---------------------------------------------------------------------

class EchomailSettings : public ::testing::Test {
protected:
    ServerSettings load(const std::string& text) {
        dir.write("quorva.INI", text);
        ServerSettings s;
        std::vector<mArea> areas;
        MCArray<rClientInfo> users;
        EXPECT_TRUE(loadSettings(dir.file("quorva.INI").c_str(), s, areas, users));
        return s;
    }
    TempDir dir;
};

TEST_F(EchomailSettings, OriginTakesTheRestOfItsLine) {
    struct Case {
        const char* name;
        std::string text;
        std::string origin;
    } cases[] = {
        {"absent: the default", "listenPort 1\n", "Quorva 1.0.1"},
        {"one word", "origin Home\n", "Home"},
        {"several words, inner blanks kept", "origin My  node,\tin Moscow\n", "My  node,\tin Moscow"},
        {"blanks around the value dropped", " \t origin \t Far away \t \r\n", "Far away"},
        {"no value: the default stays", "origin\norigin   \n", "Quorva 1.0.1"},
        {"the last line counts", "origin One\norigin Two two\n", "Two two"},
        {"keywords are case-sensitive", "Origin Home\n", "Quorva 1.0.1"},
        {"a longer keyword is another", "originText Home\n", "Quorva 1.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text).origin, c.origin);
    }
}

TEST_F(EchomailSettings, EchoTossLogTakesOnePath) {
    struct Case {
        const char* name;
        std::string text;
        std::string path;
    } cases[] = {
        {"absent: none", "listenPort 1\n", ""},
        {"a path", "echoTossLog /var/spool/fido/echotoss.log\n", "/var/spool/fido/echotoss.log"},
        {"blanks around it", "\techoTossLog   log.txt  \n", "log.txt"},
        {"two words after the key: not this line", "echoTossLog a b\n", ""},
        {"no path", "echoTossLog\n", ""},
        {"keywords are case-sensitive", "echotosslog x\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text).echoTossLog, c.path);
    }
}

TEST_F(EchomailSettings, OtherLinesAreReadAsBefore) {
    ServerSettings s = load("origin Home node\nlistenPort 2345\nechoTossLog t.log\nuser A,b,1:2/3\n");
    EXPECT_STREQ(s.portText, "2345");
    EXPECT_EQ(s.origin, "Home node");
    EXPECT_EQ(s.echoTossLog, "t.log");
}

// ---- echo toss log ---------------------------------------------------------------------

TEST(EchoTossLog, AppendsEachTagOnce) {
    TempDir dir;
    const std::string log = dir.file("echotoss.log");
    struct Step {
        const char* tag;
        std::string before;  // log content before the call ("-" for no file)
        std::string after;
    } steps[] = {
        {"QUORVA.TALK", "-", "QUORVA.TALK\n"},
        {"QUORVA.TALK", "QUORVA.TALK\n", "QUORVA.TALK\n"},
        {"quorva.talk", "QUORVA.TALK\n", "QUORVA.TALK\n"},  // tags are letter-case-blind
        {"DEMO.TEST", "QUORVA.TALK\n", "QUORVA.TALK\nDEMO.TEST\n"},
        {"DEMO.TEST", "  DEMO.TEST \r\nOTHER\r\n", "  DEMO.TEST \r\nOTHER\r\n"},
        {"DEMO", "DEMO.TEST\n", "DEMO.TEST\nDEMO\n"},  // a longer tag is another one
        {"NEW", "LAST.LINE.WITHOUT.END", "LAST.LINE.WITHOUT.END\nNEW\n"},
        {"NEW", "", "NEW\n"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.tag) + " after " + s.before);
        unlink(log.c_str());
        if (s.before != "-") writeFile(log, s.before);
        ASSERT_TRUE(noteEchoToss(log, s.tag)) << strerror(errno);
        EXPECT_EQ(readFile(log), s.after);
    }
}

TEST(EchoTossLog, RefusesWhatIsNoWritableFile) {
    TempDir dir;
    dir.mkdir("adir");
    EXPECT_FALSE(noteEchoToss(dir.file("adir"), "TAG"));
    EXPECT_FALSE(noteEchoToss(dir.file("missing/echotoss.log"), "TAG"));
}

// Writers at the same time never mix their lines: each line goes out in one write to the
// end of the file.
TEST(EchoTossLog, ConcurrentWritersKeepWholeLines) {
    TempDir dir;
    const std::string log = dir.file("echotoss.log");
    constexpr int kWriters = 4, kTags = 150;
    std::vector<std::thread> writers;
    std::vector<int> failures(kWriters, 0);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kTags; ++i) {
                std::string tag = "WRITER" + std::to_string(w) + ".AREA." + std::to_string(i) + std::string(40, 'X');
                if (!noteEchoToss(log, tag)) ++failures[size_t(w)];
            }
        });
    }
    for (std::thread& t : writers) t.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    std::string content = readFile(log);
    // A reader may catch another writer's line half written and then start its own on a
    // new line: an empty line is harmless, a mixed one is not.
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = content.find('\n', start)) != std::string::npos; start = nl + 1)
        if (nl > start) lines.push_back(content.substr(start, nl - start));
    EXPECT_EQ(start, content.size()) << "the log ends with a line end";
    ASSERT_EQ(lines.size(), size_t(kWriters * kTags));
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("WRITER", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 40), std::string(40, 'X')) << line;
    }
}

}  // namespace

namespace {

// ---- netmail visibility ----------------------------------------------------------------

TEST(Rights, OrdinaryUsersSeeOnlyNetmailFromOrToTheirNameOrAddress) {
    auto mail = [](const char* from, const char* to, FidoAddr orig, FidoAddr dest) {
        MessageSummary m;
        m.fromName = from;
        m.toName = to;
        m.origAddr = orig;
        m.destAddr = dest;
        return m;
    };
    const FidoAddr other{1, 2, 3, 4}, elsewhere{5, 6, 7, 8};
    struct Case {
        const char* name;
        MessageSummary message;
        bool seen;
    } cases[] = {
        {"from her name", mail("Ann Reader", "Max", other, elsewhere), true},
        {"to her name, in other letter case", mail("Max", "ANN READER", other, elsewhere), true},
        {"from her address", mail("Max", "Eve", kAnn.address, elsewhere), true},
        {"to her address", mail("Max", "Eve", other, kAnn.address), true},
        {"to her node, not her point", mail("Max", "Eve", other, {2, 5020, 1234, 0}), false},
        {"a name that only begins like hers", mail("Ann Reader Jr", "Max", other, elsewhere), false},
        {"between others", mail("Max", "Eve", other, elsewhere), false},
    };
    const RightsPolicy own, all(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(own.maySeeNetmail(kAnn, c.message), c.seen);
        EXPECT_TRUE(own.maySeeNetmail(kSysop, c.message)) << "a super user sees all";
        EXPECT_TRUE(all.maySeeNetmail(kAnn, c.message)) << "on a node whose users share one mailbox";
    }
}

}  // namespace
