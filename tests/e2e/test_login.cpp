// Login against the real server: the good path with its console lines, every refusal with
// its exact error line, malformed packets before and during the login, peers that close
// or stall in the middle of a packet while other clients go on being served, and the
// slowing down of failed logins per address.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/packet_bytes.h"
#include "common/server_process.h"
#include "support/le.h"
#include "support/md5.h"

namespace {

using packetbytes::kName36;
using packetbytes::kPass36;

using qclient::Status;

constexpr char kPass40Text[] = "0123456789abcdefghijklmnopqrstuvwxyzWXYZ";
static_assert(sizeof kPass40Text == 40 + 1, "field-filling length");
const std::string kPass40 = kPass40Text;
const FidoAddr kAnn{2, 5020, 1042, 0};
const FidoAddr kBob{2, 5020, 1042, 1};
const FidoAddr kTwin{1, 2, 3, 4};
const FidoAddr kLongName{2, 5020, 1042, 65535};
const FidoAddr kLongPass{2, 5020, 7, 0};

// Generous bound for anything the server does at once.
constexpr int kPromptMs = 15000;
// Shorter than the server's packet time limit (30 s): a close within it shows the server
// did not wait for data that was never sent.
constexpr int kBeforePacketTimeoutMs = 20000;

// The refusals of failed logins come after a short delay here, so that the many refusals
// below stay quick; FailedLogins checks the delays themselves.
std::string settings() {
    return "loginFailDelay 0.05\nloginDelayMax 0.2\n"
           "user Ann Reader,secret,2:5020/1042\n"
           "user Bob,other,2:5020/1042.1\n"
           "user Twin,first,1:2/3.4\n"
           "user Twin,second,1:2/3.4\n"
           "user " + kName36 + "," + kPass36 + ",2:5020/1042.65535\n"
           "user Long,"   + kPass40 + ",2:5020/7\n";
}

// True when the server closes the connection within the time, having sent nothing more
// before the end; this side is then closed too (so the server's drain ends at once).
bool closedQuietly(qclient::Connection& c, int timeoutMs = kPromptMs) {
    std::string bytes;
    bool closed = waitUntil(
        [&] {
            struct pollfd p = {c.fd(), POLLIN, 0};
            if (poll(&p, 1, 0) != 1) return false;
            char buf[512];
            ssize_t k = recv(c.fd(), buf, sizeof buf, MSG_DONTWAIT);
            if (k > 0) bytes.append(buf, size_t(k));
            return k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR);
        },
        timeoutMs);
    if (closed) c.close();
    EXPECT_EQ(bytes, "") << "bytes before the end";
    return closed && bytes.empty();
}

class LoginTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir, settings())) << server.err();
        outMark = server.out().size();
        errMark = server.err().size();
        ASSERT_EQ(server.countOut("client disconnected."), 1);  // the start-up probe
        disconnects = 1;
    }

    std::string newOut() const { return server.out().substr(outMark); }
    std::string newErr() const { return server.err().substr(errMark); }

    void open(qclient::Connection& c) {
        ASSERT_TRUE(server.connect(c));
        c.setTimeout(30000);
    }

    // Waits until the server has closed one more connection.
    bool nextDisconnect() {
        ++disconnects;
        return waitUntil([&] { return server.countOut("client disconnected.") >= disconnects; }, kPromptMs);
    }

    TempDir dir;
    ServerProcess server;
    size_t outMark = 0, errMark = 0;
    int disconnects = 0;
};

TEST_F(LoginTest, GoodLoginPingAndLogout) {
    qclient::Connection c;
    open(c);
    const std::string peer = peerOf(c);
    ASSERT_EQ(c.login("Ann Reader", "secret", kAnn), Status::Ok);
    EXPECT_EQ(c.ping(), Status::Ok);
    EXPECT_EQ(c.ping(), Status::Ok);
    EXPECT_EQ(c.logout(), Status::Ok);
    EXPECT_TRUE(closedQuietly(c));
    ASSERT_TRUE(nextDisconnect());
    EXPECT_EQ(newOut(), "client: " + peer + "\n" + peer + " user: Ann Reader, addr: 2:5020/1042.0\n" + peer +
                            " client disconnected.\n");
    EXPECT_EQ(newErr(), "");
}

