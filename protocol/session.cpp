#include "protocol/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "protocol/handlers.h"
#include "protocol/reply.h"
#include "support/clock.h"
#include "support/le.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/random.h"
#include "support/socket.h"

namespace {

const char kFallbackChallenge[] = "tqa4hzw9ekr2nvbx7sL=";

// At most this much of a packet's data is read in one step, so that one large post does
// not hold the others' steps.
constexpr size_t kReadChunk = 64 * 1024;
// A kept-data buffer larger than this is given back once its packet is done.
constexpr size_t kKeepBufferCapacity = 64 * 1024;

[[noreturn]] void fail() { throw ClientStepFailure(); }

// A name for the console: up to its first zero and at most 36 characters, with control
// bytes shown as "?" so that a client cannot send escape sequences to the sysop's terminal.
struct LogName {
    explicit LogName(const char* field) {
        size_t n = strnlen(field, 36);
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(field[i]);
            text[i] = (c < 0x20 || c == 0x7F) ? '?' : char(c);
        }
        text[n] = 0;
    }
    char text[37];
};

// Compares all 16 bytes whatever differs first, so the time taken tells nothing.
bool digestsEqual(const uint8_t* a, const uint8_t* b) {
    uint8_t diff = 0;
    for (int i = 0; i < 16; ++i) diff = uint8_t(diff | (a[i] ^ b[i]));
    return diff == 0;
}

bool closing(const sessionClient& s) { return s.socket == kClosedSocket || !s.io || s.io->phase == SessionPhase::Draining; }

// ---- the packet being read ------------------------------------------------------------

bool headerWhole(const SessionIo& io) { return io.headerHave == kPktHeaderSize; }
bool packetStarted(const SessionIo& io) { return io.headerHave > 0; }
// (Once whole, the kept data may carry the NUL byte that handlePacket puts after it.)
bool packetWhole(const SessionIo& io) { return headerWhole(io) && io.data.size() >= io.keep && io.dropLeft == 0; }

// Gives the packet's buffer back and starts the next packet.
void resetPacket(ServerContext& server, SessionIo& io) {
    server.shared.requestBytes -= io.counted;
    io.counted = 0;
    io.headerHave = 0;
    io.keep = 0;
    io.dropLeft = 0;
    if (io.data.capacity() > kKeepBufferCapacity)
        std::vector<uint8_t>().swap(io.data);
    else
        io.data.clear();
}

// The packet ended before its last byte: the peer closed, the receive failed, or its time
// ran out. The lines are those of a short read.
[[noreturn]] void packetCutShort(const sessionClient& s, int systemError) {
    const SessionIo& io = *s.io;
    if (headerWhole(io)) {
        if (s.state == CLSS_LOGGED_IN)
            reportError(systemError, "readn() failed.\n");
        else
            reportError(0, "readn(data) failed");
    }
    fail();
}

// Checks a whole header against the session's state before any of its data is read.
void checkHeader(sessionClient& s) {
    SessionIo& io = *s.io;
    const pktHeader& h = io.header;
    switch (s.state) {
    case CLSS_WAIT_USER_HELLO:
    case CLSS_WAIT_USER_AUTH: {
        bool hello = s.state == CLSS_WAIT_USER_HELLO;
        if (h.cmd != (hello ? CID_C_HELLO : CID_C_AUTH)) {
            reportError(0, "unexpected command (%u) for %s", h.cmd, hello ? "CLSS_WAIT_USER_HELLO" : "CLSS_WAIT_USER_AUTH");
            fail();
        }
        if (h.dataSize != (hello ? kHelloSize : kAuthSize)) {
            reportError(0, "invalid data size (%u) in packet header", h.dataSize);
            fail();
        }
        io.keep = h.dataSize;
        io.dropLeft = 0;
        break;
    }
    default: {
        CommandData d = commandData(h);
        io.keep = d.keep;
        io.dropLeft = d.drop;
        break;
    }
    }
}

