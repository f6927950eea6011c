// Sessions stepped directly: each session's socket is one end of a socket pair, the test
// drives the other end, and the clock is the test's own (`now`, moved by hand). Packets are
// written before a step; what the step sent is read after it, so the order of replies and
// closes and the console lines are exact, and every deadline is checked on its edge.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "accounts/login.h"
#include "accounts/login_throttle.h"
#include "common/packet_bytes.h"
#include "common/squish_fixture.h"
#include "config/config.h"
#include "core/loop.h"
#include "core/services.h"
#include "protocol/handlers.h"
#include "protocol/session.h"
#include "support/le.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/socket.h"
#include "wire/packets.h"

namespace {

using namespace std::chrono_literals;
using packetbytes::Bytes;
using packetbytes::concat;
using packetbytes::header;
using packetbytes::kName36;
using packetbytes::kPass36;

const FidoAddr kAnnAddr{2, 5020, 1042, 0};
const FidoAddr kLongAddr{2, 5020, 1042, 65535};
const FidoAddr kBobAddr{2, 5020, 1042, 1};
// Network addresses; each session of the fixture gets a port of its own on top.
const NetAddress kHere = NetAddress::ipv4(htonl(0x7F000001));   // 127.0.0.1
const NetAddress kThere = NetAddress::ipv4(htonl(0x0A000002));  // 10.0.0.2
const Bytes kFail = {1, 0, 0, 0, 0, 0, 0, 0};
const Bytes kOk = Bytes(8, 0);

// The hello packet: name (up to 36 bytes, as given), address at offset 72. `slots` fills
// the bytes the server does not read.
Bytes helloPacket(const std::string& name, const FidoAddr& addr, uint8_t slots = 0) {
    Bytes record(kHelloSize, slots);
    memset(record.data(), 0, 36);
    memcpy(record.data(), name.data(), std::min<size_t>(name.size(), 36));
    encodeFidoAddr(addr, record.data() + kHelloAddrOffset);
    return concat(header(CID_C_HELLO, kHelloSize), record);
}

Bytes authPacket(const uint8_t digest[16]) { return concat(header(CID_C_AUTH, 16), Bytes(digest, digest + 16)); }

// The answer a client with this password gives to this challenge.
Bytes answerFor(const std::string& password, const uint8_t* challenge) {
    uint8_t key[36];
    copyField(reinterpret_cast<char*>(key), password.c_str(), sizeof key);
    uint8_t digest[16];
    hmacMd5(key, challenge, digest);
    return authPacket(digest);
}

Bytes firstBytes(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }

Bytes withData(uint32_t cmd, const Bytes& data) { return concat(header(cmd, uint32_t(data.size())), data); }

// "dd Mon yy hh:mm:ss" with an English month abbreviation.
bool looksLikeChallengeTime(const std::string& text) {
    const std::string shape = "00 Mon 00 00:00:00";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' && !isdigit(static_cast<unsigned char>(text[i]))) return false;
        if ((shape[i] == ' ' || shape[i] == ':') && text[i] != shape[i]) return false;
    }
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    size_t at = months.find(text.substr(3, 3));
    return at != std::string::npos && at % 3 == 0;
}

struct Output {
    std::string out, err;
};

constexpr Readiness kReady{true, true};
// The calendar time of every step: 5 March 2026, 06:08:09 UTC.
constexpr std::time_t kTestWall = 1772690889;

class SessionTest : public testing::Test {
protected:
    void SetUp() override {
        addUser("Ann Reader", "secret", kAnnAddr);
        addUser(kName36, kPass36, kLongAddr);
        addUser("Bob", "other", kBobAddr);
        limits.loginFailDelay = 2s;
    }

    void TearDown() override {
        resetSessions();
        EXPECT_EQ(requests.total(), 0u) << "every buffered byte is given back";
    }

    // Frees every session, closes the test's ends and empties the list.
    void resetSessions() {
        clientList.clear();
        for (int fd : peers) close(fd);
        peers.clear();
    }

    void addUser(const std::string& name, const std::string& password, const FidoAddr& addr) {
        rClientInfo u;
        copyField(u.name, name.c_str(), sizeof u.name);
        copyField(u.password, password.c_str(), sizeof u.password);
        u.address = addr;
        (void)userList.add(u);
    }

    // A new session in clientList, as the main loop appends it, from the address with a
    // port of its own; returns its index.
    int32_t addSession(const NetAddress& address = kHere) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv), 0);
        peers.push_back(sv[1]);
        NetAddress peer = address;
        peer.port = uint16_t(40000 + peers.size());
        clientList.push_back(std::make_unique<sessionClient>(door, sv[0], peer, now));
        return int32_t(clientList.size()) - 1;
    }

    sessionClient& session(int32_t i) { return static_cast<sessionClient&>(*clientList[size_t(i)]); }
    int peer(int32_t i) { return peers[size_t(i)]; }
    bool open(int32_t i) { return !session(i).closed(); }

    // Queues bytes for the session to read (the pair's buffer holds far more than a packet).
    void put(int32_t i, const Bytes& b) {
        ASSERT_EQ(send(peer(i), b.data(), b.size(), MSG_DONTWAIT | MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // The peer will send nothing more: the server's next read after the queued bytes is
    // the end of the data, and its drain on closing ends at once.
    void endInput(int32_t i) { shutdown(peer(i), SHUT_WR); }

    // One step of the session; its console lines without the peer that each of them must
    // begin with ("127.0.0.1:40001 ", the session's own address and port).
    Output step(int32_t i, Readiness ready = kReady) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        stepClient(session(i), ready, Now{now, kTestWall});
        Output o;
        char peer[kAddressTextSize];
        addressText(session(i).peer(), peer, sizeof peer);
        o.out = withoutPeer(testing::internal::GetCapturedStdout(), std::string(peer) + " ");
        o.err = withoutPeer(testing::internal::GetCapturedStderr(), std::string(peer) + " ");
        return o;
    }

    static std::string withoutPeer(const std::string& text, const std::string& prefix) {
        std::string rest;
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end + 1;
            std::string line = text.substr(at, end - at);
            if (line != "\n") {
                EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << "line without its peer: " << line;
                if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
            }
            rest += line;
            at = end;
        }
        return rest;
    }

    // What the server has sent so far, without waiting.
    Bytes sent(int32_t i) {
        Bytes all;
        uint8_t buf[4096];
        for (;;) {
            ssize_t k = recv(peer(i), buf, sizeof buf, MSG_DONTWAIT);
            if (k <= 0) break;
            all.insert(all.end(), buf, buf + k);
        }
        return all;
    }

    // True when the server's side is closed for sending: the peer reads the end of the data.
    bool closedByServer(int32_t i) {
        struct pollfd p = {peer(i), POLLIN, 0};
        if (poll(&p, 1, 0) != 1) return false;
        uint8_t b;
        return recv(peer(i), &b, 1, MSG_DONTWAIT) == 0;
    }

    // Steps a hello for the user and returns the 20 challenge bytes.
    Bytes acceptHello(int32_t i, const std::string& name, const FidoAddr& addr) {
        put(i, helloPacket(name, addr));
        Output o = step(i);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, "");
        Bytes reply = sent(i);
        EXPECT_EQ(reply.size(), 28u);
        if (reply.size() != 28) return Bytes(20, 0);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), (Bytes{0x05, 0, 0, 0, 0x14, 0, 0, 0}));
        EXPECT_EQ(session(i).state, CLSS_WAIT_USER_AUTH);
        return Bytes(reply.begin() + 8, reply.end());
    }

    // A session logged in as the user, its replies read.
    int32_t loggedIn(const std::string& name, const std::string& password, const FidoAddr& addr,
                     const NetAddress& address = kHere) {
        int32_t s = addSession(address);
        Bytes challenge = acceptHello(s, name, addr);
        put(s, answerFor(password, challenge.data()));
        step(s);
        EXPECT_EQ(session(s).state, CLSS_LOGGED_IN);
        EXPECT_EQ(sent(s), kOk);
        return s;
    }

    std::vector<int> peers;  // the test's end of each session, by its index in clientList
    MonoTime now = MonoTime() + 24h;

    // What the server owns, here the test's own: the services, the binary door and the
    // connections.
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
    UserDirectory users{userList};
    RightsPolicy rights;
    LoginThrottle logins;
    MsgIdSerials serials;
    ServerSettings settings;
    SessionLimits& limits = settings.limits;
    RequestBudget requests;
    AreaNumbers areaNumbers{areaList};
    Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers};
    BinaryDoor door{services};
    std::vector<std::unique_ptr<Connection>> clientList;
};