TEST_F(LoginTest, UnknownUsersAreRefused) {
    struct Case {
        const char* name;
        std::string user;
        FidoAddr addr;
        const char* line;
    };
    const Case cases[] = {
        {"unknown name", "Nobody", kAnn, "error: user Nobody, 2:5020/1042.0 not found\n"},
        {"name in another letter case", "ann reader", kAnn, "error: user ann reader, 2:5020/1042.0 not found\n"},
        {"address differing in the point only", "Ann Reader", FidoAddr{2, 5020, 1042, 1},
         "error: user Ann Reader, 2:5020/1042.1 not found\n"},
    };
    std::string expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qclient::Connection conn;
        open(conn);
        const std::string peer = peerOf(conn);
        EXPECT_EQ(conn.login(c.user, "secret", c.addr), Status::Refused);
        EXPECT_TRUE(closedQuietly(conn));
        ASSERT_TRUE(nextDisconnect());
        expected += peer + " " + c.line;
        EXPECT_EQ(newErr(), expected);
    }
}

TEST_F(LoginTest, WrongAnswerIsRefusedAndTheUserCanLogInAgain) {
    qclient::Connection c;
    open(c);
    const std::string peer = peerOf(c);
    uint8_t challenge[20];
    ASSERT_EQ(c.hello("Ann Reader", kAnn, challenge), Status::Ok);
    uint8_t digest[16];
    uint8_t key[36];
    qclient::passwordKey("secret", key);
    hmacMd5(key, challenge, digest);
    digest[15] ^= 1;
    EXPECT_EQ(c.answer(digest), Status::Refused);
    EXPECT_TRUE(closedQuietly(c));
    ASSERT_TRUE(nextDisconnect());
    EXPECT_EQ(newErr(), peer + " error: user Ann Reader, 2:5020/1042.0 authentication failed\n");

    qclient::Connection again;
    open(again);
    EXPECT_EQ(again.login("Ann Reader", "secret", kAnn), Status::Ok);
    EXPECT_EQ(again.ping(), Status::Ok);
    EXPECT_TRUE(server.waitForOut("user: Ann Reader, addr: 2:5020/1042.0\n", kPromptMs));
}

// Only a logged-in session holds its user: a pending challenge does not, and of two
// answers the first right one wins.
TEST_F(LoginTest, OnlyALoggedInSessionHoldsItsUser) {
    const std::string refused = "error: user Ann Reader, 2:5020/1042.0 already connected\n";
    uint8_t key[36], digest[16];
    qclient::passwordKey("secret", key);

    // Two sessions get a challenge for the same user.
    qclient::Connection first, second;
    open(first);
    open(second);
    const std::string firstPeer = peerOf(first);
    uint8_t challenge1[20], challenge2[20];
    ASSERT_EQ(first.hello("Ann Reader", kAnn, challenge1), Status::Ok);
    ASSERT_EQ(second.hello("Ann Reader", kAnn, challenge2), Status::Ok);
    // The second answers first and is logged in; the first's right answer comes too late.
    hmacMd5(key, challenge2, digest);
    ASSERT_EQ(second.answer(digest), Status::Ok);
    hmacMd5(key, challenge1, digest);
    EXPECT_EQ(first.answer(digest), Status::Refused);
    EXPECT_TRUE(closedQuietly(first));
    ASSERT_TRUE(nextDisconnect());
    EXPECT_EQ(newErr(), firstPeer + " " + refused);

    // A hello naming the logged-in user is refused.
    qclient::Connection third;
    open(third);
    const std::string thirdPeer = peerOf(third);
    EXPECT_EQ(third.login("Ann Reader", "secret", kAnn), Status::Refused);
    EXPECT_TRUE(closedQuietly(third));
    ASSERT_TRUE(nextDisconnect());
    EXPECT_EQ(newErr(), firstPeer + " " + refused + thirdPeer + " " + refused);
    EXPECT_EQ(second.ping(), Status::Ok);

    // Once the logged-in session has gone, the user is free again.
    EXPECT_EQ(second.logout(), Status::Ok);
    EXPECT_TRUE(closedQuietly(second));
    ASSERT_TRUE(nextDisconnect());
    qclient::Connection fourth;
    open(fourth);
    EXPECT_EQ(fourth.login("Ann Reader", "secret", kAnn), Status::Ok);
}

