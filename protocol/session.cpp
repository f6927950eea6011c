#include "protocol/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "accounts/login.h"
#include "protocol/handlers.h"
#include "protocol/reply.h"
#include "support/log.h"
#include "support/socket.h"

namespace {

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

const SessionLimits& limitsOf(const sessionClient& s) { return s.door.services.limits(); }

// ---- the packet being read ------------------------------------------------------------

bool headerWhole(const sessionClient& s) { return s.headerHave == kPktHeaderSize; }
bool packetStarted(const sessionClient& s) { return s.headerHave > 0; }
// (Once whole, the kept data may carry the NUL byte that handlePacket puts after it.)
bool packetWhole(const sessionClient& s) { return headerWhole(s) && s.data.size() >= s.keep && s.dropLeft == 0; }

// Gives the packet's buffer back and starts the next packet.
void resetPacket(sessionClient& s) {
    s.door.services.requests.giveBack(s.counted);
    s.counted = 0;
    s.headerHave = 0;
    s.keep = 0;
    s.dropLeft = 0;
    if (s.data.capacity() > kKeepBufferCapacity)
        std::vector<uint8_t>().swap(s.data);
    else
        s.data.clear();
}

// The packet ended before its last byte: the peer closed, the receive failed, or its time
// ran out. The lines are those of a short read.
[[noreturn]] void packetCutShort(const sessionClient& s, int systemError) {
    if (headerWhole(s)) {
        if (s.state == CLSS_LOGGED_IN)
            reportError(systemError, "readn() failed.\n");
        else
            reportError(0, "readn(data) failed");
    }
    fail();
}

// Checks a whole header against the session's state before any of its data is read.
void checkHeader(sessionClient& s) {
    const pktHeader& h = s.header;
    switch (s.state) {
    case CLSS_WAIT_USER_HELLO:
    case CLSS_WAIT_USER_AUTH: {
        bool hello = s.state == CLSS_WAIT_USER_HELLO;
        if (h.cmd != (hello ? CID_C_HELLO : CID_C_AUTH)) {
            reportError(0, "unexpected command (%u) for %s", h.cmd, hello ? "CLSS_WAIT_USER_HELLO" : "CLSS_WAIT_USER_AUTH");
            // A TLS handshake record begins 0x16 0x03: a client that speaks TLS to the plain port.
            if (hello && s.headerBytes[0] == 0x16 && s.headerBytes[1] == 0x03 && !s.secure())
                reportError(0, "that was a TLS handshake: TLS clients connect to tlsPort");
            fail();
        }
        if (h.dataSize != (hello ? kHelloSize : kAuthSize)) {
            reportError(0, "invalid data size (%u) in packet header", h.dataSize);
            fail();
        }
        s.keep = h.dataSize;
        s.dropLeft = 0;
        break;
    }
    default: {
        CommandData d = commandData(h);
        s.keep = d.keep;
        s.dropLeft = d.drop;
        break;
    }
    }
}

// Appends received bytes to the kept data. The buffer grows with what arrives, never beyond
// what the header announced (and the NUL after it), and the data of all connections
// together stays within maxRequestBuffer.
void reportOverBudget(uint64_t limit) {
    reportError(0, "request data of all sessions would pass maxRequestBuffer (%llu bytes): connection closed",
                static_cast<unsigned long long>(limit));
}

void keepBytes(sessionClient& s, const uint8_t* p, size_t k, MonoTime now) {
    Services& services = s.door.services;
    const uint64_t limit = services.limits().maxRequestBuffer;
    // When the sessions together would hold more than the bound, the one holding the most
    // goes: this one, or another that stalled short of the end of a larger request.
    if (!services.requests.makeRoom(s, k, limit, now)) {
        reportOverBudget(limit);
        fail();
    }
    size_t want = s.data.size() + k;
    if (want > s.data.capacity()) s.data.reserve(std::min(std::max(want, 2 * s.data.capacity()), size_t(s.keep) + 1));
    s.data.insert(s.data.end(), p, p + k);
    services.requests.take(k);
    s.counted += k;
}

// Reads what has arrived of the current packet, without waiting. True when it is whole.
bool readPacket(sessionClient& s, MonoTime now) {
    static uint8_t scratch[kReadChunk];
    size_t budget = kReadChunk;
    while (!packetWhole(s)) {
        uint8_t* into;
        size_t want;
        if (!headerWhole(s)) {
            into = s.headerBytes + s.headerHave;
            want = kPktHeaderSize - s.headerHave;
        } else {
            if (budget == 0) return false;  // the rest in a later step
            into = scratch;
            want = s.dropLeft > 0 ? s.dropLeft : s.keep - s.data.size();
            want = std::min(want, budget);
        }
        Transfer t = s.receive(into, want);
        if (t.status == Transfer::WouldBlock) return false;
        if (t.status == Transfer::Closed) {
            if (!packetStarted(s)) fail();  // between packets: the peer has gone
            packetCutShort(s, 0);
        }
        if (t.status == Transfer::Failed) {
            if (!packetStarted(s)) fail();
            packetCutShort(s, t.error);
        }
        if (!packetStarted(s)) s.packetStart = now;
        if (!headerWhole(s)) {
            s.headerHave += t.bytes;
            if (headerWhole(s)) {
                s.header = decodeHeader(s.headerBytes);
                checkHeader(s);
            }
            continue;
        }
        budget -= t.bytes;
        if (s.dropLeft > 0)
            s.dropLeft -= uint32_t(t.bytes);
        else
            keepBytes(s, scratch, t.bytes, now);
    }
    return true;
}

// ---- the login ------------------------------------------------------------------------

void startFailDelay(sessionClient& s, MonoTime now) {
    s.door.services.logins.recordFailure(limitsOf(s), s.peer(), s.account, now);
    s.phase = SessionPhase::FailPending;
    s.actionAt = now + limitsOf(s).loginFailDelay;
}

// CID_S_FAIL at once and the close once it is out; not counted as a failed login.
void refuseAtOnce(sessionClient& s) {
    QueuedReply r = makeReply(CID_S_FAIL, 0, ReplyBytes(), SendFailure::Quiet);  // closed either way
    r.closeAfter = true;
    queueReply(s, std::move(r));
}

// The hello, once its waits (if any) are over. Every hello gets a challenge, whether or not
// a user has that name and address: the answer to it fails for a user that does not exist,
// after the same delay as a wrong password, so that a client cannot tell which names exist.
void answerHello(sessionClient& s, const uint8_t* hello, MonoTime now) {
    const UserDirectory& users = s.door.services.users;
    const char* name = reinterpret_cast<const char*>(hello);
    const FidoAddr& a = s.account.address;
    int32_t found = users.find(name, a);
    if (found < 0)
        reportError(0, "user %s, %d:%d/%d.%d not found", LogName(name).text, a.zone, a.net, a.node, a.point);
    s.user = found < 0 ? nullptr : &users.at(found);
    makeChallenge(s.challenge);
    ReplyBytes challenge = ReplyBytes::allocate(kChallengeSize);
    if (!challenge.ok()) throw std::bad_alloc();
    memcpy(challenge.data(), s.challenge, kChallengeSize);
    queueReply(s, makeReply(CID_S_CHALLENGE, kChallengeSize, std::move(challenge), SendFailure::Challenge));
    s.state = CLSS_WAIT_USER_AUTH;
    s.challengeAt = now;
    if (s.user) expectedAnswer(*s.user, s.challenge, s.expectedDigest);
}

void handleAnswer(sessionClient& s, const uint8_t* answer, MonoTime now) {
    if (!s.user) {
        startFailDelay(s, now);  // "not found" was said at the hello
        return;
    }
    const rClientInfo& u = *s.user;
    const FidoAddr& a = u.address;
    if (!answersMatch(answer, s.expectedDigest)) {
        reportError(0, "user %s, %d:%d/%d.%d authentication failed", LogName(u.name).text, a.zone, a.net, a.node, a.point);
        startFailDelay(s, now);
        return;
    }
    // One session per user: the first right answer wins.
    const int32_t userIndex = s.door.services.users.indexOf(u);
    if (isUserConnected(s.door, userIndex)) {
        reportError(0, "user %s, %d:%d/%d.%d already connected", LogName(u.name).text, a.zone, a.net, a.node, a.point);
        refuseAtOnce(s);
        return;
    }
    sendReplyHelper(s, CID_S_OK);
    s.state = CLSS_LOGGED_IN;
    s.claim = SessionRegistry::Claim(s.door.sessions, userIndex);
    s.areaGeneration = s.door.services.areaNumbers.generation();
    s.door.services.logins.recordSuccess(limitsOf(s), s.peer(), s.account, now);
    logLine("user: %s, addr: %d:%d/%d.%d\n", LogName(u.name).text, a.zone, a.net, a.node, a.point);
}

// ---- one whole packet -----------------------------------------------------------------

void handlePacket(sessionClient& s, StepContext& step, const Now& now) {
    s.lastActivity = now.mono;
    // The kept data is followed by a NUL byte that is not part of it (a post's text ends
    // there); keepBytes left room for it.
    if (s.keep > 0 && s.data.size() == s.keep) s.data.push_back(0);
    const uint8_t* data = s.data.data();
    switch (s.state) {
    case CLSS_WAIT_USER_HELLO: {
        // The packet stays while the hello waits: first out its network's delay, then for
        // its account's turn.
        LoginThrottle& logins = s.door.services.logins;
        if (s.phase == SessionPhase::Reading) {
            LoginThrottle::Duration delay = logins.helloDelay(limitsOf(s), s.peer(), now.mono);
            s.account.name.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), 36));
            s.account.address = decodeFidoAddr(data + kHelloAddrOffset);
            if (delay > LoginThrottle::Duration::zero()) {
                s.phase = SessionPhase::HelloHeld;
                s.actionAt = now.mono + delay;
                return;
            }
        }
        if (!s.accountTurnTaken) {
            s.accountTurnTaken = true;
            LoginThrottle::Duration turn = logins.takeAccountTurn(limitsOf(s), s.account, s.peer(), now.mono);
            if (turn > LoginThrottle::Duration::zero()) {
                s.phase = SessionPhase::HelloHeld;
                s.actionAt = now.mono + turn;
                return;
            }
        }
        s.phase = SessionPhase::Reading;
        answerHello(s, data, now.mono);
        break;
    }
    case CLSS_WAIT_USER_AUTH: handleAnswer(s, data, now.mono); break;
    default: {
        if (s.phase != SessionPhase::WriteRetry) s.giveUpAt = now.mono + limitsOf(s).writeRetryTime;
        step.mayDefer = now.mono < s.giveUpAt;
        dispatchCommand(s, s.header, data, s.keep, step);
        if (step.deferred) {
            s.phase = SessionPhase::WriteRetry;  // the packet stays for the next try
            s.actionAt = now.mono + limitsOf(s).writeRetryInterval;
            return;
        }
        s.phase = SessionPhase::Reading;
        break;
    }
    }
    resetPacket(s);
}

