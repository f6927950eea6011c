// One session per accepted connection: the hello, the challenge and its answer, then the
// command handlers. Any failure closes only that connection.
//
// Sockets never block. Each session keeps the packet it is reading and the reply it is
// sending; a step takes a packet only once its header and all the data its command accepts
// have arrived, and takes no new packet while a reply is still on its way, so requests are
// answered strictly in order. Everything a session waits for has a deadline on the
// monotonic clock (SessionLimits); nothing waits in place.
#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

#include "config/config.h"
#include "protocol/login_throttle.h"
#include "protocol/reply.h"
#include "support/array.h"
#include "support/lzw12.h"
#include "support/socket.h"
#include "wire/packets.h"

constexpr int32_t CLSS_WAIT_USER_HELLO = 0;
constexpr int32_t CLSS_WAIT_USER_AUTH = 1;
constexpr int32_t CLSS_LOGGED_IN = 2;

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

struct SessionIo;

struct sessionClient {
    rClientInfo* user = nullptr;  // into userList, which never changes after start-up
    int socket = -1;              // -1 once the connection has been closed
    int32_t state = CLSS_WAIT_USER_HELLO;
    uint8_t challenge[kChallengeSize] = {};
    uint8_t expectedDigest[kAuthSize] = {};
    NetAddress peer;  // the peer's address and port
    // The buffers and timers of the connection. Owned by the record: made by addSession,
    // freed by releaseSession (the list moves records byte for byte, so it cannot own them).
    SessionIo* io = nullptr;
};
inline bool arrayElementEquals(const sessionClient& a, const sessionClient& b) { return a.socket == b.socket; }

// What the sessions share beyond the program-wide lists.
struct SessionShared {
    LoginThrottle logins;     // failures and refusals per network address
    uint64_t requestBytes = 0;  // request data buffered across all sessions
};

// The program-wide objects a session step works with. The server owns them for the whole
// run; userList and areaList never change after start-up, so sessions keep pointers into
// userList.
struct ServerContext {
    MCArray<mArea>& areaList;
    MCArray<rClientInfo>& userList;
    MCArray<sessionClient>& clientList;
    LZW12& compressor;
    MCArray<pktAreaInfo>& areaInfoList;  // scratch list of the area-list command
    const SessionLimits& limits;
    SessionShared& shared;
    const ServerSettings* settings = nullptr;  // none: the defaults
};

// What a session is doing besides reading its next packet and sending its last reply.
enum class SessionPhase {
    Reading,      // taking packets and sending their replies
    HelloHeld,    // a whole hello waits out its address's login delay
    FailPending,  // a failed login: CID_S_FAIL goes out when the delay is over, then the close
    WriteRetry,   // a post or delete held back by another writer is tried again later
    Draining,     // closing: the sending side is shut, what still arrives is dropped
};

struct SessionIo {
    SessionPhase phase = SessionPhase::Reading;
    // The peer as the session's console lines begin with it ("127.0.0.1:40312").
    char peerText[kAddressTextSize] = {};

    // The packet being read: the header, then the data its command accepts (kept, with a
    // NUL byte after it) or drops (an unknown command's, dropped as it arrives).
    uint8_t headerBytes[kPktHeaderSize] = {};
    size_t headerHave = 0;
    pktHeader header;
    uint32_t keep = 0;          // data bytes to keep, known once the header is checked
    uint32_t dropLeft = 0;      // data bytes still to drop
    std::vector<uint8_t> data;  // the kept data so far; grows with what arrives
    uint64_t counted = 0;       // of SessionShared::requestBytes, this session's share

    QueuedReply reply;
    bool replyQueued = false;

    MonoTime connectedAt{};
    MonoTime challengeAt{};
    MonoTime lastActivity{};   // the last packet taken or reply sent
    MonoTime packetStart{};    // the first byte of the packet being read
    MonoTime replyProgress{};  // the last time the queued reply moved
    MonoTime actionAt{};       // the end of a held phase's wait
    MonoTime giveUpAt{};       // a held-back write's last try
    MonoTime drainUntil{};
    size_t drained = 0;
};

// What the main loop saw on a session's socket.
struct Readiness {
    bool readable = false;
    bool writable = false;
};
// What a session wants the main loop to wait for on its socket.
struct SocketInterest {
    bool read = false;
    bool write = false;
};

// Thrown inside a step to end the handling of the packet and close the connection;
// caught once at the end of the step.
struct ClientStepFailure {};

// Appends a session for an accepted connection. False when the list cannot grow (the
// socket is then left to the caller).
bool addSession(ServerContext& server, int socket, const NetAddress& peer, MonoTime now);
// Frees what the record owns (and closes its socket if still open); before its removal.
void releaseSession(ServerContext& server, sessionClient& session);

// One step: sends what the socket takes of the queued reply, runs a held phase whose wait
// is over, reads what has arrived of the next packet and handles it once whole, and
// closes the connection when a deadline has passed. The console lines of the step begin
// with the peer's address and port.
void stepClient(ServerContext& server, sessionClient& session, Readiness ready, MonoTime now);
// Shuts the sending side down and drains what the peer still sends, in later steps, until
// it closes, for at most SessionLimits::drainTime; then the socket is closed and the record
// is marked for removal.
void disconnectClient(ServerContext& server, sessionClient& session, MonoTime now);

SocketInterest socketInterest(const sessionClient& session);
// The moment the session's next deadline passes (MonoTime::max() for none).
MonoTime nextDeadline(const ServerContext& server, const sessionClient& session);

// True if a logged-in session that is not closing holds the user at this position.
bool isUserConnected(const ServerContext& server, int32_t userIndex);
// Open sessions from the address (whatever their ports) that have not logged in yet.
int32_t pendingLogins(const ServerContext& server, const NetAddress& peer);
// Sessions whose connection is still open (closing ones included).
int32_t openSessions(const ServerContext& server);

// The challenge of a hello: 20 bytes from the kernel's random source, new every time.
void makeChallenge(uint8_t out[kChallengeSize]);
// The fallback form when the random source fails: the local time as "%d %b %y %H:%M:%S"
// and two zeros, or a fixed text when the time cannot be had either.
void makeChallenge(uint8_t out[kChallengeSize], const std::tm* local);
