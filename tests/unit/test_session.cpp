// Sessions stepped directly: each session's socket is one end of a socket pair, the test
// drives the other end. Packets are written before a step; what the step sent is read
// after it, so the order of replies and closes and the console lines are exact.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/packet_bytes.h"
#include "config/config.h"
#include "wire/packets.h"
#include "protocol/session.h"
#include "support/log.h"
#include "support/socket.h"
#include "support/le.h"
#include "support/md5.h"

namespace {

using packetbytes::Bytes;
using packetbytes::concat;
using packetbytes::header;
using packetbytes::kName36;
using packetbytes::kPass36;


const FidoAddr kAnnAddr{2, 5020, 1042, 0};
const FidoAddr kLongAddr{2, 5020, 1042, 65535};

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

class SessionTest : public testing::Test {
protected:
    void SetUp() override {
        clientList.removeAll();
        userList.removeAll();
        addUser("Ann Reader", "secret", kAnnAddr);
        addUser(kName36, kPass36, kLongAddr);
        addUser("Bob", "other", FidoAddr{2, 5020, 1042, 1});
    }

    void TearDown() override {
        resetSessions();
        userList.removeAll();
    }

    // Closes both ends of every session and empties the list.
    void resetSessions() {
        for (int32_t i = 0; i < clientList.getCount(); ++i)
            if (clientList.getAt(i)->socket != kClosedSocket) close(clientList.getAt(i)->socket);
        clientList.removeAll();
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

    // A new session in clientList, as the main loop appends it; returns its index.
    int32_t addSession() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        sessionClient s;
        s.socket = sv[0];
        peers.push_back(sv[1]);
        return clientList.add(s);
    }

    sessionClient& session(int32_t i) { return *clientList.getAt(i); }
    int peer(int32_t i) { return peers[size_t(i)]; }

