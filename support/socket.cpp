#include "support/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return failed(ListenStep::Socket, s);
    int32_t on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return failed(ListenStep::Option, s);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return failed(ListenStep::Bind, s);
    if (listen(s, kListenBacklog) != 0) return failed(ListenStep::Listen, s);
    return s;
}

int acceptClient(int listenSocket, uint32_t& peerAddress, int& error) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    int s;
    do s = accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    while (s < 0 && errno == EINTR);
    if (s < 0) {
        error = (errno == EWOULDBLOCK) ? EAGAIN : errno;
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peerAddress = peer.sin_addr.s_addr;
    error = 0;
    return s;
}

void ipv4Text(uint32_t networkOrderAddress, char* out, size_t size) {
    struct in_addr a;
    a.s_addr = networkOrderAddress;
    if (!inet_ntop(AF_INET, &a, out, socklen_t(size))) snprintf(out, size, "?");
}

Transfer receiveSome(int socket, void* buffer, size_t n) {
    Transfer t;
    ssize_t k;
    do k = recv(socket, buffer, n, MSG_DONTWAIT);
    while (k < 0 && errno == EINTR);
    if (k > 0) {
        t.status = Transfer::Moved;
        t.bytes = size_t(k);
    } else if (k == 0) {
        t.status = Transfer::Closed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        t.status = Transfer::WouldBlock;
    } else {
        t.status = Transfer::Failed;
        t.error = errno;
    }
    return t;
}

Transfer sendSome(int socket, const void* first, size_t n1, const void* second, size_t n2) {
    struct iovec iov[2];
    int count = 0;
    if (n1 > 0) iov[count++] = {const_cast<void*>(first), n1};
    if (n2 > 0) iov[count++] = {const_cast<void*>(second), n2};
    Transfer t;
    if (count == 0) {
        t.status = Transfer::Moved;
        return t;
    }
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = size_t(count);
    ssize_t k;
    do k = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (k < 0 && errno == EINTR);
    if (k >= 0) {
        t.status = Transfer::Moved;
        t.bytes = size_t(k);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        t.status = Transfer::WouldBlock;
    } else {
        t.status = Transfer::Failed;
        t.error = errno;
    }
    return t;
}

void shutdownSending(int socket) { shutdown(socket, SHUT_WR); }

void closeSocket(int socket) {
    if (socket >= 0) close(socket);
}

int64_t descriptorLimit() {
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return -1;
    return int64_t(r.rlim_cur);
}

bool isDescriptorShortage(int error) { return error == EMFILE || error == ENFILE; }

SpareDescriptor::SpareDescriptor() { (void)reacquire(); }

SpareDescriptor::~SpareDescriptor() { (void)release(); }

bool SpareDescriptor::release() {
    if (fd_ < 0) return false;
    close(fd_);
    fd_ = -1;
    return true;
}

bool SpareDescriptor::reacquire() {
    if (fd_ < 0) fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

size_t PollSet::add(int fd, bool read, bool write) {
    short events = 0;
    if (read) events |= POLLIN;
    if (write) events |= POLLOUT;
    fds_.push_back({fd, events, 0});
    return fds_.size() - 1;
}

int PollSet::wait(std::chrono::nanoseconds timeout) {
    struct timespec ts;
    struct timespec* limit = nullptr;
    if (timeout.count() >= 0) {
        ts.tv_sec = time_t(timeout.count() / 1000000000);
        ts.tv_nsec = long(timeout.count() % 1000000000);
        limit = &ts;
    }
    for (auto& p : fds_) p.revents = 0;
    int r = ppoll(fds_.data(), nfds_t(fds_.size()), limit, nullptr);
    if (r < 0 && errno == EINTR) return 0;  // a stop signal: the caller looks at its flag
    return r;
}
