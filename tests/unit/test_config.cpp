#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/console_lines.h"
#include "common/fixed_field.h"
#include "common/server_process.h"
#include "config/config.h"
#include "support/le.h"
#include "support/log.h"
#include "server/startup.h"

namespace {

// ---- settings file name ----------------------------------------------------------------

TEST(SettingsPath, Table) {
    struct Case {
        std::string program;
        bool ok;
        std::string expected;
    } cases[] = {
        {"./quorva", true, "./quorva.INI"},
        {"../build/quorva", true, "../build/quorva.INI"},
        {"server.exe", true, "server.INI"},
        {"server", true, "server.INI"},
        {"quorva.ini", true, "quorva.INI"},
        {"/opt/a.b/server", true, "/opt/a.b/server.INI"},  // a dot in a folder name is not an extension
        {"/opt/a.b/server.tar.gz", true, "/opt/a.b/server.tar.INI"},
        {std::string(255, 'x'), true, std::string(255, 'x') + ".INI"},  // exactly 260 bytes with the zero
        {std::string(255, 'x') + ".exe", true, std::string(255, 'x') + ".INI"},
        {std::string(256, 'x'), false, ""},
        {"/" + std::string(300, 'x') + ".exe", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program.substr(0, 40));
        char out[kSettingsPathSize + 8];
        memset(out, 0x55, sizeof out);
        EXPECT_EQ(deriveSettingsPath(c.program.c_str(), out, kSettingsPathSize), c.ok);
        EXPECT_EQ(std::string(out), c.expected);
        EXPECT_EQ(out[kSettingsPathSize], 0x55) << "wrote past the buffer";
    }
}

// ---- line reader -----------------------------------------------------------------------

std::vector<std::string> readAllLines(const std::string& bytes) {
    std::vector<std::string> lines;
    FILE* f = tmpfile();
    EXPECT_NE(f, nullptr);
    if (!f) return lines;
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    ConfigReader reader(f);
    char buf[kConfigLineMax + 1 + 8];
    memset(buf, 0x55, sizeof buf);
    for (int guard = 0; guard < 100; ++guard) {
        int n = reader.readConfigLine(buf);
        if (n < 0) break;
        EXPECT_LE(n, kConfigLineMax);
        EXPECT_EQ(buf[n], 0);
        lines.emplace_back(buf, size_t(n));
    }
    EXPECT_EQ(reader.readConfigLine(buf), -1) << "the end stays the end";
    EXPECT_EQ(buf[kConfigLineMax + 1], 0x55) << "wrote past 256 bytes";
    fclose(f);
    return lines;
}

TEST(ConfigReader, Table) {
    using V = std::vector<std::string>;
    const std::string l300 = std::string(200, 'a') + std::string(100, 'b');
    struct Case {
        const char* name;
        std::string bytes;
        V lines;
    } cases[] = {
        {"empty file", "", {}},
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"lone CR kept", "a\rb\n", {"a\rb"}},
        {"CR CR LF", "a\r\r\nb", {"a\r", "b"}},
        {"CR at the end of the file", "x\r", {"x\r"}},
        {"last line without newline", "a\nlast", {"a", "last"}},
        {"empty lines", "\n\r\n\nz", {"", "", "", "z"}},
        {"Ctrl-Z ends the file", "a\nb\x1A" "c\nd\n", {"a", "b"}},
        {"Ctrl-Z first", "\x1A" "a\n", {}},
        {"Ctrl-Z after CR", "a\r\x1A" "b\n", {"a\r"}},
        {"300 characters", l300 + "\nnext\n", {l300.substr(0, 255), l300.substr(255), "next"}},
        {"255 characters then LF", std::string(255, 'c') + "\n", {std::string(255, 'c'), ""}},
        {"254 characters then CR LF", std::string(254, 'c') + "\r\n", {std::string(254, 'c')}},
        {"NUL byte is stored", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readAllLines(c.bytes), c.lines);
    }
}

