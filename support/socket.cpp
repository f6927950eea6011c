#include "support/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How long and how much a closing connection is drained before it is closed anyway.
constexpr int kDrainMs = 1000;
constexpr size_t kDrainBytes = 64 * 1024;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Waits for `events` on the socket until the deadline: 1 ready, 0 time-out, -1 failure.
int waitFor(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        struct pollfd p = {socket, events, 0};
        int r = poll(&p, 1, msLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        return r == 0 ? 0 : 1;
    }
}

}  // namespace

bool resolvePort(const char* text, uint16_t& portNetworkOrder) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 0);
    // The port is taken as a 32-bit number that saturates at its limits.
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    if (end && *end == 0) {
        portNetworkOrder = htons(uint16_t(uint32_t(int32_t(value)) % 65536u));
        return true;
    }
    struct servent* service = getservbyname(text, "tcp");
    if (!service) return false;
    portNetworkOrder = uint16_t(service->s_port);
    return true;
}

int openListenSocket(uint16_t portNetworkOrder, ListenFailure& failure) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = portNetworkOrder;
    auto failed = [&failure](ListenStep step, int s) {
        failure.step = step;
        failure.systemError = errno;
        if (s >= 0) close(s);
        return -1;
    };
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return failed(ListenStep::Socket, s);
    int32_t on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return failed(ListenStep::Option, s);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return failed(ListenStep::Bind, s);
    if (listen(s, 5) != 0) return failed(ListenStep::Listen, s);
    return s;
}

ssize_t readn(int socket, void* buffer, ssize_t n) {
    if (n <= 0) return n;
    char* p = static_cast<char*>(buffer);
    ssize_t remaining = n;
    auto deadline = Clock::now() + std::chrono::milliseconds(kTransferStallMs);
    while (remaining > 0) {
        int w = waitFor(socket, POLLIN, deadline);
        if (w < 0) return -1;
        if (w == 0) return n - remaining;  // stalled
        ssize_t k = recv(socket, p, size_t(remaining), MSG_DONTWAIT);
        if (k < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return -1;
        }
        if (k == 0) return n - remaining;
        p += k;
        remaining -= k;
        deadline = Clock::now() + std::chrono::milliseconds(kTransferStallMs);
    }
    return n;
}

ssize_t sendTwoBuffers(int socket, const void* first, size_t n1, const void* second, size_t n2) {
    size_t total = n1 + n2;
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(kTransferStallMs);
    while (done < total) {
        struct iovec iov[2];
        int count = 0;
        if (done < n1) {
            iov[count++] = {const_cast<char*>(static_cast<const char*>(first)) + done, n1 - done};
            if (n2 > 0) iov[count++] = {const_cast<void*>(second), n2};
        } else {
            iov[count++] = {const_cast<char*>(static_cast<const char*>(second)) + (done - n1), total - done};
        }
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t k = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                int w = waitFor(socket, POLLOUT, deadline);
                if (w < 0) return -1;
                if (w == 0) return ssize_t(done);  // stalled
                continue;
            }
            return -1;
        }
        if (k == 0) return ssize_t(done);
        done += size_t(k);
        deadline = Clock::now() + std::chrono::milliseconds(kTransferStallMs);
    }
    return ssize_t(total);
}

ssize_t sendn(int socket, const void* buffer, ssize_t n) {
    if (n <= 0) return n;
    return sendTwoBuffers(socket, buffer, size_t(n), nullptr, 0);
}

int waitReadable(int socket, int timeoutMs) {
    return waitFor(socket, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs));
}

int waitForActivity(int listenSocket, const int* clients, size_t clientCount, int timeoutMicros) {
    std::vector<struct pollfd> fds;
    fds.reserve(clientCount + 1);
    fds.push_back({listenSocket, POLLIN, 0});
    for (size_t i = 0; i < clientCount; ++i)
        if (clients[i] >= 0) fds.push_back({clients[i], POLLIN, 0});
    auto deadline = Clock::now() + std::chrono::microseconds(timeoutMicros);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        // poll counts milliseconds; a wait below one millisecond rounds up to one.
        int r = poll(fds.data(), fds.size(), int((left + 999) / 1000));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        return (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
    }
}

int acceptClient(int listenSocket, char* peerText, size_t peerTextSize) {
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    int s;
    do s = accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    while (s < 0 && errno == EINTR);
    if (s < 0) return -1;
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!inet_ntop(AF_INET, &peer.sin_addr, peerText, socklen_t(peerTextSize))) snprintf(peerText, peerTextSize, "?");
    return s;
}

void closeClientSocket(int socket) {
    shutdown(socket, SHUT_WR);
    char scratch[4096];
    size_t drained = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
    while (drained < kDrainBytes) {
        int w = waitFor(socket, POLLIN, deadline);
        if (w <= 0) break;
        ssize_t k = recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (k <= 0) break;
        drained += size_t(k);
    }
    close(socket);
}
