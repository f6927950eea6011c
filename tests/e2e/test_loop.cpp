// The one loop against the real binary on loopback: clients that are silent, drip their
// bytes or never read their replies cost the others nothing; every deadline closes the
// clients that overstay; failed logins are slowed per address and waiting logins capped;
// the session cap; a stop signal during a connection flood; a post that waits out another
// writer's Squish lock; and a process out of descriptors. Deadlines are shortened through
// the settings file; every wait is for a condition, with a generous bound.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/packet_bytes.h"
#include "common/raw_client.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"
#include "support/md5.h"

namespace {

using Clock = std::chrono::steady_clock;
using packetbytes::Bytes;
using packetbytes::concat;
using packetbytes::header;
using qclient::Status;


const FidoAddr kAnn{2, 5020, 1, 0};

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A Squish area of 60,000 messages whose list stays large when compressed (names and
// subjects that do not repeat): about 9.6 MB of headers, more than the socket buffers of
// both sides hold.
void buildLargeBase(const std::string& path) {
    std::mt19937 rng(7);
    auto randomText = [&](size_t n) {
        std::string s(n, ' ');
        for (char& c : s) c = char(0x21 + rng() % 94);
        return s;
    };
    std::vector<sqfix::Message> big(60000);
    for (auto& m : big) {
        m.from = randomText(35);
        m.to = randomText(35);
        m.subject = randomText(71);
        m.text = "x";
    }
    sqfix::buildBase(path, big);
}

std::string userLine(const std::string& name, const std::string& password, const FidoAddr& a) {
    return "user " + name + "," + password + "," + std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" +
           std::to_string(a.node) + "." + std::to_string(a.point) + "\n";
}

// ---------------------------------------------------------------------------------------
// Clients that hold nothing up

// While 200 silent connections, 20 clients that send one byte a second and 5 clients that
// never read a list far larger than their socket buffers are connected, a logged-in client
// is served correctly; afterwards all of those are still connected and unfinished.
TEST(Loop, SilentDrippingAndNonReadingClientsCostTheOthersNothing) {
    constexpr int kSilent = 200, kDrip = 20, kNonReaders = 5;
    TempDir dir;
    buildLargeBase(dir.file("big"));
    std::vector<sqfix::Message> small(3);
    for (size_t i = 0; i < small.size(); ++i) {
        small[i].subject = "Small " + std::to_string(i);
        small[i].text = "Text of message " + std::to_string(i) + "\r";
    }
    sqfix::buildBase(dir.file("small"), small);
    dir.write("areas.cfg", "EchoArea SMALL " + dir.file("small") + "\nEchoArea BIG " + dir.file("big") + "\n");
    std::string settings = "squishCfg " + dir.file("areas.cfg") + "\nmaxSessions 400\nmaxPendingLogins 400\nmaxPendingSessions 400\n" +
                           userLine("Good", "pw", kAnn);
    for (int i = 0; i < kNonReaders; ++i) settings += userLine("Slow " + std::to_string(i), "pw", FidoAddr{2, 5020, 10, uint16_t(i)});
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, settings)) << server.err();

    std::vector<std::unique_ptr<RawClient>> silent, drip, nonReaders;
    for (int i = 0; i < kSilent; ++i) {
        silent.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(silent.back()->connect(server.port())) << i;
    }
    // Each drip client sends a hello one byte a second, from now on.
    const Bytes hello = concat(header(CID_C_HELLO, kHelloSize), Bytes(kHelloSize, 'd'));
    for (int i = 0; i < kDrip; ++i) {
        drip.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(drip.back()->connect(server.port()));
        ASSERT_TRUE(drip.back()->send(Bytes{hello[0]}));
    }
    // The dripper paces its bytes one second apart and ends at once when told to stop.
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stop = false;
    std::thread dripper([&] {
        for (size_t at = 1; at < hello.size(); ++at) {
            std::unique_lock<std::mutex> lock(stopMutex);
            if (stopped.wait_for(lock, std::chrono::seconds(1), [&] { return stop; })) return;
            lock.unlock();
            for (auto& d : drip) d->send(Bytes{hello[at]});
        }
    });
    // The non-readers ask for the large list and read nothing of it.
    for (int i = 0; i < kNonReaders; ++i) {
        nonReaders.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(nonReaders.back()->connect(server.port(), 4096));
        ASSERT_TRUE(nonReaders.back()->login("Slow " + std::to_string(i), "pw", FidoAddr{2, 5020, 10, uint16_t(i)}));
        Bytes request(4);
        putI32(request.data(), 1);
        ASSERT_TRUE(nonReaders.back()->send(concat(header(CID_C_GETMSGLIST, 4), request)));
    }

