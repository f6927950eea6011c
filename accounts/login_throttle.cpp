#include "accounts/login_throttle.h"

#include <algorithm>

namespace {

// Records kept at most: past these, new networks and accounts go uncounted rather than
// let a flood of addresses or names fill the memory (the other record still slows them).
constexpr size_t kMaxNetworks = 100000;
constexpr size_t kMaxAccounts = 20000;
// Networks an account remembers a good login of, and counts in one summary line.
constexpr size_t kMaxKnownNetworks = 64;
constexpr size_t kMaxNetworksPerLine = 1024;

}  // namespace

std::string LoginThrottle::keyOf(const LoginAccount& account) {
    return account.name + '\0' + formatFidoAddr(account.address);
}

bool LoginThrottle::expired(const ThrottleLimits& limits, uint32_t failures, Time lastFailure, Time now) const {
    return failures == 0 || now - lastFailure >= limits.loginFailWindow;
}

uint32_t LoginThrottle::failures(const ThrottleLimits& limits, const NetAddress& peer, Time now) const {
    auto it = networks_.find(peer.network(limits.ipv6PrefixLength));
    if (it == networks_.end() || expired(limits, it->second.failures, it->second.lastFailure, now)) return 0;
    return it->second.failures;
}

LoginThrottle::Duration LoginThrottle::helloDelay(const ThrottleLimits& limits, const NetAddress& peer, Time now) const {
    uint32_t n = failures(limits, peer, now);
    if (n < 2) return Duration::zero();
    Duration d = limits.loginFailDelay;
    for (uint32_t i = 1; i < n && d < limits.loginDelayMax; ++i) d *= 2;
    return std::min(d, limits.loginDelayMax);
}

uint32_t LoginThrottle::accountFailures(const ThrottleLimits& limits, const LoginAccount& account, Time now) const {
    auto it = accounts_.find(keyOf(account));
    if (it == accounts_.end() || expired(limits, it->second.failures, it->second.lastFailure, now)) return 0;
    return it->second.failures;
}

LoginThrottle::Duration LoginThrottle::accountDelay(const ThrottleLimits& limits, uint32_t failures) const {
    if (failures < kAccountFailuresBeforeDelay) return Duration::zero();
    Duration d = limits.loginFailDelay;
    for (uint32_t i = kAccountFailuresBeforeDelay; i < failures && d < limits.loginDelayMax; ++i) d *= 2;
    return std::min(d, limits.loginDelayMax);
}

LoginThrottle::Duration LoginThrottle::takeAccountTurn(const ThrottleLimits& limits, const LoginAccount& account,
                                                       const NetAddress& peer, Time now) {
    auto it = accounts_.find(keyOf(account));
    if (it == accounts_.end()) return Duration::zero();
    AccountRecord& r = it->second;
    if (expired(limits, r.failures, r.lastFailure, now)) return Duration::zero();
    const Duration delay = accountDelay(limits, r.failures);
    if (delay == Duration::zero()) return Duration::zero();
    auto known = r.knownNetworks.find(peer.network(limits.ipv6PrefixLength));
    if (known != r.knownNetworks.end() && now - known->second < kKnownNetworkTime) return Duration::zero();
    // One hello at a time: each waits for the account's next turn and moves it on.
    Time turn = std::max(now, r.nextTurn);
    r.nextTurn = turn + delay;
    return std::chrono::duration_cast<Duration>(turn - now);
}

void LoginThrottle::schedule(const ThrottleLimits& limits, Time& reportAt, Time now) {
    if (reportAt == Time::max()) reportAt = now + limits.reportInterval;
    nextReport_ = std::min(nextReport_, reportAt);
}

void LoginThrottle::recordFailure(const ThrottleLimits& limits, const NetAddress& peer, const LoginAccount& account,
                                  Time now) {
    const NetAddress network = peer.network(limits.ipv6PrefixLength);
    auto n = networks_.find(network);
    if (n == networks_.end() && networks_.size() < kMaxNetworks) n = networks_.emplace(network, NetworkRecord()).first;
    if (n != networks_.end()) {
        NetworkRecord& r = n->second;
        if (expired(limits, r.failures, r.lastFailure, now)) r.failures = 0;
        if (r.failures < UINT32_MAX) ++r.failures;
        r.lastFailure = now;
        ++r.failedSinceReport;
        schedule(limits, r.reportAt, now);
    }

    const std::string key = keyOf(account);
    auto a = accounts_.find(key);
    if (a == accounts_.end() && accounts_.size() < kMaxAccounts) {
        a = accounts_.emplace(key, AccountRecord()).first;
        a->second.account = account;
    }
    if (a == accounts_.end()) return;
    AccountRecord& r = a->second;
    if (expired(limits, r.failures, r.lastFailure, now)) r.failures = 0;
    if (r.failures < UINT32_MAX) ++r.failures;
    r.lastFailure = now;
    ++r.failedSinceReport;
    if (r.networksSinceReport.size() < kMaxNetworksPerLine) r.networksSinceReport[network] = true;
    schedule(limits, r.reportAt, now);
}

