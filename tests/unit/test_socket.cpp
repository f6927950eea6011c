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
#include <cstring>
#include <string>
#include <vector>

#include "support/osfile.h"
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

TEST_F(ListenAddress, NumbersFrom0To65535AsCWritesThem) {
    struct Case {
        const char* text;
        uint16_t port;
    } cases[] = {
        {"9029", 9029}, {"0x2345", 9029}, {"021505", 9029}, {"0", 0}, {"65535", 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(portOf(c.text), c.port);
    }
    // Out of range or signed: no port at all, rather than another port than meant.
    for (const char* text : {"70000", "65536", "-1", "+7", "", "99999999999", "-99999999999", "09029", " 1"}) {
        SCOPED_TRACE(text);
        uint16_t port = 1234;
        EXPECT_FALSE(resolvePort(text, port));
        EXPECT_EQ(port, 1234);
    }
}

// Where to listen as the sysop writes it, with or without a port.
TEST(ListenText, AddressesWithAndWithoutPorts) {
    struct Case {
        const char* text;
        bool valid;
        const char* address;  // as addressText writes it
        bool hasPort;
    } cases[] = {
        {"127.0.0.1", true, "127.0.0.1:0", false},
        {"127.0.0.1:9131", true, "127.0.0.1:9131", true},
        {"::1", true, "[::1]:0", false},
        {"::", true, "[::]:0", false},
        {"[::1]:9131", true, "[::1]:9131", true},
        {"[::1]", true, "[::1]:0", false},
        {"[2001:db8::7]:119", true, "[2001:db8::7]:119", true},
        {"127.0.0.1:", false, "", false},
        {"127.0.0.1:99999", false, "", false},
        {"[::1]:", false, "", false},
        {"[::1]9131", false, "", false},
        {"[127.0.0.1]:9131", false, "", false},
        {"[::1:9131", false, "", false},
        {"localhost:9131", false, "", false},
        {"", false, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        NetAddress a;
        bool hasPort = false;
        ASSERT_EQ(parseListenText(c.text, a, hasPort), c.valid);
        if (!c.valid) continue;
        char text[kAddressTextSize];
        addressText(a, text, sizeof text);
        EXPECT_STREQ(text, c.address);
        EXPECT_EQ(hasPort, c.hasPort);
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

// Connects a plain client socket to the listener at the given loopback address.
int connectTo(const char* loopback, uint16_t port) {
    NetAddress a;
    if (!parseAddressLiteral(loopback, a)) return -1;
    sockaddr_storage ss = {};
    socklen_t len;
    if (a.family == NetAddress::kIPv6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        memcpy(&s6->sin6_addr, a.bytes, 16);
        s6->sin6_port = htons(port);
        len = sizeof *s6;
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        memcpy(&s4->sin_addr, a.bytes, 4);
        s4->sin_port = htons(port);
        len = sizeof *s4;
    }
    int c = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c >= 0 && connect(c, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(c);
        return -1;
    }
    return c;
}

uint16_t localPort(int s) {
    NetAddress a;
    return localAddress(s, a) ? a.port : 0;
}

TEST(SocketAccept, NothingWaitingThenAConnectionWithItsAddress) {
    ListenFailure failure;
    int listener = openListenSocket(anyIPv4Address(), failure);  // a port the system chooses
    ASSERT_GE(listener, 0) << failure.systemError;
    NetAddress bound;
    ASSERT_TRUE(localAddress(listener, bound));
    char text[kAddressTextSize];
    addressText(bound, text, sizeof text);
    EXPECT_EQ(std::string(text), "0.0.0.0:" + std::to_string(bound.port));
    EXPECT_NE(bound.port, 0) << "the port the system chose";

    NetAddress peer;
    int error = 0;
    EXPECT_EQ(acceptClient(listener, peer, error), -1);
    EXPECT_EQ(error, EAGAIN);

    int c = connectTo("127.0.0.1", bound.port);
    ASSERT_GE(c, 0);
    PollSet poll;
    size_t slot = poll.add(listener, true, false);
    ASSERT_EQ(poll.wait(std::chrono::seconds(10)), 1);
    EXPECT_TRUE(poll.readable(slot));
    int s = acceptClient(listener, peer, error);
    ASSERT_GE(s, 0);
    EXPECT_EQ(peer.family, NetAddress::kIPv4);
    EXPECT_EQ(peer.host(), NetAddress::ipv4(htonl(INADDR_LOOPBACK)));
    EXPECT_EQ(peer.port, localPort(c)) << "the peer's own port";
    addressText(peer, text, sizeof text);
    EXPECT_EQ(std::string(text), "127.0.0.1:" + std::to_string(localPort(c)));
    hostText(peer, text, sizeof text);
    EXPECT_STREQ(text, "127.0.0.1");
    // The accepted socket never blocks.
    char b;
    EXPECT_EQ(receiveSome(s, &b, 1).status, Transfer::WouldBlock);
    closeSocket(s);
    close(c);
    close(listener);
}

// "::" takes IPv6 and IPv4 connections; an IPv4 peer shows as the IPv4 address it is.
TEST(SocketAccept, IPv6ListenerTakesBothFamilies) {
    NetAddress any6;
    ASSERT_TRUE(parseAddressLiteral("::", any6));
    ListenFailure failure;
    int listener = openListenSocket(any6, failure);
    if (listener < 0 && (failure.systemError == EAFNOSUPPORT || failure.systemError == EADDRNOTAVAIL))
        GTEST_SKIP() << "no IPv6 on this machine";
    ASSERT_GE(listener, 0) << failure.systemError;
    const uint16_t port = localPort(listener);
    struct Case {
        const char* connectFrom;
        const char* peerHost;
        const char* textForm;  // addressText with the port replaced by P
    } cases[] = {
        {"::1", "::1", "[::1]:P"},
        {"127.0.0.1", "127.0.0.1", "127.0.0.1:P"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.connectFrom);
        int c = connectTo(k.connectFrom, port);
        if (c < 0) {
            ADD_FAILURE() << "cannot connect: " << strerror(errno);
            continue;
        }
        PollSet poll;
        poll.add(listener, true, false);
        ASSERT_EQ(poll.wait(std::chrono::seconds(10)), 1);
        NetAddress peer;
        int error = 0;
        int s = acceptClient(listener, peer, error);
        ASSERT_GE(s, 0) << error;
        char text[kAddressTextSize];
        hostText(peer, text, sizeof text);
        EXPECT_STREQ(text, k.peerHost);
        addressText(peer, text, sizeof text);
        std::string expected = k.textForm;
        expected.replace(expected.find('P'), 1, std::to_string(localPort(c)));
        EXPECT_EQ(std::string(text), expected);
        closeSocket(s);
        close(c);
    }
    close(listener);
}

TEST(NetAddress, LiteralsAndTheirTexts) {
    struct Case {
        const char* literal;
        bool valid;
        uint8_t family;
        const char* withPort;  // addressText with port 9029
    } cases[] = {
        {"127.0.0.1", true, NetAddress::kIPv4, "127.0.0.1:9029"},
        {"0.0.0.0", true, NetAddress::kIPv4, "0.0.0.0:9029"},
        {"::1", true, NetAddress::kIPv6, "[::1]:9029"},
        {"::", true, NetAddress::kIPv6, "[::]:9029"},
        {"fe80::1:2", true, NetAddress::kIPv6, "[fe80::1:2]:9029"},
        {"2001:DB8::A", true, NetAddress::kIPv6, "[2001:db8::a]:9029"},
        {"localhost", false, 0, ""},  // names are not looked up
        {"127.1", false, 0, ""},
        {"127.0.0.1:9029", false, 0, ""},
        {"[::1]", false, 0, ""},
        {" 127.0.0.1", false, 0, ""},
        {"", false, 0, ""},
        {"256.0.0.1", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.literal);
        NetAddress a = NetAddress::ipv4(htonl(0x01020304), 7);
        const NetAddress before = a;
        ASSERT_EQ(parseAddressLiteral(c.literal, a), c.valid);
        if (!c.valid) {
            EXPECT_EQ(a, before) << "left as it was";
            continue;
        }
        EXPECT_EQ(a.family, c.family);
        EXPECT_EQ(a.port, 0);
        a.port = 9029;
        char text[kAddressTextSize];
        addressText(a, text, sizeof text);
        EXPECT_STREQ(text, c.withPort);
        EXPECT_EQ(a.host().port, 0);
    }
    // The longest text fits.
    NetAddress longest;
    ASSERT_TRUE(parseAddressLiteral("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", longest));
    longest.port = 65535;
    char text[kAddressTextSize];
    addressText(longest, text, sizeof text);
    EXPECT_STREQ(text, "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535");
    EXPECT_NE(NetAddressHash()(NetAddress::ipv4(1)), NetAddressHash()(NetAddress::ipv4(2)));
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
