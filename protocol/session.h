// One session per accepted connection: the hello, the challenge and its answer, then the
// command handlers. Any failure closes only that connection.
#pragma once
#include <cstdint>
#include <ctime>

#include "config/config.h"
#include "support/array.h"

constexpr int32_t CLSS_WAIT_USER_HELLO = 0;
constexpr int32_t CLSS_WAIT_USER_AUTH = 1;
constexpr int32_t CLSS_LOGGED_IN = 2;

struct sessionClient {
    rClientInfo* user = nullptr;  // into userList, which never changes after start-up
    int socket = -1;              // -1 once the connection has been closed
    int32_t state = CLSS_WAIT_USER_HELLO;
    int32_t idleSteps = 0;
    uint8_t challenge[20] = {};
    uint8_t expectedDigest[16] = {};
};
inline bool arrayElementEquals(const sessionClient& a, const sessionClient& b) { return a.socket == b.socket; }

extern MCArray<sessionClient> clientList;

// A session that receives nothing for this many steps in a row is closed.
constexpr int32_t kIdleStepLimit = 35000;
// How long one step waits for the client's data.
constexpr int kStepWaitMs = 8;

// Thrown inside a step to end the handling of the packet and close the connection;
// caught once at the end of the step.
struct ClientStepFailure {};

void stepClient(sessionClient& session, int32_t idleLimit = kIdleStepLimit);
void disconnectClient(sessionClient& session);
bool isUserConnected(int32_t userIndex);

// 20 bytes: the local time as "%d %b %y %H:%M:%S" and two zeros, or a fixed text when the
// time cannot be had.
void makeChallenge(uint8_t out[20], const std::tm* local);
void makeChallenge(uint8_t out[20]);
