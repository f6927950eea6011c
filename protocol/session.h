// One session per accepted connection: the hello, the challenge and its answer, then the
// command handlers. Any failure closes only that connection.
#pragma once
#include <cstdint>
#include <ctime>

#include "config/config.h"
#include "support/array.h"
#include "support/lzw12.h"
#include "wire/packets.h"

constexpr int32_t CLSS_WAIT_USER_HELLO = 0;
constexpr int32_t CLSS_WAIT_USER_AUTH = 1;
constexpr int32_t CLSS_LOGGED_IN = 2;

struct sessionClient {
    rClientInfo* user = nullptr;  // into userList, which never changes after start-up
    int socket = -1;              // -1 once the connection has been closed
    int32_t state = CLSS_WAIT_USER_HELLO;
    int32_t idleSteps = 0;
    uint8_t challenge[kChallengeSize] = {};
    uint8_t expectedDigest[kAuthSize] = {};
};
inline bool arrayElementEquals(const sessionClient& a, const sessionClient& b) { return a.socket == b.socket; }

// The program-wide objects a session step works with. The server owns them for the whole
// run; userList and areaList never change after start-up, so sessions keep pointers into
// userList.
struct ServerContext {
    MCArray<mArea>& areaList;
    MCArray<rClientInfo>& userList;
    MCArray<sessionClient>& clientList;
    LZW12& compressor;
    MCArray<pktAreaInfo>& areaInfoList;  // scratch list of the area-list command
    const ServerSettings* settings = nullptr;  // none: the defaults
};

// A session that receives nothing for this many steps in a row is closed.
constexpr int32_t kIdleStepLimit = 35000;
// How long one step waits for the client's data.
constexpr int kStepWaitMs = 8;

// Thrown inside a step to end the handling of the packet and close the connection;
// caught once at the end of the step.
struct ClientStepFailure {};

void stepClient(ServerContext& server, sessionClient& session, int32_t idleLimit = kIdleStepLimit);
void disconnectClient(sessionClient& session);
bool isUserConnected(const ServerContext& server, int32_t userIndex);

// The challenge of a hello: 20 bytes from the kernel's random source, new every time.
void makeChallenge(uint8_t out[kChallengeSize]);
// The fallback form when the random source fails: the local time as "%d %b %y %H:%M:%S"
// and two zeros, or a fixed text when the time cannot be had either.
void makeChallenge(uint8_t out[kChallengeSize], const std::tm* local);
