// The thin layer over sockets: the listening socket, accepting, transfers that never wait,
// the readiness wait over many descriptors, and the spare descriptor kept for the moment the
// process runs out of them. Every call reports failure to its caller; none ends the process.
#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

// The value that marks a closed connection (no open socket has it).
constexpr int kClosedSocket = -1;

// Connections the system keeps waiting for the accept (the kernel caps it at its somaxconn).
// Room for a crowd that reconnects as fast as it is closed, so that a newcomer's connection
// is not dropped before the server sees it (its client would retry only a second later).
constexpr int kListenBacklog = 1024;

// A port from its text: a whole number from 0 to 65535, written as C writes numbers
// (decimal, 0x hexadecimal, 0 octal), or a "tcp" service name. The result is in network
// byte order. False for a number out of range (it must not become another port), a sign,
// or a name no service has.
bool resolvePort(const char* text, uint16_t& portNetworkOrder);


// An IPv4 or IPv6 address with a port (host order). An IPv4 peer of an IPv6 socket
// (::ffff:a.b.c.d) is kept as the IPv4 address it is.
struct NetAddress {
    static constexpr uint8_t kIPv4 = 4;
    static constexpr uint8_t kIPv6 = 6;
    uint8_t family = 0;      // kIPv4, kIPv6, or 0 for none
    uint8_t bytes[16] = {};  // network order; an IPv4 address in the first four
    uint16_t port = 0;

    static NetAddress ipv4(uint32_t networkOrderAddress, uint16_t port = 0);
    // The same address without its port: what a network address is known by.
    NetAddress host() const {
        NetAddress h = *this;
        h.port = 0;
        return h;
    }
    // The network a peer is counted by: an IPv4 address whole, an IPv6 address cut to its
    // first `ipv6PrefixBits` bits (one site gets a /64, so its addresses are one peer).
    NetAddress network(int ipv6PrefixBits) const;
    bool operator==(const NetAddress&) const = default;
};
struct NetAddressHash {
    size_t operator()(const NetAddress& a) const;
};

// Room for the texts below, the longest IPv6 form with brackets and port included.
constexpr size_t kAddressTextSize = 64;
// The address alone: "127.0.0.1", "::1".
void hostText(const NetAddress& address, char* out, size_t size);
// Address and port: "127.0.0.1:40312", "[::1]:40312".
void addressText(const NetAddress& address, char* out, size_t size);
// An IPv4 literal in dotted-decimal form or an IPv6 literal ("127.0.0.1", "::1", "::"),
// port 0. False for anything else (names are not looked up).
bool parseAddressLiteral(const char* text, NetAddress& out);
// Where to listen, as the sysop writes it: ADDRESS, ADDRESS:PORT (IPv4), [IPv6]:PORT or
// [IPv6]; an IPv6 address without brackets is the address alone. PORT as resolvePort takes
// it. `hasPort` tells whether the text named a port (then out.port holds it, host order).
bool parseListenText(const char* text, NetAddress& out, bool& hasPort);
// 0.0.0.0: every IPv4 interface.
NetAddress anyIPv4Address();

// The step of the listening socket's set-up that failed, with the system's error code.
enum class ListenStep { Socket, Option, Bind, Listen };
struct ListenFailure {
    ListenStep step = ListenStep::Socket;
    int systemError = 0;
};
// A non-blocking stream socket bound to the address and port (an IPv6 socket for an IPv6
// address; "::" takes IPv4 connections too), with SO_REUSEADDR, listening. The socket, or
// -1 with `failure` filled.
int openListenSocket(const NetAddress& address, ListenFailure& failure);
// The address and port a socket is bound to (the port the system chose for port 0).
bool localAddress(int socket, NetAddress& out);

// Takes one waiting connection, non-blocking, with TCP_NODELAY set. The socket, or -1 with
// `error` set (EAGAIN when none is waiting; EMFILE or ENFILE when no descriptor is free).
int acceptClient(int listenSocket, NetAddress& peer, int& error);

// The outcome of one transfer that never waits.
struct Transfer {
    enum Status { Moved, WouldBlock, Closed, Failed };
    Status status = WouldBlock;
    size_t bytes = 0;  // for Moved: how many
    int error = 0;     // for Failed: the system's error code
};
// Receives up to n bytes (n > 0). Closed when the peer has ended its sending side.
Transfer receiveSome(int socket, void* buffer, size_t n);
// Sends from two buffers in order, as one write (a header and its data leave together).
Transfer sendSome(int socket, const void* first, size_t n1, const void* second, size_t n2);

// Ends the sending direction, so that the peer sees the end of the data.
void shutdownSending(int socket);
void closeSocket(int socket);

// The soft limit on open descriptors, or -1 when there is none.
int64_t descriptorLimit();

// One descriptor held in reserve (on /dev/null). When accept finds no descriptor free, the
// spare is given up for a moment to take the waiting connection and close it, so that the
// backlog does not keep the listening socket readable for ever.
class SpareDescriptor {
public:
    SpareDescriptor();
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    bool held() const { return fd_ >= 0; }
    // Closes the spare; false when none was held.
    bool release();
    // Opens it again; false when no descriptor is free even now.
    bool reacquire();

private:
    int fd_ = -1;
};

// The descriptors of one wait and what each became ready for.
class PollSet {
public:
    void clear() { fds_.clear(); }
    // Adds a descriptor; returns its index for the queries below.
    size_t add(int fd, bool read, bool write);
    // Waits until a descriptor is ready or the time has passed (negative: no time limit).
    // The number of ready descriptors (0 also when a signal ended the wait), or -1 with
    // errno set on failure.
    int wait(std::chrono::nanoseconds timeout);
    // Ready to read, or the peer ended, or an error is pending (a read will tell which).
    bool readable(size_t i) const { return (fds_[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0; }
    // Ready to write, or an error is pending (a write will tell which).
    bool writable(size_t i) const { return (fds_[i].revents & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0; }
    // Anything at all happened on the descriptor.
    bool signalled(size_t i) const { return fds_[i].revents != 0; }
    size_t size() const { return fds_.size(); }

private:
    std::vector<struct pollfd> fds_;
};