    // The good client: ping, list and fetch, correct.
    qclient::Connection good;
    ASSERT_TRUE(server.connect(good));
    good.setTimeout(kPromptMs);
    ASSERT_EQ(good.login("Good", "pw", kAnn), Status::Ok);
    EXPECT_EQ(good.ping(), Status::Ok);
    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(good.getMsgList(0, headers), Status::Ok);
    ASSERT_EQ(headers.size(), 3u);
    EXPECT_EQ(std::string(headers[2].subject), "Small 2");
    pktMessage message;
    std::vector<std::string> lines;
    ASSERT_EQ(good.getMessage(0, headers[1].msgNumber, message, lines), Status::Ok);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Text of message 1");
    EXPECT_EQ(good.ping(), Status::Ok);

    // All the others are still there, and none of them has finished.
    EXPECT_EQ(server.countOut("client disconnected."), 1) << "only the start-up probe has gone";
    for (auto& c : silent) EXPECT_TRUE(c->quietAndOpen());
    for (auto& c : drip) EXPECT_TRUE(c->quietAndOpen());
    for (auto& c : nonReaders) {
        uint8_t head[8];
        ASSERT_EQ(recv(c->fd(), head, sizeof head, MSG_PEEK), 8);
        EXPECT_EQ(getU32(head), CID_S_MSGLIST);
        size_t total = 8 + (getU32(head + 4) & ~PKT_SIZE_COMPRESSED);
        EXPECT_GT(total, size_t(9) << 19) << "larger than the socket buffers on both sides";
        EXPECT_LT(c->waiting(), total);
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stop = true;
    }
    stopped.notify_all();
    dripper.join();
    std::cout << "served with " << kSilent << " silent, " << kDrip << " dripping and " << kNonReaders
              << " non-reading clients connected\n";
    EXPECT_EQ(server.err(), "");
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kPromptMs), 0);
}

// ---------------------------------------------------------------------------------------
// Deadlines

TEST(Loop, DeadlinesCloseClientsThatOverstay) {
    TempDir dir;
    buildLargeBase(dir.file("echo"));
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") +
                                      "\nhelloTimeout 1\npacketTimeout 1\nauthTimeout 1\nidleTimeout 1\n"
                                      "replyTimeout 1\n" +
                                      userLine("Ann", "pw", kAnn) + userLine("Bob", "pw", FidoAddr{2, 5020, 2, 0})))
        << server.err();
    const uint16_t port = server.port();
    struct Case {
        const char* name;
        std::function<bool(RawClient&)> behave;  // false: the set-up failed
        std::string err;                          // the line of the close
    };
    const Case cases[] = {
        {"no hello", [](RawClient&) { return true; }, "error: client timeout.\n\n"},
        {"a hello that never ends",
         [](RawClient& c) { return c.send(concat(header(CID_C_HELLO, kHelloSize), Bytes(10, 0))); },
         "error: readn(data) failed\n"},
        {"no answer to the challenge",
         [](RawClient& c) {
             Bytes hello(kHelloSize, 0);
             memcpy(hello.data(), "Ann", 3);
             encodeFidoAddr(kAnn, hello.data() + kHelloAddrOffset);
             uint8_t reply[28];
             return c.send(concat(header(CID_C_HELLO, kHelloSize), hello)) && c.receive(reply, sizeof reply);
         },
         "error: client timeout.\n\n"},
        {"idle after the login", [](RawClient& c) { return c.login("Ann", "pw", kAnn); }, "error: client timeout.\n\n"},
        {"a reply never read",
         [](RawClient& c) {
             Bytes request(4, 0);
             return c.login("Bob", "pw", FidoAddr{2, 5020, 2, 0}) &&
                    c.send(concat(header(CID_C_GETMSGLIST, 4), request));
         },
         "error: sendn() failed.\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int before = server.countErr(c.err);
        int closed = server.countOut("client disconnected.");
        RawClient client;
        ASSERT_TRUE(client.connect(port, 4096));
        auto start = Clock::now();
        ASSERT_TRUE(c.behave(client));
        // The server closes the connection by itself, after its limit, with today's line.
        EXPECT_TRUE(waitUntil([&] { return server.countErr(c.err) > before; }, kPromptMs)) << server.err();
        EXPECT_GE(secondsSince(start), 0.9);
        EXPECT_TRUE(client.waitClosed());
        client.close();
        EXPECT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") > closed; }, kPromptMs));
    }

    // A client that sends its hello a byte at a time is closed a second after the packet's
    // first byte, however often the bytes come.
    Bytes hello(kHelloSize, 0);
    memcpy(hello.data(), "Ann", 3);
    encodeFidoAddr(kAnn, hello.data() + kHelloAddrOffset);
    hello = concat(header(CID_C_HELLO, kHelloSize), hello);
    RawClient drip;
    ASSERT_TRUE(drip.connect(port));
    int closed = server.countOut("client disconnected.");
    auto start = Clock::now();
    bool gone = false;
    for (size_t at = 0; at < hello.size() && !gone; ++at) {
        drip.send(Bytes{hello[at]});
        gone = drip.waitClosed(100);  // paces the bytes, too
    }
    EXPECT_TRUE(gone);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") > closed; }, kPromptMs));
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kPromptMs), 0);
}