// ---- the reply on its way -------------------------------------------------------------

[[noreturn]] void replyFailed(const sessionClient& s, int systemError) {
    const QueuedReply& r = s.reply;
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
    QueuedReply& r = s.reply;
    while (r.sent < r.total()) {
        Transfer t;
        if (r.sent < kPktHeaderSize)
            t = s.send(r.header + r.sent, kPktHeaderSize - r.sent, r.data.data(), r.data.size());
        else
            t = s.send(r.data.data() + (r.sent - kPktHeaderSize), r.total() - r.sent, nullptr, 0);
        if (t.status == Transfer::WouldBlock) return false;
        if (t.status != Transfer::Moved || t.bytes == 0) replyFailed(s, t.error);
        r.sent += t.bytes;
        s.replyProgress = now;
    }
    bool closeAfter = r.closeAfter;
    r = QueuedReply();  // the bytes are given back at once
    s.replyQueued = false;
    s.lastActivity = now;
    if (closeAfter) fail();
    return true;
}

// A reply queued in this step goes out at once when the socket takes it.
void startReply(sessionClient& s, MonoTime now) {
    if (!s.replyQueued) return;
    s.replyProgress = now;
    (void)sendReply(s, now);
}

// ---- deadlines ------------------------------------------------------------------------

// The deadline of a session that is reading (no reply queued, no held phase), and whether
// it is the end of a packet's time.
MonoTime readingDeadline(const sessionClient& s, bool& forPacket) {
    const SessionLimits& l = limitsOf(s);
    MonoTime d = MonoTime::max();
    forPacket = false;
    if (packetStarted(s)) {
        d = s.packetStart + l.packetTimeout;
        forPacket = true;
    } else {
        d = s.lastActivity + l.idleTimeout;
    }
    MonoTime login = MonoTime::max();
    if (s.state == CLSS_WAIT_USER_HELLO) login = s.connectedAt + l.helloTimeout;
    if (s.state == CLSS_WAIT_USER_AUTH) login = s.challengeAt + l.authTimeout;
    if (login < d) {
        d = login;
        forPacket = packetStarted(s);
    }
    return d;
}

