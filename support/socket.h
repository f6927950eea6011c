// The thin layer over sockets: the listening socket, the bounded exact-length transfers and
// the readiness waits. Every call reports failure to its caller; none ends the process.
#pragma once
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The value that marks a closed connection (no open socket has it).
constexpr int kClosedSocket = -1;

// A transfer that makes no progress for this long ends with the count moved so far, so a
// client that stops in the middle of a packet cannot hold the main loop for longer.
constexpr int kTransferStallMs = 10000;

// A port from its text: a whole number in any base (leading white space and a sign
// allowed, saturating at the 32-bit limits, taken modulo 65536) or a "tcp" service name.
// The result is in network byte order. False when the text names no known service.
bool resolvePort(const char* text, uint16_t& portNetworkOrder);

// The step of the listening socket's set-up that failed, with the system's error code.
enum class ListenStep { Socket, Option, Bind, Listen };
struct ListenFailure {
    ListenStep step = ListenStep::Socket;
    int systemError = 0;
};
// An IPv4 stream socket on every interface at the given port (network byte order), with
// SO_REUSEADDR, listening with a backlog of 5. The socket, or -1 with `failure` filled.
int openListenSocket(uint16_t portNetworkOrder, ListenFailure& failure);

// Exactly n bytes, or fewer when the peer closed or the transfer stalled; -1 on failure.
ssize_t readn(int socket, void* buffer, ssize_t n);
ssize_t sendn(int socket, const void* buffer, ssize_t n);
// A header and its data as one write, so that no reply waits for a delayed acknowledgement.
// Returns the bytes sent of the n1 + n2 (fewer on close or stall), or -1.
ssize_t sendTwoBuffers(int socket, const void* first, size_t n1, const void* second, size_t n2);

// 1 when readable, 0 on time-out, -1 on failure (EINTR retried with the time left).
int waitReadable(int socket, int timeoutMs);

// Waits at most timeoutMicros until the listening socket or one of the client sockets is
// readable. 1 when a connection is pending on the listening socket, 0 otherwise (time-out or
// only client data), -1 on failure. Returning early for client data lets a request be served
// at once instead of after the whole accept wait.
int waitForActivity(int listenSocket, const int* clients, size_t clientCount, int timeoutMicros);

// Accepts a connection with TCP_NODELAY set; fills the peer's dotted address text.
int acceptClient(int listenSocket, char* peerText, size_t peerTextSize);

// Shut down the sending direction, drain what the peer still sends (bounded in time and
// bytes), close.
void closeClientSocket(int socket);