TEST(SplitTokens, EmptiesTheListAndSplitsInPlace) {
    MCArray<char*> list;
    char first[] = "one two";
    ASSERT_EQ(splitTokens(list, " \t", first), 2);
    char text[] = " \ta \t b\t";
    ASSERT_EQ(splitTokens(list, " \t", text), 2);
    EXPECT_STREQ(*list.getAt(0), "a");
    EXPECT_STREQ(*list.getAt(1), "b");
    EXPECT_EQ(*list.getAt(0), text + 2) << "words point into the text";
    char none[] = " \t ";
    EXPECT_EQ(splitTokens(list, " \t", none), 0);
    EXPECT_EQ(list.getCount(), 0);
    char many[512];
    std::string s;
    for (int i = 0; i < 100; ++i) s += "w ";
    snprintf(many, sizeof many, "%s", s.c_str());
    EXPECT_EQ(splitTokens(list, " ", many), 100) << "the list grows past 64 words";
}

// ---- settings and tosser files ---------------------------------------------------------

struct User {
    std::string name;  // compared over all 36 bytes, zero-padded
    std::string password;
    FidoAddr addr;
    int super;
};
struct Area {
    std::string name;
    std::string path;
    int format;
};

class SettingsTest : public ::testing::Test {
protected:

    // Writes the settings file (and any further files) and loads it; "@" in a text stands
    // for the temporary folder.
    bool load(const std::string& text, const std::vector<std::pair<std::string, std::string>>& files = {}) {
        for (const auto& [name, content] : files) dir.write(name, expand(content));
        dir.write("quorva.INI", expand(text));
        chmod(dir.file("quorva.INI").c_str(), 0600);  // it holds passwords
        snprintf(settingsPath, sizeof settingsPath, "%s", dir.file("quorva.INI").c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool ok = loadSettings(settingsPath, loaded, areaList, userList);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return ok;
    }
    // "warning: FILE:LINE: " or "error: FILE:LINE: " of the settings file.
    std::string at(const char* kind, int line) const {
        return std::string(kind) + ": " + dir.file("quorva.INI") + ":" + std::to_string(line) + ": ";
    }
    std::string expand(const std::string& s) const {
        std::string r;
        for (char ch : s) r += ch == '@' ? dir.path() : std::string(1, ch);
        return r;
    }

    void expectUsers(const std::vector<User>& users) {
        ASSERT_EQ(userList.getCount(), int32_t(users.size()));
        for (size_t i = 0; i < users.size(); ++i) {
            SCOPED_TRACE("user " + std::to_string(i));
            const rClientInfo& u = *userList.getAt(int32_t(i));
            EXPECT_EQ(std::string(u.name, 36), padded(users[i].name, 36));
            EXPECT_EQ(std::string(u.password, 36), padded(users[i].password, 36));
            EXPECT_EQ(u.address, users[i].addr);
            EXPECT_EQ(u.superUser, users[i].super);
        }
    }
    void expectAreas(const std::vector<Area>& areas) {
        ASSERT_EQ(areaList.size(), areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            SCOPED_TRACE("area " + std::to_string(i));
            const mArea& a = areaList[i];
            EXPECT_EQ(a.name, expand(areas[i].name).substr(0, 36));
            EXPECT_EQ(a.path, expand(areas[i].path).substr(0, 260));
            EXPECT_EQ(int(a.format), areas[i].format);
            EXPECT_EQ(int(a.type), areas[i].format) << "netmail is *.MSG, echomail is Squish";
        }
    }

    // Forgets what an earlier load gave.
    void reset() {
        areaList.clear();
        userList.removeAll();
        loaded = ServerSettings{};
        settingsPath[0] = 0;
    }

    TempDir dir;
    std::string out, err;
    // What loadSettings fills.
    char settingsPath[260] = {};
    ServerSettings loaded;
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
};

TEST_F(SettingsTest, MissingFileReturnsFalseAndKeepsDefaults) {
    snprintf(settingsPath, sizeof settingsPath, "%s", dir.file("absent.INI").c_str());
    EXPECT_FALSE(loadSettings(settingsPath, loaded, areaList, userList));
    EXPECT_STREQ(loaded.portText, "9029");
    EXPECT_EQ(userList.getCount(), 0);
    EXPECT_TRUE(areaList.empty());
}

// A user line comes first in each case: a file without one is an error of its own.
constexpr const char* kOneUser = "user U,p,1:1/1\n";

TEST_F(SettingsTest, ListenPortLines) {
    struct Case {
        const char* settings;  // after kOneUser, from line 2
        const char* port;
        std::string err;  // after "warning: FILE:2: " or "error: FILE:2: "
        bool error = false;
    } cases[] = {
        {"listenPort 1234\n", "1234", ""},
        {"listenPort 1234 extra\n", "9029", "listenPort takes one value, not 2; line skipped"},
        {"listenPort\n", "9029", "listenPort without a value; line skipped"},
        {"listenport 1234\n", "9029", "unknown key listenport (keys are case-sensitive: listenPort); line skipped"},
        {" \t listenPort\t0x2345\r\n", "0x2345", ""},
        {"listenPort 1\nlistenPort 2\n", "2", ""},  // the last one counts
        {"listenPort http\n", "http", ""},
        {"; listenPort 1\n# x\n\n", "9029", ""},
        // Numbers out of range name no port, rather than wrap into another one.
        {"listenPort 99999\n", "9029", "listenPort 99999: not a port (0 to 65535)", true},
        {"listenPort -1\n", "9029", "listenPort -1: not a port (0 to 65535)", true},
        {"listenPort 9029x\n", "9029", "unknown service: 9029x", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        reset();
        EXPECT_TRUE(load(std::string(kOneUser) + c.settings));
        EXPECT_STREQ(loaded.portText, c.port);
        EXPECT_TRUE(areaList.empty());
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, c.err.empty() ? "" : at(c.error ? "error" : "warning", 2) + c.err + "\n");
        EXPECT_EQ(loaded.findings.errors, c.error ? 1 : 0);
    }
}

TEST_F(SettingsTest, OverlongListenPortIsRejectedWithAnError) {
    const std::string fits = "0x" + std::string(25, '0') + "2345";  // 31 characters
    EXPECT_TRUE(load(kOneUser + ("listenPort " + fits + "\n")));
    EXPECT_EQ(std::string(loaded.portText), fits);
    EXPECT_EQ(err, "");

    reset();
    const std::string tooLong(32, '8');
    EXPECT_TRUE(load(kOneUser + ("listenPort 1000\nlistenPort " + tooLong + "\n")));
    EXPECT_STREQ(loaded.portText, "1000") << "the earlier value stays";
    EXPECT_EQ(err, at("error", 3) + "listenPort value too long (32 characters, at most 31): " + tooLong + "\n");
}

TEST_F(SettingsTest, UserLines) {
    const FidoAddr a{2, 5020, 100, 1};
    const FidoAddr n{1, 2, 3, 0};
    const std::string n40(40, 'N'), p40(40, 'P');
    struct Case {
        std::string line;
        std::vector<User> users;
        std::string warning;  // what the warning line says; empty for none
    } cases[] = {
        {"user Alice,secret,2:5020/100.1", {{"Alice", "secret", a, 0}}, ""},
        {"user\tAlice,secret,1:2/3", {{"Alice", "secret", n, 0}}, ""},
        {"user Alice,secret,1:2/3\r", {{"Alice", "secret", n, 0}}, ""},  // CR LF line end
        {"user  Alice,secret,1:2/3", {{" Alice", "secret", n, 0}}, ""},  // second blank belongs to the name
        {"user Alice Smith,pass word,1:2/3", {{"Alice Smith", "pass word", n, 0}}, ""},
        {"user Alice,secret,1:2/3,super", {{"Alice", "secret", n, 1}}, ""},
        {"user " + n40.substr(0, 36) + ",pw,1:2/3", {{n40.substr(0, 36), "pw", n, 0}}, ""},
        // Taken, with a word: a right that is not "super" gives none.
        {"user Alice,secret,1:2/3,sysop", {{"Alice", "secret", n, 0}}, "unknown right \"sysop\" (the one right is super)"},
        {"user Alice,secret,1:2/3, super", {{"Alice", "secret", n, 0}}, "unknown right \" super\""},
        {"user Alice,secret,1:2/3,Super", {{"Alice", "secret", n, 0}}, "unknown right \"Super\""},
        {"user " + n40 + "," + p40 + ",1:2/3", {{n40, p40, n, 0}}, "the name is cut to its first 36 characters"},
        // Skipped, with the reason.
        {" user Alice,secret,1:2/3", {}, "a user line starts in the first column; skipped"},
        {"\tuser Alice,secret,1:2/3", {}, "a user line starts in the first column; skipped"},
        {"user", {}, "user line with 1 field skipped (user NAME,PASSWORD,ADDRESS[,super])"},
        {"user\t", {}, "user line with 1 field skipped"},
        {"user Alice,secret", {}, "user line with 2 fields skipped"},
        {"user Alice,secret,1:2/3,super,x", {}, "user line with 5 fields skipped"},
        {"user Alice,,secret,,1:2/3", {}, "user line with 5 fields skipped"},
        {"user Alice,,1:2/3", {}, "user line with an empty password skipped"},
        {"user ,secret,1:2/3", {}, "user line with an empty name skipped"},
        {"user Alice,secret,1:2/3,", {}, "user line with an empty right skipped"},
        {"user Alice,secret,1:2", {}, "user Alice: bad address 1:2 (ZONE:NET/NODE or ZONE:NET/NODE.POINT); line skipped"},
        {"user Alice,secret,nowhere", {}, "bad address nowhere"},
        {"user Alice,secret,1:2/3.99999999999", {}, "bad address 1:2/3.99999999999"},
        {"username,secret,1:2/3", {}, "unknown key username,secret,1:2/3; line skipped"},
        {"users Alice,secret,1:2/3", {}, "unknown key users; line skipped"},
        {"User Alice,secret,1:2/3", {}, "unknown key User (keys are case-sensitive: user); line skipped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        reset();
        EXPECT_TRUE(load(c.line + "\n"));
        expectUsers(c.users);
        EXPECT_EQ(out, "");
        if (c.warning.empty()) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(err.rfind(at("warning", 1), 0), 0u) << err;
            EXPECT_NE(err.find(c.warning), std::string::npos) << err;
        }
        // Without a user the file is in error as a whole.
        EXPECT_EQ(loaded.findings.errors, c.users.empty() ? 1 : 0) << err;
    }
}

// The same name and address twice: the first line counts, the second is skipped with a word.
TEST_F(SettingsTest, DuplicateUserLinesAreSkipped) {
    EXPECT_TRUE(load("user Ann,one,1:2/3\nuser Ann,two,1:2/3\nuser Ann,three,1:2/4\n"));
    expectUsers({{"Ann", "one", {1, 2, 3, 0}, 0}, {"Ann", "three", {1, 2, 4, 0}, 0}});
    EXPECT_EQ(err, at("warning", 2) + "user Ann, 1:2/3.0 is already on line 1; this line is skipped\n");
}

// A settings file others may read gives their passwords away: a warning names its mode.
TEST_F(SettingsTest, SettingsFileReadableByOthersIsWarnedAbout) {
    EXPECT_TRUE(load(kOneUser));
    chmod(settingsPath, 0644);
    reset();
    snprintf(settingsPath, sizeof settingsPath, "%s", dir.file("quorva.INI").c_str());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(loadSettings(settingsPath, loaded, areaList, userList));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "warning: " + dir.file("quorva.INI") + ": readable by every user of the machine (mode 0644), " +
                       "and it holds passwords: chmod o-rwx " + dir.file("quorva.INI") + "\n");
    EXPECT_EQ(loaded.findings.warnings, 1);
}

