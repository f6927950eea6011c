// A door of its own in the same loop: the server built with the small line-protocol door of
// tests/testdoor serves both doors at once, on the demo node. The line door logs in through
// the accounts (the same challenge and HMAC as the binary login) and reads the areas through
// their interface; what it lists and fetches is what the binary door gives.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/lib/quorva_client.h"
#include "common/client_run.h"
#include "common/server_process.h"
#include "support/md5.h"

namespace {

// A line-protocol connection to the test door.
class LineClient {
public:
    explicit LineClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LineClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }
    void send(const std::string& line) {
        std::string l = line + "\n";
        ASSERT_EQ(::send(fd_, l.data(), l.size(), MSG_NOSIGNAL), ssize_t(l.size()));
    }
    // The next line, waiting at most ten seconds; "" on a close or time-out.
    std::string line() {
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string l = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return l;
            }
            pollfd p{fd_, POLLIN, 0};
            char b[4096];
            ssize_t k = poll(&p, 1, 10000) == 1 ? recv(fd_, b, sizeof b, 0) : 0;
            if (k <= 0) return "";
            buffered_.append(b, size_t(k));
        }
    }
    // Lines up to the "." that ends a listing.
    std::vector<std::string> block() {
        std::vector<std::string> lines;
        for (std::string l = line(); l != "." && !l.empty() && l.rfind("FAIL", 0) != 0; l = line()) lines.push_back(l);
        return lines;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffered_;
};

std::string hexOf(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
}

// The answer to a challenge given in hexadecimal, under the password.
std::string answerTo(const std::string& challengeHex, const std::string& password) {
    uint8_t challenge[20], key[36] = {}, digest[16];
    for (size_t i = 0; i < 20; ++i) challenge[i] = uint8_t(std::stoul(challengeHex.substr(2 * i, 2), nullptr, 16));
    memcpy(key, password.data(), std::min<size_t>(password.size(), sizeof key));
    hmacMd5(key, challenge, digest);
    return hexOf(digest, sizeof digest);
}

TEST(SecondDoor, LineDoorLogsInThroughTheAccountsAndReadsTheAreasBesideTheBinaryDoor) {
    TempDir dir;
    std::filesystem::copy(std::string(QUORVA_SOURCE_DIR) + "/demo", dir.path(), std::filesystem::copy_options::recursive);
    std::string settings;
    for (const std::string& line : linesOf(dir.read("quorva.INI")))
        if (line.rfind("listenPort", 0) != 0) settings += line + "\n";
    const uint16_t doorPort = pickFreePort();
    ServerProcess server;
    server.setBinary(QUORVA_TESTDOOR_BIN);
    server.setArgs({"--door-port", std::to_string(doorPort)});
    ASSERT_TRUE(server.start(dir, settings)) << server.err();
    ASSERT_TRUE(server.waitForOut("test door listening on 127.0.0.1:" + std::to_string(doorPort))) << server.out();

    // A binary client logged in first; it stays connected while the other door works.
    qclient::Connection binary;
    ASSERT_TRUE(server.connect(binary));
    ASSERT_EQ(binary.login("Demo Sysop", "demo", FidoAddr{2, 5020, 1234, 0}), qclient::Status::Ok);

    LineClient door(doorPort);
    ASSERT_TRUE(door.connected());
    door.send("LIST 1");
    EXPECT_EQ(door.line(), "FAIL log in first");
    door.send("USER Nobody@2:5020/1234");
    EXPECT_EQ(door.line(), "FAIL unknown user");
    // The same user as the binary session: this door has no one-session rule of its own.
    door.send("USER Demo Sysop@2:5020/1234");
    std::string challenge = door.line();
    ASSERT_EQ(challenge.rfind("CHALLENGE ", 0), 0u) << challenge;
    door.send("PASS " + answerTo(challenge.substr(10), "wrong"));
    EXPECT_EQ(door.line(), "FAIL wrong answer");
    door.send("USER Demo Sysop@2:5020/1234");
    challenge = door.line();
    door.send("PASS " + answerTo(challenge.substr(10), "demo"));
    ASSERT_EQ(door.line(), "OK");

    // The echo area's summaries through both doors: the same numbers, senders and subjects.
    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(binary.getMsgList(1, headers), qclient::Status::Ok);
    door.send("LIST 1");
    std::vector<std::string> listed = door.block();
    ASSERT_EQ(listed.size(), headers.size());
    ASSERT_EQ(listed.size(), 12u);
    for (size_t i = 0; i < headers.size(); ++i) {
        const pktMsgHeader& h = headers[i];
        EXPECT_EQ(listed[i], std::to_string(h.msgNumber) + " " + std::string(h.fromName, strnlen(h.fromName, 36)) + "|" +
                                 std::string(h.subject, strnlen(h.subject, 72)));
    }

    // A fetch: the kludges and text lines the binary door sends, in the same order.
    pktMessage record;
    std::vector<std::string> lines;
    ASSERT_EQ(binary.getMessage(1, 2, record, lines), qclient::Status::Ok);
    door.send("FETCH 1 2");
    std::vector<std::string> fetched = door.block();
    std::vector<std::string> expected;
    for (std::string l : lines) {
        if (l.empty()) continue;
        if (l[0] == '\x01') l[0] = '@';
        expected.push_back(l);
    }
    EXPECT_EQ(fetched, expected);
    door.send("FETCH 1 999");
    EXPECT_EQ(door.line().rfind("FAIL ", 0), 0u);

    // The binary session was served all along, and still is.
    EXPECT_EQ(binary.ping(), qclient::Status::Ok);
    door.send("QUIT");
    EXPECT_EQ(door.line(), "BYE");
    EXPECT_EQ(door.line(), "") << "closed after BYE";
    EXPECT_EQ(binary.logout(), qclient::Status::Ok);
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

}  // namespace
