#include "core/loop.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "support/console.h"
#include "support/log.h"
#include "support/osfile.h"

namespace {

// New connections taken per listener in one pass; more wait for the next pass, after the
// connections' steps.
constexpr int kAcceptsPerPass = 256;
// ... and for about this long: a storm of connections does not hold the others' steps.
constexpr auto kAcceptSlice = std::chrono::milliseconds(1);
// How long a listening socket is left alone when a connection could not even be taken to
// be closed (no spare descriptor).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Descriptors kept free for the area files of a step, the console and the listening
// sockets: the session cap never lets the connections take them.
constexpr int64_t kReservedDescriptors = 32;

// The most sessions the descriptor limit leaves room for.
int32_t sessionCap(const SessionLimits& limits) {
    int64_t cap = limits.maxSessions;
    int64_t fdLimit = descriptorLimit();
    if (fdLimit >= 0) cap = std::min(cap, std::max<int64_t>(fdLimit - kReservedDescriptors, 1));
    return int32_t(cap);
}

Now currentTime() { return Now{MonoClock::now(), std::time(nullptr)}; }

}  // namespace

struct ServerLoop::Listener {
    int socket;
    ConnectionFactory factory;
    SpareDescriptor spare;
    bool shortageReported = false;  // until a connection is taken again
    MonoTime pausedUntil{};
};

// Connections closed at once, summed up on the console once per reportInterval.
struct ServerLoop::RefusedConnections {
    uint32_t overSessionCap = 0;
    uint32_t noDescriptor = 0;
    uint32_t madeRoom = 0;  // waiting sessions closed for newcomers
    int32_t pool = 0;
    MonoTime reportAt = MonoTime::max();

    void count(uint32_t& which, const SessionLimits& limits, MonoTime now) {
        ++which;
        if (reportAt == MonoTime::max()) reportAt = now + limits.reportInterval;
    }
    void reportIfDue(int32_t cap, MonoTime now) {
        if (now < reportAt) return;
        if (overSessionCap > 0)
            reportError(0, "%u connection(s) refused: the server had its maximum of %d sessions", overSessionCap, cap);
        if (noDescriptor > 0) reportError(0, "%u connection(s) refused: no file descriptor was free", noDescriptor);
        if (madeRoom > 0)
            reportError(0,
                        "%u session(s) waiting for their login closed to make room for new connections: at most %d "
                        "may wait, and the network holding the most gave way",
                        madeRoom, pool);
        overSessionCap = noDescriptor = madeRoom = 0;
        reportAt = MonoTime::max();
    }
};

int32_t openSessions(const std::vector<std::unique_ptr<Connection>>& connections) {
    int32_t n = 0;
    for (const auto& c : connections)
        if (!c->closed()) ++n;
    return n;
}

int32_t pendingLogins(const std::vector<std::unique_ptr<Connection>>& connections, const NetAddress& peer,
                      int ipv6PrefixBits) {
    const NetAddress network = peer.network(ipv6PrefixBits);
    int32_t n = 0;
    for (const auto& c : connections)
        if (c->waiting() && c->peer().network(ipv6PrefixBits) == network) ++n;
    return n;
}

Connection* waitingToMakeRoom(const std::vector<std::unique_ptr<Connection>>& connections, int ipv6PrefixBits) {
    // Per network: how many wait, and the first (oldest) of them in the list's order.
    std::unordered_map<NetAddress, std::pair<int32_t, size_t>, NetAddressHash> networks;
    for (size_t i = 0; i < connections.size(); ++i) {
        if (!connections[i]->waiting()) continue;
        auto [it, added] = networks.try_emplace(connections[i]->peer().network(ipv6PrefixBits), 0, i);
        ++it->second.first;
    }
    Connection* chosen = nullptr;
    int32_t most = 0;
    size_t oldest = SIZE_MAX;
    for (const auto& [network, held] : networks) {
        if (held.first > most || (held.first == most && held.second < oldest)) {
            most = held.first;
            oldest = held.second;
            chosen = connections[held.second].get();
        }
    }
    return chosen;
}

ServerLoop::ServerLoop(Services& services, ConsoleKeys& keys)
    : services_(services), keys_(keys), refused_(std::make_unique<RefusedConnections>()) {}

ServerLoop::~ServerLoop() {
    for (auto& l : listeners_) closeSocket(l->socket);
}

