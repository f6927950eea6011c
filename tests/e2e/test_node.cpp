// The server as a sysop meets it on a real node, against the real binary: its command line,
// the start-up checks and their exit statuses, the listening address, --check, the console
// lines (time stamps, peers, posts and deletes, errors naming their area, the order of both
// streams in one file), the mode of posted files, and the installation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/client_run.h"
#include "common/console_lines.h"
#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"

namespace {

using qclient::Status;

constexpr int kWaitMs = 15000;
const FidoAddr kAnn{2, 5020, 1, 0};
// Failed logins are refused at once here.
const std::string kUsers = "user Ann,secret,2:5020/1\nuser Boss,secret2,2:5020/2,super\nloginFailDelay 0\n";
const char kUsageLine[] =
    "usage: quorva [-c FILE] [--listen ADDRESS] [--check [--strict]] [--timestamps] [--help] [--version]\n";

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string projectVersion() {
    std::string cmake = readFile(std::string(QUORVA_SOURCE_DIR) + "/CMakeLists.txt");
    size_t at = cmake.find("project(quorva VERSION ");
    if (at == std::string::npos) return "";
    at += strlen("project(quorva VERSION ");
    return cmake.substr(at, cmake.find_first_of(" )", at) - at);
}

// The server run once to its end, in `folder`, with these arguments.
ClientRun runServerOnce(const std::string& folder, const std::vector<std::string>& args) {
    std::string script = "cd '" + folder + "' && exec '" + QUORVA_BIN + "'";
    for (const std::string& a : args) script += " '" + a + "'";
    return runProgram({"/bin/sh", "-c", script}, {});
}

// A text without the banner the server prints first (empty lines, the box, "Build ...").
std::string afterBanner(const std::string& out) {
    size_t build = out.find("\nBuild ");
    if (build == std::string::npos) return out;
    size_t end = out.find("\n\n", build + 1);
    return end == std::string::npos ? "" : out.substr(end + 2);
}

// A plain socket connected to the address (IPv4 or IPv6 literal) and port; -1 on failure.
int connectRaw(const std::string& literal, uint16_t port) {
    sockaddr_storage ss = {};
    socklen_t len = 0;
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    if (inet_pton(AF_INET6, literal.c_str(), &s6->sin6_addr) == 1) {
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        len = sizeof *s6;
    } else if (inet_pton(AF_INET, literal.c_str(), &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        len = sizeof *s4;
    } else {
        return -1;
    }
    int s = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool ipv6Loopback() {
    int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// ---- the command line -------------------------------------------------------------------

TEST(NodeCommandLine, HelpVersionAndUnknownOptionsDoNotStart) {
    TempDir dir;
    dir.write("quorva.INI", "listenPort 9029x\n");  // a start would fail loudly
    ClientRun help = runServerOnce(dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(kUsageLine, 0), 0u) << help.out;
    EXPECT_FALSE(has(help.out, "QUORVA v")) << "no banner";
    EXPECT_EQ(help.err, "");

    ClientRun version = runServerOnce(dir.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    ASSERT_FALSE(projectVersion().empty());
    EXPECT_EQ(version.out, "quorva " + projectVersion() + "\n");
    EXPECT_EQ(version.err, "");

    struct Case {
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {{"--bogus"}, "error: unknown option --bogus\n"},
        {{"-c"}, "error: -c needs a file name\n"},
        {{"--listen"}, "error: --listen needs an address\n"},
        {{"--strict"}, "error: --strict belongs to --check\n"},
        {{"quorva.INI"}, "error: unexpected argument quorva.INI\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ClientRun r = runServerOnce(dir.path(), c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(c.line) + kUsageLine);
        EXPECT_EQ(r.out, "");
    }
}

TEST(NodeCommandLine, BannerCarriesTheProjectVersion) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, ""));
    char line[64];
    snprintf(line, sizeof line, "!  %-31s!#\n", ("QUORVA v" + projectVersion()).c_str());
    EXPECT_TRUE(has(server.out(), line)) << server.out();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

TEST(NodeCommandLine, SettingsFileNamedWithDashC) {
    TempDir dir;
    const uint16_t port = pickFreePort();
    std::string etc = dir.subdir("etc");
    writeFile(etc + "/node.INI", "listenPort " + std::to_string(port) + "\n" + kUsers);
    chmod((etc + "/node.INI").c_str(), 0600);
    ServerProcess server;
    server.setArgs({"-c", etc + "/node.INI"});
    // The file named after the program would not let it listen.
    ASSERT_TRUE(server.startRaw(dir, "listenPort 9029x\n"));
    ASSERT_TRUE(server.waitForOut("2 users, 0 areas, listening on 0.0.0.0:" + std::to_string(port) + "\n", kWaitMs))
        << server.out() << server.err();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
    EXPECT_EQ(server.err(), "");
}

// ---- start-up errors ----------------------------------------------------------------------

TEST(NodeStartup, MissingSettingsFileExits1NamingIt) {
    const std::string noFile = ": " + std::string(strerror(ENOENT)) + " (" + std::to_string(ENOENT) + ")\n";
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string argv0;
        std::string line;
    } cases[] = {
        {"-c with an absolute name", {"-c", dir.file("absent.INI")}, "",
         "error: cannot open the settings file " + dir.file("absent.INI") + noFile},
        {"-c with a relative name", {"-c", "etc/absent.INI"}, "",
         "error: cannot open the settings file etc/absent.INI (in " + dir.path() + ")" + noFile},
        {"named after the program", {}, dir.file("other"),
         "error: cannot open the settings file " + dir.file("other.INI") + noFile},
        {"started through PATH", {}, "other", "error: cannot open the settings file other.INI (in " + dir.path() + ")" + noFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerProcess server;
        server.setArgs(c.args);
        server.setArgv0(c.argv0);
        ASSERT_TRUE(server.startRaw(dir, "listenPort 0\n"));  // quorva.INI, which none of them reads
        EXPECT_EQ(server.waitExit(), 1);
        EXPECT_EQ(server.err(), c.line);
        EXPECT_FALSE(has(server.out(), "waiting")) << server.out();
    }
}

TEST(NodeStartup, UnreadableTosserConfigurationExits1) {
    TempDir dir;
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    const std::string noFile = ": " + std::string(strerror(ENOENT)) + " (" + std::to_string(ENOENT) + ")\n";
    struct Case {
        const char* key;
    } cases[] = {{"squishCfg"}, {"fidoConfig"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        ServerProcess server;
        ASSERT_TRUE(server.startRaw(dir, "listenPort 0\n" + kUsers + "squishCfg " + dir.file("areas.cfg") + "\n" +
                                             c.key + " " + dir.file("absent.cfg") + "\n"));
        EXPECT_EQ(server.waitExit(), 1);
        EXPECT_EQ(afterBanner(server.out()), "-> reading " + dir.file("areas.cfg") + " and areas...\n-> reading " +
                                                 dir.file("absent.cfg") + " and areas...\n");
        EXPECT_EQ(server.err(), "error: cannot open " + dir.file("absent.cfg") + noFile +
                                    "error: the tosser configuration " + dir.file("absent.cfg") + " cannot be read\n");
    }
}

TEST(NodeStartup, AreasWithoutTheirFilesAreWarnedAboutAndServed) {
    TempDir dir;
    dir.write("areas.cfg", "NetArea NETMAIL " + dir.file("netmail") + "\nEchoArea ECHO " + dir.file("echo") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, kUsers + "squishCfg " + dir.file("areas.cfg") + "\n"));
    EXPECT_EQ(server.err(), "warning: area NETMAIL: *.MSG folder " + dir.file("netmail") +
                                " is missing\nwarning: area ECHO: Squish base " + dir.file("echo") +
                                " is missing its .SQD and .SQI files\n");
    EXPECT_TRUE(has(server.out(), "-> waiting for connect or keypress...\n2 users, 2 areas, listening on 0.0.0.0:" +
                                      std::to_string(server.port()) + "\n"));
    qclient::Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Ann", "secret", kAnn), Status::Ok);
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), 2u);
    EXPECT_EQ(areas[0].msgCount, 0u);
    EXPECT_EQ(areas[1].msgCount, 0u);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// ---- the listening address -----------------------------------------------------------------

TEST(NodeListen, AddressFromTheSettingsOrTheCommandLine) {
    struct Case {
        const char* name;
        const char* setting;  // listenAddress, "" for none
        const char* option;   // --listen, "" for none
        const char* shown;    // the address in the summary line
        std::vector<const char*> reachable, unreachable;
        bool needsIPv6;
    } cases[] = {
        {"default: every IPv4 interface", "", "", "0.0.0.0", {"127.0.0.1", "127.0.0.2"}, {}, false},
        {"one IPv4 address", "127.0.0.2", "", "127.0.0.2", {"127.0.0.2"}, {"127.0.0.1"}, false},
        {"--listen overrides the setting", "127.0.0.2", "127.0.0.1", "127.0.0.1", {"127.0.0.1"}, {"127.0.0.2"}, false},
        {"IPv6 loopback", "::1", "", "[::1]", {"::1"}, {"127.0.0.1"}, true},
        {"every interface of both families", "", "::", "[::]", {"::1", "127.0.0.1"}, {}, true},
        // A port with the address wins over listenPort (PORT stands for the test's port).
        {"an address with its port", "127.0.0.2:PORT", "", "127.0.0.2", {"127.0.0.2"}, {"127.0.0.1"}, false},
        {"--listen with a port", "127.0.0.2", "[::1]:PORT", "[::1]", {"::1"}, {"127.0.0.1"}, true},
    };
    const bool v6 = ipv6Loopback();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsIPv6 && !v6) continue;
        TempDir dir;
        const uint16_t port = pickFreePort();
        ServerProcess server;
        auto withPort = [&](std::string text) {
            size_t at = text.find("PORT");
            return at == std::string::npos ? text : text.replace(at, 4, std::to_string(port));
        };
        const bool portGiven = strstr(c.setting, "PORT") || strstr(c.option, "PORT");
        if (*c.option) server.setArgs({"--listen", withPort(c.option)});
        // Where the address names the port, listenPort names another one.
        std::string ini = "listenPort " + std::to_string(portGiven ? pickFreePort() : port) + "\n" + kUsers;
        if (*c.setting) ini += "listenAddress " + withPort(c.setting) + "\n";
        ASSERT_TRUE(server.startRaw(dir, ini));
        const std::string where = std::string(c.shown) + ":" + std::to_string(port);
        ASSERT_TRUE(server.waitForOut("2 users, 0 areas, listening on " + where + "\n", kWaitMs))
            << server.out() << server.err();
        int seen = 0;
        for (const char* address : c.reachable) {
            SCOPED_TRACE(address);
            int s = connectRaw(address, port);
            ASSERT_GE(s, 0) << strerror(errno);
            const std::string peer = peerOf(s);
            EXPECT_TRUE(server.waitForOut("client: " + peer + "\n", kWaitMs)) << server.out();
            close(s);
            EXPECT_TRUE(server.waitForOut(peer + " client disconnected.\n", kWaitMs)) << server.out();
            ++seen;
        }
        for (const char* address : c.unreachable) {
            SCOPED_TRACE(address);
            int s = connectRaw(address, port);
            EXPECT_LT(s, 0) << "the server listens only where it was told";
            if (s >= 0) close(s);
        }
        EXPECT_EQ(server.countOut("client: "), seen);
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitExit(), 0);
        EXPECT_EQ(server.err(), "");
    }
}

