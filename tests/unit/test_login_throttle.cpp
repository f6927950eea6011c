// The login throttle on a clock of its own: the doubled delay of a network's hellos, the
// account's turns for hellos from networks new to it, IPv6 peers counted by their /64, and
// the summary lines.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "accounts/login_throttle.h"

namespace {

using namespace std::chrono_literals;
using Time = LoginThrottle::Time;

const NetAddress kHere = NetAddress::ipv4(htonl(0x7F000001));   // 127.0.0.1
const NetAddress kThere = NetAddress::ipv4(htonl(0x0A000002));  // 10.0.0.2
const LoginAccount kAnn{"Ann Reader", {2, 5020, 1042, 0}};
const LoginAccount kBob{"Bob", {2, 5020, 1042, 1}};

NetAddress v6(const char* text) {
    NetAddress a;
    EXPECT_TRUE(parseAddressLiteral(text, a)) << text;
    return a;
}

// The n-th IPv4 address of a crowd of peers: 10.1.x.y.
NetAddress crowd(int n) { return NetAddress::ipv4(htonl(0x0A010000u + uint32_t(n))); }

// Accounts that no two failures share, for failures that must count per network only.
LoginAccount crowdAccount(uint32_t n) { return LoginAccount{"Guess " + std::to_string(n), {1, 1, 1, 0}}; }

using Duration = LoginThrottle::Duration;

ThrottleLimits limits() {
    ThrottleLimits l;
    l.loginFailDelay = 2s;
    l.loginDelayMax = 30s;
    l.loginFailWindow = 10min;
    l.reportInterval = 60s;
    return l;
}

TEST(LoginThrottle, NetworkDelayDoublesPerFailureUpToItsCapAndResets) {
    const ThrottleLimits l = limits();
    const Time t0 = Time() + 1h;
    struct Case {
        uint32_t failures;
        std::chrono::seconds delay;
    } cases[] = {{0, 0s}, {1, 0s}, {2, 4s}, {3, 8s}, {4, 16s}, {5, 30s}, {6, 30s}, {40, 30s}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        LoginThrottle t;
        for (uint32_t i = 0; i < c.failures; ++i) t.recordFailure(l, kHere, crowdAccount(i), t0 + std::chrono::seconds(i));
        Time at = t0 + std::chrono::seconds(c.failures);
        EXPECT_EQ(t.helloDelay(l, kHere, at), c.delay);
        EXPECT_EQ(t.helloDelay(l, kThere, at), 0s) << "another network is not slowed";
    }

    LoginThrottle t;
    for (int i = 0; i < 3; ++i) t.recordFailure(l, kHere, kAnn, t0);
    // Refused connections are no failures.
    t.recordRefused(l, kHere, t0);
    EXPECT_EQ(t.failures(l, kHere, t0), 3u);
    // Forgotten ten minutes after the last failure...
    EXPECT_EQ(t.helloDelay(l, kHere, t0 + 10min - 1us), 8s);
    EXPECT_EQ(t.helloDelay(l, kHere, t0 + 10min), 0s);
    // ... and counted from one again after that.
    t.recordFailure(l, kHere, kAnn, t0 + 10min);
    EXPECT_EQ(t.failures(l, kHere, t0 + 10min), 1u);
    // A successful login from the network resets it at once.
    t.recordFailure(l, kHere, kAnn, t0 + 10min);
    EXPECT_EQ(t.helloDelay(l, kHere, t0 + 10min), 4s);
    t.recordSuccess(l, kHere, kAnn, t0 + 10min);
    EXPECT_EQ(t.helloDelay(l, kHere, t0 + 10min), 0s);
}

TEST(LoginThrottle, PeersCountByTheirNetwork) {
    const ThrottleLimits l = limits();
    const Time t0 = Time() + 1h;
    struct Case {
        const char* name;
        NetAddress first, second;
        bool sameNetwork;
    } cases[] = {
        {"one IPv4 address, two ports", NetAddress::ipv4(htonl(0x7F000001), 40001),
         NetAddress::ipv4(htonl(0x7F000001), 40002), true},
        {"two IPv4 addresses", kHere, NetAddress::ipv4(htonl(0x7F000002)), false},
        {"one IPv6 /64", v6("2001:db8:1:2::1"), v6("2001:db8:1:2:ffff:ffff:ffff:ffff"), true},
        {"neighbouring IPv6 /64s", v6("2001:db8:1:2::1"), v6("2001:db8:1:3::1"), false},
        {"IPv4 and IPv6", kHere, v6("::1"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoginThrottle t;
        t.recordFailure(l, c.first, kAnn, t0);
        t.recordFailure(l, c.first, kAnn, t0);
        EXPECT_EQ(t.failures(l, c.second, t0), c.sameNetwork ? 2u : 0u);
        EXPECT_EQ(t.helloDelay(l, c.second, t0), c.sameNetwork ? 4s : 0s);
    }
    // The prefix is a setting: with /128 every IPv6 address is its own network.
    ThrottleLimits whole = l;
    whole.ipv6PrefixLength = 128;
    LoginThrottle t;
    t.recordFailure(whole, v6("2001:db8::1"), kAnn, t0);
    EXPECT_EQ(t.failures(whole, v6("2001:db8::2"), t0), 0u);
    EXPECT_EQ(t.failures(whole, v6("2001:db8::1"), t0), 1u);
}

TEST(LoginThrottle, GuessingFromManyNetworksWaitsForTheAccountsTurnsButNotItsKnownNetworks) {
    const ThrottleLimits l = limits();
    const Time t0 = Time() + 1h;
    LoginThrottle t;
    // The real user logged in from here a week ago.
    t.recordSuccess(l, kHere, kAnn, t0 - 24h * 7);
    // Guesses from ever new networks: each network fails once, so none is slowed itself.
    for (int i = 0; i < int(kAccountFailuresBeforeDelay) - 1; ++i) {
        EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(i), t0), 0s) << "below the count, at once";
        t.recordFailure(l, crowd(i), kAnn, t0);
    }
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(50), t0), 0s);
    t.recordFailure(l, crowd(50), kAnn, t0);
    ASSERT_EQ(t.accountFailures(l, kAnn, t0), kAccountFailuresBeforeDelay);
    // Past the count: one hello at a time, each the account's delay after the last.
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(100), t0), 0s);
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(101), t0), 2s);
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(102), t0), 4s);
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(103), t0 + 1s), 5s);
    // The known network is not held; nor is another account.
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, kHere, t0), 0s);
    EXPECT_EQ(t.takeAccountTurn(l, kBob, crowd(104), t0), 0s);
    // Each further failure doubles the turn's length, up to the cap.
    for (int i = 0; i < 10; ++i) t.recordFailure(l, crowd(200 + i), kAnn, t0 + 2s);
    Time later = t0 + 20s;
    Duration first = t.takeAccountTurn(l, kAnn, crowd(300), later);
    Duration second = t.takeAccountTurn(l, kAnn, crowd(301), later);
    EXPECT_EQ(second - first, l.loginDelayMax);
    // Forgotten after the window without a failure.
    EXPECT_EQ(t.accountFailures(l, kAnn, t0 + 2s + 10min), 0u);
    EXPECT_EQ(t.takeAccountTurn(l, kAnn, crowd(400), t0 + 2s + 10min), 0s);
    // A good login long ago makes no network known.
    LoginThrottle old;
    old.recordSuccess(l, kHere, kAnn, t0 - kKnownNetworkTime);
    for (int i = 0; i < 6; ++i) old.recordFailure(l, crowd(i), kAnn, t0);
    old.takeAccountTurn(l, kAnn, crowd(500), t0);
    EXPECT_GT(old.takeAccountTurn(l, kAnn, kHere, t0), 0s);
}