// Appends received bytes to the kept data. The buffer grows with what arrives, never beyond
// what the header announced (and the NUL after it), and the data of all sessions together
// stays within maxRequestBuffer.
void keepBytes(ServerContext& server, sessionClient& s, const uint8_t* p, size_t k) {
    SessionIo& io = *s.io;
    if (server.shared.requestBytes + k > server.limits.maxRequestBuffer) {
        reportError(0, "request data of all sessions would pass maxRequestBuffer (%llu bytes): connection closed",
                    static_cast<unsigned long long>(server.limits.maxRequestBuffer));
        fail();
    }
    size_t want = io.data.size() + k;
    if (want > io.data.capacity()) io.data.reserve(std::min(std::max(want, 2 * io.data.capacity()), size_t(io.keep) + 1));
    io.data.insert(io.data.end(), p, p + k);
    server.shared.requestBytes += k;
    io.counted += k;
}

// Reads what has arrived of the current packet, without waiting. True when it is whole.
bool readPacket(ServerContext& server, sessionClient& s, MonoTime now) {
    SessionIo& io = *s.io;
    static uint8_t scratch[kReadChunk];
    size_t budget = kReadChunk;
    while (!packetWhole(io)) {
        uint8_t* into;
        size_t want;
        if (!headerWhole(io)) {
            into = io.headerBytes + io.headerHave;
            want = kPktHeaderSize - io.headerHave;
        } else {
            if (budget == 0) return false;  // the rest in a later step
            into = scratch;
            want = io.dropLeft > 0 ? io.dropLeft : io.keep - io.data.size();
            want = std::min(want, budget);
        }
        Transfer t = receiveSome(s.socket, into, want);
        if (t.status == Transfer::WouldBlock) return false;
        if (t.status == Transfer::Closed) {
            if (!packetStarted(io)) fail();  // between packets: the peer has gone
            packetCutShort(s, 0);
        }
        if (t.status == Transfer::Failed) {
            if (!packetStarted(io)) fail();
            packetCutShort(s, t.error);
        }
        if (!packetStarted(io)) io.packetStart = now;
        if (!headerWhole(io)) {
            io.headerHave += t.bytes;
            if (headerWhole(io)) {
                io.header = decodeHeader(io.headerBytes);
                checkHeader(s);
            }
            continue;
        }
        budget -= t.bytes;
        if (io.dropLeft > 0)
            io.dropLeft -= uint32_t(t.bytes);
        else
            keepBytes(server, s, scratch, t.bytes);
    }
    return true;
}

// ---- the login ------------------------------------------------------------------------

void startFailDelay(ServerContext& server, sessionClient& s, MonoTime now) {
    server.shared.logins.recordFailure(server.limits, s.peer, now);
    s.io->phase = SessionPhase::FailPending;
    s.io->actionAt = now + server.limits.loginFailDelay;
}

// CID_S_FAIL at once and the close once it is out; not counted as a failed login.
void refuseAtOnce(sessionClient& s) {
    QueuedReply r = makeReply(CID_S_FAIL, 0, ReplyBytes(), SendFailure::Quiet);  // closed either way
    r.closeAfter = true;
    queueReply(s, std::move(r));
}

// The hello, once its address's delay (if any) is over.
void answerHello(ServerContext& server, sessionClient& s, const uint8_t* hello, MonoTime now) {
    rClientInfo probe;
    memcpy(probe.name, hello, sizeof probe.name);
    probe.address = decodeFidoAddr(hello + kHelloAddrOffset);
    const FidoAddr& a = probe.address;

    int32_t found = server.userList.find(0, probe);
    if (found < 0) {
        reportError(0, "user %s, %d:%d/%d.%d not found", LogName(probe.name).text, a.zone, a.net, a.node, a.point);
        startFailDelay(server, s, now);
        return;
    }
    if (isUserConnected(server, found)) {
        reportError(0, "user %s, %d:%d/%d.%d already connected", LogName(probe.name).text, a.zone, a.net, a.node, a.point);
        refuseAtOnce(s);
        return;
    }
    s.user = server.userList.getAt(found);
    makeChallenge(s.challenge);
    ReplyBytes challenge = ReplyBytes::allocate(kChallengeSize);
    if (!challenge.ok()) throw std::bad_alloc();
    memcpy(challenge.data(), s.challenge, kChallengeSize);
    queueReply(s, makeReply(CID_S_CHALLENGE, kChallengeSize, std::move(challenge), SendFailure::Challenge));
    s.state = CLSS_WAIT_USER_AUTH;
    s.io->challengeAt = now;
    hmacMd5(reinterpret_cast<const uint8_t*>(s.user->password), s.challenge, s.expectedDigest);
}