    // Queues bytes for the session to read (the pair's buffer holds far more than a packet).
    void put(int32_t i, const Bytes& b) {
        ASSERT_EQ(send(peer(i), b.data(), b.size(), MSG_DONTWAIT | MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // The peer will send nothing more: the server's next read after the queued bytes is
    // the end of the data, and its drain on closing ends at once.
    void endInput(int32_t i) { shutdown(peer(i), SHUT_WR); }

    Output step(int32_t i, int32_t idleLimit = kIdleStepLimit) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        stepClient(server, session(i), idleLimit);
        Output o;
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        return o;
    }

    // What the server has sent so far, without waiting.
    Bytes sent(int32_t i) {
        Bytes all;
        uint8_t buf[512];
        for (;;) {
            ssize_t k = recv(peer(i), buf, sizeof buf, MSG_DONTWAIT);
            if (k <= 0) break;
            all.insert(all.end(), buf, buf + k);
        }
        return all;
    }

    // True when the server's side is closed: the peer reads the end of the data.
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

    std::vector<int> peers;  // the test's end of each session, by its index in clientList

    // The lists the server owns, here the test's own.
    MCArray<mArea> areaList;
    MCArray<rClientInfo> userList;
    MCArray<sessionClient> clientList;
    LZW12 compressor;
    MCArray<pktAreaInfo> areaInfoList;
    ServerContext server{areaList, userList, clientList, compressor, areaInfoList};
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
        EXPECT_EQ(sent(s), Bytes(8, 0));
        EXPECT_EQ(session(s).state, CLSS_LOGGED_IN);
        EXPECT_NE(session(s).socket, kClosedSocket);

        // The peer closes: noticed at the next step, with no error line.
        endInput(s);
        o = step(s);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out, "client disconnected.\n");
        EXPECT_EQ(session(s).socket, kClosedSocket);
        EXPECT_TRUE(closedByServer(s));
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
    EXPECT_EQ(sent(s), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(closedByServer(s));
}

// ---------------------------------------------------------------------------------------
// Every way a login ends with a close: what is sent first, then the end of the data

TEST_F(SessionTest, RefusalsSendWhatTheySayAndClose) {
    const Bytes fail = {1, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t wrongDigest[16] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct Case {
        const char* name;
        bool afterHello;  // sent once the hello of Ann Reader was accepted
        Bytes packet;
        Bytes reply;
        std::string err;
    };
    const Case cases[] = {
        {"unknown user", false, helloPacket("Nobody", kAnnAddr), fail, "error: user Nobody, 2:5020/1042.0 not found\n"},
        {"name in another letter case", false, helloPacket("ann reader", kAnnAddr), fail,
         "error: user ann reader, 2:5020/1042.0 not found\n"},
        {"address differing in the point", false, helloPacket("Ann Reader", FidoAddr{2, 5020, 1042, 1}), fail,
         "error: user Ann Reader, 2:5020/1042.1 not found\n"},
        {"known name at another user's address", false, helloPacket("Bob", kAnnAddr), fail,
         "error: user Bob, 2:5020/1042.0 not found\n"},
        {"control bytes in the name are not sent to the console", false, helloPacket("Evil\x1b[2J\x07", kAnnAddr), fail,
         "error: user Evil?[2J?, 2:5020/1042.0 not found\n"},
        {"unknown name of 36 characters", false, helloPacket(kName36.substr(0, 35) + "!", kLongAddr), fail,
         "error: user " + kName36.substr(0, 35) + "!, 2:5020/1042.65535 not found\n"},
        {"area list before the hello", false, header(CID_C_GETAREALIST, 0), {},
         "error: unexpected command (4) for CLSS_WAIT_USER_HELLO\n"},
        {"answer before the hello", false, authPacket(wrongDigest), {},
         "error: unexpected command (11) for CLSS_WAIT_USER_HELLO\n"},
        {"hello announcing 85 bytes", false, header(CID_C_HELLO, 85), {},
         "error: invalid data size (85) in packet header\n"},
        {"hello announcing 4 GiB", false, header(CID_C_HELLO, 0xFFFFFFFF), {},
         "error: invalid data size (4294967295) in packet header\n"},
        {"hello cut short", false, concat(header(CID_C_HELLO, 84), Bytes(40, 'x')), {}, "error: readn(data) failed\n"},
        {"header cut short", false, Bytes{0x0A, 0, 0}, {}, ""},
        {"wrong answer", true, authPacket(wrongDigest), fail,
         "error: user Ann Reader, 2:5020/1042.0 authentication failed\n"},
        {"ping before the answer", true, header(CID_C_PING, 0), {},
         "error: unexpected command (2) for CLSS_WAIT_USER_AUTH\n"},
        {"second hello", true, helloPacket("Ann Reader", kAnnAddr), {},
         "error: unexpected command (10) for CLSS_WAIT_USER_AUTH\n"},
        {"answer announcing 17 bytes", true, header(CID_C_AUTH, 17), {},
         "error: invalid data size (17) in packet header\n"},
        {"answer cut short", true, concat(header(CID_C_AUTH, 16), Bytes(10, 0)), {}, "error: readn(data) failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        int32_t s = addSession();
        if (c.afterHello) acceptHello(s, "Ann Reader", kAnnAddr);
        // Only the packet is sent, never the data a refused header announces, and the
        // peer then ends its side: a server that read on would report "readn(data) failed".
        put(s, c.packet);
        endInput(s);
        Output o = step(s);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "client disconnected.\n");
        EXPECT_EQ(sent(s), c.reply);
        EXPECT_TRUE(closedByServer(s));
        EXPECT_EQ(session(s).socket, kClosedSocket);
        // A closed session is left alone by further steps.
        o = step(s);
        EXPECT_EQ(o.out + o.err, "");
    }
}

TEST_F(SessionTest, RefusedHeaderIsAnsweredWithoutWaitingForItsData) {
    // The peer keeps its side open and never sends the announced data: the step must not
    // wait for it (it would for the transfer bound, then report the short read).
    int32_t s = addSession();
    put(s, header(CID_C_HELLO, 85));
    auto start = std::chrono::steady_clock::now();
    Output o = step(s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), kTransferStallMs);  // only the bounded drain of the close
    EXPECT_EQ(o.err, "error: invalid data size (85) in packet header\n");
    EXPECT_EQ(o.out, "client disconnected.\n");
    EXPECT_TRUE(closedByServer(s));
}

// ---------------------------------------------------------------------------------------
// One session per user past the hello

TEST_F(SessionTest, SecondSessionForAUserPastTheHelloIsRefused) {
    for (bool firstLoggedIn : {false, true}) {
        SCOPED_TRACE(firstLoggedIn ? "first logged in" : "first waiting for its answer");
        resetSessions();
        int32_t a = addSession();
        Bytes challenge = acceptHello(a, "Ann Reader", kAnnAddr);
        if (firstLoggedIn) {
            put(a, answerFor("secret", challenge.data()));
            step(a);
            ASSERT_EQ(session(a).state, CLSS_LOGGED_IN);
            sent(a);
        }
        int32_t b = addSession();
        put(b, helloPacket("Ann Reader", kAnnAddr));
        endInput(b);
        Output o = step(b);
        EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 already connected\n");
        EXPECT_EQ(sent(b), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(closedByServer(b));
        // Another user is not held by it.
        int32_t c = addSession();
        acceptHello(c, "Bob", FidoAddr{2, 5020, 1042, 1});
    }
}

TEST_F(SessionTest, SessionStillWaitingForItsHelloHoldsNoUser) {
    int32_t a = addSession();  // connected, no hello yet
    int32_t b = addSession();
    Bytes challenge = acceptHello(b, "Ann Reader", kAnnAddr);
    put(b, answerFor("secret", challenge.data()));
    Output o = step(b);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    // Now the first one names the same user and is refused.
    put(a, helloPacket("Ann Reader", kAnnAddr));
    endInput(a);
    o = step(a);
    EXPECT_EQ(o.err, "error: user Ann Reader, 2:5020/1042.0 already connected\n");
}

TEST_F(SessionTest, UserCanLogInAgainAfterAWrongAnswer) {
    int32_t a = addSession();
    acceptHello(a, "Ann Reader", kAnnAddr);
    const uint8_t wrong[16] = {};
    put(a, authPacket(wrong));
    endInput(a);
    step(a);
    ASSERT_EQ(session(a).socket, kClosedSocket);
    // The closed record is still in the list until the end of the pass; it holds nobody.
    int32_t b = addSession();
    Bytes challenge = acceptHello(b, "Ann Reader", kAnnAddr);
    put(b, answerFor("secret", challenge.data()));
    Output o = step(b);
    EXPECT_EQ(o.out, "user: Ann Reader, addr: 2:5020/1042.0\n");
    EXPECT_EQ(sent(b), Bytes(8, 0));
}

TEST_F(SessionTest, IsUserConnectedCountsOpenSessionsPastTheHello) {
    struct Record {
        int32_t state;
        int32_t user;  // index in userList, -1 for none
        bool open;
    };
    struct Case {
        const char* name;
        std::vector<Record> records;
        int32_t query;
        bool expected;
    };
    const Case cases[] = {
        {"no sessions", {}, 0, false},
        {"waiting for the hello", {{CLSS_WAIT_USER_HELLO, -1, true}}, 0, false},
        {"waiting for the answer", {{CLSS_WAIT_USER_AUTH, 0, true}}, 0, true},
        {"logged in", {{CLSS_LOGGED_IN, 0, true}}, 0, true},
        {"another user logged in", {{CLSS_LOGGED_IN, 1, true}}, 0, false},
        {"one of several", {{CLSS_WAIT_USER_HELLO, -1, true}, {CLSS_LOGGED_IN, 1, true}, {CLSS_LOGGED_IN, 2, true}}, 2, true},
        {"closed in this pass", {{CLSS_LOGGED_IN, 0, false}}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clientList.removeAll();
        for (const Record& r : c.records) {
            sessionClient s;
            s.state = r.state;
            s.user = r.user < 0 ? nullptr : userList.getAt(r.user);
            s.socket = r.open ? 1000 : kClosedSocket;  // never used as a descriptor here
            clientList.add(s);
        }
        EXPECT_EQ(isUserConnected(server, c.query), c.expected);
    }
    clientList.removeAll();
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

// ---------------------------------------------------------------------------------------
// Idle steps

TEST_F(SessionTest, IdleSessionIsClosedAtTheLimitOfConsecutiveIdleSteps) {
    const int32_t limit = 5;
    int32_t s = addSession();
    for (int i = 1; i < limit; ++i) {
        Output o = step(s, limit);
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_EQ(session(s).idleSteps, i);
    }
    // Data resets the count.
    put(s, helloPacket("Ann Reader", kAnnAddr));
    step(s, limit);
    EXPECT_EQ(session(s).idleSteps, 0);
    EXPECT_EQ(sent(s).size(), 28u);
    for (int i = 1; i < limit; ++i) {
        Output o = step(s, limit);
        EXPECT_EQ(o.out + o.err, "");
        ASSERT_NE(session(s).socket, kClosedSocket);
    }
    // The peer never closes its side: the drain on closing gives up by itself.
    Output o = step(s, limit);
    EXPECT_EQ(o.err, "error: client timeout.\n\n");
    EXPECT_EQ(o.out, "client disconnected.\n");
    EXPECT_EQ(session(s).socket, kClosedSocket);
    EXPECT_TRUE(closedByServer(s));
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