// Closes a reading session whose time is up: a packet cut short, or "client timeout.".
void checkReadingDeadline(const sessionClient& s, MonoTime now) {
    bool forPacket;
    if (now < readingDeadline(s, forPacket)) return;
    if (forPacket) packetCutShort(s, 0);
    reportError(0, "client timeout.\n");
    fail();
}

// ---- closing --------------------------------------------------------------------------

// Drops what the peer still sends; closes at its end, on an error, at the byte bound or
// when the drain's time is over.
void continueDrain(sessionClient& s, MonoTime now) {
    if (s.drainFinished(s.drained, limitsOf(s).drainBytes, s.drainUntil, now)) s.finishClose();
}

// The work of one step; throws ClientStepFailure to close.
void runStep(sessionClient& s, Readiness ready, const Now& now, StepContext& step) {
    if (s.replyQueued) {
        if (ready.writable && sendReply(s, now.mono)) return;  // one reply per step
        if (s.replyQueued) {
            if (now.mono - s.replyProgress >= limitsOf(s).replyTimeout) replyFailed(s, 0);
            return;
        }
    }
    switch (s.phase) {
    case SessionPhase::Reading: break;
    case SessionPhase::HelloHeld:
    case SessionPhase::WriteRetry:
        if (now.mono < s.actionAt) return;
        handlePacket(s, step, now);
        startReply(s, now.mono);
        return;
    case SessionPhase::FailPending:
        if (now.mono < s.actionAt) return;
        s.phase = SessionPhase::Reading;
        refuseAtOnce(s);
        resetPacket(s);
        startReply(s, now.mono);
        return;
    case SessionPhase::Draining: return;
    }
    if (ready.readable && readPacket(s, now.mono)) {
        handlePacket(s, step, now);
        startReply(s, now.mono);
        return;
    }
    checkReadingDeadline(s, now.mono);
}

}  // namespace

