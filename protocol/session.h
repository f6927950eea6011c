// The binary door: one session per accepted connection, the hello, the challenge and its
// answer, then the command handlers. Any failure closes only that connection.
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
#include <memory>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/session_registry.h"
#include "accounts/users.h"
#include "core/connection.h"
#include "core/services.h"
#include "protocol/reply.h"
#include "support/array.h"
#include "support/lzw12.h"
#include "wire/packets.h"

constexpr int32_t CLSS_WAIT_USER_HELLO = 0;
constexpr int32_t CLSS_WAIT_USER_AUTH = 1;
constexpr int32_t CLSS_LOGGED_IN = 2;

// What the binary door keeps for all its sessions: the shared services, its LZW12 coder,
// the scratch list of the area-list command, and the rule of one session per user.
struct BinaryDoor {
    explicit BinaryDoor(Services& s) : services(s) {}
    BinaryDoor(const BinaryDoor&) = delete;
    BinaryDoor& operator=(const BinaryDoor&) = delete;

    Services& services;
    LZW12 compressor;
    MCArray<pktAreaInfo> areaInfoList;
    SessionRegistry sessions;  // users with a logged-in session

    // The factory of the door's listener: a session for an accepted connection.
    ConnectionFactory factory();
};

// What a session is doing besides reading its next packet and sending its last reply.
enum class SessionPhase {
    Reading,      // taking packets and sending their replies
    HelloHeld,    // a whole hello waits out its address's login delay
    FailPending,  // a failed login: CID_S_FAIL goes out when the delay is over, then the close
    WriteRetry,   // a post or delete held back by another writer is tried again later
    Draining,     // closing: the sending side is shut, what still arrives is dropped
};

class sessionClient : public Connection, public RequestBudget::Holder {
public:
    sessionClient(BinaryDoor& door, int socket, const NetAddress& peer, MonoTime now);
    ~sessionClient() override;

    SocketInterest interest() const override;
    MonoTime deadline() const override;
    void step(Readiness ready, const Now& now) override;
    bool loggedIn() const override { return state == CLSS_LOGGED_IN; }
    bool closing() const override { return phase == SessionPhase::Draining; }
    void closeToMakeRoom() override;
    uint64_t heldRequestBytes() const override { return counted; }
    void dropForBudget(uint64_t limit, MonoTime now) override;
    void settingsReloaded(const Now& now) override;

    BinaryDoor& door;
    // The user the hello named (none when no user has that name and address): an entry of
    // the user list in force, found again after a reload.
    const rClientInfo* user = nullptr;
    int32_t state = CLSS_WAIT_USER_HELLO;
    uint8_t challenge[kChallengeSize] = {};
    uint8_t expectedDigest[kAuthSize] = {};
    SessionRegistry::Claim claim;  // the user's one session, once logged in
    uint32_t areaGeneration = 0;   // the area list whose numbers the client uses (AreaNumbers)
    LoginAccount account;          // the name and address the hello named
    bool accountTurnTaken = false;  // the hello has had its account's turn

    SessionPhase phase = SessionPhase::Reading;

    // The packet being read: the header, then the data its command accepts (kept, with a
    // NUL byte after it) or drops (an unknown command's, dropped as it arrives).
    uint8_t headerBytes[kPktHeaderSize] = {};
    size_t headerHave = 0;
    pktHeader header;
    uint32_t keep = 0;          // data bytes to keep, known once the header is checked
    uint32_t dropLeft = 0;      // data bytes still to drop
    std::vector<uint8_t> data;  // the kept data so far; grows with what arrives
    uint64_t counted = 0;       // of the request data all sessions hold, this session's share

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

    // Closes the socket (after the drain) with "client disconnected.".
    void finishClose();
};

// Thrown inside a step to end the handling of the packet and close the connection;
// caught once at the end of the step.
struct ClientStepFailure {};

// One step: sends what the socket takes of the queued reply, runs a held phase whose wait
// is over, reads what has arrived of the next packet and handles it once whole, and
// closes the connection when a deadline has passed. The console lines of the step begin
// with the peer's address and port.
void stepClient(sessionClient& session, Readiness ready, const Now& now);
// Shuts the sending side down and drains what the peer still sends, in later steps, until
// it closes, for at most SessionLimits::drainTime; then the socket is closed.
void disconnectClient(sessionClient& session, MonoTime now);

// True if a logged-in session that is not closing holds the user at this position.
bool isUserConnected(const BinaryDoor& door, int32_t userIndex);