// A line longer than the reader takes is one line all the same: its end is not read as a
// line of its own.
TEST_F(SettingsTest, OverlongLineIsOneLine) {
    EXPECT_TRUE(load(kOneUser + ("origin " + std::string(300, 'o') + " user Eve,pw,1:1/2\n")));
    expectUsers({{"U", "p", {1, 1, 1, 0}, 0}});
    EXPECT_EQ(err, at("warning", 2) + "longer than 255 characters; the rest of the line is ignored\n");
}

TEST_F(SettingsTest, UsersKeepFileOrderAndSameNameMayHaveSeveralAddresses) {
    EXPECT_TRUE(load("user Bob,one,1:2/3\n"
                     "; a comment\n"
                     "user Bob,two,1:2/4.5,super\n"
                     "listenPort 7000\n"
                     "user Carol,three,3:4/5\n"));
    expectUsers({{"Bob", "one", {1, 2, 3, 0}, 0}, {"Bob", "two", {1, 2, 4, 5}, 1}, {"Carol", "three", {3, 4, 5, 0}, 0}});
    EXPECT_STREQ(loaded.portText, "7000");
}

TEST_F(SettingsTest, AreaListIsEmptiedButUserListIsNot) {
    mArea old;
    old.name = "OLD";
    areaList.push_back(old);
    rClientInfo earlier;
    copyField(earlier.name, "Earlier", sizeof earlier.name);
    userList.add(earlier);
    EXPECT_TRUE(load("user Dan,pw,1:1/1\n"));
    EXPECT_TRUE(areaList.empty());
    ASSERT_EQ(userList.getCount(), 2);
    EXPECT_STREQ(userList.getAt(0)->name, "Earlier");
    EXPECT_STREQ(userList.getAt(1)->name, "Dan");
}

