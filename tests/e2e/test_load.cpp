// Load and fault test against the real binary on loopback: many clients log in, list,
// fetch and post in both area formats while others connect and vanish mid-packet, stall,
// or send garbage. Afterwards every posted message is present exactly once and the Squish
// base passes the integrity check. Bounded in clients, rounds and time.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"

// An AddressSanitizer build: g++ says so with __SANITIZE_ADDRESS__, clang (before 16) only
// through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVA_ASAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 8;
constexpr int kRoundsPerWorker = 25;

struct Figures {
    std::atomic<int> requests{0};
    std::atomic<int> failures{0};
    std::atomic<int64_t> longestWaitUs{0};
    std::mutex lock;
    std::vector<std::string> problems;

    void note(const std::string& what) {
        std::lock_guard<std::mutex> g(lock);
        problems.push_back(what);
        ++failures;
    }
    void waited(Clock::time_point start) {
        int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        int64_t old = longestWaitUs.load();
        while (us > old && !longestWaitUs.compare_exchange_weak(old, us)) {
        }
        ++requests;
    }
};

std::string workerName(int i) { return "Load User " + std::to_string(i); }
FidoAddr workerAddr(int i) { return FidoAddr{2, 5020, uint16_t(100 + i), 0}; }

// One well-behaved client: logs in, then lists, fetches and posts in both areas.
void runWorker(int id, uint16_t port, Figures& f, std::vector<std::string>& posted) {
    qclient::Connection c;
    c.setTimeout(60000);
    if (!c.connect("127.0.0.1", port)) return f.note("worker " + std::to_string(id) + ": connect");
    auto t0 = Clock::now();
    if (c.login(workerName(id), "pw" + std::to_string(id), workerAddr(id)) != qclient::Status::Ok)
        return f.note("worker " + std::to_string(id) + ": login");
    f.waited(t0);
    std::mt19937 rng{uint32_t(id)};
    for (int round = 0; round < kRoundsPerWorker; ++round) {
        int32_t area = int32_t(rng() % 2);
        std::vector<pktAreaInfo> areas;
        t0 = Clock::now();
        if (c.getAreaList(areas) != qclient::Status::Ok || areas.size() != 2) return f.note("area list");
        f.waited(t0);

        std::vector<pktMsgHeader> headers;
        t0 = Clock::now();
        if (c.getMsgList(area, headers) != qclient::Status::Ok) return f.note("message list");
        f.waited(t0);
        if (!headers.empty()) {
            pktMessage m;
            std::vector<std::string> lines;
            uint32_t number = headers[rng() % headers.size()].msgNumber;
            t0 = Clock::now();
            qclient::Status s = c.getMessage(area, number, m, lines);
            // Another client may have deleted nothing here, so a listed message must be readable.
            if (s != qclient::Status::Ok) return f.note("fetch of a listed message");
            f.waited(t0);
        }

        pktMessage post;
        std::string tag = "load-" + std::to_string(id) + "-" + std::to_string(round);
        snprintf(post.header.fromName, sizeof post.header.fromName, "%s", workerName(id).c_str());
        snprintf(post.header.toName, sizeof post.header.toName, "All");
        snprintf(post.header.subject, sizeof post.header.subject, "%s", tag.c_str());
        post.destAddr = FidoAddr{2, 5020, 1, 0};
        post.areaNumber = area;
        post.attributes = 0x0100;
        std::string text = "Posted by the load test.\rRound " + std::to_string(round) + "\r";
        t0 = Clock::now();
        if (c.post(post, text) != qclient::Status::Ok) return f.note("post " + tag);
        f.waited(t0);
        posted.push_back(std::to_string(area) + ":" + tag);

        t0 = Clock::now();
        if (c.ping() != qclient::Status::Ok) return f.note("ping");
        f.waited(t0);
    }
    c.logout();
}

// Clients that misbehave: vanish mid-packet, send garbage, or stall in a header.
void runNuisance(int kind, uint16_t port, int count) {
    std::mt19937 rng{uint32_t(1000 + kind)};
    for (int i = 0; i < count; ++i) {
        qclient::Connection c;
        if (!c.connect("127.0.0.1", port)) continue;
        switch (kind) {
        case 0: {  // half a header, then gone
            uint8_t half[3] = {10, 0, 0};
            c.sendRaw(half, sizeof half);
            break;
        }
        case 1: {  // garbage bytes
            std::vector<uint8_t> junk(1 + rng() % 300);
            for (auto& b : junk) b = uint8_t(rng());
            c.sendRaw(junk.data(), junk.size());
            c.waitClosed(30000);
            break;
        }
        case 2: {  // a hello that announces more data than it sends, then gone
            uint8_t h[8 + 20] = {};
            putU32(h, 10);
            putU32(h + 4, 84);
            c.sendRaw(h, sizeof h);
            break;
        }
        default: {  // a stall in the middle of a header: closed after packetTimeout, holding nobody
            uint8_t part[5] = {2, 0, 0, 0, 0};
            c.sendRaw(part, sizeof part);
            c.waitClosed(30000);
            break;
        }
        }
    }
}