// ---------------------------------------------------------------------------------------
// Failed logins and waiting logins per address

class FailedLogins : public testing::Test {
protected:
    void start(const std::string& limits) {
        ASSERT_TRUE(server.start(dir, limits + userLine("Ann", "secret", kAnn) +
                                          userLine("Bob", "other", FidoAddr{2, 5020, 2, 0})))
            << server.err();
    }

    // Seconds from the hello to the challenge, or -1 when a CID_S_FAIL (or nothing) came.
    double helloTime(qclient::Connection& c, const std::string& name, const FidoAddr& addr, uint8_t challenge[20]) {
        auto t = Clock::now();
        Status s = c.hello(name, addr, challenge);
        return s == Status::Ok ? secondsSince(t) : -1;
    }
    // Seconds from the wrong answer to its CID_S_FAIL, or -1.
    double wrongAnswerTime(qclient::Connection& c) {
        uint8_t digest[16] = {};
        auto t = Clock::now();
        Status s = c.answer(digest);
        return s == Status::Refused ? secondsSince(t) : -1;
    }

    TempDir dir;
    ServerProcess server;
};

TEST_F(FailedLogins, DelayDoublesPerAddressAndAGoodLoginStillSucceedsAndResetsIt) {
    // Delays of 0.5 s, 1 s, 2 s, capped at 2 s: far apart enough to tell them apart.
    start("loginFailDelay 0.5\nloginDelayMax 2\n");
    qclient::Connection bystander;
    ASSERT_TRUE(server.connect(bystander));
    ASSERT_EQ(bystander.login("Bob", "other", FidoAddr{2, 5020, 2, 0}), Status::Ok);

    // The first failure, for a name nobody has: the hello is answered all the same (a
    // stranger cannot tell names from non-names), and the answer's CID_S_FAIL comes after
    // the delay, while others are served meanwhile.
    uint8_t challenge[20];
    {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        EXPECT_GE(helloTime(c, "Nobody", kAnn, challenge), 0) << "a challenge, not a refusal";
        auto t = Clock::now();
        uint8_t digest[16] = {};
        ASSERT_TRUE(c.sendPacket(CID_C_AUTH, digest, sizeof digest));
        EXPECT_EQ(bystander.ping(), Status::Ok);
        EXPECT_TRUE(c.nothingWithin(0)) << "the refusal waits";
        qclient::Reply r;
        ASSERT_TRUE(c.readReply(r));
        EXPECT_EQ(r.cmd, CID_S_FAIL);
        EXPECT_GE(secondsSince(t), 0.45);
        EXPECT_TRUE(c.waitClosed(kPromptMs));
    }
    // Only lower bounds are measured here: that a hello after one failure waits for nothing,
    // and how far each delay goes and no further, the unit tests of the throttle and the
    // sessions prove on a clock of their own, which a loaded machine cannot slow.
    // After one failure a hello is answered; its wrong answer is the second failure.
    {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        EXPECT_GE(helloTime(c, "Ann", kAnn, challenge), 0) << "a challenge, not a refusal";
        EXPECT_GE(wrongAnswerTime(c), 0.45);
    }
    // Each further failure doubles the wait before the address's next hello is answered,
    // up to the cap: 1 s after two failures, 2 s after three and after four.
    for (double expected : {1.0, 2.0, 2.0}) {
        SCOPED_TRACE(expected);
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        EXPECT_GE(helloTime(c, "Ann", kAnn, challenge), expected - 0.05);
        EXPECT_EQ(bystander.ping(), Status::Ok);
        EXPECT_GE(wrongAnswerTime(c), 0.45);
    }
    // The right password from the same address still logs in (after the wait) ...
    {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        auto t = Clock::now();
        EXPECT_EQ(c.login("Ann", "secret", kAnn), Status::Ok);
        EXPECT_GE(secondsSince(t), 1.95);
        EXPECT_EQ(c.logout(), Status::Ok);
    }
    // ... and the good login has reset the address: the next hello is answered.
    {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        EXPECT_GE(helloTime(c, "Ann", kAnn, challenge), 0);
    }
    EXPECT_EQ(server.countErr("authentication failed"), 4);
    EXPECT_EQ(server.countErr("not found"), 1);
}