TEST_F(SettingsTest, SquishCfgAnnouncesAndReadsAreas) {
    const std::string tag40(40, 'T');
    const std::string tosser =
        "; a comment: EchoArea X Y\n"
        "EchoArea FIDO.TEST @/echo/fidotest -$ 2:5020/100 2:5020/200\r\n"
        "NetArea NETMAIL @/netmail\n"
        "EchoArea ONLY.TWO\n"
        "echoarea LOWER @/lower\n"
        "ECHOAREA UPPER @/upper\n"
        "netarea LOWER @/lower\n"
        "LocalArea LOCAL @/local\n"
        "BadArea BAD @/bad\n"
        " \tEchoArea\tINDENTED\t@/indented\t\n"
        "EchoArea " + tag40 + " @/long\n"
        "include other.cfg\n";
    EXPECT_TRUE(load("squishCfg @/squish.cfg\n", {{"squish.cfg", tosser}}));
    EXPECT_EQ(out, expand("-> reading @/squish.cfg and areas...\n"));
    expectAreas({{"FIDO.TEST", "@/echo/fidotest", 2},
                 {"NETMAIL", "@/netmail", 1},
                 {"INDENTED", "@/indented", 2},
                 {tag40, "@/long", 2}});
    EXPECT_STREQ(loaded.portText, "9029");
}

