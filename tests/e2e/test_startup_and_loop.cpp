// Start-up and the main loop against the real binary: banner and progress lines,
// accepting and dropping clients, the ways it stops, and the listening port taken from the
// settings file.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/console_lines.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "config/config.h"

namespace {

const char* const kBanner =
    "\n"
    "+---------------------------------+\n"
    "!                                 !#\n"
    "!  QUORVA v1.0.1                  !#\n"
    "!                                 !#\n"
    "+---------------------------------+#\n"
    " ###################################\n"
    "\n";
const char* const kWaiting = "-> waiting for connect or keypress...\n";
const char* const kClient = "client: 127.0.0.1:";  // the peer's port follows
const char* const kDisconnected = "client disconnected.\n";

// The lines of one connection: its peer when it comes, and before the line of its close.
std::string clientLine(const std::string& peer) { return "client: " + peer + "\n"; }
std::string disconnectedLine(const std::string& peer) { return peer + " client disconnected.\n"; }

// The summary line once the server listens.
std::string listeningLine(const std::string& counts, uint16_t port) {
    return counts + ", listening on 0.0.0.0:" + std::to_string(port) + "\n";
}

// "Build Mmm dd yyyy hh:mm:ss": __DATE__ pads a single-digit day with a space.
bool isBuildLine(const std::string& line) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string shape = "Build MMM D9 9999 99:99:99";
    if (line.size() != shape.size()) return false;
    bool monthOk = false;
    for (const char* m : months) monthOk = monthOk || line.compare(6, 3, m) == 0;
    if (!monthOk) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char t = line[i];
        switch (shape[i]) {
        case 'M': break;
        case 'D': if (t != ' ' && (t < '1' || t > '3')) return false; break;
        case '9': if (t < '0' || t > '9') return false; break;
        default: if (t != shape[i]) return false;
        }
    }
    return line[10] != ' ' || line[11] != '0';  // " 0" is no day
}

// Checks the banner and the build line at the start of the console output and returns
// what follows them (empty with a test failure when they are not right).
std::string afterBanner(const std::string& out) {
    const std::string banner = kBanner;
    if (out.compare(0, banner.size(), banner) != 0) {
        ADD_FAILURE() << "banner differs:\n" << out;
        return "";
    }
    const size_t end = out.find('\n', banner.size());
    const std::string build = out.substr(banner.size(), end == std::string::npos ? std::string::npos : end - banner.size());
    if (!isBuildLine(build) || end == std::string::npos || out.compare(end, 2, "\n\n") != 0) {
        ADD_FAILURE() << "build line differs: [" << build << "]\n" << out;
        return "";
    }
    return out.substr(end + 2);
}

// A socket listening on the port on all interfaces, as the server's would; -1 if taken.
int listenOn(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 5) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool portFree(uint16_t port) {
    int s = listenOn(port);
    if (s < 0) return false;
    close(s);
    return true;
}

uint16_t boundPort(int s) {
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool canConnect(uint16_t port) {
    qclient::Connection c;
    return c.connect("127.0.0.1", port);
}

// Starts the server with exactly this settings text and waits until it accepts on `port`.
// False when it ended instead (its stderr tells why).
bool startOn(ServerProcess& server, const TempDir& dir, const std::string& ini, uint16_t port,
             const std::string& program = "quorva") {
    if (!server.startRaw(dir, ini + kStandInUser, program)) return false;
    bool up = waitUntil([&] { return !server.running() || canConnect(port); }, 15000);
    return up && server.running();
}

// ---- console output --------------------------------------------------------------------

TEST(StartupAndLoop, BannerAndWaitingLine) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, ""));
    // The summary once it listens, then the probe connection of start(), come and gone.
    const std::string head = std::string(kWaiting) + listeningLine("1 user, 0 areas", server.port());
    const std::string out = afterBanner(server.out());
    ASSERT_EQ(out.substr(0, head.size()), head) << out;
    EXPECT_TRUE(isConnectAndCloseLines(out.substr(head.size()))) << out;  // start()'s probe
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
    EXPECT_EQ(server.err(), "");
}