void handleAnswer(ServerContext& server, sessionClient& s, const uint8_t* answer, MonoTime now) {
    const rClientInfo& u = *s.user;
    const FidoAddr& a = u.address;
    if (!digestsEqual(answer, s.expectedDigest)) {
        reportError(0, "user %s, %d:%d/%d.%d authentication failed", LogName(u.name).text, a.zone, a.net, a.node, a.point);
        startFailDelay(server, s, now);
        return;
    }
    // Two sessions may have had a challenge for the same user: the first right answer wins.
    if (isUserConnected(server, int32_t(s.user - server.userList.getAt(0)))) {
        reportError(0, "user %s, %d:%d/%d.%d already connected", LogName(u.name).text, a.zone, a.net, a.node, a.point);
        refuseAtOnce(s);
        return;
    }
    sendReplyHelper(s, CID_S_OK);
    s.state = CLSS_LOGGED_IN;
    server.shared.logins.recordSuccess(s.peer);
    logLine("user: %s, addr: %d:%d/%d.%d\n", LogName(u.name).text, a.zone, a.net, a.node, a.point);
}

// ---- one whole packet -----------------------------------------------------------------

void handlePacket(ServerContext& server, sessionClient& s, StepContext& step, MonoTime now) {
    SessionIo& io = *s.io;
    io.lastActivity = now;
    // The kept data is followed by a NUL byte that is not part of it (a post's text ends
    // there); keepBytes left room for it.
    if (io.keep > 0 && io.data.size() == io.keep) io.data.push_back(0);
    const uint8_t* data = io.data.data();
    switch (s.state) {
    case CLSS_WAIT_USER_HELLO: {
        LoginThrottle::Duration delay = server.shared.logins.helloDelay(server.limits, s.peer, now);
        if (io.phase == SessionPhase::Reading && delay > LoginThrottle::Duration::zero()) {
            io.phase = SessionPhase::HelloHeld;  // the packet stays until the delay is over
            io.actionAt = now + delay;
            return;
        }
        io.phase = SessionPhase::Reading;
        answerHello(server, s, data, now);
        break;
    }
    case CLSS_WAIT_USER_AUTH: handleAnswer(server, s, data, now); break;
    default: {
        if (io.phase != SessionPhase::WriteRetry) io.giveUpAt = now + server.limits.writeRetryTime;
        step.mayDefer = now < io.giveUpAt;
        dispatchCommand(server, s, io.header, data, io.keep, step);
        if (step.deferred) {
            io.phase = SessionPhase::WriteRetry;  // the packet stays for the next try
            io.actionAt = now + server.limits.writeRetryInterval;
            return;
        }
        io.phase = SessionPhase::Reading;
        break;
    }
    }
    resetPacket(server, io);
}

// ---- the reply on its way -------------------------------------------------------------

[[noreturn]] void replyFailed(const sessionClient& s, int systemError) {
    const QueuedReply& r = s.io->reply;
    switch (r.onFailure) {
    case SendFailure::Quiet: break;
    case SendFailure::Helper: reportError(systemError, "sendReplyHelper(%u) failed", r.replyId); break;
    case SendFailure::Sendn: reportError(systemError, "sendn() failed.\n"); break;
    case SendFailure::Challenge:
        if (r.sent < kPktHeaderSize)
            reportError(systemError, "sendn(pktHeader) failed");
        else
            reportError(systemError, "sendn(data) failed");
        break;
    }
    fail();
}

// Sends what the socket takes. True when the whole reply is out.
bool sendReply(sessionClient& s, MonoTime now) {
    SessionIo& io = *s.io;
    QueuedReply& r = io.reply;
    while (r.sent < r.total()) {
        Transfer t;
        if (r.sent < kPktHeaderSize)
            t = sendSome(s.socket, r.header + r.sent, kPktHeaderSize - r.sent, r.data.data(), r.data.size());
        else
            t = sendSome(s.socket, r.data.data() + (r.sent - kPktHeaderSize), r.total() - r.sent, nullptr, 0);
        if (t.status == Transfer::WouldBlock) return false;
        if (t.status != Transfer::Moved || t.bytes == 0) replyFailed(s, t.error);
        r.sent += t.bytes;
        io.replyProgress = now;
    }
    bool closeAfter = r.closeAfter;
    r = QueuedReply();  // the bytes are given back at once
    io.replyQueued = false;
    io.lastActivity = now;
    if (closeAfter) fail();
    return true;
}

