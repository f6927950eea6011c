#include "protocol/session.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <new>

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

void handleHello(ServerContext& server, sessionClient& s, const pktHeader& h) {
    if (h.cmd != CID_C_HELLO) {
        reportError(0, "unexpected command (%u) for CLSS_WAIT_USER_HELLO", h.cmd);
        fail();
    }
    if (h.dataSize != kHelloSize) {
        reportError(0, "invalid data size (%u) in packet header", h.dataSize);
        fail();
    }
    uint8_t hello[kHelloSize];
    if (readn(s.socket, hello, kHelloSize) != ssize_t(kHelloSize)) {
        reportError(0, "readn(data) failed");
        fail();
    }
    rClientInfo probe;
    memcpy(probe.name, hello, sizeof probe.name);
    probe.address = decodeFidoAddr(hello + kHelloAddrOffset);
    const FidoAddr& a = probe.address;

    int32_t found = server.userList.find(0, probe);
    if (found < 0) {
        (void)sendReplyHelper(s.socket, CID_S_FAIL);  // closed either way
        reportError(0, "user %s, %d:%d/%d.%d not found", LogName(probe.name).text, a.zone, a.net, a.node, a.point);
        fail();
    }
    if (isUserConnected(server, found)) {
        (void)sendReplyHelper(s.socket, CID_S_FAIL);  // closed either way
        reportError(0, "user %s, %d:%d/%d.%d already connected", LogName(probe.name).text, a.zone, a.net, a.node, a.point);
        fail();
    }
    s.user = server.userList.getAt(found);
    makeChallenge(s.challenge);

    // The header and the challenge go out in one write.
    uint8_t header[kPktHeaderSize];
    encodeHeader(pktHeader{CID_S_CHALLENGE, kChallengeSize}, header);
    errno = 0;
    ssize_t sent = sendTwoBuffers(s.socket, header, kPktHeaderSize, s.challenge, kChallengeSize);
    if (sent < ssize_t(kPktHeaderSize)) {
        reportError(errno, "sendn(pktHeader) failed");
        fail();
    }
    if (sent != ssize_t(kPktHeaderSize + kChallengeSize)) {
        reportError(errno, "sendn(data) failed");
        fail();
    }
    s.state = CLSS_WAIT_USER_AUTH;
    hmacMd5(reinterpret_cast<const uint8_t*>(s.user->password), s.challenge, s.expectedDigest);
}

void handleAnswer(sessionClient& s, const pktHeader& h) {
    if (h.cmd != CID_C_AUTH) {
        reportError(0, "unexpected command (%u) for CLSS_WAIT_USER_AUTH", h.cmd);
        fail();
    }
    if (h.dataSize != kAuthSize) {
        reportError(0, "invalid data size (%u) in packet header", h.dataSize);
        fail();
    }
    uint8_t answer[kAuthSize];
    if (readn(s.socket, answer, kAuthSize) != ssize_t(kAuthSize)) {
        reportError(0, "readn(data) failed");
        fail();
    }
    const rClientInfo& u = *s.user;
    const FidoAddr& a = u.address;
    if (!digestsEqual(answer, s.expectedDigest)) {
        (void)sendReplyHelper(s.socket, CID_S_FAIL);  // closed either way
        reportError(0, "user %s, %d:%d/%d.%d authentication failed", LogName(u.name).text, a.zone, a.net, a.node, a.point);
        fail();
    }
    if (!sendReplyHelper(s.socket, CID_S_OK)) fail();
    s.state = CLSS_LOGGED_IN;
    logLine("user: %s, addr: %d:%d/%d.%d\n", LogName(u.name).text, a.zone, a.net, a.node, a.point);
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
        // A session closed earlier in this pass stays in the list until the pass ends;
        // it no longer holds its user.
        if (c.socket != kClosedSocket && c.state != CLSS_WAIT_USER_HELLO && c.user == user) return true;
    }
    return false;
}

void disconnectClient(sessionClient& session) {
    closeClientSocket(session.socket);
    logLine("client disconnected.\n");
    session.socket = kClosedSocket;
}

void stepClient(ServerContext& server, sessionClient& session, int32_t idleLimit) {
    if (session.socket == kClosedSocket) return;
    bool close = false;
    StepContext step;
    int w = waitReadable(session.socket, kStepWaitMs);
    if (w < 0) {
        close = true;
    } else if (w == 0) {
        if (++session.idleSteps < idleLimit) return;
        reportError(0, "client timeout.\n");
        close = true;
    } else {
        session.idleSteps = 0;
        uint8_t raw[kPktHeaderSize];
        if (readn(session.socket, raw, kPktHeaderSize) != ssize_t(kPktHeaderSize)) {
            close = true;
        } else {
            pktHeader header = decodeHeader(raw);
            try {
                switch (session.state) {
                case CLSS_WAIT_USER_HELLO: handleHello(server, session, header); break;
                case CLSS_WAIT_USER_AUTH: handleAnswer(session, header); break;
                default: dispatchCommand(server, session, header, step); break;
                }
            } catch (const ClientStepFailure&) {
                close = true;
            } catch (const std::bad_alloc&) {
                reportError(0, "out of memory");
                close = true;
            }
        }
    }
    step.area.reset();
    if (close) disconnectClient(session);
}
