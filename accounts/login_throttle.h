// Slows password guessing down without ever locking anyone out: failed logins are counted
// per network address, and an address with failures has its next hellos answered only
// after a delay that doubles with each further failure. Behind a tunnel every client comes
// from one address, so nothing here refuses a login by itself. The same records collect,
// per address, what the console's summary line of each interval reports. An address is
// the peer's IPv4 or IPv6 address; its port does not count.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "support/socket.h"

// The times the throttle works with.
struct ThrottleLimits {
    using Duration = std::chrono::microseconds;
    Duration loginFailDelay = std::chrono::seconds(2);    // before the refusal of a failed login
    Duration loginDelayMax = std::chrono::seconds(30);    // the doubled delay of an address's next hello
    Duration loginFailWindow = std::chrono::minutes(10);  // failures older than this are forgotten
    Duration reportInterval = std::chrono::minutes(1);    // summary lines, at most one per interval
};

class LoginThrottle {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Duration = ThrottleLimits::Duration;

    // How long a hello from this address waits before it is answered: none while the
    // address has at most one failure in the window; after n failures loginFailDelay times
    // 2^(n-1), at most loginDelayMax.
    Duration helloDelay(const ThrottleLimits& limits, const NetAddress& address, Time now) const;
    // Number of failures of the address still remembered.
    uint32_t failures(const ThrottleLimits& limits, const NetAddress& address, Time now) const;

    // A failed login (unknown user or address, wrong answer).
    void recordFailure(const ThrottleLimits& limits, const NetAddress& address, Time now);
    // A connection closed at once because the address had too many logins waiting.
    void recordRefused(const ThrottleLimits& limits, const NetAddress& address, Time now);
    // A successful login: the address's failures are forgotten.
    void recordSuccess(const NetAddress& address);

    // Calls `report` for each address whose summary is due by `now` and has something to
    // say (failed logins and refused connections since its last summary), and forgets what
    // is no longer needed.
    void reportDue(const ThrottleLimits& limits, Time now,
                   const std::function<void(const NetAddress& address, uint32_t failed, uint32_t refused)>& report);
    // When reportDue next has something to do (a summary, or an address to forget);
    // Time::max() for never.
    Time nextReport() const { return nextReport_; }

    size_t addressCount() const { return records_.size(); }

private:
    struct Record {
        uint32_t failures = 0;
        Time lastFailure{};
        uint32_t failedSinceReport = 0;
        uint32_t refusedSinceReport = 0;
        Time reportAt = Time::max();  // set by the first event after a summary
    };
    bool expired(const ThrottleLimits& limits, const Record& r, Time now) const;
    void scheduleReport(const ThrottleLimits& limits, Record& r, Time now);

    std::unordered_map<NetAddress, Record, NetAddressHash> records_;  // by address (the port is left out)
    Time nextReport_ = Time::max();
};