TEST(NodeListen, ClientLibraryReachesAServerOnIPv6Only) {
    if (!ipv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    TempDir dir;
    const uint16_t port = pickFreePort();
    ServerProcess server;
    ASSERT_TRUE(server.startRaw(dir, "listenPort " + std::to_string(port) + "\nlistenAddress ::1\n" + kUsers));
    ASSERT_TRUE(server.waitForOut("listening on [::1]:" + std::to_string(port) + "\n", kWaitMs)) << server.err();
    qclient::Connection c;
    std::string error;
    ASSERT_TRUE(c.connect("::1", port, &error)) << error;
    ASSERT_EQ(c.login("Ann", "secret", FidoAddr{2, 5020, 1, 0}), qclient::Status::Ok);
    EXPECT_EQ(c.ping(), qclient::Status::Ok);
    EXPECT_TRUE(server.waitForOut("user: Ann, addr: 2:5020/1.0\n", kWaitMs)) << server.out();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

TEST(NodeListen, BadAddressesExit1) {
    struct Case {
        const char* name;
        std::string ini;
        std::vector<std::string> args;
        std::string err;  // after the settings file's name
    };
    const Case cases[] = {
        {"a host name", "listenAddress localhost\n", {},
         ":1: listenAddress localhost: no address to listen at (an IPv4 or IPv6 literal, ADDRESS:PORT or "
         "[IPv6]:PORT)\nerror: 1 error in the settings: the server does not start\n"},
        {"a port out of range", "listenAddress 127.0.0.1:70000\n", {},
         ":1: listenAddress 127.0.0.1:70000: no address to listen at"},
        {"a host name on the command line", "", {"--listen", "localhost:9029"},
         "error: invalid listen address localhost:9029 (an IPv4 or IPv6 literal: 127.0.0.1, ::1, ::; with a port: "
         "127.0.0.1:9131, [::1]:9131)\n"},
        // 192.0.2.1 (TEST-NET-1) belongs to no interface here.
        {"an address of no interface", "listenAddress 192.0.2.1\nlistenPort 9029\n", {},
         "error: 192.0.2.1:9029: error bind() call: " + std::string(strerror(EADDRNOTAVAIL)) + " (" +
             std::to_string(EADDRNOTAVAIL) + ")\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ServerProcess server;
        server.setArgs(c.args);
        ASSERT_TRUE(server.startRaw(dir, c.ini + kUsers));
        EXPECT_EQ(server.waitExit(), 1);
        if (c.err[0] == ':')
            EXPECT_EQ(server.err().rfind("error: " + dir.file("quorva.INI") + c.err, 0), 0u) << server.err();
        else
            EXPECT_EQ(server.err(), c.err);
        EXPECT_EQ(afterBanner(server.out()), "") << "no waiting line: the server does not wait";
    }
}

// ---- --check -------------------------------------------------------------------------------

TEST(NodeCheck, ReportsWhatTheConfigurationGivesAndFailsForTheRightReasons) {
    TempDir dir;
    sqfix::buildBase(dir.file("echo"), {sqfix::Message{}});
    dir.mkdir("netmail");
    const std::string good = "EchoArea ECHO " + dir.file("echo") + "\nNetArea NETMAIL " + dir.file("netmail") + "\n";
    const std::string withMissing = good + "EchoArea GONE " + dir.file("gone") + "\n";
    dir.write("good.cfg", good);
    dir.write("missing.cfg", withMissing);
    dir.write("allgone.cfg", "EchoArea GONE " + dir.file("gone") + "\nNetArea NODIR " + dir.file("nodir") + "\n");
    dir.write("empty.cfg", "");
    // Tags the news door cannot make groups of: one that makes no group name, one whose name
    // another area has after lower-casing.
    dir.write("groups.cfg", good + "EchoArea BAD*TAG " + dir.file("echo") + "\nEchoArea Echo " + dir.file("echo") + "\n");
    const std::string goneWarning =
        "warning: area GONE: Squish base " + dir.file("gone") + " is missing its .SQD and .SQI files\n";
    struct Case {
        const char* name;
        std::string ini;
        bool strict;
        int status;
        std::string err;
        std::string verdict;
    } cases[] = {
        {"all is well", kUsers + "squishCfg good.cfg\n", false, 0, "", "check: ok"},
        {"a missing area is a warning", kUsers + "squishCfg missing.cfg\n", false, 0, goneWarning,
         "check: ok, 1 warning"},
        {"... and fails with --strict", kUsers + "squishCfg missing.cfg\n", true, 1, goneWarning,
         "check: failed, 1 warning (--strict)"},
        {"no user line accepted", "user Ann,secret\nsquishCfg good.cfg\n", false, 1,
         "warning: node.INI:1: user line with 2 fields skipped (user NAME,PASSWORD,ADDRESS[,super])\n"
         "error: node.INI: no user line was accepted: nobody can log in\n",
         "check: failed, 1 error, 1 warning"},
        {"no areas", kUsers + "squishCfg empty.cfg\n", false, 1,
         "error: node.INI: the tosser configuration holds no area the server can serve\n", "check: failed, 1 error"},
        {"no tosser configuration", kUsers, false, 1, "error: no area can be served\n", "check: failed, 1 error"},
        {"no area can be read", kUsers + "squishCfg allgone.cfg\n", false, 1,
         goneWarning + "warning: area NODIR: *.MSG folder " + dir.file("nodir") + " is missing\n" +
             "error: no area can be served\n",
         "check: failed, 1 error, 2 warnings"},
        {"tosser configuration missing", kUsers + "squishCfg good.cfg\nsquishCfg absent.cfg\n", false, 1,
         "error: cannot open absent.cfg: " + std::string(strerror(ENOENT)) + " (" + std::to_string(ENOENT) + ")\n",
         "check: failed, 1 error"},
        {"listen address not valid", kUsers + "squishCfg good.cfg\nlistenAddress any\n", false, 1,
         "error: node.INI:5: listenAddress any: no address to listen at (an IPv4 or IPv6 literal, ADDRESS:PORT or "
         "[IPv6]:PORT)\n",
         "check: failed, 1 error"},
        {"unknown service", kUsers + "squishCfg good.cfg\nlistenPort nosuchservice\n", false, 1,
         "error: node.INI:5: unknown service: nosuchservice\n", "check: failed, 1 error"},
        {"the news door leaves out tags that make no group", kUsers + "squishCfg groups.cfg\nnntpPort 0\nnntpGroupPrefix fido.\n", false, 0,
         "warning: area BAD*TAG: \"fido.BAD*TAG\" makes no group name; left out of the news door\n"
         "warning: area Echo: its group name fido.echo is area ECHO's already; left out of the news door\n",
         "check: ok, 2 warnings"},
        {"a news door whose port cannot be", kUsers + "squishCfg good.cfg\nnntpPort nosuchservice\n", false, 1,
         "error: node.INI:5: nntpPort nosuchservice: not a port (0 to 65535) or tcp service name\n",
         "check: failed, 1 error"},
        {"a mistyped key and a misspelt right", kUsers + "squishCfg good.cfg\nlistenport 9029\nuser Cy,pw,2:5020/3,sysop\n",
         false, 0,
         "warning: node.INI:5: unknown key listenport (keys are case-sensitive: listenPort); line skipped\n"
         "warning: node.INI:6: user Cy, 2:5020/3.0: unknown right \"sysop\" (the one right is super); the user has "
         "no rights\n",
         "check: ok, 2 warnings"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("node.INI", c.ini);
        std::vector<std::string> args = {"--check", "-c", "node.INI"};
        if (c.strict) args.push_back("--strict");
        ClientRun r = runServerOnce(dir.path(), args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(r.err, c.err);
        std::vector<std::string> lines = linesOf(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.verdict);
        EXPECT_FALSE(has(r.out, "QUORVA v")) << "no banner";
        EXPECT_FALSE(has(r.out, "secret")) << "no password is shown";
        EXPECT_FALSE(has(r.out, "waiting")) << "it does not start";
    }

    // The whole report of a good configuration.
    dir.write("node.INI", kUsers + "squishCfg good.cfg\nlistenAddress ::1\nlistenPort 7000\n");
    ClientRun r = runServerOnce(dir.path(), {"-c", "node.INI", "--check"});
    EXPECT_EQ(r.out, "-> reading good.cfg and areas...\n"
                     "settings file: node.INI\n"
                     "users: 2\n"
                     "  Ann, 2:5020/1.0\n"
                     "  Boss, 2:5020/2.0, super\n"
                     "areas: 2\n"
                     "  0 ECHO: echomail, Squish base " + dir.file("echo") + ": exists, readable, writable\n"
                     "  1 NETMAIL: netmail, *.MSG folder " + dir.file("netmail") + ": exists, readable, writable\n"
                     "listen: [::1]:7000\n"
                     "check: ok\n");

    // A port another program holds fails the check, as it would fail the start.
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    dir.write("node.INI", kUsers + "squishCfg good.cfg\nlistenAddress " + taken + "\n");
    r = runServerOnce(dir.path(), {"-c", "node.INI", "--check"});
    close(holder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: " + taken + ": error bind() call: " + strerror(EADDRINUSE) + " (" +
                         std::to_string(EADDRINUSE) + ")\n");
    EXPECT_EQ(linesOf(r.out).back(), "check: failed, 1 error");
}

// README shows --check on the demo node: the same command gives the same lines.
TEST(NodeCheck, ReadmeShowsTheDemoCheckAsItIs) {
    const std::string readme = readFile(std::string(QUORVA_SOURCE_DIR) + "/README.md");
    const std::string command = "cd demo && ../build/quorva --check -c quorva.INI";
    std::vector<std::string> lines = linesOf(readme);
    auto at = std::find(lines.begin(), lines.end(), "    " + command);
    ASSERT_NE(at, lines.end()) << "README no longer shows: " << command;
    ASSERT_TRUE(++at != lines.end() && at->empty());
    std::string shown;
    for (++at; at != lines.end() && at->rfind("    ", 0) == 0; ++at) shown += at->substr(4) + "\n";

    TempDir dir;
    std::filesystem::copy(std::string(QUORVA_SOURCE_DIR) + "/demo", dir.file("demo"),
                          std::filesystem::copy_options::recursive);
    chmod(dir.file("demo/quorva.INI").c_str(), 0600);  // as README says before the check
    ClientRun r = runServerOnce(dir.file("demo"), {"--check", "-c", "quorva.INI"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, shown);
    EXPECT_EQ(r.err, "");
}

// ---- console lines -------------------------------------------------------------------------

// Every line after the banner, on both streams, begins with the local time; the banner
// stays as it is.
TEST(NodeConsole, TimeStampsOnEveryLine) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string key;
    } cases[] = {
        {"--timestamps", {"--timestamps"}, ""},
        {"timestamps yes (after the lines it stamps)", {}, "timestamps yes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
        ServerProcess server;
        server.setArgs(c.args);
        ASSERT_TRUE(server.start(dir, kUsers + "squishCfg " + dir.file("areas.cfg") + "\n" + c.key));
        {
            qclient::Connection ann;
            ASSERT_TRUE(server.connect(ann));
            ASSERT_EQ(ann.login("Ann", "wrong", kAnn), Status::Refused);
        }
        ASSERT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") == 2; }, kWaitMs));
        EXPECT_TRUE(has(server.out(), "\n!  QUORVA v")) << "the banner is not stamped";
        const std::vector<std::string> out = linesOf(afterBanner(server.out()));
        const std::vector<std::string> err = linesOf(server.err());
        ASSERT_EQ(out.size(), 7u) << server.out();  // reading, waiting, summary, two connections
        ASSERT_EQ(err.size(), 2u) << server.err();  // the area's warning, the failed login
        for (const std::string& line : out) EXPECT_GT(timeStampLength(line), 0u) << line;
        for (const std::string& line : err) EXPECT_GT(timeStampLength(line), 0u) << line;
        EXPECT_EQ(out[0].substr(timeStampLength(out[0])), "-> reading " + dir.file("areas.cfg") + " and areas...");
        const std::string failed = err[1].substr(timeStampLength(err[1]));
        const size_t space = failed.find(' ');
        EXPECT_TRUE(isLoopbackPeer(failed.substr(0, space))) << failed;
        EXPECT_EQ(failed.substr(space + 1), "error: user Ann, 2:5020/1.0 authentication failed");
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitExit(), 0);
    }
}

// Standard output and standard error in one file: the lines keep the order in which they
// were made.
TEST(NodeConsole, BothStreamsInOneFileKeepTheirOrder) {
    TempDir dir;
    ServerProcess server;
    server.mergeStreams();
    ASSERT_TRUE(server.start(dir, kUsers));
    const size_t mark = server.out().size();
    for (int i = 0; i < 3; ++i) {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        const std::string peer = peerOf(c);
        ASSERT_EQ(c.login(i == 1 ? "Nobody" : "Ann", "secret", kAnn), i == 1 ? Status::Refused : Status::Ok);
        if (i != 1) {
            EXPECT_EQ(c.logout(), Status::Ok);
        }
        c.close();
        ASSERT_TRUE(server.waitForOut(peer + " client disconnected.\n", kWaitMs)) << server.out();
        const std::string user = i == 1 ? peer + " error: user Nobody, 2:5020/1.0 not found\n"
                                        : peer + " user: Ann, addr: 2:5020/1.0\n";
        EXPECT_TRUE(has(server.out().substr(mark), "client: " + peer + "\n" + user + peer + " client disconnected.\n"))
            << server.out().substr(mark);
    }
    EXPECT_EQ(server.err(), "");
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// Posts and deletes: one line each with user, area and number (the UMSGID of a Squish
// base, the file number of a *.MSG folder); error lines name the area; a new *.MSG file
// takes 0666 less the server's umask.
TEST(NodeConsole, PostsDeletesAndAreaErrors) {
    TempDir dir;
    sqfix::BuildOptions options;
    options.firstUmsgid = 40;
    sqfix::buildBase(dir.file("echo"), {sqfix::Message{}}, options);
    dir.mkdir("netmail");
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\nNetArea NETMAIL " + dir.file("netmail") + "\n");
    const mode_t old = umask(027);  // inherited by the server
    ServerProcess server;
    bool started = server.start(dir, kUsers + "squishCfg " + dir.file("areas.cfg") + "\n");
    umask(old);
    ASSERT_TRUE(started) << server.err();

    qclient::Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Ann", "secret", kAnn), Status::Ok);
    const std::string peer = peerOf(c);
    auto record = [](int32_t area, const char* to, FidoAddr dest) {
        pktMessage m;
        m.areaNumber = area;
        copyField(m.header.fromName, "Ann", sizeof m.header.fromName);
        copyField(m.header.toName, to, sizeof m.header.toName);
        copyField(m.header.subject, "Hi", sizeof m.header.subject);
        m.destAddr = dest;
        return m;
    };
    ASSERT_EQ(c.post(record(0, "All", {}), "Echo text\r"), Status::Ok);
    EXPECT_TRUE(server.waitForOut(peer + " post: user Ann, 2:5020/1.0, area ECHO, message #41\n", kWaitMs))
        << server.out();
    ASSERT_EQ(c.post(record(1, "Boss", {2, 5020, 2, 0}), "Net text\r"), Status::Ok);
    EXPECT_TRUE(server.waitForOut(peer + " post: user Ann, 2:5020/1.0, area NETMAIL, message #2\n", kWaitMs))
        << server.out();
    struct stat st;
    ASSERT_EQ(stat(dir.file("netmail/2.msg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "0666 less the umask 027";

    ASSERT_EQ(c.deleteMsg(0, 41), Status::Ok);
    EXPECT_TRUE(server.waitForOut(peer + " delete: user Ann, 2:5020/1.0, area ECHO, message #41\n", kWaitMs));
    ASSERT_EQ(c.deleteMsg(1, 2), Status::Ok);
    EXPECT_TRUE(server.waitForOut(peer + " delete: user Ann, 2:5020/1.0, area NETMAIL, message #2\n", kWaitMs));

    // Refusals name the area, the user and the cause.
    pktMessage m;
    std::vector<std::string> lines;
    EXPECT_EQ(c.getMessage(1, 77, m, lines), Status::Refused);
    EXPECT_TRUE(server.waitForErr(peer + " error: area NETMAIL: fail to read message #77: user Ann, 2:5020/1.0: not "
                                         "found: *.MSG folder " + dir.file("netmail") + ": no message 77\n",
                                  kWaitMs))
        << server.err();
    EXPECT_EQ(c.deleteMsg(0, 40), Status::Refused);  // another's message
    EXPECT_TRUE(server.waitForErr(
        peer + " error: area ECHO: fail to delete message #40: user Ann, 2:5020/1.0: forbidden: no MSGID names its author\n",
        kWaitMs))
        << server.err();
    EXPECT_EQ(server.countOut("delete: "), 2) << "refused deletes are not logged as deletes";
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// A post into a Squish base whose header's last frame points into a message's text: the
// write is refused before anything is written, and the console says which base and why.
TEST(NodeConsole, DamagedBaseRefusalNamesTheBaseAndTheReason) {
    TempDir dir;
    sqfix::Message a, b;
    a.text = "First message's text, long enough to point into.";
    b.text = "Second message's text.";
    sqfix::BuiltBase built = sqfix::buildBase(dir.file("echo"), {a, b});
    sqfix::patchU32(sqfix::fileOf(dir.file("echo"), ".SQD"), sqfix::off::kLastFrame,
                    built.frameOffsets[0] + sqfix::kFrameHeaderSize + sqfix::kMsgHeaderSize + 4);
    const std::vector<uint8_t> sqd = sqfix::readFileBytes(sqfix::fileOf(dir.file("echo"), ".SQD"));
    const std::vector<uint8_t> sqi = sqfix::readFileBytes(sqfix::fileOf(dir.file("echo"), ".SQI"));
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, kUsers + "squishCfg " + dir.file("areas.cfg") + "\n"));

    qclient::Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Ann", "secret", kAnn), Status::Ok);
    pktMessage m;
    m.areaNumber = 0;
    copyField(m.header.fromName, "Ann", sizeof m.header.fromName);
    copyField(m.header.toName, "All", sizeof m.header.toName);
    copyField(m.header.subject, "Never stored", sizeof m.header.subject);
    EXPECT_EQ(c.post(m, "Text\r"), Status::Refused);
    const std::string line =
        peerOf(c) + " error: area ECHO: fail to post: user Ann, 2:5020/1.0: damaged: Squish base " + dir.file("echo") + ": ";
    ASSERT_TRUE(server.waitForErr(line, kWaitMs)) << server.err();
    std::string err = server.err();
    std::string reported = err.substr(err.find(line) + line.size());
    reported = reported.substr(0, reported.find('\n'));
    EXPECT_TRUE(has(reported, "the last frame (offset ")) << reported;
    EXPECT_TRUE(has(reported, "is not a frame")) << reported;
    EXPECT_EQ(c.ping(), Status::Ok) << "the session goes on";
    EXPECT_EQ(server.countOut("post: "), 0);
    EXPECT_EQ(sqfix::readFileBytes(sqfix::fileOf(dir.file("echo"), ".SQD")), sqd) << "data file untouched";
    EXPECT_EQ(sqfix::readFileBytes(sqfix::fileOf(dir.file("echo"), ".SQI")), sqi) << "index untouched";
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// ---- installation ----------------------------------------------------------------------------

TEST(NodeInstall, InstallPutsEveryFileInItsPlace) {
    TempDir prefix;
    ClientRun r = runProgram({QUORVA_CMAKE, "--install", QUORVA_BUILD_DIR, "--prefix", prefix.path()}, {});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* program : {"bin/quorva", "bin/quorva-client"}) {
        SCOPED_TRACE(program);
        struct stat st;
        ASSERT_EQ(stat(prefix.file(program).c_str(), &st), 0);
        EXPECT_TRUE(st.st_mode & S_IXUSR);
    }
    ClientRun version = runProgram({prefix.file("bin/quorva"), "--version"}, {});
    EXPECT_EQ(version.out, "quorva " + projectVersion() + "\n");
    EXPECT_EQ(readFile(prefix.file("share/quorva/quorva.INI.sample")),
              readFile(std::string(QUORVA_SOURCE_DIR) + "/contrib/quorva.INI.sample"));
    for (const char* doc : {"settings.md", "protocol.md", "service.md", "README.md"})
        EXPECT_FALSE(readFile(prefix.file(std::string("share/doc/quorva/") + doc)).empty()) << doc;

    const std::string unit = readFile(prefix.file("lib/systemd/system/quorva.service"));
    ASSERT_FALSE(unit.empty());
    const std::vector<std::string> lines = linesOf(unit);
    for (const std::string& wanted : std::vector<std::string>{"[Service]", "ExecStart=" + prefix.file("bin/quorva") + " -c /etc/quorva/quorva.INI", "User=quorva",
          "WorkingDirectory=/etc/quorva", "StandardInput=null", "Restart=on-failure", "UMask=0007",
          "WantedBy=multi-user.target"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted << "\n" << unit;
}

}  // namespace