// ---------------------------------------------------------------------------------------
// Successful login

TEST_F(SessionTest, LoginSendsChallengeThenOkAndPrintsTheUser) {
    struct Case {
        const char* name;
        std::string helloName;
        FidoAddr addr;
        uint8_t slots;  // bytes of the hello the server does not read
        std::string password;
        int32_t userIndex;
        const char* outLine;
    };
    const Case cases[] = {
        {"plain name", "Ann Reader", kAnnAddr, 0, "secret", 0, "user: Ann Reader, addr: 2:5020/1042.0\n"},
        {"unread slots filled", "Ann Reader", kAnnAddr, 0xEE, "secret", 0, "user: Ann Reader, addr: 2:5020/1042.0\n"},
        {"name of 36 characters, no terminator", kName36, kLongAddr, 0x41, kPass36, 1,
         "user: Abcdefghij Klmnopqrst Uvwxyz 0123456, addr: 2:5020/1042.65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        int32_t s = addSession();
        put(s, helloPacket(c.helloName, c.addr, c.slots));
        Output o = step(s);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, "");
        Bytes reply = sent(s);
        ASSERT_EQ(reply.size(), 28u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), (Bytes{0x05, 0, 0, 0, 0x14, 0, 0, 0}));
        Bytes challenge(reply.begin() + 8, reply.end());
        // Random bytes: not the local time, 18 characters and two zero bytes, which is
        // only the fallback form.
        std::string text(reinterpret_cast<char*>(challenge.data()), 18);
        EXPECT_FALSE(looksLikeChallengeTime(text) && challenge[18] == 0 && challenge[19] == 0) << text;
        EXPECT_EQ(memcmp(session(s).challenge, challenge.data(), 20), 0);
        EXPECT_EQ(session(s).state, CLSS_WAIT_USER_AUTH);
        EXPECT_EQ(session(s).user, userList.getAt(c.userIndex));

        put(s, answerFor(c.password, challenge.data()));
        o = step(s);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, c.outLine);
        EXPECT_EQ(sent(s), kOk);
        EXPECT_EQ(session(s).state, CLSS_LOGGED_IN);
        EXPECT_TRUE(open(s));

        // The peer closes: noticed at the next step, with no error line.
        endInput(s);
        o = step(s);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, "client disconnected.\n");
        EXPECT_FALSE(open(s));
        EXPECT_TRUE(closedByServer(s));
    }
}

// A packet that arrives a few bytes at a time is taken only once it is whole.
TEST_F(SessionTest, PacketIsTakenOnlyWhenWhole) {
    int32_t s = addSession();
    Bytes hello = helloPacket("Ann Reader", kAnnAddr);
    size_t done = 0;
    for (size_t upTo : {size_t(3), size_t(8), size_t(50)}) {
        put(s, Bytes(hello.begin() + long(done), hello.begin() + long(upTo)));
        done = upTo;
        Output o = step(s);
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_EQ(sent(s), Bytes{});
        EXPECT_EQ(session(s).state, CLSS_WAIT_USER_HELLO);
    }
    EXPECT_LE(session(s).data.capacity(), 84u + 1) << "the buffer holds what arrived, within the announced size";
    put(s, Bytes(hello.begin() + 50, hello.end()));
    step(s);
    EXPECT_EQ(sent(s).size(), 28u);
    EXPECT_EQ(session(s).state, CLSS_WAIT_USER_AUTH);
}

// ---------------------------------------------------------------------------------------
// Every way a login ends with a close: what is sent first, then the end of the data