TEST_F(FailedLogins, WaitingLoginsPerAddressAreCappedAndSummedUp) {
    start("maxPendingLogins 3\nreportInterval 2\nloginFailDelay 0\n");
    // A failed login ...
    {
        RawClient failing;
        ASSERT_TRUE(failing.connect(server.port()));
        uint8_t challenge[20];
        ASSERT_TRUE(failing.hello("Nobody", kAnn, challenge));
        EXPECT_FALSE(failing.answer("guess", challenge));
        EXPECT_TRUE(failing.waitClosed());
    }
    // A closing session still counts toward its address until the server has let it go.
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") == 2; }, kPromptMs)) << server.out();
    // ... then three connections that wait for their login: the most one address may have.
    std::vector<std::unique_ptr<RawClient>> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(waiting.back()->connect(server.port()));
    }
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client: 127.0.0.1") == 5; }, kPromptMs));
    // The next two from the same address are closed at once, unseen.
    for (int i = 0; i < 2; ++i) {
        RawClient extra;
        ASSERT_TRUE(extra.connect(server.port()));
        EXPECT_TRUE(extra.waitClosed());
    }
    EXPECT_EQ(server.countOut("client: 127.0.0.1"), 5);
    for (auto& c : waiting) EXPECT_TRUE(c->quietAndOpen());
    // One summary line for the address sums both up.
    EXPECT_TRUE(server.waitForErr("error: 127.0.0.1: 1 failed login(s), 2 connection(s) refused (at most 3 may wait for their login)\n",
                                  kPromptMs))
        << server.err();
    // A login frees a place: a new connection is taken and logs in too.
    ASSERT_TRUE(waiting[0]->login("Ann", "secret", kAnn));
    qclient::Connection bob;
    ASSERT_TRUE(server.connect(bob));
    EXPECT_EQ(bob.login("Bob", "other", FidoAddr{2, 5020, 2, 0}), Status::Ok);
    EXPECT_EQ(server.countErr("refused"), 1);
}

// ---------------------------------------------------------------------------------------
// Sessions and descriptors

TEST(Loop, SessionCapClosesFurtherConnectionsAndSumsThemUp) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "maxSessions 3\nmaxPendingSessions 3\nreportInterval 2\n" + userLine("Ann", "secret", kAnn)));
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(held.back()->connect(server.port()));
    }
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client: 127.0.0.1") == 4; }, kPromptMs));
    for (int i = 0; i < 4; ++i) {
        RawClient extra;
        ASSERT_TRUE(extra.connect(server.port()));
        EXPECT_TRUE(extra.waitClosed());
    }
    EXPECT_TRUE(server.waitForErr("error: 4 connection(s) refused: the server had its maximum of 3 sessions\n",
                                  kPromptMs))
        << server.err();
    for (auto& c : held) EXPECT_TRUE(c->quietAndOpen());
    // A session that ends makes room again.
    held[0]->close();
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") == 2; }, kPromptMs));
    qclient::Connection ann;
    ASSERT_TRUE(server.connect(ann));
    EXPECT_EQ(ann.login("Ann", "secret", kAnn), Status::Ok);
    EXPECT_EQ(server.countErr("refused"), 1);
}

TEST(Loop, StopSignalEndsTheServerDuringAConnectionFlood) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        ServerProcess server;
        ASSERT_TRUE(server.start(dir, "maxSessions 64\n"));
        std::atomic<bool> stop{false};
        std::atomic<int> connections{0};
        std::vector<std::thread> flood;
        for (int t = 0; t < 4; ++t)
            flood.emplace_back([&] {
                while (!stop) {
                    RawClient c;
                    if (c.connect(server.port())) {
                        ++connections;
                        c.send(Bytes{0x0A, 0});
                    }
                }
            });
        ASSERT_TRUE(waitUntil([&] { return connections > 500; }, kPromptMs));
        server.signal(sig);
        int status = server.waitExit(kPromptMs);
        stop = true;
        for (auto& t : flood) t.join();
        EXPECT_EQ(status, 0);
    }
}