TEST_F(SettingsTest, SquishCfgLineRules) {
    struct Case {
        const char* name;
        std::string settings;
        std::string out;
        std::vector<Area> areas;
    } cases[] = {
        {"missing file", "squishCfg @/absent.cfg\n", "-> reading @/absent.cfg and areas...\n", {}},
        {"three words", "squishCfg @/a.cfg extra\n", "", {}},
        {"lower case", "squishcfg @/a.cfg\n", "", {}},
        {"indented", "\t squishCfg @/a.cfg\n", "-> reading @/a.cfg and areas...\n", {{"A1", "@/a1", 2}, {"A2", "@/a2", 1}}},
        {"two files in line order",
         "squishCfg @/b.cfg\nsquishCfg @/a.cfg\n",
         "-> reading @/b.cfg and areas...\n-> reading @/a.cfg and areas...\n",
         {{"B1", "@/b1", 1}, {"A1", "@/a1", 2}, {"A2", "@/a2", 1}}},
        {"Ctrl-Z ends the tosser file", "squishCfg @/z.cfg\n", "-> reading @/z.cfg and areas...\n", {{"Z1", "@/z1", 2}}},
    };
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.cfg", "EchoArea A1 @/a1\nNetArea A2 @/a2\n"},
        {"b.cfg", "NetArea B1 @/b1"},  // last line without newline
        {"z.cfg", "EchoArea Z1 @/z1\n\x1A" "EchoArea Z2 @/z2\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        EXPECT_TRUE(load(c.settings, files));
        EXPECT_EQ(out, expand(c.out));
        expectAreas(c.areas);
    }
}