void LoginThrottle::recordRefused(const ThrottleLimits& limits, const NetAddress& peer, Time now) {
    const NetAddress network = peer.network(limits.ipv6PrefixLength);
    auto n = networks_.find(network);
    if (n == networks_.end() && networks_.size() < kMaxNetworks) n = networks_.emplace(network, NetworkRecord()).first;
    if (n == networks_.end()) return;
    ++n->second.refusedSinceReport;
    schedule(limits, n->second.reportAt, now);
}

void LoginThrottle::recordSuccess(const ThrottleLimits& limits, const NetAddress& peer, const LoginAccount& account,
                                  Time now) {
    const NetAddress network = peer.network(limits.ipv6PrefixLength);
    auto n = networks_.find(network);
    if (n != networks_.end()) n->second.failures = 0;

    const std::string key = keyOf(account);
    auto a = accounts_.find(key);
    if (a == accounts_.end()) {
        if (accounts_.size() >= kMaxAccounts) return;
        a = accounts_.emplace(key, AccountRecord()).first;
        a->second.account = account;
    }
    auto& known = a->second.knownNetworks;
    if (known.size() >= kMaxKnownNetworks && known.find(network) == known.end()) {
        auto oldest = std::min_element(known.begin(), known.end(),
                                       [](const auto& x, const auto& y) { return x.second < y.second; });
        known.erase(oldest);
    }
    known[network] = now;
    // The account is remembered as long as a network is known to it.
    nextReport_ = std::min(nextReport_, now + kKnownNetworkTime);
}

void LoginThrottle::reportDue(const ThrottleLimits& limits, Time now, const NetworkReport& networkReport,
                              const AccountReport& accountReport) {
    if (now < nextReport_) return;
    nextReport_ = Time::max();
    for (auto it = networks_.begin(); it != networks_.end();) {
        NetworkRecord& r = it->second;
        if (r.reportAt <= now) {
            if (r.failedSinceReport > 0 || r.refusedSinceReport > 0)
                networkReport(it->first, r.failedSinceReport, r.refusedSinceReport);
            r.failedSinceReport = r.refusedSinceReport = 0;
            r.reportAt = Time::max();
        }
        // A network with nothing left to delay and nothing to report is forgotten.
        if (r.reportAt == Time::max() && expired(limits, r.failures, r.lastFailure, now)) {
            it = networks_.erase(it);
            continue;
        }
        // Come back when it is due or can be forgotten.
        nextReport_ = std::min(nextReport_, r.reportAt);
        if (r.failures > 0) nextReport_ = std::min(nextReport_, r.lastFailure + limits.loginFailWindow);
        ++it;
    }
    for (auto it = accounts_.begin(); it != accounts_.end();) {
        AccountRecord& r = it->second;
        const bool failing = !expired(limits, r.failures, r.lastFailure, now);
        if (r.reportAt <= now) {
            if (r.failedSinceReport > 0)
                accountReport(r.account, r.failedSinceReport, uint32_t(r.networksSinceReport.size()),
                              failing ? accountDelay(limits, r.failures) : Duration::zero());
            r.failedSinceReport = 0;
            r.networksSinceReport.clear();
            r.reportAt = Time::max();
        }
        for (auto k = r.knownNetworks.begin(); k != r.knownNetworks.end();)
            k = now - k->second >= kKnownNetworkTime ? r.knownNetworks.erase(k) : std::next(k);
        if (r.reportAt == Time::max() && !failing && r.knownNetworks.empty()) {
            it = accounts_.erase(it);
            continue;
        }
        nextReport_ = std::min(nextReport_, r.reportAt);
        if (failing) nextReport_ = std::min(nextReport_, r.lastFailure + limits.loginFailWindow);
        for (const auto& k : r.knownNetworks) nextReport_ = std::min(nextReport_, k.second + kKnownNetworkTime);
        ++it;
    }
}