ConnectionFactory BinaryDoor::factory() {
    return [this](int socket, const NetAddress& peer, const Now& now) -> std::unique_ptr<Connection> {
        return std::unique_ptr<Connection>(new (std::nothrow) sessionClient(*this, socket, peer, now.mono));
    };
}

sessionClient::sessionClient(BinaryDoor& d, int socket, const NetAddress& peer, MonoTime now)
    : Connection(socket, peer), door(d), connectedAt(now), lastActivity(now) {
    door.services.requests.add(this);
}

sessionClient::~sessionClient() {
    door.services.requests.giveBack(counted);
    door.services.requests.remove(this);
}

void sessionClient::dropForBudget(uint64_t limit, MonoTime now) {
    if (closed() || phase == SessionPhase::Draining) return;
    LogPeer scope(peerText());
    reportOverBudget(limit);
    disconnectClient(*this, now);
}

void sessionClient::closeToMakeRoom() {
    if (closed()) return;
    resetPacket(*this);
    reply = QueuedReply();
    replyQueued = false;
    claim.reset();
    finishClose();
}

void sessionClient::finishClose() {
    releaseSocket();
    logLine("client disconnected.\n");
}

void sessionClient::settingsReloaded(const Now& now) {
    if (closed() || phase == SessionPhase::Draining || state == CLSS_WAIT_USER_HELLO) return;
    // The user the hello named, in the new list: the old entries are gone.
    char name[sizeof user->name] = {};
    memcpy(name, account.name.data(), std::min(account.name.size(), sizeof name));
    const UserDirectory& users = door.services.users;
    const int32_t found = users.find(name, account.address);
    const rClientInfo* fresh = found < 0 ? nullptr : &users.at(found);
    if (state == CLSS_WAIT_USER_AUTH) {
        // The answer is checked against the password in force.
        user = fresh;
        if (user) expectedAnswer(*user, challenge, expectedDigest);
        return;
    }
    if (!fresh) {
        LogPeer scope(peerText());
        const FidoAddr& a = account.address;
        reportError(0, "user %s, %d:%d/%d.%d is no longer registered: session closed", LogName(name).text, a.zone,
                    a.net, a.node, a.point);
        user = nullptr;
        claim.reset();
        disconnectClient(*this, now.mono);
        return;
    }
    user = fresh;
    claim = SessionRegistry::Claim(door.sessions, found);
}

