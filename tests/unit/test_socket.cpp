// The socket layer the protocol rests on: the listening port from its text, and the
// exact-length transfers.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
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

TEST(SocketTransfers, ReadnCounts) {
    SocketPair p;
    char buf[16] = {};
    EXPECT_EQ(readn(p.fd[0], buf, 0), 0);
    EXPECT_EQ(readn(p.fd[0], buf, -3), -3);
    // Arrives in two pieces: still one full read.
    ASSERT_EQ(write(p.fd[1], "abc", 3), 3);
    std::thread writer([&] { (void)!write(p.fd[1], "defgh", 5); });
    EXPECT_EQ(readn(p.fd[0], buf, 8), 8);
    writer.join();
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    // The peer sends 5 of 8 and closes.
    ASSERT_EQ(write(p.fd[1], "12345", 5), 5);
    p.closeSide(1);
    EXPECT_EQ(readn(p.fd[0], buf, 8), 5);
    EXPECT_EQ(std::string(buf, 5), "12345");
    EXPECT_EQ(readn(p.fd[0], buf, 8), 0);
}

TEST(SocketTransfers, SendnWholeBufferAndClosedPeer) {
    SocketPair p;
    std::vector<char> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    std::vector<char> got(data.size());
    ssize_t received = 0;
    std::thread reader([&] { received = readn(p.fd[1], got.data(), ssize_t(got.size())); });
    EXPECT_EQ(sendn(p.fd[0], data.data(), ssize_t(data.size())), ssize_t(data.size()));
    reader.join();
    EXPECT_EQ(received, ssize_t(data.size()));
    EXPECT_TRUE(got == data);
    EXPECT_EQ(sendn(p.fd[0], data.data(), 0), 0);

    // Header and data leave as one stream.
    ASSERT_EQ(sendTwoBuffers(p.fd[0], "HEAD", 4, "data", 4), 8);
    char both[8];
    ASSERT_EQ(readn(p.fd[1], both, 8), 8);
    EXPECT_EQ(std::string(both, 8), "HEADdata");

    // A closed peer is a failure, not a SIGPIPE that ends the process.
    p.closeSide(1);
    EXPECT_EQ(sendn(p.fd[0], data.data(), ssize_t(data.size())), -1);
}

TEST_F(ListenAddress, UnknownServiceIsRefused) {
    uint16_t port = 1234;
    EXPECT_FALSE(resolvePort("9029x", port));
    EXPECT_EQ(port, 1234) << "left as it was";
}

}  // namespace