TEST(StartupAndLoop, ReadingLineForEachTosserFile) {
    TempDir dir;
    sqfix::buildBase(dir.file("test"), {sqfix::Message{}});
    dir.mkdir("netmail");
    dir.write("areas.cfg", "EchoArea TEST " + dir.file("test") + "\n");
    dir.write("more.cfg", "NetArea NETMAIL " + dir.file("netmail") + "\nEchoArea OTHER " + dir.file("other") + "\n");
    const std::string settings = "squishCfg " + dir.file("areas.cfg") + "\nsquishCfg " + dir.file("more.cfg") +
                                 "\nuser Ann,pw,2:5020/1\n";
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, settings));
    const std::string head = "-> reading " + dir.file("areas.cfg") + " and areas...\n" + "-> reading " +
                             dir.file("more.cfg") + " and areas...\n" + kWaiting +
                             listeningLine("1 user, 3 areas", server.port());
    const std::string out = afterBanner(server.out());
    ASSERT_EQ(out.substr(0, head.size()), head) << out;
    EXPECT_TRUE(isConnectAndCloseLines(out.substr(head.size()))) << out;  // start()'s probe
    // The area without its base files is served all the same, after a warning.
    EXPECT_EQ(server.err(), "warning: area OTHER: Squish base " + dir.file("other") +
                                " is missing its .SQD and .SQI files\n");
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// ---- settings file name from argument 0 ------------------------------------------------

TEST(StartupAndLoop, SettingsFileNamedAfterTheProgram) {
    struct Case {
        const char* program;  // file name the server is started as, in its folder
        const char* argv0;    // "" for <dir>/<program>
        const char* ini;      // the settings file it must read
    } cases[] = {
        {"server.exe", "", "server.INI"},
        {"quorva", "./quorva", "quorva.INI"},
        {"quorva", "sub.d/../quorva", "quorva.INI"},  // a dot in a folder name is no extension
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.argv0);
        TempDir dir;
        const uint16_t port = pickFreePort();
        ServerProcess server;
        dir.mkdir("sub.d");
        server.setArgv0(c.argv0);  // relative names are taken from the server's folder
        // startRaw writes <program>.INI: give it a port text that cannot be opened, so
        // that only the right file lets the server listen.
        const std::string good = "listenPort " + std::to_string(port) + "\n" + kStandInUser;
        dir.write(c.ini, good);
        const std::string decoy = std::string(c.program) + ".INI";
        ASSERT_TRUE(server.startRaw(dir, decoy == c.ini ? good : "listenPort 9029x\n", c.program));
        EXPECT_TRUE(waitUntil([&] { return !server.running() || canConnect(port); }, 15000));
        EXPECT_TRUE(server.running()) << server.err();
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitExit(), 0);
        EXPECT_EQ(server.err(), "");
    }
}

// ---- clients ---------------------------------------------------------------------------

TEST(StartupAndLoop, ClientLinesOnConnectAndClose) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, ""));
    const size_t mark = server.out().size();
    std::vector<std::unique_ptr<qclient::Connection>> clients;
    std::vector<std::string> peers;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<qclient::Connection>());
        ASSERT_TRUE(server.connect(*clients.back()));
        peers.push_back(peerOf(*clients.back()));
        // Each is seen before the next connects, so that the order of the lines is known.
        ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == i + 2; }, 10000)) << server.out();
    }
    EXPECT_EQ(server.countOut(kDisconnected), 1);
    clients[1]->close();
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kDisconnected) == 2; }, 10000));
    clients[0]->close();
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kDisconnected) == 3; }, 10000));
    clients[2]->close();
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kDisconnected) == 4; }, 10000));
    // Exactly these lines, in order, after the start-up text: each names its peer.
    EXPECT_EQ(server.out().substr(mark), clientLine(peers[0]) + clientLine(peers[1]) + clientLine(peers[2]) +
                                             disconnectedLine(peers[1]) + disconnectedLine(peers[0]) +
                                             disconnectedLine(peers[2]));
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