void ServerLoop::addListener(int socket, ConnectionFactory factory) {
    auto l = std::make_unique<Listener>();
    l->socket = socket;
    l->factory = std::move(factory);
    listeners_.push_back(std::move(l));
}

// No descriptor was free for a waiting connection: said once, and the connection is taken
// with the spare descriptor and closed, so that it does not keep the listening socket ready.
void ServerLoop::acceptWithoutDescriptor(Listener& l, int error, const Now& now) {
    if (!l.shortageReported) {
        reportError(error, "accept() failed: waiting connections are closed until descriptors are free");
        l.shortageReported = true;
    }
    if (l.spare.release()) {
        NetAddress peer;
        int again;
        int s = acceptClient(l.socket, peer, again);
        if (s >= 0) {
            closeSocket(s);
            refused_->count(refused_->noDescriptor, services_.limits(), now.mono);
        }
        if (l.spare.reacquire()) return;
    }
    l.pausedUntil = now.mono + kAcceptPause;
}

// Takes the waiting connections: each becomes a connection of the listener's door, or is
// closed at once when the server has its maximum of sessions or the address too many
// logins waiting. The counts are made once per call and kept up to date as connections
// come and make room, so that a storm of connections costs each of them the same.
void ServerLoop::acceptPending(Listener& l, int32_t cap, const Now& now) {
    const SessionLimits& limits = services_.limits();
    const int prefix = limits.ipv6PrefixLength;
    int32_t open = openSessions(clientList);
    int32_t waiting = 0;
    std::unordered_map<NetAddress, int32_t, NetAddressHash> waitingOf;  // per network
    for (const auto& c : clientList) {
        if (!c->waiting()) continue;
        ++waiting;
        ++waitingOf[c->peer().network(prefix)];
    }
    const MonoTime started = MonoClock::now();
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        // The rest wait in the backlog for the next pass, after the others' steps.
        if (i % 16 == 15 && MonoClock::now() - started >= kAcceptSlice) return;
        NetAddress peer;
        int error = 0;
        int s = acceptClient(l.socket, peer, error);
        if (s < 0) {
            if (isDescriptorShortage(error)) acceptWithoutDescriptor(l, error, now);
            return;  // none waiting, or a connection that went away before it was taken
        }
        l.shortageReported = false;
        if (open >= cap) {
            closeSocket(s);
            refused_->count(refused_->overSessionCap, limits, now.mono);
            continue;
        }
        const NetAddress network = peer.network(prefix);
        auto held = waitingOf.find(network);
        if (held != waitingOf.end() && held->second >= limits.maxPendingLogins) {
            closeSocket(s);
            services_.logins.recordRefused(limits, peer, now.mono);
            continue;
        }
        // Logged-in users always have room: those still waiting for their login share a
        // pool of their own. When it is full, the network holding the most of it gives
        // way, so that a crowd of networks cannot keep a newcomer out.
        if (waiting >= limits.pendingPool()) {
            if (Connection* victim = waitingToMakeRoom(clientList, prefix)) {
                LogPeer scope(victim->peerText());
                const NetAddress victimNetwork = victim->peer().network(prefix);
                victim->closeToMakeRoom();
                // Closed at once: its place is free.
                --open;
                --waiting;
                if (--waitingOf[victimNetwork] == 0) waitingOf.erase(victimNetwork);
                refused_->pool = limits.pendingPool();
                refused_->count(refused_->madeRoom, limits, now.mono);
            }
        }
        char text[kAddressTextSize];
        addressText(peer, text, sizeof text);
        logLine("client: %s\n", text);
        std::unique_ptr<Connection> c = l.factory(s, peer, now);
        if (!c) {
            closeSocket(s);  // no room: never served
            continue;
        }
        if (!c->closed()) {
            ++open;
            if (c->waiting()) {
                ++waiting;
                ++waitingOf[network];
            }
        }
        clientList.push_back(std::move(c));
    }
}

void ServerLoop::reportLoginSummaries(MonoTime now) {
    const SessionLimits& limits = services_.limits();
    services_.logins.reportDue(
        limits, now,
        [&](const NetAddress& address, uint32_t failed, uint32_t refused) {
            char text[kAddressTextSize];
            hostText(address, text, sizeof text);
            reportError(0, "%s: %u failed login(s), %u connection(s) refused (at most %d may wait for their login)",
                        text, failed, refused, limits.maxPendingLogins);
        },
        [&](const LoginAccount& account, uint32_t failed, uint32_t networks, LoginThrottle::Duration delay) {
            std::string name;
            for (char c : account.name) name += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
            const FidoAddr& a = account.address;
            reportError(0,
                        "user %s, %u:%u/%u.%u: %u failed login(s) from %u network(s); hellos from networks that "
                        "have not logged in as the user lately wait %.0f s, one at a time",
                        name.c_str(), a.zone, a.net, a.node, a.point, failed, networks,
                        std::chrono::duration<double>(delay).count());
        });
}

