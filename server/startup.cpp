#include "server/startup.h"

#include <arpa/inet.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/session.h"
#include "support/console.h"
#include "support/log.h"
#include "support/socket.h"



void printBanner() {
    char title[32];
    snprintf(title, sizeof title, "QUORVA v%s", kProgramVersion);
    printf("\n");
    printf("+---------------------------------+\n");
    printf("!                                 !#\n");
    printf("!  %-31s!#\n", title);
    printf("!                                 !#\n");
    printf("+---------------------------------+#\n");
    printf(" ###################################\n");
    printf("\n");
    printf("Build %s %s\n", __DATE__, __TIME__);
    printf("\n");
    fflush(stdout);
}

bool deriveSettingsPath(const char* programPath, char* out, size_t size) {
    const char* slash = strrchr(programPath, '/');
    const char* name = slash ? slash + 1 : programPath;
    const char* dot = strrchr(name, '.');
    size_t keep = dot ? size_t(dot - programPath) : strlen(programPath);
    if (keep + 5 > size) {
        out[0] = 0;
        return false;
    }
    memcpy(out, programPath, keep);
    memcpy(out + keep, ".INI", 5);
    return true;
}

void fatalError(int systemError, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    reportError(systemError, "%s", message);
    fflush(stdout);
    exit(1);
}

bool listenAddressOf(const char* portText, const char* addressText, NetAddress& out, std::string& problem) {
    uint16_t port;
    if (!resolvePort(portText, port)) {
        problem = std::string("unknown service: ") + portText + "\n";
        return false;
    }
    NetAddress address = anyIPv4Address();
    if (addressText && *addressText && !parseAddressLiteral(addressText, address)) return false;
    address.port = ntohs(port);
    out = address;
    return true;
}

int openListenSocketOrExit(const NetAddress& address, NetAddress& bound) {
    char where[kAddressTextSize];
    addressText(address, where, sizeof where);
    ListenFailure failure;
    int s = openListenSocket(address, failure);
    if (s >= 0) {
        if (!localAddress(s, bound)) bound = address;
        return s;
    }
    // The set-up's own text, with the address and port it was for.
    switch (failure.step) {
    case ListenStep::Socket: fatalError(failure.systemError, "%s: error socket() call", where);
    case ListenStep::Option: fatalError(failure.systemError, "%s: error setsockopt() call", where);
    case ListenStep::Bind: fatalError(failure.systemError, "%s: error bind() call", where);
    case ListenStep::Listen: break;
    }
    fatalError(failure.systemError, "%s: error listen() call", where);
}

namespace {

// New connections taken in one pass; more wait for the next pass, after the sessions' steps.
constexpr int kAcceptsPerPass = 64;
// How long the listening socket is left alone when a connection could not even be taken to
// be closed (no spare descriptor).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Descriptors kept free for the area files of a step, the console and the listening socket:
// the session cap never lets the sessions take them.
constexpr int64_t kReservedDescriptors = 32;

// Connections closed at once, summed up on the console once per reportInterval.
struct RefusedConnections {
    uint32_t overSessionCap = 0;
    uint32_t noDescriptor = 0;
    MonoTime reportAt = MonoTime::max();

    void count(uint32_t& which, const SessionLimits& limits, MonoTime now) {
        ++which;
        if (reportAt == MonoTime::max()) reportAt = now + limits.reportInterval;
    }
    void reportIfDue(int32_t sessionCap, MonoTime now) {
        if (now < reportAt) return;
        if (overSessionCap > 0)
            reportError(0, "%u connection(s) refused: the server had its maximum of %d sessions", overSessionCap,
                        sessionCap);
        if (noDescriptor > 0)
            reportError(0, "%u connection(s) refused: no file descriptor was free", noDescriptor);
        overSessionCap = noDescriptor = 0;
        reportAt = MonoTime::max();
    }
};

struct Listener {
    int socket;
    SpareDescriptor spare;
    bool shortageReported = false;  // until a connection is taken again
    MonoTime pausedUntil{};
};

// The most sessions the descriptor limit leaves room for.
int32_t sessionCap(const SessionLimits& limits) {
    int64_t cap = limits.maxSessions;
    int64_t fdLimit = descriptorLimit();
    if (fdLimit >= 0) cap = std::min(cap, std::max<int64_t>(fdLimit - kReservedDescriptors, 1));
    return int32_t(cap);
}

// No descriptor was free for a waiting connection: said once, and the connection is taken
// with the spare descriptor and closed, so that it does not keep the listening socket ready.
void acceptWithoutDescriptor(Listener& l, int error, RefusedConnections& refused, const SessionLimits& limits,
                             MonoTime now) {
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
            refused.count(refused.noDescriptor, limits, now);
        }
        if (l.spare.reacquire()) return;
    }
    l.pausedUntil = now + kAcceptPause;
}

