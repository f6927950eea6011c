// Slows password guessing down without ever locking anyone out.
//
// Per network: failed logins are counted for each peer network (an IPv4 address, an IPv6
// /64), and a network with failures has its next hellos answered only after a delay that
// doubles with each further failure. Behind a tunnel every client comes from one address,
// so nothing here refuses a login by itself.
//
// Per account: guessing from many networks is counted against the account the hellos name
// (a name and address, whether or not a user is registered so: the answer to a hello must
// not tell). Past kAccountFailuresBeforeDelay failures in the window, hellos for the account
// from networks that have not logged in as it lately are answered one at a time, each after
// the account's delay, which doubles with each further failure; networks with a recent good
// login go through at once, so that an attacker cannot lock the real user out.
//
// The same records collect what the console's summary lines report, one per network and
// one per account per interval.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "fido/fidoaddr.h"
#include "support/socket.h"

// The times and sizes the throttle works with.
struct ThrottleLimits {
    using Duration = std::chrono::microseconds;
    Duration loginFailDelay = std::chrono::seconds(2);    // before the refusal of a failed login
    Duration loginDelayMax = std::chrono::seconds(30);    // the doubled delay of the next hellos
    Duration loginFailWindow = std::chrono::minutes(10);  // failures older than this are forgotten
    Duration reportInterval = std::chrono::minutes(1);    // summary lines, at most one per interval
    int ipv6PrefixLength = 64;                            // IPv6 peers count by this network prefix
};

// Failures of an account before hellos for it from unknown networks wait.
constexpr uint32_t kAccountFailuresBeforeDelay = 5;
// How long a good login makes a network known to the account.
constexpr std::chrono::hours kKnownNetworkTime{24 * 30};

// The account a hello names: the name (up to its first zero, at most 36 characters) and the
// address.
struct LoginAccount {
    std::string name;
    FidoAddr address;
};

class LoginThrottle {
public:
    using Time = std::chrono::steady_clock::time_point;
    using Duration = ThrottleLimits::Duration;

    // How long a hello from this peer's network waits before it is answered: none while
    // the network has at most one failure in the window; after n failures loginFailDelay
    // times 2^(n-1), at most loginDelayMax.
    Duration helloDelay(const ThrottleLimits& limits, const NetAddress& peer, Time now) const;
    // Number of failures of the peer's network still remembered.
    uint32_t failures(const ThrottleLimits& limits, const NetAddress& peer, Time now) const;

    // The wait of a hello for the account from the peer, its turn taken: none for a network
    // that logged in as the account lately, or while the account has fewer failures than
    // kAccountFailuresBeforeDelay; otherwise until the account's next turn, each turn
    // loginFailDelay times 2^(failures - kAccountFailuresBeforeDelay) after the last, at most
    // loginDelayMax. Called once per hello, when it is about to be answered.
    Duration takeAccountTurn(const ThrottleLimits& limits, const LoginAccount& account, const NetAddress& peer,
                             Time now);
    // Failures of the account still remembered.
    uint32_t accountFailures(const ThrottleLimits& limits, const LoginAccount& account, Time now) const;

    // A failed login (a wrong answer, or an answer for an account no user has).
    void recordFailure(const ThrottleLimits& limits, const NetAddress& peer, const LoginAccount& account, Time now);
    // A connection closed at once because its network had too many logins waiting.
    void recordRefused(const ThrottleLimits& limits, const NetAddress& peer, Time now);
    // A successful login: the network's failures are forgotten, and the network is known to
    // the account from now on.
    void recordSuccess(const ThrottleLimits& limits, const NetAddress& peer, const LoginAccount& account, Time now);

    // What the summary lines say: per network the failed logins and refused connections
    // since its last line, per account its failed logins, from how many networks, and the
    // delay its hellos from unknown networks now wait.
    using NetworkReport = std::function<void(const NetAddress& network, uint32_t failed, uint32_t refused)>;
    using AccountReport =
        std::function<void(const LoginAccount& account, uint32_t failed, uint32_t networks, Duration delay)>;
    // Calls the reports for each network and account whose line is due by `now` and has
    // something to say, and forgets what is no longer needed.
    void reportDue(const ThrottleLimits& limits, Time now, const NetworkReport& networkReport,
                   const AccountReport& accountReport);
    // When reportDue next has something to do (a line, or a record to forget); Time::max()
    // for never.
    Time nextReport() const { return nextReport_; }

    size_t networkCount() const { return networks_.size(); }
    size_t accountCount() const { return accounts_.size(); }

private:
    struct NetworkRecord {
        uint32_t failures = 0;
        Time lastFailure{};
        uint32_t failedSinceReport = 0;
        uint32_t refusedSinceReport = 0;
        Time reportAt = Time::max();  // set by the first event after a line
    };
    struct AccountRecord {
        LoginAccount account;
        uint32_t failures = 0;
        Time lastFailure{};
        Time nextTurn{};  // the earliest a hello from an unknown network is answered
        std::unordered_map<NetAddress, Time, NetAddressHash> knownNetworks;  // last good login
        uint32_t failedSinceReport = 0;
        std::unordered_map<NetAddress, bool, NetAddressHash> networksSinceReport;
        Time reportAt = Time::max();
    };
    static std::string keyOf(const LoginAccount& account);
    bool expired(const ThrottleLimits& limits, uint32_t failures, Time lastFailure, Time now) const;
    Duration accountDelay(const ThrottleLimits& limits, uint32_t failures) const;
    void schedule(const ThrottleLimits& limits, Time& reportAt, Time now);

    std::unordered_map<NetAddress, NetworkRecord, NetAddressHash> networks_;
    std::unordered_map<std::string, AccountRecord> accounts_;
    Time nextReport_ = Time::max();
};