TEST(StartupAndLoop, MoreThan64ClientsAtOnce) {
    TempDir dir;
    ServerProcess server;
    // All of them wait for their login, from one address.
    ASSERT_TRUE(server.start(dir, "maxPendingLogins 100\n"));
    constexpr int kClients = 65;  // one more than the list's first allocation
    std::vector<std::unique_ptr<qclient::Connection>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<qclient::Connection>());
        ASSERT_TRUE(server.connect(*clients.back())) << i;
        // Each is seen before the next connects, so that the order of the lines is known.
        ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == i + 2; }, 20000)) << i;
    }
    // Every one of them is still stepped: each close is noticed.
    for (auto& c : clients) {
        c->close();
    }
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kDisconnected) == kClients + 1; }, 60000))
        << server.countOut(kDisconnected);
    // And the emptied list takes new clients.
    qclient::Connection late;
    ASSERT_TRUE(server.connect(late));
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == kClients + 2; }, 10000));
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
    EXPECT_EQ(server.err(), "");
}

// ---- stopping --------------------------------------------------------------------------

TEST(StartupAndLoop, StopsWithStatus0) {
    struct Case {
        const char* name;
        std::function<void(ServerProcess&)> stop;
    } cases[] = {
        {"key byte on standard input", [](ServerProcess& s) { s.pressKey(); }},
        {"SIGTERM", [](ServerProcess& s) { s.signal(SIGTERM); }},
        {"SIGINT", [](ServerProcess& s) { s.signal(SIGINT); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ServerProcess server;
        ASSERT_TRUE(server.start(dir, ""));
        qclient::Connection open;  // an open connection does not hold the stop back
        ASSERT_TRUE(server.connect(open));
        ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == 2; }, 10000));
        c.stop(server);
        EXPECT_EQ(server.waitExit(), 0);
        EXPECT_EQ(server.err(), "");
    }
}

TEST(StartupAndLoop, EndOfInputIsNotAKeyPress) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, ""));
    server.closeInput();
    // A whole connect-and-close cycle spans many passes, each of which looks at the input.
    {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == 2; }, 10000));
    }
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kDisconnected) == 2; }, 10000));
    EXPECT_TRUE(server.running());
    qclient::Connection again;
    EXPECT_TRUE(server.connect(again));
    ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) == 3; }, 10000));
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

TEST(StartupAndLoop, TerminalKeyPressStopsAndRestoresTheTerminal) {
    struct Case {
        const char* name;
        std::function<void(ServerProcess&)> stop;
    } cases[] = {
        {"one key", [](ServerProcess& s) { s.pressKey(); }},
        {"a key and an escape sequence", [](ServerProcess& s) { s.typeKeys("q\x1b[A"); }},
        {"SIGTERM", [](ServerProcess& s) { s.signal(SIGTERM); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ServerProcess server;
        server.useTerminal();
        ASSERT_TRUE(server.start(dir, ""));
        struct termios t;
        ASSERT_TRUE(server.terminalSettings(t));
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "single-key mode while running";
        c.stop(server);
        EXPECT_EQ(server.waitExit(), 0);
        ASSERT_TRUE(server.terminalSettings(t));
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO)) << "terminal settings restored";
        EXPECT_EQ(server.unreadTerminalInput(), "") << "pending keys are consumed, not left to the shell";
        EXPECT_EQ(server.err(), "");
    }
}

// ---- listening port --------------------------------------------------------------------