TEST(LoadAndFaults, ManyClientsWithFaultsLoseNothing) {
    TempDir dir;
    dir.mkdir("netmail");
    sqfix::buildBase(dir.file("echo"), {});
    // All clients come from one address, many of them at once before their login.
    // The check at the end lists every user's netmail.
    std::string settings = "squishCfg " + dir.file("areas.cfg") +
                           "\nmaxPendingLogins 100\nmaxPendingSessions 100\npacketTimeout 2\nnetmailVisibility all\n";
    for (int i = 0; i < kWorkers; ++i) {
        FidoAddr a = workerAddr(i);
        settings += "user " + workerName(i) + ",pw" + std::to_string(i) + "," + std::to_string(a.zone) + ":" +
                    std::to_string(a.net) + "/" + std::to_string(a.node) + "\n";
    }
    dir.write("areas.cfg", "EchoArea LOAD.ECHO " + dir.file("echo") + "\nNetArea NETMAIL " + dir.file("netmail") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, settings)) << server.err();

    Figures f;
    std::vector<std::vector<std::string>> posted(kWorkers);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; ++i)
        threads.emplace_back(runWorker, i, server.port(), std::ref(f), std::ref(posted[size_t(i)]));
    threads.emplace_back(runNuisance, 0, server.port(), 20);
    threads.emplace_back(runNuisance, 1, server.port(), 20);
    threads.emplace_back(runNuisance, 2, server.port(), 10);
    threads.emplace_back(runNuisance, 3, server.port(), 1);
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Every post is present exactly once, in the area it was posted to.
    qclient::Connection check;
    ASSERT_TRUE(server.connect(check));
    ASSERT_EQ(check.login(workerName(0), "pw0", workerAddr(0)), qclient::Status::Ok);
    std::map<std::string, int> seen;
    for (int32_t area = 0; area < 2; ++area) {
        std::vector<pktMsgHeader> headers;
        ASSERT_EQ(check.getMsgList(area, headers), qclient::Status::Ok);
        for (const auto& h : headers) ++seen[std::to_string(area) + ":" + std::string(h.subject, strnlen(h.subject, 72))];
    }
    size_t expected = 0;
    for (const auto& list : posted)
        for (const auto& tag : list) {
            ++expected;
            EXPECT_EQ(seen[tag], 1) << tag;
        }
    EXPECT_EQ(expected, size_t(kWorkers * kRoundsPerWorker));
    std::vector<std::string> problems = sqfix::checkBase(dir.file("echo"));
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(f.failures.load(), 0) << (f.problems.empty() ? "" : f.problems.front());

    std::cout << "load figures: clients " << kWorkers << " (+51 misbehaving connections), requests " << f.requests
              << ", failures " << f.failures << ", longest wait for an answer "
              << double(f.longestWaitUs.load()) / 1000.0 << " ms, run " << seconds << " s\n";
    EXPECT_EQ(check.logout(), qclient::Status::Ok);
    server.pressKey();
    EXPECT_EQ(server.waitExit(20000), 0) << server.err();
}

// Resident memory of a process in KiB, from /proc.
long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Thousands of requests, refused and malformed ones among them, leave the server's resident
// memory flat once its buffers have reached their working size.
TEST(LoadAndFaults, MemoryStaysFlatOverThousandsOfRequests) {
    TempDir dir;
    dir.mkdir("netmail");
    sqfix::Message m;
    m.control = "\x01MSGID: 2:5020/1.0 12345678";
    m.text = std::string(3000, 'x');
    sqfix::buildBase(dir.file("echo"), std::vector<sqfix::Message>(40, m));
    dir.write("areas.cfg", "EchoArea E " + dir.file("echo") + "\nNetArea N " + dir.file("netmail") + "\n");
    ServerProcess server;
    // Refused logins are answered without their delay here: hundreds of them come from one
    // address.
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") +
                                      "\nloginFailDelay 0\nloginDelayMax 0\nuser Mem,pw,2:5020/1\n"))
        << server.err();

    auto burst = [&](int rounds) {
        qclient::Connection c;
        ASSERT_TRUE(server.connect(c));
        ASSERT_EQ(c.login("Mem", "pw", FidoAddr{2, 5020, 1, 0}), qclient::Status::Ok);
        for (int i = 0; i < rounds; ++i) {
            std::vector<pktMsgHeader> headers;
            ASSERT_EQ(c.getMsgList(0, headers), qclient::Status::Ok);
            pktMessage msg;
            std::vector<std::string> lines;
            ASSERT_EQ(c.getMessage(0, headers[size_t(i) % headers.size()].msgNumber, msg, lines), qclient::Status::Ok);
            ASSERT_EQ(c.getMessage(0, 999999, msg, lines), qclient::Status::Refused);
            ASSERT_EQ(c.deleteMsg(1, 4242), qclient::Status::Refused);
            std::vector<pktAreaInfo> areas;
            ASSERT_EQ(c.getAreaList(areas), qclient::Status::Ok);
        }
        c.logout();
        // Refused logins and malformed packets.
        for (int i = 0; i < rounds / 10; ++i) {
            {
                // The server drains a refused connection until the client closes its side.
                qclient::Connection bad;
                ASSERT_TRUE(server.connect(bad));
                EXPECT_EQ(bad.login("Nobody", "x", FidoAddr{1, 1, 1, 1}), qclient::Status::Refused);
            }
            qclient::Connection junk;
            ASSERT_TRUE(server.connect(junk));
            uint8_t h[8] = {4, 0, 0, 0, 0, 0, 0, 0};
            junk.sendRaw(h, sizeof h);
            EXPECT_TRUE(junk.waitClosed(20000));
        }
    };
    burst(300);
    long warm = residentKiB(server.pid());
    burst(1500);
    long after = residentKiB(server.pid());
    ASSERT_GT(warm, 0);
    std::cout << "resident memory: " << warm << " KiB after warm-up, " << after << " KiB after 7,500 more requests\n";
#ifndef QUORVA_ASAN
    // (AddressSanitizer keeps freed memory in quarantine, so there only its leak check counts.)
    EXPECT_LT(after - warm, 2048) << "resident memory grew from " << warm << " to " << after << " KiB";
#endif
    server.pressKey();
    EXPECT_EQ(server.waitExit(20000), 0) << server.err();  // LeakSanitizer, when built in, checks at exit
}

}  // namespace