TEST(LoginThrottle, OneSummaryPerNetworkAndAccountAndInterval) {
    const ThrottleLimits l = limits();
    const Time t0 = Time() + 1h;
    LoginThrottle t;
    EXPECT_EQ(t.nextReport(), Time::max());
    t.recordFailure(l, kHere, kAnn, t0);
    t.recordRefused(l, kHere, t0 + 10s);
    t.recordFailure(l, kHere, kBob, t0 + 20s);
    t.recordRefused(l, kThere, t0 + 30s);
    t.recordFailure(l, kThere, kAnn, t0 + 40s);
    EXPECT_EQ(t.nextReport(), t0 + 60s);
    std::vector<std::string> lines;
    auto network = [&](const NetAddress& address, uint32_t failed, uint32_t refused) {
        char text[kAddressTextSize];
        hostText(address, text, sizeof text);
        lines.push_back(std::string(text) + ": " + std::to_string(failed) + "/" + std::to_string(refused));
    };
    auto account = [&](const LoginAccount& a, uint32_t failed, uint32_t networks, LoginThrottle::Duration delay) {
        lines.push_back(a.name + ": " + std::to_string(failed) + " from " + std::to_string(networks) + ", " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) + " s");
    };
    t.reportDue(l, t0 + 60s - 1us, network, account);
    EXPECT_TRUE(lines.empty());
    t.reportDue(l, t0 + 60s, network, account);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"127.0.0.1: 2/1", "Ann Reader: 2 from 2, 0 s"}));
    lines.clear();
    t.reportDue(l, t0 + 90s, network, account);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"10.0.0.2: 1/1", "Bob: 1 from 1, 0 s"}));
    // Nothing new: no line, and what has nothing left to remember is forgotten.
    lines.clear();
    t.reportDue(l, t0 + 200s, network, account);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(t.networkCount(), 2u);  // their failures are still remembered
    t.reportDue(l, t0 + 40s + l.loginFailWindow, network, account);
    EXPECT_EQ(t.networkCount(), 0u);
    EXPECT_EQ(t.accountCount(), 0u);
    EXPECT_EQ(t.nextReport(), Time::max());
}

}  // namespace