TEST_F(SessionTest, RefusalsSendWhatTheySayAndClose) {
    const uint8_t wrongDigest[16] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct Case {
        const char* name;
        bool afterHello;  // sent once the hello of Ann Reader was accepted
        Bytes packet;
        bool delayed;  // a failed login: CID_S_FAIL only after loginFailDelay
        Bytes reply;
        std::string err;
    };
    const Case cases[] = {
        {"area list before the hello", false, header(CID_C_GETAREALIST, 0), false, {},
         "error: unexpected command (4) for CLSS_WAIT_USER_HELLO\n"},
        {"answer before the hello", false, authPacket(wrongDigest), false, {},
         "error: unexpected command (11) for CLSS_WAIT_USER_HELLO\n"},
        {"hello announcing 85 bytes", false, header(CID_C_HELLO, 85), false, {},
         "error: invalid data size (85) in packet header\n"},
        {"hello announcing 4 GiB", false, header(CID_C_HELLO, 0xFFFFFFFF), false, {},
         "error: invalid data size (4294967295) in packet header\n"},
        {"hello cut short", false, concat(header(CID_C_HELLO, 84), Bytes(40, 'x')), false, {},
         "error: readn(data) failed\n"},
        {"header cut short", false, Bytes{0x0A, 0, 0}, false, {}, ""},
        {"wrong answer", true, authPacket(wrongDigest), true, kFail,
         "error: user Ann Reader, 2:5020/1042.0 authentication failed\n"},
        {"ping before the answer", true, header(CID_C_PING, 0), false, {},
         "error: unexpected command (2) for CLSS_WAIT_USER_AUTH\n"},
        {"second hello", true, helloPacket("Ann Reader", kAnnAddr), false, {},
         "error: unexpected command (10) for CLSS_WAIT_USER_AUTH\n"},
        {"answer announcing 17 bytes", true, header(CID_C_AUTH, 17), false, {},
         "error: invalid data size (17) in packet header\n"},
        {"answer cut short", true, concat(header(CID_C_AUTH, 16), Bytes(10, 0)), false, {},
         "error: readn(data) failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        logins = LoginThrottle();  // each case starts without earlier failures
        int32_t s = addSession();
        if (c.afterHello) acceptHello(s, "Ann Reader", kAnnAddr);
        // Only the packet is sent, never the data a refused header announces, and the
        // peer then ends its side: a server that read on would report "readn(data) failed".
        put(s, c.packet);
        endInput(s);
        Output o = step(s);
        EXPECT_EQ(o.err, c.err);
        if (c.delayed) {
            // The reason is on the console at once; the reply waits, and so does the close.
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(sent(s), Bytes{});
            EXPECT_TRUE(open(s));
            now += limits.loginFailDelay - 1us;
            o = step(s);
            EXPECT_EQ(o.out + o.err, "");
            EXPECT_EQ(sent(s), Bytes{});
            now += 1us;
            o = step(s);
            EXPECT_EQ(o.err, "");
        }
        EXPECT_EQ(o.out, "client disconnected.\n");
        EXPECT_EQ(sent(s), c.reply);
        EXPECT_TRUE(closedByServer(s));
        EXPECT_FALSE(open(s));
        // A closed session is left alone by further steps.
        o = step(s);
        EXPECT_EQ(o.out + o.err, "");
    }
}

TEST_F(SessionTest, ThirtySixCharacterPasswordIsUsedWhole) {
    int32_t s = addSession();
    Bytes challenge = acceptHello(s, kName36, kLongAddr);
    // The same password without its last character is another key.
    put(s, answerFor(kPass36.substr(0, 35), challenge.data()));
    endInput(s);
    Output o = step(s);
    EXPECT_EQ(o.err, "error: user " + kName36 + ", 2:5020/1042.65535 authentication failed\n");
    now += limits.loginFailDelay;
    step(s);
    EXPECT_EQ(sent(s), kFail);
    EXPECT_TRUE(closedByServer(s));
}

// The right answer with one byte changed, at either end or in the middle, is a wrong one.
TEST_F(SessionTest, AnswerDifferingInOneByteIsRefused) {
    struct Case {
        const char* name;
        size_t at;
        uint8_t flip;
    } cases[] = {{"first byte", 0, 0x01}, {"middle byte", 8, 0x80}, {"last byte", 15, 0xFF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        logins = LoginThrottle();
        int32_t s = addSession();
        Bytes challenge = acceptHello(s, "Ann Reader", kAnnAddr);
        Bytes answer = answerFor("secret", challenge.data());
        answer[kPktHeaderSize + c.at] ^= c.flip;
        put(s, answer);
        endInput(s);
        Output o = step(s);
        EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 authentication failed\n");
        EXPECT_NE(session(s).state, CLSS_LOGGED_IN);
        now += limits.loginFailDelay;
        step(s);
        EXPECT_EQ(sent(s), kFail);
        EXPECT_TRUE(closedByServer(s));
    }
}

// The step never waits for data that a refused header announced: the close starts at
// once, and the drain that follows ends by its own deadline when the peer stays silent.
TEST_F(SessionTest, RefusedHeaderClosesAtOnceAndTheDrainEndsByItsDeadline) {
    int32_t s = addSession();
    put(s, header(CID_C_HELLO, 85));
    Output o = step(s);
    EXPECT_EQ(o.err, "error: invalid data size (85) in packet header\n");
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(closedByServer(s));  // the sending side is shut already
    EXPECT_EQ(session(s).phase, SessionPhase::Draining);
    EXPECT_EQ(session(s).interest().read, true);
    EXPECT_EQ(session(s).deadline(), now + limits.drainTime);
    // What the peer still sends is dropped.
    put(s, Bytes(1000, 'x'));
    now += limits.drainTime - 1us;
    o = step(s);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_TRUE(open(s));
    now += 1us;
    o = step(s);
    EXPECT_EQ(o.out, "client disconnected.\n");
    EXPECT_FALSE(open(s));
}

// ---------------------------------------------------------------------------------------
// One logged-in session per user

TEST_F(SessionTest, OnlyALoggedInSessionHoldsItsUser) {
    // A pending challenge holds nobody: a second session gets one too.
    int32_t a = addSession();
    Bytes challengeA = acceptHello(a, "Ann Reader", kAnnAddr);
    int32_t b = addSession();
    Bytes challengeB = acceptHello(b, "Ann Reader", kAnnAddr);

    // The first right answer wins; the other right answer is refused at once, not as a
    // failed login.
    put(b, answerFor("secret", challengeB.data()));
    Output o = step(b);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    EXPECT_EQ(sent(b), kOk);
    put(a, answerFor("secret", challengeA.data()));
    endInput(a);
    o = step(a);
    EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 already connected\n");
    EXPECT_EQ(o.out, "client disconnected.\n");
    EXPECT_EQ(sent(a), kFail);
    EXPECT_EQ(logins.failures(limits, kHere, now), 0u);

    // A hello naming a logged-in user gets its challenge like any other (the hello tells
    // nothing); the right answer is then refused at once, a wrong one as a failed login.
    int32_t c = addSession();
    Bytes challengeC = acceptHello(c, "Ann Reader", kAnnAddr);
    put(c, answerFor("secret", challengeC.data()));
    endInput(c);
    o = step(c);
    EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 already connected\n");
    EXPECT_EQ(sent(c), kFail);
    EXPECT_TRUE(closedByServer(c));
    EXPECT_EQ(logins.failures(limits, kHere, now), 0u);
    // Another user is not held by it.
    int32_t d = addSession();
    acceptHello(d, "Bob", kBobAddr);

    // Once the logged-in session is closing, the user is free again.
    endInput(b);
    step(b);
    ASSERT_FALSE(open(b));
    loggedIn("Ann Reader", "secret", kAnnAddr);
}

TEST_F(SessionTest, SessionStillWaitingForItsHelloHoldsNoUser) {
    int32_t a = addSession();  // connected, no hello yet
    loggedIn("Ann Reader", "secret", kAnnAddr);
    // Now the first one names the same user: its right answer is refused.
    Bytes challenge = acceptHello(a, "Ann Reader", kAnnAddr);
    put(a, answerFor("secret", challenge.data()));
    endInput(a);
    Output o = step(a);
    EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 already connected\n");
}

// A hello naming no registered user gets a challenge too, and its answer fails after the
// delay of a wrong password: what a client sees does not tell which names exist. The
// console says "not found" at the hello.
TEST_F(SessionTest, UnknownUsersGetAChallengeAndFailAtTheAnswerLikeAWrongPassword) {
    struct Case {
        const char* name;
        Bytes hello;
        std::string err;
    };
    const Case cases[] = {
        {"unknown user", helloPacket("Nobody", kAnnAddr), "error: user Nobody, 2:5020/1042.0 not found\n"},
        {"name in another letter case", helloPacket("ann reader", kAnnAddr),
         "error: user ann reader, 2:5020/1042.0 not found\n"},
        {"address differing in the point", helloPacket("Ann Reader", FidoAddr{2, 5020, 1042, 1}),
         "error: user Ann Reader, 2:5020/1042.1 not found\n"},
        {"known name at another user's address", helloPacket("Bob", kAnnAddr),
         "error: user Bob, 2:5020/1042.0 not found\n"},
        {"control bytes in the name are not sent to the console", helloPacket("Evil\x1b[2J\x07", kAnnAddr),
         "error: user Evil?[2J?, 2:5020/1042.0 not found\n"},
        {"unknown name of 36 characters", helloPacket(kName36.substr(0, 35) + "!", kLongAddr),
         "error: user " + kName36.substr(0, 35) + "!, 2:5020/1042.65535 not found\n"},
        // And a known user with a wrong password, for the same replies at the same times.
        {"known user, wrong password", helloPacket("Ann Reader", kAnnAddr), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        logins = LoginThrottle();
        int32_t s = addSession();
        put(s, c.hello);
        Output o = step(s);
        EXPECT_EQ(o.err, c.err);
        Bytes reply = sent(s);
        ASSERT_EQ(reply.size(), 28u) << "a challenge";
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), (Bytes{0x05, 0, 0, 0, 0x14, 0, 0, 0}));
        EXPECT_EQ(session(s).state, CLSS_WAIT_USER_AUTH);
        // An answer computed with the password some user has: it fails all the same.
        put(s, answerFor("not the password", reply.data() + 8));
        endInput(s);
        o = step(s);
        if (c.err.empty()) EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 authentication failed\n");
        else EXPECT_EQ(o.err, "");
        EXPECT_EQ(sent(s), Bytes{});
        now += limits.loginFailDelay - 1us;
        step(s);
        EXPECT_EQ(sent(s), Bytes{}) << "the refusal waits the delay";
        now += 1us;
        o = step(s);
        EXPECT_EQ(o.out, "client disconnected.\n");
        EXPECT_EQ(sent(s), kFail);
        EXPECT_TRUE(closedByServer(s));
        EXPECT_EQ(logins.failures(limits, kHere, now), 1u) << "a failed login of the network";
    }
}

TEST_F(SessionTest, UserCanLogInAgainAfterAWrongAnswer) {
    int32_t a = addSession();
    acceptHello(a, "Ann Reader", kAnnAddr);
    const uint8_t wrong[16] = {};
    put(a, authPacket(wrong));
    endInput(a);
    step(a);
    now += limits.loginFailDelay;
    step(a);
    ASSERT_FALSE(open(a));
    // The closed record is still in the list until the end of the pass; it holds nobody.
    int32_t b = addSession();
    Bytes challenge = acceptHello(b, "Ann Reader", kAnnAddr);
    put(b, answerFor("secret", challenge.data()));
    Output o = step(b);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    EXPECT_EQ(sent(b), kOk);
}

TEST_F(SessionTest, IsUserConnectedCountsOnlyOpenLoggedInSessions) {
    struct Record {
        int32_t state;
        int32_t user;  // index in userList, -1 for none
        bool closing;
    };
    struct Case {
        const char* name;
        std::vector<Record> records;
        int32_t query;
        bool expected;
    };
    const Case cases[] = {
        {"no sessions", {}, 0, false},
        {"waiting for the hello", {{CLSS_WAIT_USER_HELLO, -1, false}}, 0, false},
        {"waiting for the answer", {{CLSS_WAIT_USER_AUTH, 0, false}}, 0, false},
        {"logged in", {{CLSS_LOGGED_IN, 0, false}}, 0, true},
        {"another user logged in", {{CLSS_LOGGED_IN, 2, false}}, 0, false},
        {"one of several",
         {{CLSS_WAIT_USER_HELLO, -1, false}, {CLSS_LOGGED_IN, 1, false}, {CLSS_LOGGED_IN, 2, false}},
         2,
         true},
        {"closing", {{CLSS_LOGGED_IN, 0, true}}, 0, false},
    };
    // The users of the fixture with their passwords and addresses, by index.
    const struct {
        std::string name, password;
        FidoAddr addr;
    } known[] = {{"Ann Reader", "secret", kAnnAddr}, {kName36, kPass36, kLongAddr}, {"Bob", "other", kBobAddr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        for (const Record& r : c.records) {
            // Each session gets to its state the way a client takes it there.
            int32_t s;
            if (r.state == CLSS_LOGGED_IN) {
                s = loggedIn(known[r.user].name, known[r.user].password, known[r.user].addr);
            } else {
                s = addSession();
                if (r.state == CLSS_WAIT_USER_AUTH) acceptHello(s, known[r.user].name, known[r.user].addr);
            }
            ASSERT_EQ(session(s).state, r.state);
            if (r.closing) {
                testing::internal::CaptureStdout();
                disconnectClient(session(s), now);
                testing::internal::GetCapturedStdout();
                ASSERT_TRUE(session(s).closing());
            }
        }
        EXPECT_EQ(isUserConnected(door, c.query), c.expected);
    }
}

TEST_F(SessionTest, FirstOfTwoUsersWithTheSameNameAndAddressIsTaken) {
    addUser("Twin", "first", FidoAddr{1, 2, 3, 4});
    addUser("Twin", "second", FidoAddr{1, 2, 3, 4});
    int32_t s = addSession();
    Bytes challenge = acceptHello(s, "Twin", FidoAddr{1, 2, 3, 4});
    EXPECT_EQ(session(s).user, userList.getAt(3));
    put(s, answerFor("first", challenge.data()));
    Output o = step(s);
    EXPECT_EQ(o.out, "user: Twin, addr: 1:2/3.4\n");
}

TEST_F(SessionTest, PendingLoginsAndOpenSessionsAreCountedPerAddress) {
    int32_t a = addSession(kHere);
    addSession(kHere);
    addSession(kThere);
    loggedIn("Bob", "other", kBobAddr, kHere);
    EXPECT_EQ(pendingLogins(clientList, kHere), 2);
    EXPECT_EQ(pendingLogins(clientList, kThere), 1);
    EXPECT_EQ(openSessions(clientList), 4);
    // A closing session holds its network's place until it is gone.
    int32_t closingOne = addSession(kHere);
    put(closingOne, header(CID_C_HELLO, 85));
    step(closingOne);
    ASSERT_TRUE(session(closingOne).closing());
    EXPECT_EQ(pendingLogins(clientList, kHere), 3);
    endInput(a);
    step(a);  // closed: counts no more
    EXPECT_EQ(pendingLogins(clientList, kHere), 2);
    EXPECT_EQ(openSessions(clientList), 4);
}

// IPv6 peers count by their /64: one site's addresses are one network.
TEST_F(SessionTest, WaitingSessionsCountByNetworkAndTheBiggestNetworkGivesWay) {
    auto v6 = [](const char* text) {
        NetAddress a;
        EXPECT_TRUE(parseAddressLiteral(text, a));
        return a;
    };
    const NetAddress siteA1 = v6("2001:db8:0:1::1"), siteA2 = v6("2001:db8:0:1::2"), siteA3 = v6("2001:db8:0:1:ff::3");
    const NetAddress siteB = v6("2001:db8:0:2::1");
    int32_t oldest = addSession(siteB);
    addSession(siteA1);
    addSession(siteA2);
    addSession(siteA3);
    loggedIn("Bob", "other", kBobAddr, siteA1);  // logged in: not waiting
    EXPECT_EQ(pendingLogins(clientList, siteA1, 64), 3);
    EXPECT_EQ(pendingLogins(clientList, siteA1, 128), 1);
    EXPECT_EQ(pendingLogins(clientList, siteB, 64), 1);
    // The pool is full: the network holding the most gives way with its oldest session.
    Connection* victim = waitingToMakeRoom(clientList, 64);
    ASSERT_NE(victim, nullptr);
    EXPECT_EQ(victim, clientList[1].get()) << "site A's oldest";
    EXPECT_NE(victim, clientList[size_t(oldest)].get()) << "not the oldest of all, which is alone in its network";
    // Counted by whole addresses, every network holds one: the oldest of all goes.
    EXPECT_EQ(waitingToMakeRoom(clientList, 128), clientList[size_t(oldest)].get());
}

// ---------------------------------------------------------------------------------------
// The data each command takes, checked before any of it is read

TEST(CommandData, EachCommandTakesItsOwnSize) {
    struct Case {
        const char* name;
        uint32_t cmd, dataSize;
        uint32_t keep, drop;  // when accepted
        std::string err;      // when refused (the connection then closes)
    };
    const std::string tooLarge = std::to_string(kMaxPostDataSize + 1);
    const Case cases[] = {
        // No data is read for these, whatever the header says.
        {"ping", CID_C_PING, 0, 0, 0, ""},
        {"ping announcing data", CID_C_PING, 100, 0, 0, ""},
        {"logout announcing data", CID_C_LOGOUT, 7, 0, 0, ""},
        {"area list announcing 4 GiB", CID_C_GETAREALIST, 0xFFFFFFFFu, 0, 0, ""},
        // Exact sizes.
        {"message list", CID_C_GETMSGLIST, 4, 4, 0, ""},
        {"message list, one short", CID_C_GETMSGLIST, 3, 0, 0,
         "error: incoming cmd CID_C_GETMSGLIST: invalid data size = 3, expected 4\n\n"},
        {"message list, one over", CID_C_GETMSGLIST, 5, 0, 0,
         "error: incoming cmd CID_C_GETMSGLIST: invalid data size = 5, expected 4\n\n"},
        {"fetch", CID_C_GETMESSAGE, 8, 8, 0, ""},
        {"fetch, one short", CID_C_GETMESSAGE, 7, 0, 0,
         "error: incoming cmd CID_C_GETMESSAGE: invalid data size = 7, expected 8\n\n"},
        {"fetch, 4 GiB", CID_C_GETMESSAGE, 0xFFFFFFFFu, 0, 0,
         "error: incoming cmd CID_C_GETMESSAGE: invalid data size = 4294967295, expected 8\n\n"},
        {"delete", CID_C_DELETEMSG, 8, 8, 0, ""},
        {"delete, one over", CID_C_DELETEMSG, 9, 0, 0,
         "error: incoming cmd CID_C_DELETEMSG: invalid data size = 9, expected 8\n\n"},
        // A post: its record at least, the size bound at most.
        {"post of the record alone", CID_C_NEWMESSAGE, 186, 186, 0, ""},
        {"post one short of its record", CID_C_NEWMESSAGE, 185, 0, 0,
         "error: incoming cmd CID_C_NEWMESSAGE: invalid data size = 185, too small.\n\n"},
        {"post at the size bound", CID_C_NEWMESSAGE, kMaxPostDataSize, kMaxPostDataSize, 0, ""},
        {"post one over the size bound", CID_C_NEWMESSAGE, kMaxPostDataSize + 1, 0, 0,
         "error: incoming cmd CID_C_NEWMESSAGE: invalid data size = " + tooLarge + ", too large.\n\n"},
        // Unknown commands: their data is dropped as it arrives, up to the same bound.
        {"unknown command", 8, 100, 0, 100, ""},
        {"hello after the login", CID_C_HELLO, 84, 0, 84, ""},
        {"unknown command at the bound", 77, kMaxPostDataSize, 0, kMaxPostDataSize, ""},
        {"unknown command over the bound", 77, kMaxPostDataSize + 1, 0, 0,
         "error: unknown command (77) announces " + tooLarge + " bytes of data, too large.\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        bool refused = false;
        CommandData d;
        try {
            d = commandData(pktHeader{c.cmd, c.dataSize});
        } catch (const ClientStepFailure&) {
            refused = true;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(refused, !c.err.empty());
        if (!refused) {
            EXPECT_EQ(d.keep, c.keep);
            EXPECT_EQ(d.drop, c.drop);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Failed logins: the delayed refusal, and the doubled delay of the next hellos

TEST_F(SessionTest, HelloFromAnAddressWithFailuresWaitsOutItsDelay) {
    // Two failures from here: answers for a user that does not exist.
    for (int i = 0; i < 2; ++i) {
        int32_t s = addSession(kHere);
        put(s, helloPacket("Nobody", kAnnAddr));
        step(s);
        Bytes challenge = sent(s);
        ASSERT_EQ(challenge.size(), 28u);
        put(s, answerFor("guess", challenge.data() + 8));
        step(s);
    }
    ASSERT_EQ(logins.failures(limits, kHere, now), 2u);
    const auto delay = 2 * limits.loginFailDelay;

    int32_t held = addSession(kHere);
    int32_t other = addSession(kThere);
    put(held, helloPacket("Ann Reader", kAnnAddr));
    put(other, helloPacket("Bob", kBobAddr));
    Output o = step(held);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(sent(held), Bytes{});
    EXPECT_EQ(session(held).phase, SessionPhase::HelloHeld);
    EXPECT_EQ(session(held).deadline(), now + delay);
    EXPECT_FALSE(session(held).interest().read) << "nothing more is read while it waits";
    // Another address is answered at once.
    step(other);
    EXPECT_EQ(sent(other).size(), 28u);

    now += delay - 1us;
    step(held);
    EXPECT_EQ(sent(held), Bytes{});
    now += 1us;
    step(held);
    Bytes reply = sent(held);
    ASSERT_EQ(reply.size(), 28u);
    put(held, answerFor("secret", reply.data() + 8));
    o = step(held);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    // The good login has reset the address.
    EXPECT_EQ(logins.helloDelay(limits, kHere, now), 0s);
}

// Past a few failures of an account from many networks, a hello for it from a network new
// to the account waits for the account's turn, while the network the user logged in from
// is answered at once.
TEST_F(SessionTest, HellosForAnAccountUnderGuessingWaitTheirTurnButNotTheUsersOwnNetwork) {
    // The real user logged in from here before.
    int32_t own = loggedIn("Ann Reader", "secret", kAnnAddr, kHere);
    endInput(own);
    step(own);
    // Five wrong answers for Ann from five networks: none of them is slowed by itself.
    for (uint32_t i = 0; i < kAccountFailuresBeforeDelay; ++i) {
        NetAddress guesser = NetAddress::ipv4(htonl(0x0A010000u + i));
        int32_t s = addSession(guesser);
        Bytes challenge = acceptHello(s, "Ann Reader", kAnnAddr);
        put(s, answerFor("guess", challenge.data()));
        step(s);
    }
    // The next hello from a new network waits the account's delay (the first turn is now,
    // the next one a delay later); the user's own network is answered at once.
    int32_t first = addSession(NetAddress::ipv4(htonl(0x0A020001)));
    put(first, helloPacket("Ann Reader", kAnnAddr));
    step(first);
    EXPECT_EQ(sent(first).size(), 28u) << "the account's first turn";
    int32_t waiting = addSession(NetAddress::ipv4(htonl(0x0A020002)));
    put(waiting, helloPacket("Ann Reader", kAnnAddr));
    Output o = step(waiting);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(sent(waiting), Bytes{});
    EXPECT_EQ(session(waiting).phase, SessionPhase::HelloHeld);
    EXPECT_EQ(session(waiting).deadline(), now + limits.loginFailDelay);
    int32_t user = addSession(kHere);
    Bytes challenge = acceptHello(user, "Ann Reader", kAnnAddr);
    put(user, answerFor("secret", challenge.data()));
    o = step(user);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    // Bob is not held by Ann's failures.
    int32_t bob = addSession(NetAddress::ipv4(htonl(0x0A020003)));
    acceptHello(bob, "Bob", kBobAddr);
    // The held hello is answered at its turn.
    now += limits.loginFailDelay;
    step(waiting);
    EXPECT_EQ(sent(waiting).size(), 28u);
}

// ---------------------------------------------------------------------------------------
// Deadlines

TEST_F(SessionTest, DeadlinesCloseWithTheLinesOfToday) {
    limits.helloTimeout = 30s;
    limits.authTimeout = 20s;
    limits.packetTimeout = 10s;
    limits.idleTimeout = 300s;
    struct Case {
        const char* name;
        int login;  // 0: just connected, 1: challenge sent, 2: logged in
        Bytes bytes;
        std::chrono::microseconds after;  // from the last thing that happened
        std::string err;
    };
    const Case cases[] = {
        {"no hello", 0, {}, 30s, "error: client timeout.\n\n"},
        {"half a header before the hello", 0, {0x0A, 0}, 10s, ""},
        {"hello cut in its data", 0, firstBytes(helloPacket("Ann Reader", kAnnAddr), 20), 10s,
         "error: readn(data) failed\n"},
        {"no answer", 1, {}, 20s, "error: client timeout.\n\n"},
        {"answer cut in its data", 1, concat(header(CID_C_AUTH, 16), Bytes(3, 0)), 10s, "error: readn(data) failed\n"},
        {"idle after the login", 2, {}, 300s, "error: client timeout.\n\n"},
        {"post cut in its data", 2, concat(header(CID_C_NEWMESSAGE, 300), Bytes(100, 'x')), 10s,
         "error: readn() failed.\n\n"},
        {"unknown command's data cut short", 2, concat(header(77, 300), Bytes(100, 'x')), 10s,
         "error: readn() failed.\n\n"},
        {"header cut when logged in", 2, {0x02}, 10s, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        int32_t s;
        if (c.login == 2) {
            s = loggedIn("Ann Reader", "secret", kAnnAddr);
        } else {
            s = addSession();
            if (c.login == 1) acceptHello(s, "Ann Reader", kAnnAddr);
        }
        if (!c.bytes.empty()) {
            put(s, c.bytes);
            step(s);
        }
        EXPECT_EQ(session(s).deadline(), now + c.after);
        now += c.after - 1us;
        Output o = step(s, Readiness{});
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_TRUE(open(s));
        now += 1us;
        o = step(s, Readiness{});
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
        EXPECT_TRUE(closedByServer(s));
        endInput(s);  // the drain then ends at once
        o = step(s);
        EXPECT_EQ(o.out + o.err, "client disconnected.\n");
        EXPECT_FALSE(open(s));
    }
}

TEST_F(SessionTest, ActivityPutsTheIdleDeadlineBack) {
    limits.idleTimeout = 100s;
    int32_t s = loggedIn("Ann Reader", "secret", kAnnAddr);
    for (int i = 0; i < 3; ++i) {
        now += 99s;
        put(s, header(CID_C_PING, 0));
        step(s);
        EXPECT_EQ(sent(s), kOk);
    }
    EXPECT_EQ(session(s).deadline(), now + 100s);
}

// ---------------------------------------------------------------------------------------
// Replies that the socket does not take at once

class SlowReader : public SessionTest {
protected:
    // A logged-in session whose socket takes little at a time, and areas enough for an area
    // list far larger than that (names that do not repeat, so that it stays large when
    // compressed; their folders do not exist, so each lists with counts of 0).
    int32_t withLargeReply() {
        for (int i = 0; i < 1000; ++i) {
            char name[40];
            snprintf(name, sizeof name, "AREA.%08X.%d", unsigned(i * 2654435761u), i);
            areaList.push_back(makeArea(AreaFormat::Msg, AreaType::Netmail, name, dir.file("none" + std::to_string(i))));
        }
        int32_t s = loggedIn("Ann Reader", "secret", kAnnAddr);
        int small = 4096;
        setsockopt(session(s).socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        return s;
    }
    TempDir dir;
};

TEST_F(SlowReader, ReplyGoesOutAsTheSocketTakesItAndNoNewPacketIsTakenMeanwhile) {
    int32_t s = withLargeReply();
    put(s, concat(header(CID_C_GETAREALIST, 0), header(CID_C_PING, 0)));
    Output o = step(s);
    EXPECT_EQ(o.out + o.err, "");
    ASSERT_TRUE(session(s).replyQueued) << "the list is larger than the socket takes at once";
    EXPECT_TRUE(session(s).interest().write);
    EXPECT_FALSE(session(s).interest().read) << "no new packet while a reply is on its way";
    EXPECT_EQ(session(s).deadline(), now + limits.replyTimeout);

    Bytes got;
    size_t total = 0;
    for (int i = 0; i < 100000 && (total == 0 || got.size() < total + 8); ++i) {
        Bytes part = sent(s);
        got.insert(got.end(), part.begin(), part.end());
        if (total == 0 && got.size() >= 8) total = 8 + (decodeHeader(got.data()).dataSize & ~PKT_SIZE_COMPRESSED);
        now += 1ms;
        // Progress puts the reply's deadline back.
        if (session(s).replyQueued) {
            EXPECT_LE(session(s).deadline(), now + limits.replyTimeout);
        }
        step(s, Readiness{i % 2 == 0, true});
    }
    Bytes last = sent(s);
    got.insert(got.end(), last.begin(), last.end());
    // The reply in full, then the ping's answer: in order, nothing in between.
    ASSERT_GT(total, 8u + 8192u);
    ASSERT_EQ(got.size(), total + 8);
    EXPECT_EQ(decodeHeader(got.data()).cmd, CID_S_AREALIST);
    EXPECT_EQ(Bytes(got.end() - 8, got.end()), kOk);
}

TEST_F(SlowReader, ReplyThatMakesNoProgressIsGivenUp) {
    int32_t s = withLargeReply();
    put(s, header(CID_C_GETAREALIST, 0));
    step(s);
    ASSERT_TRUE(session(s).replyQueued);
    // Nobody reads: no progress for replyTimeout closes the session with the send line.
    now += limits.replyTimeout - 1us;
    Output o = step(s, Readiness{false, true});
    EXPECT_EQ(o.out + o.err, "");
    now += 1us;
    endInput(s);
    o = step(s, Readiness{false, true});
    EXPECT_EQ(o.err, "error: sendn() failed.\n\n");
    EXPECT_EQ(o.out, "client disconnected.\n");
}

TEST_F(SessionTest, RepliesThatCannotBeSentAreReportedByKind) {
    struct Case {
        const char* name;
        int login;  // 0: before the hello, 2: logged in
        Bytes packet;
        std::string err;
    };
    const Case cases[] = {
        {"challenge", 0, helloPacket("Ann Reader", kAnnAddr),
         "error: sendn(pktHeader) failed: " + std::string(strerror(EPIPE)) + " (" + std::to_string(EPIPE) + ")\n"},
        {"ping's answer", 2, header(CID_C_PING, 0),
         "error: sendReplyHelper(0) failed: " + std::string(strerror(EPIPE)) + " (" + std::to_string(EPIPE) + ")\n"},
        {"logout's answer", 2, header(CID_C_LOGOUT, 0), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        int32_t s = c.login == 2 ? loggedIn("Ann Reader", "secret", kAnnAddr) : addSession();
        put(s, c.packet);
        // The peer is gone entirely: the reply fails on its first send.
        shutdown(peer(s), SHUT_RD);
        close(peers[size_t(s)]);
        peers[size_t(s)] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // keeps the slot closable
        Output o = step(s);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "client disconnected.\n");
    }
}

// ---------------------------------------------------------------------------------------
// Request data in memory

TEST_F(SessionTest, RequestDataGrowsWithWhatArrivesAndIsBoundedAcrossSessions) {
    limits.maxRequestBuffer = 1000;
    int32_t a = loggedIn("Ann Reader", "secret", kAnnAddr);
    int32_t b = loggedIn("Bob", "other", kBobAddr);
    // A post announcing 4 MiB holds only what has come.
    put(a, concat(header(CID_C_NEWMESSAGE, kMaxPostDataSize), Bytes(600, 'x')));
    step(a);
    EXPECT_EQ(session(a).data.size(), 600u);
    EXPECT_LT(session(a).data.capacity(), 64u * 1024);
    EXPECT_EQ(requests.total(), 600u);
    // The next 600 bytes of another session would pass the bound; it would hold as much as
    // the other, so it is the one closed.
    put(b, concat(header(CID_C_NEWMESSAGE, 5000), Bytes(600, 'y')));
    endInput(b);
    Output o = step(b);
    EXPECT_EQ(o.err,
              "error: request data of all sessions would pass maxRequestBuffer (1000 bytes): connection closed\n");
    EXPECT_EQ(o.out, "client disconnected.\n");
    EXPECT_EQ(requests.total(), 600u) << "what the closed session held is given back";
    EXPECT_TRUE(open(a));
    endInput(a);
    step(a);
    EXPECT_EQ(requests.total(), 0u);
}

// When the request data of all sessions would pass the bound, the session holding the most
// is closed: one stalled short of the end of a large post, not the small one that comes
// after it.
TEST_F(SessionTest, TheSessionHoldingTheMostRequestDataGivesWay) {
    limits.maxRequestBuffer = 1000;
    int32_t big = loggedIn("Ann Reader", "secret", kAnnAddr, kHere);
    int32_t small = loggedIn("Bob", "other", kBobAddr, kThere);
    put(big, concat(header(CID_C_NEWMESSAGE, kMaxPostDataSize), Bytes(900, 'x')));
    step(big);  // and then nothing more comes
    ASSERT_EQ(requests.total(), 900u);
    TempDir dir;
    areaList.push_back(makeArea(AreaFormat::Msg, AreaType::Netmail, "NETMAIL", dir.path()));
    pktMessage record;
    copyField(record.header.toName, "Ann Reader", sizeof record.header.toName);
    record.destAddr = kAnnAddr;
    Bytes post(kMessageRecordSize);
    encodeMessage(record, post.data());
    post.insert(post.end(), 200, 'y');
    put(small, withData(CID_C_NEWMESSAGE, post));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    stepClient(session(small), kReady, Now{now, kTestWall});
    std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    // The line names the session that was closed.
    char bigPeer[kAddressTextSize];
    addressText(session(big).peer(), bigPeer, sizeof bigPeer);
    EXPECT_EQ(err, std::string(bigPeer) +
                       " error: request data of all sessions would pass maxRequestBuffer (1000 bytes): connection "
                       "closed\n");
    EXPECT_NE(out.find("post: user Bob"), std::string::npos) << out;
    EXPECT_TRUE(session(big).closing());
    EXPECT_TRUE(open(small));
    EXPECT_EQ(sent(small), kOk) << "its post went on";
    EXPECT_EQ(requests.total(), 0u);
}

TEST_F(SessionTest, UnknownCommandsDataIsDroppedAsItArrives) {
    int32_t s = loggedIn("Ann Reader", "secret", kAnnAddr);
    put(s, concat(header(8, 100000), Bytes(70000, 'z')));
    step(s);
    step(s);
    EXPECT_EQ(requests.total(), 0u);
    EXPECT_LT(session(s).data.capacity(), 1024u) << "nothing of it was kept";
    put(s, concat(Bytes(30000, 'z'), header(CID_C_PING, 0)));
    step(s);  // the rest of the dropped data
    step(s);  // the ping
    EXPECT_EQ(sent(s), kOk);
}

// ---------------------------------------------------------------------------------------
// A write held back by another writer of the Squish base

class HeldBackWrite : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        sqfix::buildBase(dir.file("echo"), {});
        areaList.push_back(makeArea(AreaFormat::Squish, AreaType::Echomail, "ECHO", dir.file("echo")));
    }
    void TearDown() override {
        unlock();
        SessionTest::TearDown();
    }

    // Another writer's lock on the first byte of the data file, as a tosser takes it.
    void lock() {
        lockFd = sqfix::lockDataFile(dir.file("echo"));
        ASSERT_GE(lockFd, 0);
    }
    void unlock() {
        if (lockFd >= 0) close(lockFd);
        lockFd = -1;
    }

    Bytes post(const std::string& subject) {
        pktMessage m;
        copyField(m.header.fromName, "Ann Reader", sizeof m.header.fromName);
        copyField(m.header.toName, "All", sizeof m.header.toName);
        copyField(m.header.subject, subject.c_str(), sizeof m.header.subject);
        m.areaNumber = 0;
        Bytes data(kMessageRecordSize);
        encodeMessage(m, data.data());
        std::string text = "Text of " + subject + "\r";
        data.insert(data.end(), text.begin(), text.end());
        data.push_back(0);
        return withData(CID_C_NEWMESSAGE, data);
    }

    size_t messages() {
        sqfix::BaseImage image;
        EXPECT_TRUE(sqfix::readBase(dir.file("echo"), image));
        return image.messages().size();
    }

    TempDir dir;
    int lockFd = -1;
};

TEST_F(HeldBackWrite, PostIsTriedAgainUntilTheLockIsGone) {
    int32_t s = loggedIn("Ann Reader", "secret", kAnnAddr);
    lock();
    put(s, post("waiting"));
    Output o = step(s);
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(sent(s), Bytes{});
    EXPECT_EQ(session(s).phase, SessionPhase::WriteRetry);
    EXPECT_FALSE(session(s).interest().read);
    EXPECT_EQ(session(s).deadline(), now + limits.writeRetryInterval);
    // Still locked a little later: still waiting, still no answer.
    now += limits.writeRetryInterval;
    step(s);
    EXPECT_EQ(sent(s), Bytes{});
    unlock();
    now += limits.writeRetryInterval;
    o = step(s);
    EXPECT_EQ(o.out + o.err, "post: user Ann Reader, 2:5020/1042.0, area ECHO, message #1\n");
    EXPECT_EQ(sent(s), kOk);
    EXPECT_EQ(messages(), 1u);
    EXPECT_EQ(requests.total(), 0u);
    // The session goes on.
    put(s, header(CID_C_PING, 0));
    step(s);
    EXPECT_EQ(sent(s), kOk);
}

TEST_F(HeldBackWrite, GivesUpAfterWriteRetryTimeAndRefusesAsToday) {
    limits.writeRetryTime = 1s;
    int32_t s = loggedIn("Ann Reader", "secret", kAnnAddr);
    lock();
    struct Case {
        const char* name;
        Bytes packet;
        std::string what;  // the command as its line names it
    } cases[] = {
        {"post", post("never"), "post"},
        {"delete", withData(CID_C_DELETEMSG, Bytes(8, 0)), "delete message #0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put(s, c.packet);
        const MonoTime start = now;
        step(s);
        std::string err;
        Bytes reply;
        while (reply.empty() && now - start < 10 * limits.writeRetryTime) {
            now += limits.writeRetryInterval;
            Output o = step(s);
            err += o.out + o.err;
            reply = sent(s);
        }
        EXPECT_EQ(reply, kFail);
        EXPECT_GE(now - start, limits.writeRetryTime);
        EXPECT_LT(now - start, limits.writeRetryTime + 2 * limits.writeRetryInterval);
        // One line: the user, the command and why it was given up.
        EXPECT_EQ(err, "error: area ECHO: fail to " + c.what + ": user Ann Reader, 2:5020/1042.0: busy: Squish base " +
                           dir.file("echo") + " is locked by another program; given up once writeRetryTime was over\n");
    }
    EXPECT_EQ(messages(), 0u);
    EXPECT_TRUE(open(s));
}

// ---------------------------------------------------------------------------------------
// The limits from the settings file

bool sameLimits(const SessionLimits& a, const SessionLimits& b) {
    return a.helloTimeout == b.helloTimeout && a.packetTimeout == b.packetTimeout && a.authTimeout == b.authTimeout &&
           a.replyTimeout == b.replyTimeout && a.idleTimeout == b.idleTimeout && a.writeRetryTime == b.writeRetryTime &&
           a.loginFailDelay == b.loginFailDelay && a.loginDelayMax == b.loginDelayMax &&
           a.loginFailWindow == b.loginFailWindow && a.reportInterval == b.reportInterval &&
           a.maxSessions == b.maxSessions && a.maxPendingLogins == b.maxPendingLogins &&
           a.maxRequestBuffer == b.maxRequestBuffer;
}

TEST(SessionLimitsSettings, KeysTakeSecondsCountsAndBytesAndKeepTheDefaultOnABadValue) {
    struct Case {
        const char* keyword;
        const char* value;
        bool valid;
    } cases[] = {
        {"helloTimeout", "0.3", true},     {"packetTimeout", "45", true},       {"authTimeout", "1e1", true},
        {"replyTimeout", "0", false},      {"idleTimeout", "-5", false},        {"idleTimeout", "5s", false},
        {"writeRetryTime", "0", true},     {"loginFailDelay", "0", true},       {"loginDelayMax", "nan", false},
        {"loginFailWindow", "2000000", false}, {"reportInterval", "0.5", true}, {"maxSessions", "1000", true},
        {"maxSessions", "0", false},       {"maxPendingLogins", "+3", false},   {"maxPendingLogins", "2.5", false},
        {"maxRequestBuffer", "1048576", true}, {"maxRequestBuffer", "99999999999999999999999", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " " + c.value);
        SessionLimits limits;
        const SessionLimits defaults;
        EXPECT_EQ(applyLimitSetting(limits, c.keyword, c.value), c.valid ? LimitSetting::Taken : LimitSetting::Invalid);
        if (!c.valid) {
            EXPECT_TRUE(sameLimits(limits, defaults)) << "nothing changed";
        }
    }
    SessionLimits limits;
    EXPECT_EQ(applyLimitSetting(limits, "helloTimeout", "0.3"), LimitSetting::Taken);
    EXPECT_EQ(limits.helloTimeout, 300ms);
    EXPECT_EQ(applyLimitSetting(limits, "maxRequestBuffer", "1048576"), LimitSetting::Taken);
    EXPECT_EQ(limits.maxRequestBuffer, 1048576u);
    EXPECT_EQ(applyLimitSetting(limits, "maxPendingLogins", "3"), LimitSetting::Taken);
    EXPECT_EQ(limits.maxPendingLogins, 3);
    // Other keywords are not the limits' (nor are the keys in another letter case).
    EXPECT_EQ(applyLimitSetting(limits, "listenPort", "9029"), LimitSetting::NotALimit);
    EXPECT_EQ(applyLimitSetting(limits, "hellotimeout", "1"), LimitSetting::NotALimit);
}

// ---------------------------------------------------------------------------------------
// The challenge text

TEST(MakeChallenge, LocalTimeTextOrTheFixedText) {
    struct Case {
        int year, month, day, hour, minute, second;
        const char* text;
    };
    const Case cases[] = {
        {2026, 3, 5, 7, 8, 9, "05 Mar 26 07:08:09"},
        {2026, 12, 8, 20, 38, 18, "08 Dec 26 20:38:18"},
        {2000, 1, 31, 0, 0, 0, "31 Jan 00 00:00:00"},
        {1999, 9, 1, 23, 59, 59, "01 Sep 99 23:59:59"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::tm t{};
        t.tm_year = c.year - 1900;
        t.tm_mon = c.month - 1;
        t.tm_mday = c.day;
        t.tm_hour = c.hour;
        t.tm_min = c.minute;
        t.tm_sec = c.second;
        uint8_t out[20];
        memset(out, 0xAA, sizeof out);
        makeChallenge(out, &t);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 20), std::string(c.text) + std::string(2, '\0'));
    }
    uint8_t out[20];
    makeChallenge(out, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 20), "tqa4hzw9ekr2nvbx7sL=");
}

}  // namespace