void ServerLoop::run() {
    // The session cap follows maxSessions, which a reload may change.
    auto capOf = [](const SessionLimits& limits) {
        const int32_t cap = sessionCap(limits);
        if (cap < limits.maxSessions)
            reportError(0, "maxSessions %d is more than the descriptor limit allows: at most %d sessions",
                        limits.maxSessions, cap);
        return cap;
    };
    int32_t cap = capOf(services_.limits());
    PollSet poll;
    std::vector<size_t> listenSlot(listeners_.size(), SIZE_MAX);
    std::vector<size_t> slot;  // each connection's index in the poll set, or SIZE_MAX
    for (;;) {
        Now now = currentTime();
        // One wait for everything: the listening sockets, the stop signals, the console and
        // every connection, until something is ready or the next deadline is due.
        poll.clear();
        MonoTime due = std::min(refused_->reportAt, services_.logins.nextReport());
        for (size_t k = 0; k < listeners_.size(); ++k) {
            const Listener& l = *listeners_[k];
            bool listening = now.mono >= l.pausedUntil;
            listenSlot[k] = poll.add(listening ? l.socket : -1, true, false);
            if (!listening) due = std::min(due, l.pausedUntil);
        }
        size_t signalSlot = poll.add(keys_.signalDescriptor(), true, false);
        size_t inputSlot = poll.add(keys_.inputDescriptor(), true, false);
        const size_t n = clientList.size();
        slot.assign(n, SIZE_MAX);
        for (size_t i = 0; i < n; ++i) {
            const Connection& c = *clientList[i];
            SocketInterest want = c.waitFor();
            if (want.read || want.write) slot[i] = poll.add(c.socket(), want.read, want.write);
            due = std::min(due, c.readyWithoutWaiting() ? now.mono : c.nextDeadline());
        }
        std::chrono::nanoseconds wait(-1);
        if (due != MonoTime::max()) wait = std::max(std::chrono::nanoseconds(0), due - now.mono);
        int ready = poll.wait(wait);
        if (ready < 0) {
            int error = errno;
            reportError(error, "select() failed");
            fflush(stdout);
            exit(1);
        }
        now = currentTime();

        // A stop is acted on in the pass that sees it, whatever else is waiting (a signal
        // that interrupted the wait shows as a wait that found nothing).
        bool console = ready == 0 || poll.signalled(signalSlot) || poll.signalled(inputSlot);
        if (console && keys_.keyPressed()) break;
        if (keys_.takeReloadRequest() && reload_ && reload_(now)) {
            cap = capOf(services_.limits());
            for (const auto& c : clientList)
                if (!c->closed()) c->settingsReloaded(now);
        }
        for (size_t k = 0; k < listeners_.size(); ++k)
            if (listenSlot[k] != SIZE_MAX && poll.readable(listenSlot[k])) acceptPending(*listeners_[k], cap, now);

        // Every connection gets one step, in list order; one accepted in this pass included.
        HandshakeBudget handshakes;
        const size_t stepped = clientList.size();
        for (size_t i = 0; i < stepped; ++i) {
            Readiness r;
            if (i < n && slot[i] != SIZE_MAX) {
                r.readable = poll.readable(slot[i]);
                r.writable = poll.writable(slot[i]);
            } else if (i >= n) {
                r.readable = true;  // new: its first request may already be there
            }
            Connection& c = *clientList[i];
            if (!c.closed()) c.advance(r, now, handshakes);
        }
        refused_->reportIfDue(cap, now.mono);
        reportLoginSummaries(now.mono);
        // Closed connections leave in place, keeping the order of the others.
        std::erase_if(clientList, [](const std::unique_ptr<Connection>& c) { return c->closed(); });
    }
    // The process ends next: what the connections own is given back (their sockets close
    // with the process, not one by one).
    const int32_t open = openSessions(clientList);
    clientList.clear();
    logLine("-> shutting down: %d %s closed\n", int(open), open == 1 ? "session" : "sessions");
}