// A reply queued in this step goes out at once when the socket takes it.
void startReply(sessionClient& s, MonoTime now) {
    if (!s.io->replyQueued) return;
    s.io->replyProgress = now;
    (void)sendReply(s, now);
}

// ---- deadlines ------------------------------------------------------------------------

// The deadline of a session that is reading (no reply queued, no held phase), and whether
// it is the end of a packet's time.
MonoTime readingDeadline(const ServerContext& server, const sessionClient& s, bool& forPacket) {
    const SessionIo& io = *s.io;
    const SessionLimits& l = server.limits;
    MonoTime d = MonoTime::max();
    forPacket = false;
    if (packetStarted(io)) {
        d = io.packetStart + l.packetTimeout;
        forPacket = true;
    } else {
        d = io.lastActivity + l.idleTimeout;
    }
    MonoTime login = MonoTime::max();
    if (s.state == CLSS_WAIT_USER_HELLO) login = io.connectedAt + l.helloTimeout;
    if (s.state == CLSS_WAIT_USER_AUTH) login = io.challengeAt + l.authTimeout;
    if (login < d) {
        d = login;
        forPacket = packetStarted(io);
    }
    return d;
}

// Closes a reading session whose time is up: a packet cut short, or "client timeout.".
void checkReadingDeadline(const ServerContext& server, const sessionClient& s, MonoTime now) {
    bool forPacket;
    if (now < readingDeadline(server, s, forPacket)) return;
    if (forPacket) packetCutShort(s, 0);
    reportError(0, "client timeout.\n");
    fail();
}

// ---- closing --------------------------------------------------------------------------

void finishClose(sessionClient& s) {
    closeSocket(s.socket);
    logLine("client disconnected.\n");
    s.socket = kClosedSocket;
}

// Drops what the peer still sends; closes at its end, on an error, at the byte bound or
// when the drain's time is over.
void continueDrain(const ServerContext& server, sessionClient& s, MonoTime now) {
    SessionIo& io = *s.io;
    static uint8_t scratch[4096];
    while (io.drained < server.limits.drainBytes) {
        Transfer t = receiveSome(s.socket, scratch, sizeof scratch);
        if (t.status == Transfer::WouldBlock) {
            if (now >= io.drainUntil) break;
            return;
        }
        if (t.status != Transfer::Moved) break;
        io.drained += t.bytes;
    }
    finishClose(s);
}

// The work of one step; throws ClientStepFailure to close.
void runStep(ServerContext& server, sessionClient& s, Readiness ready, MonoTime now, StepContext& step) {
    SessionIo& io = *s.io;
    if (io.replyQueued) {
        if (ready.writable && sendReply(s, now)) return;  // one reply per step
        if (io.replyQueued) {
            if (now - io.replyProgress >= server.limits.replyTimeout) replyFailed(s, 0);
            return;
        }
    }
    switch (io.phase) {
    case SessionPhase::Reading: break;
    case SessionPhase::HelloHeld:
    case SessionPhase::WriteRetry:
        if (now < io.actionAt) return;
        handlePacket(server, s, step, now);
        startReply(s, now);
        return;
    case SessionPhase::FailPending:
        if (now < io.actionAt) return;
        io.phase = SessionPhase::Reading;
        refuseAtOnce(s);
        resetPacket(server, io);
        startReply(s, now);
        return;
    case SessionPhase::Draining: return;
    }
    if (ready.readable && readPacket(server, s, now)) {
        handlePacket(server, s, step, now);
        startReply(s, now);
        return;
    }
    checkReadingDeadline(server, s, now);
}

}  // namespace

void makeChallenge(uint8_t out[kChallengeSize], const std::tm* local) {
    if (!local) {
        memcpy(out, kFallbackChallenge, kChallengeSize);
        return;
    }
    char text[kChallengeSize];
    memset(text, 0, sizeof text);
    formatTime(text, sizeof text, "%d %b %y %H:%M:%S", *local);
    memcpy(out, text, kChallengeSize);
}