bool isUserConnected(const BinaryDoor& door, int32_t userIndex) { return door.sessions.isUserConnected(userIndex); }

void disconnectClient(sessionClient& s, MonoTime now) {
    resetPacket(s);
    s.reply = QueuedReply();
    s.replyQueued = false;
    s.phase = SessionPhase::Draining;
    s.claim.reset();  // a closing session holds nobody
    s.drainUntil = now + limitsOf(s).drainTime;
    s.drained = 0;
    s.shutdownSending();
    continueDrain(s, now);
}

void stepClient(sessionClient& s, Readiness ready, const Now& now) {
    if (s.closed()) return;
    LogPeer peer(s.peerText());
    if (s.phase == SessionPhase::Draining) {
        continueDrain(s, now.mono);
        return;
    }
    bool close = false;
    StepContext step;
    step.now = now;
    try {
        runStep(s, ready, now, step);
    } catch (const ClientStepFailure&) {
        close = true;
    } catch (const std::bad_alloc&) {
        reportError(0, "out of memory");
        close = true;
    }
    step.area.reset();
    if (close) disconnectClient(s, now.mono);
}

void sessionClient::step(Readiness ready, const Now& now) { stepClient(*this, ready, now); }

SocketInterest sessionClient::interest() const {
    SocketInterest w;
    if (closed()) return w;
    if (phase == SessionPhase::Draining) {
        w.read = true;
    } else if (replyQueued) {
        w.write = true;
    } else if (phase == SessionPhase::Reading) {
        w.read = true;
    }
    return w;
}

MonoTime sessionClient::deadline() const {
    if (closed()) return MonoTime::max();
    if (phase == SessionPhase::Draining) return drainUntil;
    if (replyQueued) return replyProgress + limitsOf(*this).replyTimeout;
    if (phase != SessionPhase::Reading) return actionAt;
    bool forPacket;
    return readingDeadline(*this, forPacket);
}