// A tosser configuration that cannot be opened is reported, named in the settings, and the
// files after it are read all the same (the start-up then stops with every reason shown).
TEST_F(SettingsTest, UnreadableTosserConfigurationsAreReportedAndListed) {
    EXPECT_TRUE(load(kOneUser + std::string("squishCfg @/absent.cfg\nfidoConfig @/absent.fido\nsquishCfg @/a.cfg\n"),
                     {{"a.cfg", "EchoArea A1 @/a1\n"}}));
    EXPECT_EQ(out, expand("-> reading @/absent.cfg and areas...\n-> reading @/absent.fido and areas...\n"
                          "-> reading @/a.cfg and areas...\n"));
    const std::string noFile = ": " + std::string(strerror(ENOENT)) + " (" + std::to_string(ENOENT) + ")\n";
    EXPECT_EQ(err, expand("error: cannot open @/absent.cfg" + noFile + "error: cannot open @/absent.fido" + noFile));
    EXPECT_EQ(loaded.unreadableTosserFiles, (std::vector<std::string>{expand("@/absent.cfg"), expand("@/absent.fido")}));
    expectAreas({{"A1", "@/a1", 2}});

    EXPECT_EQ(loaded.findings.errors, 2);

    reset();
    EXPECT_TRUE(load(kOneUser + std::string("squishCfg @/a.cfg\n"), {{"a.cfg", "EchoArea A1 @/a1\n"}}));
    EXPECT_TRUE(loaded.unreadableTosserFiles.empty());
    EXPECT_EQ(err, "");
}

