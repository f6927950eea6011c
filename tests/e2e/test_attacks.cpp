// The server tried as an attacker would, on the real binary over loopback, with peers at
// several loopback addresses (127.0.x.y): a crowd of networks holding the waiting logins,
// a flood of connections that close themselves, a stalled giant post, password guessing
// from many networks, user names probed through the hello, another user's netmail, and
// Squish bases whose frames link to themselves or whose index is out of chain order.
// Each test says what the honest client got; the figures are printed as "attack figures".
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/msg_fixture.h"
#include "common/packet_bytes.h"
#include "common/raw_client.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"
#include "wire/packets.h"

namespace {

using Clock = std::chrono::steady_clock;
using packetbytes::Bytes;
using packetbytes::concat;
using packetbytes::header;
using qclient::Status;

const FidoAddr kAnn{2, 5020, 1, 0};
// Failures of an account before hellos for it from new networks wait their turn.
constexpr uint32_t kFreeFailures = 5;
const FidoAddr kBob{2, 5020, 2, 0};

std::string userLine(const std::string& name, const std::string& password, const FidoAddr& a) {
    return "user " + name + "," + password + "," + formatFidoAddr(a) + "\n";
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// "127.0.A.B" for the n-th peer of a crowd (A from 1).
std::string crowdAddress(int group, int n) { return "127.0." + std::to_string(group) + "." + std::to_string(n); }

// Silent connections from many addresses, each reopened as soon as the server closes it,
// in a thread of its own until stop().
class Crowd {
public:
    Crowd(uint16_t port, int addresses, int perAddress, int group) {
        for (int a = 1; a <= addresses; ++a)
            for (int k = 0; k < perAddress; ++k) slots_.push_back({crowdAddress(group, a), std::make_unique<RawClient>()});
        thread_ = std::thread([this, port] { run(port); });
    }
    ~Crowd() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint64_t reopened() const { return reopened_; }

private:
    struct Slot {
        std::string from;
        std::unique_ptr<RawClient> client;
    };
    void run(uint16_t port) {
        for (Slot& s : slots_) s.client->connect(port, 0, s.from.c_str());
        std::vector<pollfd> fds(slots_.size());
        while (!stop_) {
            for (size_t i = 0; i < slots_.size(); ++i) fds[i] = {slots_[i].client->fd(), POLLIN, 0};
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t i = 0; i < slots_.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                // Closed by the server (nothing else comes on a silent connection): again.
                slots_[i].client->connect(port, 0, slots_[i].from.c_str());
                ++reopened_;
            }
        }
    }
    std::vector<Slot> slots_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> reopened_{0};
};

// ---------------------------------------------------------------------------------------
// Room for real users

// 33 addresses each keep 8 silent connections open (the most one network may have waiting),
// reopened as the server closes them: together more than the server's sessions. A real user
// from another address logging in again and again still gets in.
TEST(Attacks, ACrowdOfNetworksCannotKeepARealUserOut) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "maxSessions 256\nhelloTimeout 2\nreportInterval 1\n" + userLine("Ann", "secret", kAnn)))
        << server.err();
    Crowd crowd(server.port(), 33, 8, 1);
    // The crowd fills the waiting pool first.
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client: 127.0.1.") >= 264; }, kPromptMs));

    const int kLogins = 20;
    int succeeded = 0;
    double slowest = 0;
    for (int i = 0; i < kLogins; ++i) {
        RawClient user;
        auto t = Clock::now();
        if (user.connect(server.port(), 0, "127.0.2.1") && user.login("Ann", "secret", kAnn, 5000)) ++succeeded;
        slowest = std::max(slowest, msSince(t));
        // The next login comes once the crowd has come back at the server a few more times.
        const uint64_t reopened = crowd.reopened();
        EXPECT_TRUE(waitUntil([&] { return crowd.reopened() >= reopened + 8; }, kPromptMs));
    }
    crowd.stop();
    std::cout << "attack figures: crowd of 33 networks x 8: " << succeeded << " of " << kLogins
              << " logins succeeded, slowest " << slowest << " ms, " << crowd.reopened() << " crowd reconnections\n";
    EXPECT_GE(succeeded * 100, kLogins * 95);
    EXPECT_TRUE(server.waitForErr("waiting for their login closed to make room")) << server.err();
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