// The process runs out of descriptors: a waiting connection is taken with the spare one and
// closed (reported once), and an area that cannot be opened is an error, not an empty area.
TEST(Loop, OutOfDescriptorsIsReportedNeverTakenForAnEmptyArea) {
    TempDir dir;
    sqfix::Message m;
    m.subject = "Here";
    sqfix::buildBase(dir.file("echo"), {m, m});
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + userLine("Ann", "secret", kAnn)));
    qclient::Connection ann;
    ASSERT_TRUE(server.connect(ann));
    ASSERT_EQ(ann.login("Ann", "secret", kAnn), Status::Ok);
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(ann.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), 1u);
    EXPECT_EQ(areas[0].msgCount, 2u);

    // Lower the server's limit to its lowest free descriptor: no new one can be had.
    std::set<int> used;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid()) + "/fd"))
        used.insert(std::stoi(e.path().filename().string()));
    int lowestFree = 0;
    while (used.count(lowestFree)) ++lowestFree;
    struct rlimit old, low;
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    low = old;
    low.rlim_cur = rlim_t(lowestFree);
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &low, nullptr), 0);

    for (int i = 0; i < 3; ++i) {
        RawClient c;
        ASSERT_TRUE(c.connect(server.port()));
        EXPECT_TRUE(c.waitClosed());
    }
    const std::string shortage = "error: accept() failed: waiting connections are closed until descriptors are free: " +
                                 std::string(strerror(EMFILE)) + " (" + std::to_string(EMFILE) + ")\n";
    EXPECT_TRUE(server.waitForErr(shortage, kPromptMs)) << server.err();
    const std::string areaError = peerOf(ann) + " error: area ECHO: the files of area 0 cannot be opened: " +
                                  std::string(strerror(EMFILE)) + " (" + std::to_string(EMFILE) + ")\n";
    EXPECT_NE(ann.getAreaList(areas), Status::Ok) << "no list with counts of 0";
    EXPECT_TRUE(server.waitForErr(areaError, kPromptMs)) << server.err();
    EXPECT_EQ(server.countErr("accept() failed"), 1) << "said once";

    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    qclient::Connection again;
    ASSERT_TRUE(server.connect(again));
    ASSERT_EQ(again.login("Ann", "secret", kAnn), Status::Ok);
    ASSERT_EQ(again.getAreaList(areas), Status::Ok);
    EXPECT_EQ(areas[0].msgCount, 2u);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(kPromptMs), 0);
}

// ---------------------------------------------------------------------------------------
// Another writer's Squish lock

TEST(Loop, PostWaitsOutAHeldSquishLockWithoutHoldingOthers) {
    TempDir dir;
    sqfix::buildBase(dir.file("echo"), {});
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + userLine("Ann", "secret", kAnn) +
                                      userLine("Bob", "other", FidoAddr{2, 5020, 2, 0})));
    qclient::Connection ann, bob;
    ASSERT_TRUE(server.connect(ann));
    ASSERT_TRUE(server.connect(bob));
    ASSERT_EQ(ann.login("Ann", "secret", kAnn), Status::Ok);
    ASSERT_EQ(bob.login("Bob", "other", FidoAddr{2, 5020, 2, 0}), Status::Ok);

    // A tosser's lock on the first byte of the data file.
    int lock = sqfix::lockDataFile(dir.file("echo"));
    ASSERT_GE(lock, 0);

    pktMessage post;
    copyField(post.header.fromName, "Ann", sizeof post.header.fromName);
    copyField(post.header.toName, "All", sizeof post.header.toName);
    copyField(post.header.subject, "Patience", sizeof post.header.subject);
    std::vector<uint8_t> data(kMessageRecordSize);
    encodeMessage(post, data.data());
    std::string text = "Posted while the base was locked.\r";
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
    ASSERT_TRUE(ann.sendPacket(CID_C_NEWMESSAGE, data.data(), data.size()));

    // Bob is served while Ann's post waits for the lock.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(bob.ping(), Status::Ok);
    std::vector<pktMsgHeader> headers;
    EXPECT_EQ(bob.getMsgList(0, headers), Status::Ok);
    EXPECT_TRUE(headers.empty());
    EXPECT_TRUE(ann.nothingWithin(0)) << "the post is not answered while the lock is held";

    close(lock);  // the tosser is done
    qclient::Reply r;
    ASSERT_TRUE(ann.readReply(r));
    EXPECT_EQ(r.cmd, CID_S_OK);
    EXPECT_EQ(bob.getMsgList(0, headers), Status::Ok);
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(std::string(headers[0].subject), "Patience");
    EXPECT_EQ(server.err(), "");
}

}  // namespace