// A client that takes the challenge and never answers keeps nobody out: the real user logs
// in at once, while that session is still open.
TEST_F(LoginTest, HelloThatIsNeverAnsweredDoesNotKeepItsUserOut) {
    qclient::Connection squatter;
    open(squatter);
    uint8_t challenge[20];
    ASSERT_EQ(squatter.hello("Ann Reader", kAnn, challenge), Status::Ok);
    qclient::Connection real;
    open(real);
    EXPECT_EQ(real.login("Ann Reader", "secret", kAnn), Status::Ok);
    EXPECT_EQ(real.ping(), Status::Ok);
    EXPECT_EQ(server.countOut("client disconnected."), disconnects) << "the squatter is still connected";
    EXPECT_EQ(newErr(), "");
}

TEST_F(LoginTest, ConnectionStillWaitingForItsHelloHoldsNoUser) {
    qclient::Connection idle;
    open(idle);
    const std::string idlePeer = peerOf(idle);
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client: " + idlePeer + "\n") == 1; }, kPromptMs));
    qclient::Connection other;
    open(other);
    EXPECT_EQ(other.login("Ann Reader", "secret", kAnn), Status::Ok);
    // The one that connected first now names the same user, too late.
    EXPECT_EQ(idle.login("Ann Reader", "secret", kAnn), Status::Refused);
    EXPECT_TRUE(closedQuietly(idle));
    ASSERT_TRUE(nextDisconnect());
    EXPECT_EQ(newErr(), idlePeer + " error: user Ann Reader, 2:5020/1042.0 already connected\n");
    EXPECT_EQ(other.ping(), Status::Ok);
}

TEST_F(LoginTest, PasswordsAndNamesAreTheirThirtySixByteFields) {
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        FidoAddr addr;
        Status expected;
        std::string line;  // standard output on success, standard error on refusal
    };
    const Case cases[] = {
        {"first of two users with the same name and address", "Twin", "first", kTwin, Status::Ok,
         "user: Twin, addr: 1:2/3.4\n"},
        {"second one's password", "Twin", "second", kTwin, Status::Refused,
         "error: user Twin, 1:2/3.4 authentication failed\n"},
        {"36-character name and password", kName36, kPass36, kLongName, Status::Ok,
         "user: " + kName36 + ", addr: 2:5020/1042.65535\n"},
        {"36-character password without its last character", kName36, kPass36.substr(0, 35), kLongName,
         Status::Refused, "error: user " + kName36 + ", 2:5020/1042.65535 authentication failed\n"},
        {"40-character password cut to 36 in the settings", "Long", kPass40.substr(0, 36), kLongPass, Status::Ok,
         "user: Long, addr: 2:5020/7.0\n"},
        {"40-character password cut to 35", "Long", kPass40.substr(0, 35), kLongPass, Status::Refused,
         "error: user Long, 2:5020/7.0 authentication failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qclient::Connection conn;
        open(conn);
        EXPECT_EQ(conn.login(c.user, c.password, c.addr), c.expected);
        if (c.expected == Status::Ok) {
            EXPECT_TRUE(server.waitForOut(c.line, kPromptMs));
            EXPECT_EQ(conn.logout(), Status::Ok);
        } else {
            EXPECT_TRUE(server.waitForErr(c.line, kPromptMs));
        }
        EXPECT_TRUE(closedQuietly(conn));
        ASSERT_TRUE(nextDisconnect());
    }
    EXPECT_EQ(server.countErr("error: "), 3);
}

