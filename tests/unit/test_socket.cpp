// The socket layer the loop rests on: the listening port from its text, accepting without
// waiting, transfers that never wait, the readiness wait and the spare descriptor.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/socket.h"

namespace {

class ListenAddress : public ::testing::Test {
protected:
    static uint16_t portOf(const char* text) {
        uint16_t port = 0;
        EXPECT_TRUE(resolvePort(text, port));
        return ntohs(port);
    }
};

TEST_F(ListenAddress, NumbersInAnyBaseModulo65536) {
    struct Case {
        const char* text;
        uint16_t port;
    } cases[] = {
        {"9029", 9029},  {"0x2345", 9029}, {"021505", 9029}, {"70000", 4464},
        {"-1", 65535},   {"", 0},          {"65536", 0},     {"+7", 7},
        {"99999999999", 65535},  // saturates at the 32-bit signed limit 0x7FFFFFFF
        {"-99999999999", 0},     // ... and at 0x80000000
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(portOf(c.text), c.port);
    }
}

TEST_F(ListenAddress, ServiceName) {
    struct servent* s = getservbyname("http", "tcp");
    if (!s) GTEST_SKIP() << "no http service in the services database";
    EXPECT_EQ(portOf("http"), ntohs(uint16_t(s->s_port)));
}

TEST_F(ListenAddress, UnknownServiceIsRefused) {
    uint16_t port = 1234;
    EXPECT_FALSE(resolvePort("9029x", port));
    EXPECT_EQ(port, 1234) << "left as it was";
}

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void closeSide(int i) {
        close(fd[i]);
        fd[i] = -1;
    }
    int fd[2] = {-1, -1};
};

TEST(SocketTransfers, ReceiveNeverWaits) {
    SocketPair p;
    char buf[16] = {};
    Transfer t = receiveSome(p.fd[0], buf, sizeof buf);
    EXPECT_EQ(t.status, Transfer::WouldBlock);
    ASSERT_EQ(write(p.fd[1], "abcdefgh", 8), 8);
    t = receiveSome(p.fd[0], buf, 5);  // no more than asked for
    ASSERT_EQ(t.status, Transfer::Moved);
    EXPECT_EQ(t.bytes, 5u);
    t = receiveSome(p.fd[0], buf + 5, sizeof buf - 5);
    ASSERT_EQ(t.status, Transfer::Moved);
    EXPECT_EQ(t.bytes, 3u);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    p.closeSide(1);
    EXPECT_EQ(receiveSome(p.fd[0], buf, sizeof buf).status, Transfer::Closed);
}

TEST(SocketTransfers, SendTakesWhatTheSocketTakesInOrder) {
    SocketPair p;
    // Header and data leave as one stream.
    Transfer t = sendSome(p.fd[0], "HEAD", 4, "data", 4);
    ASSERT_EQ(t.status, Transfer::Moved);
    EXPECT_EQ(t.bytes, 8u);
    char both[8];
    ASSERT_EQ(read(p.fd[1], both, 8), 8);
    EXPECT_EQ(std::string(both, 8), "HEADdata");

    // A peer that reads nothing: the socket fills up, and the send says so instead of
    // waiting.
    std::vector<char> big(1 << 20, 'x');
    size_t sent = 0;
    for (;;) {
        t = sendSome(p.fd[0], big.data(), big.size(), nullptr, 0);
        if (t.status != Transfer::Moved) break;
        sent += t.bytes;
    }
    EXPECT_EQ(t.status, Transfer::WouldBlock);
    EXPECT_GT(sent, 0u);

    // A closed peer is a failure with its code, not a SIGPIPE that ends the process.
    p.closeSide(1);
    t = sendSome(p.fd[0], "x", 1, nullptr, 0);
    EXPECT_EQ(t.status, Transfer::Failed);
    EXPECT_EQ(t.error, EPIPE);
}

uint16_t portOfSocket(int s) {
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return a.sin_port;
}

TEST(SocketAccept, NothingWaitingThenAConnectionWithItsAddress) {
    ListenFailure failure;
    int listener = openListenSocket(0, failure);  // a port the system chooses
    ASSERT_GE(listener, 0) << failure.systemError;
    uint32_t peer = 0;
    int error = 0;
    EXPECT_EQ(acceptClient(listener, peer, error), -1);
    EXPECT_EQ(error, EAGAIN);

    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = portOfSocket(listener);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    PollSet poll;
    size_t slot = poll.add(listener, true, false);
    ASSERT_EQ(poll.wait(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(poll.readable(slot));
    int s = acceptClient(listener, peer, error);
    ASSERT_GE(s, 0);
    EXPECT_EQ(peer, htonl(INADDR_LOOPBACK));
    char text[32];
    ipv4Text(peer, text, sizeof text);
    EXPECT_STREQ(text, "127.0.0.1");
    // The accepted socket never blocks.
    char b;
    EXPECT_EQ(receiveSome(s, &b, 1).status, Transfer::WouldBlock);
    closeSocket(s);
    close(c);
    close(listener);
}

TEST(PollSet, WaitsForReadinessOrTheTime) {
    SocketPair p;
    PollSet poll;
    size_t r = poll.add(p.fd[0], true, false);
    size_t w = poll.add(p.fd[1], false, true);
    size_t none = poll.add(-1, true, true);  // a slot left empty
    ASSERT_EQ(poll.wait(std::chrono::seconds(10)), 1);
    EXPECT_FALSE(poll.readable(r));
    EXPECT_TRUE(poll.writable(w));
    EXPECT_FALSE(poll.signalled(none));

    poll.clear();
    r = poll.add(p.fd[0], true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(poll.wait(std::chrono::milliseconds(20)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    ASSERT_EQ(write(p.fd[1], "x", 1), 1);
    EXPECT_EQ(poll.wait(std::chrono::nanoseconds(-1)), 1);
    EXPECT_TRUE(poll.readable(r));
    // The peer's end shows as readable too: the read then tells.
    p.closeSide(1);
    char b[2];
    ASSERT_EQ(read(p.fd[0], b, 2), 1);
    EXPECT_EQ(poll.wait(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(poll.readable(r));
}

TEST(SpareDescriptor, IsGivenUpAndTakenAgain) {
    SpareDescriptor spare;
    EXPECT_TRUE(spare.held());
    EXPECT_TRUE(spare.release());
    EXPECT_FALSE(spare.held());
    EXPECT_FALSE(spare.release());
    EXPECT_TRUE(spare.reacquire());
    EXPECT_TRUE(spare.held());
    EXPECT_TRUE(isDescriptorShortage(EMFILE));
    EXPECT_TRUE(isDescriptorShortage(ENFILE));
    EXPECT_FALSE(isDescriptorShortage(EAGAIN));
}

}  // namespace