void makeChallenge(uint8_t out[kChallengeSize]) {
    // Random bytes, new for every hello, so that an answer seen on the wire is worth
    // nothing on another connection. The time form only when the random source fails.
    if (fillRandom(out, kChallengeSize)) return;
    std::tm local{};
    makeChallenge(out, localNow(local) ? &local : nullptr);
}

bool isUserConnected(const ServerContext& server, int32_t userIndex) {
    const rClientInfo* user = server.userList.getAt(userIndex);
    for (int32_t i = 0; i < server.clientList.getCount(); ++i) {
        const sessionClient& c = *server.clientList.getAt(i);
        // A pending challenge holds nobody; nor does a session closing in this pass.
        if (!closing(c) && c.state == CLSS_LOGGED_IN && c.user == user) return true;
    }
    return false;
}

int32_t pendingLogins(const ServerContext& server, const NetAddress& peer) {
    const NetAddress host = peer.host();
    int32_t n = 0;
    for (int32_t i = 0; i < server.clientList.getCount(); ++i) {
        const sessionClient& c = *server.clientList.getAt(i);
        if (!closing(c) && c.state != CLSS_LOGGED_IN && c.peer.host() == host) ++n;
    }
    return n;
}

int32_t openSessions(const ServerContext& server) {
    int32_t n = 0;
    for (int32_t i = 0; i < server.clientList.getCount(); ++i)
        if (server.clientList.getAt(i)->socket != kClosedSocket) ++n;
    return n;
}

bool addSession(ServerContext& server, int socket, const NetAddress& peer, MonoTime now) {
    sessionClient record;
    record.socket = socket;
    record.peer = peer;
    record.io = new (std::nothrow) SessionIo;
    if (!record.io) return false;
    addressText(peer, record.io->peerText, sizeof record.io->peerText);
    record.io->connectedAt = record.io->lastActivity = now;
    if (server.clientList.add(record) < 0) {
        delete record.io;
        return false;
    }
    return true;
}

void releaseSession(ServerContext& server, sessionClient& s) {
    if (s.io) {
        server.shared.requestBytes -= s.io->counted;
        delete s.io;
        s.io = nullptr;
    }
    if (s.socket != kClosedSocket) {
        closeSocket(s.socket);
        s.socket = kClosedSocket;
    }
}

void disconnectClient(ServerContext& server, sessionClient& s, MonoTime now) {
    SessionIo& io = *s.io;
    resetPacket(server, io);
    io.reply = QueuedReply();
    io.replyQueued = false;
    io.phase = SessionPhase::Draining;
    io.drainUntil = now + server.limits.drainTime;
    io.drained = 0;
    shutdownSending(s.socket);
    continueDrain(server, s, now);
}

void stepClient(ServerContext& server, sessionClient& s, Readiness ready, MonoTime now) {
    if (s.socket == kClosedSocket || !s.io) return;
    LogPeer peer(s.io->peerText);
    if (s.io->phase == SessionPhase::Draining) {
        continueDrain(server, s, now);
        return;
    }
    bool close = false;
    StepContext step;
    try {
        runStep(server, s, ready, now, step);
    } catch (const ClientStepFailure&) {
        close = true;
    } catch (const std::bad_alloc&) {
        reportError(0, "out of memory");
        close = true;
    }
    step.area.reset();
    if (close) disconnectClient(server, s, now);
}

SocketInterest socketInterest(const sessionClient& s) {
    SocketInterest w;
    if (s.socket == kClosedSocket || !s.io) return w;
    const SessionIo& io = *s.io;
    if (io.phase == SessionPhase::Draining) {
        w.read = true;
    } else if (io.replyQueued) {
        w.write = true;
    } else if (io.phase == SessionPhase::Reading) {
        w.read = true;
    }
    return w;
}

MonoTime nextDeadline(const ServerContext& server, const sessionClient& s) {
    if (s.socket == kClosedSocket || !s.io) return MonoTime::max();
    const SessionIo& io = *s.io;
    if (io.phase == SessionPhase::Draining) return io.drainUntil;
    if (io.replyQueued) return io.replyProgress + server.limits.replyTimeout;
    if (io.phase != SessionPhase::Reading) return io.actionAt;
    bool forPacket;
    return readingDeadline(server, s, forPacket);
}