// Connections from one address that each send a bad header are closed by the server and
// drained for a moment; while they close they hold their address's waiting places, so that
// a flood of them cannot fill the server: logins from another address go through.
TEST(Attacks, ClosingSessionsOfOneAddressDoNotFillTheServer) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "maxSessions 64\n" + userLine("Ann", "secret", kAnn))) << server.err();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        while (!stop) {
            RawClient c;
            if (c.connect(server.port(), 0, "127.0.3.1") && c.send(header(CID_C_HELLO, 85))) ++sent;
        }
    });
    ASSERT_TRUE(waitUntil([&] { return sent >= 500; }, kPromptMs));
    int succeeded = 0;
    for (int i = 0; i < 20; ++i) {
        RawClient user;
        if (user.connect(server.port(), 0, "127.0.4.1") && user.login("Ann", "secret", kAnn, 5000)) ++succeeded;
    }
    stop = true;
    flood.join();
    std::cout << "attack figures: bad-header flood of " << sent << " connections: " << succeeded
              << " of 20 logins from another address succeeded\n";
    EXPECT_EQ(succeeded, 20);
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

// ---------------------------------------------------------------------------------------
// Request data

// One user's post of 4 MiB stalls short of its end; another user's 20 KB post then passes
// the bound of all request data: the stalled one, holding the most, is closed.
TEST(Attacks, AStalledGiantPostGivesWayToASmallOne) {
    TempDir dir;
    dir.mkdir("netmail");
    dir.write("areas.cfg", "NetArea NETMAIL " + dir.file("netmail") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg areas.cfg\nmaxRequestBuffer 4200000\n" + userLine("Ann", "secret", kAnn) +
                                      userLine("Bob", "other", kBob)))
        << server.err();
    RawClient giant;
    ASSERT_TRUE(giant.connect(server.port(), 0, "127.0.5.1"));
    ASSERT_TRUE(giant.login("Ann", "secret", kAnn));
    ASSERT_TRUE(giant.send(concat(header(CID_C_NEWMESSAGE, kMaxPostDataSize), Bytes(kMaxPostDataSize - 1000, 'x'))));
    ASSERT_TRUE(waitUntil([&] { return giant.unread() == 0; }, kPromptMs)) << "the server holds it all";

    qclient::Connection small;
    ASSERT_TRUE(server.connect(small));
    ASSERT_EQ(small.login("Bob", "other", kBob), Status::Ok);
    pktMessage m;
    copyField(m.header.toName, "Ann", sizeof m.header.toName);
    copyField(m.header.subject, "Small", sizeof m.header.subject);
    m.destAddr = kAnn;
    // The server reads the giant's bytes a chunk at a time between other work, so the first
    // small posts may still fit beside what it holds so far; once it holds nearly all, the
    // next small post makes it give way. Every small post is stored.
    int posts = 0;
    bool allStored = true;
    EXPECT_TRUE(waitUntil(
        [&] {
            ++posts;
            allStored = allStored && small.post(m, std::string(20000, 'y')) == Status::Ok;
            return !allStored || giant.waitClosed(0);
        },
        kPromptMs))
        << "the giant post's connection is closed";
    EXPECT_TRUE(allStored) << "after " << posts << " posts";
    EXPECT_EQ(server.countErr("would pass maxRequestBuffer"), 1);
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

// ---------------------------------------------------------------------------------------
// Logins