TEST_F(SettingsTest, ListenAddressAndTimestampsKeys) {
    struct Case {
        const char* settings;  // after kOneUser, from line 2
        const char* address;
        bool timestamps;
        std::string err;  // the line's start and what it says after "FILE:2: "; empty for none
    } cases[] = {
        {"", "", false, ""},
        {"listenAddress 127.0.0.1\n", "127.0.0.1", false, ""},
        {"listenAddress ::1\n", "::1", false, ""},
        {"listenAddress 127.0.0.1:9131\n", "127.0.0.1:9131", false, ""},
        {"listenAddress [::1]:9131\n", "[::1]:9131", false, ""},
        {"listenAddress ::1\nlistenAddress 10.0.0.1\n", "10.0.0.1", false, ""},  // the last one counts
        {"listenAddress\n", "", false, "warning listenAddress without a value; line skipped"},
        {"listenAddress 127.0.0.1 ::1\n", "", false, "warning listenAddress takes one value, not 2; line skipped"},
        {"listenaddress ::1\n", "", false, "warning unknown key listenaddress (keys are case-sensitive: listenAddress)"},
        {"listenAddress localhost\n", "", false, "error listenAddress localhost: no address to listen at"},
        {"listenAddress 127.0.0.1:99999\n", "", false, "error listenAddress 127.0.0.1:99999: no address"},
        {"timestamps yes\n", "", true, ""},
        {"timestamps no\n", "", false, ""},
        {"timestamps yes\ntimestamps no\n", "", false, ""},
        {"timestamps Yes\n", "", false, "warning timestamps: invalid value Yes (yes or no), the default is kept"},
        {"timestamps 1\n", "", false, "warning timestamps: invalid value 1"},
        {"timestamps\n", "", false, "warning timestamps without a value; line skipped"},
        {"Timestamps yes\n", "", false, "warning unknown key Timestamps (keys are case-sensitive: timestamps)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        reset();
        EXPECT_TRUE(load(std::string(kOneUser) + c.settings));
        setLogTimestamps(false);
        EXPECT_EQ(loaded.listenAddress, c.address);
        EXPECT_EQ(loaded.timestamps, c.timestamps);
        if (c.err.empty()) {
            EXPECT_EQ(err, "");
        } else {
            const size_t space = c.err.find(' ');
            const std::string kind = c.err.substr(0, space);
            EXPECT_EQ(err.rfind(at(kind.c_str(), 2) + c.err.substr(space + 1), 0), 0u) << err;
            EXPECT_EQ(loaded.findings.errors, kind == "error" ? 1 : 0);
        }
    }
}

// "timestamps yes" is taken before every other line, so that the loading's own lines are
// stamped too, whatever the order of the lines.
TEST_F(SettingsTest, TimestampsKeyStampsTheLinesOfTheLoading) {
    EXPECT_TRUE(load("squishCfg @/a.cfg\ntimestamps yes\n", {{"a.cfg", "EchoArea A1 @/a1\n"}}));
    EXPECT_TRUE(logTimestamps());
    setLogTimestamps(false);
    const size_t n = timeStampLength(out);
    ASSERT_GT(n, 0u) << out;
    EXPECT_EQ(out.substr(n), expand("-> reading @/a.cfg and areas...\n"));
}

// Every key of the sample settings file is one the server takes: with all of them in force,
// the load reports nothing and the values are the defaults the comments give.
TEST_F(SettingsTest, SampleSettingsFileHoldsOnlyValidKeys) {
    std::string sample = readFile(std::string(QUORVA_SOURCE_DIR) + "/contrib/quorva.INI.sample");
    ASSERT_FALSE(sample.empty());
    // Every commented line that is a key with a value, put in force; file names pointed
    // into the test's folder.
    std::string active;
    std::istringstream in(sample);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(';', 0) == 0 && line.size() > 1 && isalpha(static_cast<unsigned char>(line[1]))) line.erase(0, 1);
        if (line.rfind(';', 0) == 0) continue;
        for (const std::string key : {"squishCfg", "fidoConfig", "echoTossLog"})
            if (line.rfind(key + " ", 0) == 0) line = key + " " + dir.file(key + ".file");
        active += line + "\n";
    }
    dir.write("squishCfg.file", "EchoArea A1 " + dir.file("a1") + "\n");
    dir.write("fidoConfig.file", "");
    ASSERT_TRUE(load(active));
    setLogTimestamps(false);
    EXPECT_EQ(err, "");
    const ServerSettings defaults;
    EXPECT_STREQ(loaded.portText, defaults.portText);
    EXPECT_EQ(loaded.listenAddress, "127.0.0.1");
    EXPECT_TRUE(loaded.timestamps);
    EXPECT_GE(userList.getCount(), 2);
    const SessionLimits& l = loaded.limits;
    EXPECT_EQ(l.helloTimeout, defaults.limits.helloTimeout);
    EXPECT_EQ(l.packetTimeout, defaults.limits.packetTimeout);
    EXPECT_EQ(l.authTimeout, defaults.limits.authTimeout);
    EXPECT_EQ(l.replyTimeout, defaults.limits.replyTimeout);
    EXPECT_EQ(l.idleTimeout, defaults.limits.idleTimeout);
    EXPECT_EQ(l.writeRetryTime, defaults.limits.writeRetryTime);
    EXPECT_EQ(l.loginFailDelay, defaults.limits.loginFailDelay);
    EXPECT_EQ(l.loginDelayMax, defaults.limits.loginDelayMax);
    EXPECT_EQ(l.loginFailWindow, defaults.limits.loginFailWindow);
    EXPECT_EQ(l.reportInterval, defaults.limits.reportInterval);
    EXPECT_EQ(l.maxSessions, defaults.limits.maxSessions);
    EXPECT_EQ(l.maxPendingLogins, defaults.limits.maxPendingLogins);
    EXPECT_EQ(l.maxRequestBuffer, defaults.limits.maxRequestBuffer);
}

}  // namespace