// Takes the waiting connections: each becomes a session, or is closed at once when the
// server has its maximum of sessions or the address too many logins waiting.
void acceptPending(ServerContext& server, Listener& l, int32_t cap, RefusedConnections& refused, MonoTime now) {
    const SessionLimits& limits = server.limits;
    for (int i = 0; i < kAcceptsPerPass; ++i) {
        NetAddress peer;
        int error = 0;
        int s = acceptClient(l.socket, peer, error);
        if (s < 0) {
            if (isDescriptorShortage(error)) acceptWithoutDescriptor(l, error, refused, limits, now);
            return;  // none waiting, or a connection that went away before it was taken
        }
        l.shortageReported = false;
        if (openSessions(server) >= cap) {
            closeSocket(s);
            refused.count(refused.overSessionCap, limits, now);
            continue;
        }
        if (pendingLogins(server, peer) >= limits.maxPendingLogins) {
            closeSocket(s);
            server.shared.logins.recordRefused(limits, peer, now);
            continue;
        }
        char text[kAddressTextSize];
        addressText(peer, text, sizeof text);
        logLine("client: %s\n", text);
        if (!addSession(server, s, peer, now)) closeSocket(s);  // no room: never served
    }
}

void reportLoginSummaries(ServerContext& server, MonoTime now) {
    server.shared.logins.reportDue(server.limits, now, [&](const NetAddress& address, uint32_t failed, uint32_t refused) {
        char text[kAddressTextSize];
        hostText(address, text, sizeof text);
        reportError(0, "%s: %u failed login(s), %u connection(s) refused (at most %d may wait for their login)", text,
                    failed, refused, server.limits.maxPendingLogins);
    });
}

}  // namespace

void runServer(ServerContext& server, int listenSocket, ConsoleKeys& keys) {
    MCArray<sessionClient>& clientList = server.clientList;
    const int32_t cap = sessionCap(server.limits);
    if (cap < server.limits.maxSessions)
        reportError(0, "maxSessions %d is more than the descriptor limit allows: at most %d sessions",
                    server.limits.maxSessions, cap);
    Listener listener{listenSocket, {}, false, {}};
    RefusedConnections refused;
    PollSet poll;
    std::vector<size_t> slot;  // each session's index in the poll set, or SIZE_MAX
    for (;;) {
        MonoTime now = MonoClock::now();
        // One wait for everything: the listening socket, the stop signals, the console and
        // every session, until something is ready or the next deadline is due.
        poll.clear();
        bool listening = now >= listener.pausedUntil;
        size_t listenSlot = poll.add(listening ? listenSocket : -1, true, false);
        size_t signalSlot = poll.add(keys.signalDescriptor(), true, false);
        size_t inputSlot = poll.add(keys.inputDescriptor(), true, false);
        MonoTime due = std::min({refused.reportAt, server.shared.logins.nextReport(),
                                 listening ? MonoTime::max() : listener.pausedUntil});
        int32_t n = clientList.getCount();
        slot.assign(size_t(n), SIZE_MAX);
        for (int32_t i = 0; i < n; ++i) {
            const sessionClient& c = *clientList.getAt(i);
            SocketInterest want = socketInterest(c);
            if (want.read || want.write) slot[size_t(i)] = poll.add(c.socket, want.read, want.write);
            due = std::min(due, nextDeadline(server, c));
        }
        std::chrono::nanoseconds wait(-1);
        if (due != MonoTime::max()) wait = std::max(std::chrono::nanoseconds(0), due - now);
        int ready = poll.wait(wait);
        if (ready < 0) fatalError(errno, "select() failed");
        now = MonoClock::now();

        // A stop is acted on in the pass that sees it, whatever else is waiting (a signal
        // that interrupted the wait shows as a wait that found nothing).
        bool console = ready == 0 || poll.signalled(signalSlot) || poll.signalled(inputSlot);
        if (console && keys.keyPressed()) break;
        if (listening && poll.readable(listenSlot)) acceptPending(server, listener, cap, refused, now);

        // Every session gets one step, in list order; one accepted in this pass included.
        int32_t stepped = clientList.getCount();
        for (int32_t i = 0; i < stepped; ++i) {
            Readiness ready;
            if (i < n && slot[size_t(i)] != SIZE_MAX) {
                ready.readable = poll.readable(slot[size_t(i)]);
                ready.writable = poll.writable(slot[size_t(i)]);
            } else if (i >= n) {
                ready.readable = true;  // new: its hello may already be there
            }
            stepClient(server, *clientList.getAt(i), ready, now);
        }
        refused.reportIfDue(cap, now);
        reportLoginSummaries(server, now);
        // Closed sessions leave in place, keeping the order of the others.
        for (int32_t i = 0; i < clientList.getCount();) {
            sessionClient& c = *clientList.getAt(i);
            if (c.socket == kClosedSocket) {
                releaseSession(server, c);
                clientList.removeAt(i);
            } else {
                ++i;
            }
        }
    }
    // The process ends next: what the sessions own is given back (their connections close
    // with the process, not one by one).
    for (int32_t i = 0; i < clientList.getCount(); ++i) releaseSession(server, *clientList.getAt(i));
    clientList.removeAll();
}