// Guesses of one account's password from ever new addresses (each moves on after two
// failures): past five failures they are answered one at a time, each a growing delay
// after the last; the real user, from an address that logged in before, gets in at once.
TEST(Attacks, GuessingFromRotatingAddressesIsSlowedWithoutLockingTheUserOut) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "loginFailDelay 0.2\nreportInterval 1\n" + userLine("Ann", "secret", kAnn)))
        << server.err();
    {
        RawClient first;
        ASSERT_TRUE(first.connect(server.port(), 0, "127.0.6.1"));
        ASSERT_TRUE(first.login("Ann", "secret", kAnn));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> guessers;
    const auto start = Clock::now();
    for (int g = 0; g < 6; ++g) {
        guessers.emplace_back([&, g] {
            for (int n = 0; !stop; ++n) {
                std::string from = crowdAddress(7, 1 + (g * 40 + n / 2) % 250);
                RawClient c;
                uint8_t challenge[20];
                if (!c.connect(server.port(), 0, from.c_str())) continue;
                if (c.hello("Ann", kAnn, challenge, 2000) && !c.answer("guess", challenge, 2000)) ++wrongAnswers;
            }
        });
    }
    // Once the guessing is past the free failures, the real user logs in again and again
    // from the known address.
    ASSERT_TRUE(waitUntil([&] { return wrongAnswers > int(kFreeFailures); }, kPromptMs));
    int userLogins = 0;
    for (int i = 0; i < 5; ++i) {
        RawClient user;
        if (user.connect(server.port(), 0, "127.0.6.1") && user.login("Ann", "secret", kAnn, 5000)) ++userLogins;
    }
    stop = true;
    for (auto& t : guessers) t.join();
    const double seconds = msSince(start) / 1000;
    std::cout << "attack figures: rotating guessers: " << wrongAnswers << " wrong answers in " << seconds
              << " s; the real user got in " << userLogins << " of 5 times\n";
    EXPECT_EQ(userLogins, 5);
    // Five free failures, then turns 0.2 s, 0.4 s, 0.8 s, ... apart: far fewer than a guess
    // per 0.2 s each of six guessers could make.
    EXPECT_LE(wrongAnswers, 5 + 1 + int(seconds / 0.2));
    EXPECT_LT(wrongAnswers, 5 + int(seconds / 0.2) * 6 / 3);
    EXPECT_NE(server.err().find("user Ann, 2:5020/1.0: "), std::string::npos) << server.err();
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

// A hello answers the same whether or not the user exists: a challenge, then a refusal of
// the answer after the delay of a wrong password.
TEST(Attacks, TheHelloDoesNotTellWhetherAUserExists) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "loginFailDelay 0.3\n" + userLine("Ann", "secret", kAnn))) << server.err();
    struct Case {
        const char* name;
        std::string user;
        FidoAddr addr;
    } cases[] = {{"registered user, wrong password", "Ann", kAnn},
                 {"no such user", "Nobody", kAnn},
                 {"registered name at another address", "Ann", kBob}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient probe;
        ASSERT_TRUE(probe.connect(server.port(), 0, ("127.0.8." + std::to_string(&c - cases + 1)).c_str()));
        uint8_t challenge[20];
        ASSERT_TRUE(probe.hello(c.user, c.addr, challenge)) << "a challenge in every case";
        auto t = Clock::now();
        EXPECT_FALSE(probe.answer("guess", challenge));
        EXPECT_GE(msSince(t), 250) << "refused after the delay";
        EXPECT_TRUE(probe.waitClosed());
    }
    EXPECT_EQ(server.countErr("not found"), 2);
    EXPECT_EQ(server.countErr("authentication failed"), 1);
    server.pressKey();
    EXPECT_EQ(server.waitExit(), 0);
}

// ---------------------------------------------------------------------------------------
// Netmail

class NetmailPrivacy : public ::testing::Test {
protected:
    // Netmail between Ann, Bob and a stranger: #2 from Ann, #3 to Bob, #4 to Ann's address
    // under another name, #5 between strangers, #6 to "ann" in other letter case.
    void SetUp() override {
        dir.mkdir("netmail");
        struct Mail {
            uint32_t number;
            std::string from, to;
            FidoAddr orig, dest;
        } mail[] = {
            {2, "Ann", "Max", kAnn, {2, 5020, 9, 0}},
            {3, "Max", "Bob", {2, 5020, 9, 0}, kBob},
            {4, "Max", "Sysop of Ann's point", {2, 5020, 9, 0}, kAnn},
            {5, "Max", "Eve", {2, 5020, 9, 0}, {2, 5020, 8, 0}},
            {6, "Max", "ann", {2, 5020, 9, 0}, {2, 5020, 8, 0}},
        };
        for (const Mail& m : mail) {
            msgfixture::MsgFile f;
            f.fromName = m.from;
            f.toName = m.to;
            f.subject = "Mail " + std::to_string(m.number);
            f.orig = m.orig;
            f.dest = m.dest;
            ASSERT_TRUE(msgfixture::writeMsgFile(dir.file("netmail"), m.number, f));
        }
        dir.write("areas.cfg", "NetArea NETMAIL " + dir.file("netmail") + "\n");
    }
    void start(const std::string& extra = "") {
        ASSERT_TRUE(server.start(dir, "squishCfg areas.cfg\n" + extra + userLine("Ann", "secret", kAnn) +
                                          userLine("Bob", "other", kBob) + "user Sysop,boss,2:5020/1234,super\n"))
            << server.err();
    }
    std::vector<uint32_t> listed(const std::string& name, const std::string& password, const FidoAddr& addr,
                                 uint32_t* count = nullptr) {
        qclient::Connection c;
        EXPECT_TRUE(server.connect(c));
        EXPECT_EQ(c.login(name, password, addr), Status::Ok);
        std::vector<pktMsgHeader> headers;
        EXPECT_EQ(c.getMsgList(0, headers), Status::Ok);
        std::vector<pktAreaInfo> areas;
        EXPECT_EQ(c.getAreaList(areas), Status::Ok);
        if (count && !areas.empty()) *count = areas[0].msgCount;
        std::vector<uint32_t> numbers;
        for (const auto& h : headers) numbers.push_back(h.msgNumber);
        EXPECT_EQ(c.logout(), Status::Ok);
        return numbers;
    }

