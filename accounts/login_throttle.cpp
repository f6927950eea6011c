#include "accounts/login_throttle.h"

#include <algorithm>

bool LoginThrottle::expired(const ThrottleLimits& limits, const Record& r, Time now) const {
    return r.failures == 0 || now - r.lastFailure >= limits.loginFailWindow;
}

uint32_t LoginThrottle::failures(const ThrottleLimits& limits, const NetAddress& address, Time now) const {
    auto it = records_.find(address.host());
    if (it == records_.end() || expired(limits, it->second, now)) return 0;
    return it->second.failures;
}

LoginThrottle::Duration LoginThrottle::helloDelay(const ThrottleLimits& limits, const NetAddress& address, Time now) const {
    uint32_t n = failures(limits, address, now);
    if (n < 2) return Duration::zero();
    Duration d = limits.loginFailDelay;
    for (uint32_t i = 1; i < n && d < limits.loginDelayMax; ++i) d *= 2;
    return std::min(d, limits.loginDelayMax);
}

void LoginThrottle::scheduleReport(const ThrottleLimits& limits, Record& r, Time now) {
    if (r.reportAt == Time::max()) r.reportAt = now + limits.reportInterval;
    nextReport_ = std::min(nextReport_, r.reportAt);
}

void LoginThrottle::recordFailure(const ThrottleLimits& limits, const NetAddress& address, Time now) {
    Record& r = records_[address.host()];
    if (expired(limits, r, now)) r.failures = 0;
    if (r.failures < UINT32_MAX) ++r.failures;
    r.lastFailure = now;
    ++r.failedSinceReport;
    scheduleReport(limits, r, now);
}

void LoginThrottle::recordRefused(const ThrottleLimits& limits, const NetAddress& address, Time now) {
    Record& r = records_[address.host()];
    ++r.refusedSinceReport;
    scheduleReport(limits, r, now);
}

void LoginThrottle::recordSuccess(const NetAddress& address) {
    auto it = records_.find(address.host());
    if (it != records_.end()) it->second.failures = 0;
}

void LoginThrottle::reportDue(const ThrottleLimits& limits, Time now,
                              const std::function<void(const NetAddress&, uint32_t, uint32_t)>& report) {
    if (now < nextReport_) return;
    nextReport_ = Time::max();
    for (auto it = records_.begin(); it != records_.end();) {
        Record& r = it->second;
        if (r.reportAt <= now) {
            if (r.failedSinceReport > 0 || r.refusedSinceReport > 0)
                report(it->first, r.failedSinceReport, r.refusedSinceReport);
            r.failedSinceReport = r.refusedSinceReport = 0;
            r.reportAt = Time::max();
        }
        // An address with nothing left to delay and nothing to report is forgotten.
        if (r.reportAt == Time::max() && expired(limits, r, now)) {
            it = records_.erase(it);
            continue;
        }
        // Come back when it is due or can be forgotten.
        nextReport_ = std::min(nextReport_, r.reportAt);
        if (r.failures > 0) nextReport_ = std::min(nextReport_, r.lastFailure + limits.loginFailWindow);
        ++it;
    }
}