TEST(StartupAndLoop, PortTextForms) {
    struct Case {
        const char* text;
        uint16_t port;
    } cases[] = {
        {"0x2345", 9029},
        {"021505", 9029},
    };
    int ran = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (!portFree(c.port)) continue;  // someone else's; not a fault of ours
        TempDir dir;
        ServerProcess server;
        if (!startOn(server, dir, std::string("listenPort ") + c.text + "\n", c.port)) {
            if (server.err().find("bind") != std::string::npos) continue;  // taken meanwhile
            ADD_FAILURE() << server.err();
            continue;
        }
        ++ran;
        ASSERT_TRUE(waitUntil([&] { return server.countOut(kClient) >= 1; }, 10000));
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitExit(), 0);
    }
    if (ran == 0) GTEST_SKIP() << "port 9029 taken";
}

TEST(StartupAndLoop, PortTextNamesATcpService) {
    // The first service above 1024 whose port is free here.
    std::string name;
    uint16_t port = 0;
    setservent(1);
    while (struct servent* s = getservent()) {
        uint16_t p = ntohs(uint16_t(s->s_port));
        if (strcmp(s->s_proto, "tcp") != 0 || p <= 1024 || strspn(s->s_name, "0123456789") > 0) continue;
        if (!portFree(p)) continue;
        name = s->s_name;
        port = p;
        break;
    }
    endservent();
    if (name.empty()) GTEST_SKIP() << "no free tcp service above 1024 in the services database";
    SCOPED_TRACE(name);
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(startOn(server, dir, "listenPort " + name + "\n", port)) << server.err();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// A port text that names no port stops the start-up before the server waits for anyone,
// a number out of range included (it must not become another port).
TEST(StartupAndLoop, PortTextThatNamesNoPortExits1) {
    struct Case {
        const char* text;
        std::string err;
    } cases[] = {
        {"9029x", "unknown service: 9029x"},
        {"70000", "listenPort 70000: not a port (0 to 65535)"},
        {"-1", "listenPort -1: not a port (0 to 65535)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        ServerProcess server;
        ASSERT_TRUE(server.startRaw(dir, std::string("listenPort ") + c.text + "\n" + kStandInUser));
        EXPECT_EQ(server.waitExit(), 1);
        EXPECT_EQ(server.err(), "error: " + dir.file("quorva.INI") + ":1: " + c.err +
                                    "\nerror: 1 error in the settings: the server does not start\n");
        EXPECT_EQ(afterBanner(server.out()), "");
    }
}

TEST(StartupAndLoop, TakenPortExits1WithBindError) {
    int taken = listenOn(0);
    ASSERT_GE(taken, 0);
    const uint16_t port = boundPort(taken);
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.startRaw(dir, "listenPort " + std::to_string(port) + "\n" + kStandInUser));
    EXPECT_EQ(server.waitExit(), 1);
    close(taken);
    EXPECT_EQ(afterBanner(server.out()), "") << "no waiting line: it does not wait";
    const std::string err = server.err();
    const std::string head = "error: 0.0.0.0:" + std::to_string(port) + ": error bind() call: ", tail = " (98)\n";
    ASSERT_GT(err.size(), head.size() + tail.size()) << err;
    EXPECT_EQ(err.substr(0, head.size()), head);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(StartupAndLoop, RestartBindsWhileOldConnectionsAreClosing) {
    TempDir dir;
    ServerProcess first;
    ASSERT_TRUE(first.start(dir, ""));
    const uint16_t port = first.port();
    qclient::Connection c;
    ASSERT_TRUE(first.connect(c));
    ASSERT_TRUE(waitUntil([&] { return first.countOut(kClient) == 2; }, 10000));
    // The server ends first, so its side of the connection is left in TIME_WAIT.
    first.signal(SIGTERM);
    ASSERT_EQ(first.waitExit(), 0);
    EXPECT_TRUE(c.waitClosed(10000));
    c.close();
    TempDir dir2;
    ServerProcess second;
    EXPECT_TRUE(startOn(second, dir2, "listenPort " + std::to_string(port) + "\n", port)) << second.err();
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitExit(), 0);
}

// ---- transport routines ----------------------------------------------------------------

}  // namespace