// A refused header closes the connection at once: the data it announces is never sent
// and the client keeps its side open, so a server that waited for it would hold the
// connection until its packet time limit and then report the short read.
TEST_F(LoginTest, WrongCommandOrSizeClosesWithoutReadingTheData) {
    struct Case {
        const char* name;
        bool afterHello;
        uint32_t cmd;
        uint32_t dataSize;
        const char* line;
    };
    const Case cases[] = {
        {"area list before the hello", false, CID_C_GETAREALIST, 0,
         "error: unexpected command (4) for CLSS_WAIT_USER_HELLO\n"},
        {"post before the hello", false, CID_C_NEWMESSAGE, 4000,
         "error: unexpected command (7) for CLSS_WAIT_USER_HELLO\n"},
        {"hello of 85 bytes", false, CID_C_HELLO, 85, "error: invalid data size (85) in packet header\n"},
        {"ping before the answer", true, CID_C_PING, 0, "error: unexpected command (2) for CLSS_WAIT_USER_AUTH\n"},
        {"unknown command before the answer", true, 200, 64,
         "error: unexpected command (200) for CLSS_WAIT_USER_AUTH\n"},
        {"answer of 85 bytes", true, CID_C_AUTH, 85, "error: invalid data size (85) in packet header\n"},
    };
    std::string expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qclient::Connection conn;
        open(conn);
        const std::string peer = peerOf(conn);
        uint8_t challenge[20];
        if (c.afterHello) {
            ASSERT_EQ(conn.hello("Ann Reader", kAnn, challenge), Status::Ok);
        }
        ASSERT_TRUE(conn.sendPacketWithSize(c.cmd, c.dataSize, nullptr, 0));
        EXPECT_TRUE(closedQuietly(conn, kBeforePacketTimeoutMs));  // and no reply at all
        ASSERT_TRUE(nextDisconnect());
        expected += peer + " " + c.line;
        EXPECT_EQ(newErr(), expected);
    }
}

TEST_F(LoginTest, PeerClosingInTheMiddleOfAPacketIsClosed) {
    struct Case {
        const char* name;
        bool loggedIn;
        std::vector<uint8_t> bytes;
        const char* line;
    };
    std::vector<uint8_t> helloStart = {0x0A, 0, 0, 0, 84, 0, 0, 0};
    helloStart.resize(8 + 40, 'x');
    const Case cases[] = {
        {"three bytes of a header", false, {0x0A, 0, 0}, ""},
        {"header and part of a hello", false, helloStart, "error: readn(data) failed\n"},
        {"three bytes of a header when logged in", true, {0x02, 0, 0}, ""},
    };
    std::string expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qclient::Connection conn;
        open(conn);
        const std::string peer = peerOf(conn);
        if (c.loggedIn) {
            ASSERT_EQ(conn.login("Ann Reader", "secret", kAnn), Status::Ok);
        }
        ASSERT_TRUE(conn.sendRaw(c.bytes.data(), c.bytes.size()));
        conn.close();
        ASSERT_TRUE(nextDisconnect());
        if (*c.line) expected += peer + " " + c.line;
        EXPECT_EQ(newErr(), expected);
    }
    EXPECT_EQ(server.countOut("user: Ann Reader"), 1);
}

// A client that stops in the middle of a packet holds nobody up: requests sent meanwhile
// are answered while it is still connected, unfinished. (Its close by packetTimeout is a
// test of its own, with a short limit.)
TEST_F(LoginTest, StalledClientHoldsNobodyUp) {
    qclient::Connection ann, bob, stall;
    open(ann);
    open(bob);
    open(stall);
    ASSERT_EQ(ann.login("Ann Reader", "secret", kAnn), Status::Ok);
    ASSERT_EQ(bob.login("Bob", "other", kBob), Status::Ok);
    ASSERT_EQ(stall.login("Twin", "first", kTwin), Status::Ok);
    const uint8_t part[3] = {CID_C_PING, 0, 0};
    ASSERT_TRUE(stall.sendRaw(part, sizeof part));

    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(ann.ping(), Status::Ok);
        EXPECT_EQ(bob.ping(), Status::Ok);
    }
    qclient::Connection late;
    open(late);
    EXPECT_EQ(late.login(kName36, kPass36, kLongName), Status::Ok);
    EXPECT_EQ(late.ping(), Status::Ok);
    EXPECT_EQ(server.countOut("client disconnected."), disconnects) << "the stalled client is still connected";
    EXPECT_TRUE(stall.nothingWithin(0));

    // The rest of its packet comes after all: it is answered, in order.
    const uint8_t rest[5] = {0, 0, 0, 0, 0};
    ASSERT_TRUE(stall.sendRaw(rest, sizeof rest));
    qclient::Reply r;
    ASSERT_TRUE(stall.readReply(r));
    EXPECT_EQ(r.cmd, CID_S_OK);
    for (qclient::Connection* c : {&ann, &bob, &late, &stall}) {
        EXPECT_EQ(c->logout(), Status::Ok);
        EXPECT_TRUE(closedQuietly(*c));
        ASSERT_TRUE(nextDisconnect());
    }
    EXPECT_EQ(newErr(), "");
}

}  // namespace