    TempDir dir;
    ServerProcess server;
};

TEST_F(NetmailPrivacy, OrdinaryUsersSeeOnlyTheirOwnNetmail) {
    start();
    uint32_t count = 0;
    EXPECT_EQ(listed("Ann", "secret", kAnn, &count), (std::vector<uint32_t>{2, 4, 6}));
    EXPECT_EQ(count, 3u) << "the area list counts what the user sees";
    EXPECT_EQ(listed("Bob", "other", kBob, &count), (std::vector<uint32_t>{3}));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(listed("Sysop", "boss", {2, 5020, 1234, 0}, &count), (std::vector<uint32_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(count, 5u);

    // Another's netmail cannot be fetched by its number either.
    qclient::Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Ann", "secret", kAnn), Status::Ok);
    pktMessage record;
    std::vector<std::string> lines;
    EXPECT_EQ(c.getMessage(0, 2, record, lines), Status::Ok);
    EXPECT_EQ(c.getMessage(0, 3, record, lines), Status::Refused);
    EXPECT_EQ(c.getMessage(0, 5, record, lines), Status::Refused);
    EXPECT_EQ(c.ping(), Status::Ok);
}

TEST_F(NetmailPrivacy, NodesWhoseUsersShareOneMailboxShowAll) {
    start("netmailVisibility all\n");
    EXPECT_EQ(listed("Bob", "other", kBob), (std::vector<uint32_t>{2, 3, 4, 5, 6}));
}

// ---------------------------------------------------------------------------------------
// Squish bases a crashed tosser left

class DamagedBase : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<sqfix::Message> m(12);
        for (size_t i = 0; i < m.size(); ++i) {
            m[i].subject = "Message " + std::to_string(i + 1);
            m[i].text = "Text\r";
        }
        built = sqfix::buildBase(dir.file("echo"), m);
        dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
        ASSERT_TRUE(server.start(dir, "squishCfg areas.cfg\nwriteRetryTime 0\nuser Sysop,boss,2:5020/1234,super\n"))
            << server.err();
        ASSERT_TRUE(server.connect(c));
        ASSERT_EQ(c.login("Sysop", "boss", {2, 5020, 1234, 0}), Status::Ok);
    }
    TempDir dir;
    sqfix::BuiltBase built;
    ServerProcess server;
    qclient::Connection c;
};

// Message 3's frame links to itself as next and previous: freeing it would leave it on both
// chains and cut messages 4 to 12 off the chain. The delete is refused, nothing written.
TEST_F(DamagedBase, ADeleteOfASelfLinkedFrameIsRefusedWithNothingWritten) {
    const std::string sqd = sqfix::fileOf(dir.file("echo"), ".SQD");
    sqfix::patchU32(sqd, built.frameOffsets[2] + sqfix::off::kNextFrame, built.frameOffsets[2]);
    sqfix::patchU32(sqd, built.frameOffsets[2] + sqfix::off::kPrevFrame, built.frameOffsets[2]);
    std::vector<uint8_t> before = sqfix::readFileBytes(sqd);
    EXPECT_EQ(c.deleteMsg(0, 3), Status::Refused);
    EXPECT_EQ(sqfix::readFileBytes(sqd), before);
    EXPECT_TRUE(waitUntil([&] { return server.countErr("links to itself") == 1; }, kPromptMs)) << server.err();
}

// Every frame has its index record, but the last frame's record is not the last one: the
// index is only out of chain order, and a post goes through at once.
TEST_F(DamagedBase, APostIntoABaseWhoseIndexIsOutOfChainOrderGoesThrough) {
    const std::string sqi = sqfix::fileOf(dir.file("echo"), ".SQI");
    std::vector<uint8_t> bytes = sqfix::readFileBytes(sqi);
    std::rotate(bytes.begin(), bytes.end() - 12, bytes.end());  // the last record first
    sqfix::writeFileBytes(sqi, bytes);
    pktMessage m;
    copyField(m.header.toName, "All", sizeof m.header.toName);
    copyField(m.header.subject, "After", sizeof m.header.subject);
    EXPECT_EQ(c.post(m, "Text\r"), Status::Ok) << server.err();
    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(c.getMsgList(0, headers), Status::Ok);
    ASSERT_EQ(headers.size(), 13u);
    EXPECT_EQ(std::string(headers.back().subject), "After");
}

}  // namespace
