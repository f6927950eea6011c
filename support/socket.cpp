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
#include <string>

bool resolvePort(const char* text, uint16_t& portNetworkOrder) {
    if (*text == 0) return false;
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    if (end && *end == 0) {
        // A number: in range, or no port at all (it must not wrap into someone else's).
        if (errno != 0 || value < 0 || value > 65535 || (*text < '0' || *text > '9')) return false;
        portNetworkOrder = htons(uint16_t(value));
        return true;
    }
    if (*text >= '0' && *text <= '9') return false;  // "9029x": no number and no service name
    struct servent* service = getservbyname(text, "tcp");
    if (!service) return false;
    portNetworkOrder = uint16_t(service->s_port);
    return true;
}

bool parseListenText(const char* text, NetAddress& out, bool& hasPort) {
    std::string host = text;
    std::string port;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return false;
        std::string rest = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!rest.empty()) {
            if (rest[0] != ':' || rest.size() == 1) return false;
            port = rest.substr(1);
        }
        NetAddress a;
        if (!parseAddressLiteral(host.c_str(), a) || a.family != NetAddress::kIPv6) return false;
        out = a;
    } else {
        // One colon: an IPv4 address and a port; more: an IPv6 address alone.
        size_t colon = host.find(':');
        if (colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
            port = host.substr(colon + 1);
            host.resize(colon);
            if (port.empty()) return false;
        }
        NetAddress a;
        if (!parseAddressLiteral(host.c_str(), a)) return false;
        if (!port.empty() && a.family != NetAddress::kIPv4) return false;
        out = a;
    }
    hasPort = !port.empty();
    if (hasPort) {
        uint16_t p;
        if (!resolvePort(port.c_str(), p)) return false;
        out.port = ntohs(p);
    }
    return true;
}

NetAddress NetAddress::ipv4(uint32_t networkOrderAddress, uint16_t port) {
    NetAddress a;
    a.family = kIPv4;
    memcpy(a.bytes, &networkOrderAddress, 4);
    a.port = port;
    return a;
}

NetAddress NetAddress::network(int ipv6PrefixBits) const {
    NetAddress n = host();
    if (family != kIPv6) return n;
    int bits = ipv6PrefixBits < 0 ? 0 : ipv6PrefixBits > 128 ? 128 : ipv6PrefixBits;
    for (int i = 0; i < 16; ++i) {
        int keep = bits - 8 * i;
        if (keep >= 8) continue;
        n.bytes[i] = keep <= 0 ? 0 : uint8_t(n.bytes[i] & (0xFF << (8 - keep)));
    }
    return n;
}

size_t NetAddressHash::operator()(const NetAddress& a) const {
    // FNV-1a over what tells addresses apart.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    mix(a.family);
    for (uint8_t b : a.bytes) mix(b);
    mix(uint8_t(a.port >> 8));
    mix(uint8_t(a.port));
    return size_t(h);
}

void hostText(const NetAddress& a, char* out, size_t size) {
    if (size == 0) return;
    int family = a.family == NetAddress::kIPv6 ? AF_INET6 : AF_INET;
    if (a.family == 0 || !inet_ntop(family, a.bytes, out, socklen_t(size))) snprintf(out, size, "?");
}

void addressText(const NetAddress& a, char* out, size_t size) {
    char host[INET6_ADDRSTRLEN];
    hostText(a, host, sizeof host);
    if (a.family == NetAddress::kIPv6)
        snprintf(out, size, "[%s]:%u", host, unsigned(a.port));
    else
        snprintf(out, size, "%s:%u", host, unsigned(a.port));
}

bool parseAddressLiteral(const char* text, NetAddress& out) {
    NetAddress a;
    if (inet_pton(AF_INET, text, a.bytes) == 1) {
        a.family = NetAddress::kIPv4;
    } else if (inet_pton(AF_INET6, text, a.bytes) == 1) {
        a.family = NetAddress::kIPv6;
    } else {
        return false;
    }
    out = a;
    return true;
}

NetAddress anyIPv4Address() { return NetAddress::ipv4(htonl(INADDR_ANY)); }

namespace {

// The system's form of an address; its length.
socklen_t toSockaddr(const NetAddress& a, sockaddr_storage& out) {
    memset(&out, 0, sizeof out);
    if (a.family == NetAddress::kIPv6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&out);
        s6->sin6_family = AF_INET6;
        memcpy(&s6->sin6_addr, a.bytes, 16);
        s6->sin6_port = htons(a.port);
        return sizeof *s6;
    }
    auto* s4 = reinterpret_cast<sockaddr_in*>(&out);
    s4->sin_family = AF_INET;
    memcpy(&s4->sin_addr, a.bytes, 4);
    s4->sin_port = htons(a.port);
    return sizeof *s4;
}

NetAddress fromSockaddr(const sockaddr_storage& in) {
    NetAddress a;
    if (in.ss_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(&in);
        a.family = NetAddress::kIPv4;
        memcpy(a.bytes, &s4->sin_addr, 4);
        a.port = ntohs(s4->sin_port);
    } else if (in.ss_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&in);
        a.port = ntohs(s6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&s6->sin6_addr)) {
            a.family = NetAddress::kIPv4;
            memcpy(a.bytes, reinterpret_cast<const uint8_t*>(&s6->sin6_addr) + 12, 4);
        } else {
            a.family = NetAddress::kIPv6;
            memcpy(a.bytes, &s6->sin6_addr, 16);
        }
    }
    return a;
}

}  // namespace

int openListenSocket(const NetAddress& address, ListenFailure& failure) {
    sockaddr_storage addr;
    socklen_t addrLength = toSockaddr(address, addr);
    auto failed = [&failure](ListenStep step, int s) {
        failure.step = step;
        failure.systemError = errno;
        if (s >= 0) close(s);
        return -1;
    };
    int s = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return failed(ListenStep::Socket, s);
    int32_t on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return failed(ListenStep::Option, s);
    if (addr.ss_family == AF_INET6) {
        // "::" means every interface, IPv4 ones included, whatever the system's default.
        int32_t off = 0;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return failed(ListenStep::Option, s);
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), addrLength) != 0) return failed(ListenStep::Bind, s);
    if (listen(s, kListenBacklog) != 0) return failed(ListenStep::Listen, s);
    return s;
}

bool localAddress(int socket, NetAddress& out) {
    sockaddr_storage addr;
    memset(&addr, 0, sizeof addr);
    socklen_t len = sizeof addr;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    out = fromSockaddr(addr);
    return out.family != 0;
}

int acceptClient(int listenSocket, NetAddress& peer, int& error) {
    sockaddr_storage addr;
    memset(&addr, 0, sizeof addr);
    socklen_t len = sizeof addr;
    int s;
    do s = accept4(listenSocket, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    while (s < 0 && errno == EINTR);
    if (s < 0) {
        error = (errno == EWOULDBLOCK) ? EAGAIN : errno;
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer = fromSockaddr(addr);
    error = 0;
    return s;
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
