// How honest clients fare while the real server binary, with its default settings, is
// attacked over loopback by peers at many source addresses. One line of figures per case:
//
//   crowd   33 networks (127.0.1.1 to .33) each keep 8 silent connections open, each reopened
//           as soon as the server closes it; a user from 127.0.2.1 logs in and out once a
//           second. Target: at least 95% of the logins succeed, each within 1 s.
//   crowd6  the same crowd from 33 addresses of one IPv6 /64, the server listening at "::",
//           the user from ::1. Needs the prefix to be local, so it is run as root in a
//           network namespace of its own, e.g.
//             unshare -n sh -c 'ip link set lo up; ip -6 route add local 2001:db8:5::/64 dev lo;
//                               build/bench/bench_attacks --v6-prefix 2001:db8:5::'
//           and is skipped (saying so) without --v6-prefix.
//   flood   1,000 connections a second from 127.0.3.1, each sending one bad packet header
//           and closing; meanwhile 20 logins from 127.0.4.1, one after another.
//           Target: all 20 succeed.
//   guess   120 addresses (127.0.7.1 to .120) each make 2 wrong-password logins as "Ann" and
//           hand over to the next; the real Ann, who logged in from 127.0.6.1 before, logs in
//           from there every 3 s. Target: at most 1 wrong answer a second over the run, the
//           user in within 1 s each time.
//
//   bench_attacks [--scenario crowd|crowd6|flood|guess] [--seconds N] [--v6-prefix PREFIX]
//                 [--server PATH] [--keep]
//
// --seconds sets how long the crowd and the guessers go on (defaults 75 and 60: crowd
// connections the server leaves open then meet the 30 s hello timeout at least twice).
// Each case starts a fresh server. The guessers' figure counts the wrong answers the server
// weighed (each as it arrives; its refusal follows loginFailDelay later). Each honest login
// slower than 1 s is listed with the times of its connect, its challenge and its OK, and the
// kernel's count of connections dropped from full listen queues tells a late accept from a
// slow reply. A case that falls short of its target says so on a line of its own and keeps
// the server's folder (its console output in server.out and server.err) for a look; the
// program still ends with status 0 (--keep keeps every case's folder). It ends with 1 only
// when it cannot do its part (no server, a source address that cannot be bound).
#include <netinet/in.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

#include "bench_server.h"
#include "support/le.h"
#include "support/md5.h"
#include "wire/packets.h"

#ifndef IPV6_FREEBIND
#define IPV6_FREEBIND 78
#endif
#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace {

using bench::Clock;
using bench::countOf;
using bench::die;
using bench::msSince;

const FidoAddr kAnn{2, 5020, 1, 0};

// The bench cannot do its part; thrown rather than exiting at once, so that the server of
// the case is stopped on the way out.
struct CannotRun : std::runtime_error {
    using std::runtime_error::runtime_error;
};
const char* const kAnnName = "Ann";
const char* const kAnnPassword = "secret";
// Longest a step of an honest login may take before it counts as failed.
constexpr int kStepMs = 10000;

// ---- addresses -------------------------------------------------------------------------

struct Endpoint {
    sockaddr_storage addr = {};
    socklen_t length = 0;
    bool freebind = false;  // an IPv6 address this host does not own, bound all the same

    int family() const { return addr.ss_family; }
    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

Endpoint ipv4(const std::string& text, uint16_t port = 0) {
    Endpoint e;
    auto* a = reinterpret_cast<sockaddr_in*>(&e.addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    if (inet_pton(AF_INET, text.c_str(), &a->sin_addr) != 1) die("not an IPv4 address: " + text);
    e.length = sizeof *a;
    return e;
}

Endpoint ipv6(const in6_addr& address, uint16_t port = 0) {
    Endpoint e;
    auto* a = reinterpret_cast<sockaddr_in6*>(&e.addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = address;
    e.length = sizeof *a;
    return e;
}

// The prefix's address with n added to its last 32 bits.
in6_addr plus(const in6_addr& prefix, uint32_t n) {
    in6_addr a = prefix;
    uint32_t low = (uint32_t(a.s6_addr[12]) << 24) | (uint32_t(a.s6_addr[13]) << 16) | (uint32_t(a.s6_addr[14]) << 8) |
                   a.s6_addr[15];
    low += n;
    for (int i = 0; i < 4; ++i) a.s6_addr[15 - i] = uint8_t(low >> (8 * i));
    return a;
}

std::string text(const Endpoint& e) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (e.family() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&e.addr)->sin6_addr, buf, sizeof buf);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&e.addr)->sin_addr, buf, sizeof buf);
    return buf;
}

// ---- one connection, by hand -----------------------------------------------------------

// A connection from a source address of its own, with the login's packets written out by
// hand (the client library connects only from the address the system picks). Every wait
// has a deadline and may be cut short by a stop flag.
class Wire {
public:
    Wire() = default;
    ~Wire() { close(); }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    // Starts a connection without waiting for it; false when the socket cannot even be made
    // or bound (errno says why).
    bool start(const Endpoint& from, const Endpoint& to) {
        close();
        fd_ = socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) return false;
        int one = 1;
        // The port is picked at the connect, by the whole address pair: one source address
        // can then make more connections than there are ports while old ones linger.
        setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        if (from.freebind && setsockopt(fd_, IPPROTO_IPV6, IPV6_FREEBIND, &one, sizeof one) != 0) return fail();
        if (from.length > 0 && bind(fd_, from.sa(), from.length) != 0) return fail();
        if (connect(fd_, to.sa(), to.length) != 0 && errno != EINPROGRESS) return fail();
        return true;
    }

    // The connection made within the deadline.
    bool open(const Endpoint& from, const Endpoint& to, Clock::time_point deadline, const std::atomic<bool>* stop) {
        if (!start(from, to)) return false;
        if (!waitFor(POLLOUT, deadline, stop)) return fail();
        return connected();
    }

    // A started connection is made (or has failed: false).
    bool connected() {
        int error = 0;
        socklen_t n = sizeof error;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &n) != 0 || error != 0) return false;
        return true;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    bool send(const uint8_t* bytes, size_t n) {
        return ::send(fd_, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(n);  // short packets on a fresh socket
    }

    bool sendPacket(uint32_t cmd, uint32_t dataSize, const uint8_t* data = nullptr, size_t n = 0) {
        std::vector<uint8_t> packet(kPktHeaderSize + n);
        putU32(packet.data(), cmd);
        putU32(packet.data() + 4, dataSize);
        if (n) memcpy(packet.data() + kPktHeaderSize, data, n);
        return send(packet.data(), packet.size());
    }

    // Exactly n bytes.
    bool receive(uint8_t* out, size_t n, Clock::time_point deadline, const std::atomic<bool>* stop) {
        size_t got = 0;
        while (got < n) {
            if (!waitFor(POLLIN, deadline, stop)) return false;
            ssize_t k = recv(fd_, out + got, n - got, 0);
            if (k == 0) return false;
            if (k < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return false;
            }
            got += size_t(k);
        }
        return true;
    }

    // One reply's header; false when none comes.
    bool reply(pktHeader& h, Clock::time_point deadline, const std::atomic<bool>* stop) {
        uint8_t raw[kPktHeaderSize];
        if (!receive(raw, sizeof raw, deadline, stop)) return false;
        h = decodeHeader(raw);
        return true;
    }

    // The server closes the connection within the deadline.
    bool waitClosed(Clock::time_point deadline) {
        char scratch[4096];
        for (;;) {
            if (!waitFor(POLLIN, deadline, nullptr)) return false;
            ssize_t k = recv(fd_, scratch, sizeof scratch, 0);
            if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
    }

private:
    bool fail() {
        int e = errno;
        close();
        errno = e;
        return false;
    }

    // Polls in short slices, so that a stop is seen soon.
    bool waitFor(short events, Clock::time_point deadline, const std::atomic<bool>* stop) {
        for (;;) {
            if (stop && *stop) return false;
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p = {fd_, events, 0};
            // Rounded up: a wait must not end before its deadline.
            int r = poll(&p, 1, int(std::min<long long>((left + 999) / 1000, 100)));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }

    int fd_ = -1;
};

// The hello for an account; true when a challenge comes (into `challenge`). `refused` says
// whether the server answered with a refusal rather than not at all.
bool hello(Wire& w, const char* name, const FidoAddr& addr, uint8_t challenge[kChallengeSize],
           Clock::time_point deadline, const std::atomic<bool>* stop, bool* refused = nullptr) {
    uint8_t record[kHelloSize] = {};
    memcpy(record, name, std::min<size_t>(strlen(name), kHelloNameSize));
    encodeFidoAddr(addr, record + kHelloAddrOffset);
    if (!w.sendPacket(CID_C_HELLO, kHelloSize, record, sizeof record)) return false;
    pktHeader h;
    if (!w.reply(h, deadline, stop)) return false;
    if (refused) *refused = h.cmd == CID_S_FAIL;
    return h.cmd == CID_S_CHALLENGE && h.dataSize == kChallengeSize &&
           w.receive(challenge, kChallengeSize, deadline, stop);
}

enum class Answer { Ok, Refused, NoReply };

Answer answer(Wire& w, const char* password, const uint8_t challenge[kChallengeSize], Clock::time_point deadline,
              const std::atomic<bool>* stop) {
    uint8_t key[kHmacKeyLength], digest[16];
    qclient::passwordKey(password, key);
    hmacMd5(key, challenge, digest);
    if (!w.sendPacket(CID_C_AUTH, kAuthSize, digest, sizeof digest)) return Answer::NoReply;
    pktHeader h;
    if (!w.reply(h, deadline, stop)) return Answer::NoReply;
    return h.cmd == CID_S_OK ? Answer::Ok : Answer::Refused;
}

// One login of the honest user: connect, hello, answer, then the logout and the server's
// close (so that the next login is not refused as a second session). The time runs from the
// connect to the answer's OK.
struct LoginTry {
    bool ok = false;
    double ms = 0;
    double connectMs = -1, challengeMs = -1;  // when the connection was made and the challenge came; -1: never
    double at = 0;                            // seconds into the run
};

LoginTry honestLogin(const Endpoint& from, const Endpoint& to) {
    LoginTry t;
    Wire w;
    const auto start = Clock::now();
    const auto step = [] { return Clock::now() + std::chrono::milliseconds(kStepMs); };
    uint8_t challenge[kChallengeSize];
    if (w.open(from, to, step(), nullptr)) {
        t.connectMs = msSince(start);
        if (hello(w, kAnnName, kAnn, challenge, step(), nullptr)) {
            t.challengeMs = msSince(start);
            t.ok = answer(w, kAnnPassword, challenge, step(), nullptr) == Answer::Ok;
        }
    }
    t.ms = msSince(start);
    if (t.ok) {
        pktHeader h;
        if (w.sendPacket(CID_C_LOGOUT, 0)) w.reply(h, step(), nullptr);
        w.waitClosed(step());
    }
    return t;
}

struct LoginFigures {
    int tried = 0, succeeded = 0, withinSecond = 0;
    double median = 0, slowest = 0;
};

LoginFigures sumUp(const std::vector<LoginTry>& tries) {
    LoginFigures f;
    std::vector<double> ms;
    for (const LoginTry& t : tries) {
        ++f.tried;
        if (t.ok) ++f.succeeded;
        if (t.ok && t.ms <= 1000) ++f.withinSecond;
        ms.push_back(t.ms);
    }
    bench::Figures s = bench::summarize(ms);
    f.median = s.median;
    f.slowest = s.max;
    return f;
}

// ---- the server ------------------------------------------------------------------------

struct Options {
    std::string server = QUORVA_BIN;
    std::string scenario;  // empty: all
    int seconds = 0;       // 0: each case's own length
    std::optional<in6_addr> v6Prefix;
    bool keep = false;  // every case's folder, not only those of a shortfall
};

// A fresh server with the default settings but for the port, the user and `extra` lines.
class Run {
public:
    Run(const std::string& name, const Options& opt, const std::string& extra)
        : dir_(bench::makeScratchFolder("quorva-bench-attacks-" + name)), server_(dir_, opt.server) {
        port_ = bench::freePort();
        std::ofstream ini(dir_ + "/quorva.INI");
        ini << "listenPort " << port_ << "\n"
            << extra << "user " << kAnnName << "," << kAnnPassword << "," << formatFidoAddr(kAnn) << "\n";
        ini.close();
        keep_ = opt.keep;
        server_.start();
        if (!server_.waitAccepting(port_, 15000))
            throw CannotRun("the server does not accept connections (see " + dir_ + "/server.err)");
    }
    ~Run() {
        server_.stop();
        if (!keep_) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    uint16_t port() const { return port_; }
    bench::Server& server() { return server_; }
    // Keeps the folder with the server's console output.
    void keep() { keep_ = true; }
    bool kept() const { return keep_; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    bench::Server server_;
    uint16_t port_ = 0;
    bool keep_ = false;
};

// Waits until the server's output holds `needle` at least n times, at most timeoutMs.
bool waitForLines(const bench::Server& server, const std::string& needle, int n, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (countOf(server.out(), needle) < n) {
        if (Clock::now() > deadline) return false;
        poll(nullptr, 0, 50);
    }
    return true;
}

// Where the time of each login slower than 1 s went.
void printSlowLogins(const std::vector<LoginTry>& tries) {
    for (const LoginTry& t : tries) {
        if (t.ok && t.ms <= 1000) continue;
        printf("  login at %.0f s: %s, connected after %.1f ms, challenge after %.1f ms, %s after %.1f ms\n", t.at,
               t.ok ? "in" : "failed", t.connectMs, t.challengeMs, t.ok ? "OK" : "given up", t.ms);
    }
}

// The kernel's count of connections dropped because a listening socket's queue of
// connections not yet taken was full (this network namespace, all sockets).
long long listenOverflows() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "ListenOverflows") return atoll(value.c_str());
    }
    return -1;
}

// Ends a case's line with its verdict; a shortfall keeps the server's folder.
void verdict(Run& run, const std::vector<std::string>& shortfalls) {
    if (shortfalls.empty()) {
        printf("  target met\n");
        if (run.kept()) printf("  the server's console output is kept in %s\n", run.dir().c_str());
    } else {
        run.keep();
        for (const std::string& s : shortfalls) printf("  SHORT OF THE TARGET: %s\n", s.c_str());
        printf("  the server's console output is kept in %s\n", run.dir().c_str());
    }
    fflush(stdout);
}

// ---- the crowd -------------------------------------------------------------------------

// Silent connections, several from each source address, each started again as soon as the
// server closes it (or refuses it), in a thread of its own until stop().
class Crowd {
public:
    Crowd(const std::vector<Endpoint>& sources, int perSource, const Endpoint& to) : to_(to) {
        for (const Endpoint& from : sources)
            for (int k = 0; k < perSource; ++k) slots_.push_back(std::make_unique<Slot>(from));
        // Every address is tried once here, so that one that cannot be bound ends the bench
        // at once rather than a busy loop.
        for (auto& s : slots_)
            if (!s->wire.start(s->from, to_))
                throw CannotRun("cannot connect from " + text(s->from) + ": " + strerror(errno) +
                    (s->from.freebind ? " (see the comment at the top of bench/bench_attacks.cpp)" : ""));
        thread_ = std::thread([this] { loop(); });
    }
    ~Crowd() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint64_t reopened() const { return reopened_; }
    uint64_t failedConnects() const { return failedConnects_; }

private:
    struct Slot {
        explicit Slot(const Endpoint& f) : from(f) {}
        Endpoint from;
        Wire wire;
        bool connecting = true;
        Clock::time_point retryAt{};
    };

    void restart(Slot& s) {
        s.connecting = true;
        if (!s.wire.start(s.from, to_)) s.retryAt = Clock::now() + std::chrono::milliseconds(10);
    }

    void loop() {
        std::vector<pollfd> fds(slots_.size());
        while (!stop_) {
            const auto now = Clock::now();
            for (size_t i = 0; i < slots_.size(); ++i) {
                Slot& s = *slots_[i];
                if (s.wire.fd() < 0 && now >= s.retryAt) restart(s);
                fds[i] = {s.wire.fd(), short(s.connecting ? POLLOUT : POLLIN), 0};
            }
            if (poll(fds.data(), fds.size(), 10) <= 0) continue;
            for (size_t i = 0; i < slots_.size(); ++i) {
                Slot& s = *slots_[i];
                const short r = fds[i].revents;
                if (!r || s.wire.fd() < 0) continue;
                if (s.connecting) {
                    if (s.wire.connected() && !(r & (POLLHUP | POLLERR))) {
                        s.connecting = false;
                        continue;
                    }
                    ++failedConnects_;  // refused before it was made: again
                } else {
                    ++reopened_;  // nothing else comes on a silent connection: closed by the server
                }
                restart(s);
            }
        }
    }

    Endpoint to_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> reopened_{0}, failedConnects_{0};
};

void crowdCase(const Options& opt, bool v6) {
    const char* name = v6 ? "crowd6" : "crowd";
    constexpr int kAddresses = 33, kPerAddress = 8;
    const int seconds = opt.seconds > 0 ? opt.seconds : 75;
    Run run(name, opt, v6 ? "listenAddress ::\n" : "");

    std::vector<Endpoint> crowd;
    Endpoint to, user;
    std::string crowdLines;  // how the server's console names a connection from the crowd
    int networks = kAddresses;
    if (v6) {
        in6_addr loopback = IN6ADDR_LOOPBACK_INIT;
        to = ipv6(loopback, run.port());
        user = ipv6(loopback);
        for (int n = 1; n <= kAddresses; ++n) {
            crowd.push_back(ipv6(plus(*opt.v6Prefix, uint32_t(n))));
            crowd.back().freebind = true;
        }
        const std::string first = text(crowd.front());
        crowdLines = "client: [" + first.substr(0, first.rfind(':') + 1);
        networks = 1;  // one /64 at the default prefix length
    } else {
        to = ipv4("127.0.0.1", run.port());
        user = ipv4("127.0.2.1");
        for (int n = 1; n <= kAddresses; ++n) crowd.push_back(ipv4("127.0.1." + std::to_string(n)));
        crowdLines = "client: 127.0.1.";
    }

    const long long overflowsBefore = listenOverflows();
    const auto crowdStart = Clock::now();
    Crowd c(crowd, kPerAddress, to);
    // The crowd takes every place it can before the user comes: each network's 8 waiting
    // logins (the server closes the oldest of the biggest network once its pool is full).
    const int expected = std::min(kAddresses, networks) * kPerAddress;
    const bool filled = waitForLines(run.server(), crowdLines, expected, 20000);
    const double fillMs = msSince(crowdStart);
    if (countOf(run.server().out(), crowdLines) == 0)
        throw CannotRun(std::string("none of the crowd's connections reached the server") +
            (v6 ? " (is the prefix local? see the comment at the top of bench/bench_attacks.cpp)" : ""));

    std::vector<LoginTry> tries;
    const auto start = Clock::now();
    const uint64_t reopenedBefore = c.reopened();
    for (int tick = 0; tick < seconds; ++tick) {
        const auto due = start + std::chrono::seconds(tick);
        if (Clock::now() > due + std::chrono::milliseconds(500)) continue;  // the last login ran into this one's second
        std::this_thread::sleep_until(due);  // the user's pace
        tries.push_back(honestLogin(user, to));
        tries.back().at = tick;
    }
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds));  // the crowd's time
    const double runSeconds = msSince(start) / 1000;
    c.stop();
    const uint64_t reopened = c.reopened() - reopenedBefore;

    LoginFigures f = sumUp(tries);
    const long long overflows = listenOverflows() - overflowsBefore;
    printf("%-7s %d of %d logins succeeded, %d within 1 s, median %.1f ms, slowest %.1f ms; %llu crowd reconnections "
           "(%.0f a second, %llu refused before made) in %.0f s; listen queue overflowed %lld times\n",
           name, f.succeeded, f.tried, f.withinSecond, f.median, f.slowest, static_cast<unsigned long long>(reopened),
           double(reopened) / runSeconds, static_cast<unsigned long long>(c.failedConnects()), runSeconds, overflows);
    printSlowLogins(tries);
    if (!filled)
        printf("  (the server had taken %d of the crowd's %d first connections after %.0f ms)\n",
               countOf(run.server().out(), crowdLines), expected, fillMs);
    std::vector<std::string> shortfalls;
    if (f.succeeded * 100 < f.tried * 95)
        shortfalls.push_back(std::to_string(f.succeeded) + " of " + std::to_string(f.tried) + " logins, not 95%");
    if (f.withinSecond < f.succeeded)
        shortfalls.push_back(std::to_string(f.succeeded - f.withinSecond) + " logins took more than 1 s");
    verdict(run, shortfalls);
}

// ---- the bad-header flood --------------------------------------------------------------

void floodCase(const Options& opt) {
    constexpr int kRate = 1000, kThreads = 4, kLogins = 20;
    Run run("flood", opt, "");
    const Endpoint to = ipv4("127.0.0.1", run.port()), from = ipv4("127.0.3.1"), user = ipv4("127.0.4.1");

    // Connection k is due k/kRate seconds after the start; the threads take them in turn.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> next{0}, sent{0}, failed{0};
    std::vector<std::thread> threads;
    const auto floodStart = Clock::now();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                const uint64_t k = next++;
                std::this_thread::sleep_until(floodStart + std::chrono::microseconds(k * 1000000 / kRate));
                if (stop) break;
                Wire w;
                uint8_t header[kPktHeaderSize];
                putU32(header, CID_C_HELLO);
                putU32(header + 4, kHelloSize + 1);  // not the hello's size
                if (w.open(from, to, Clock::now() + std::chrono::seconds(5), &stop) && w.send(header, sizeof header))
                    ++sent;
                else
                    ++failed;
            }
        });
    }
    // The flood is under way before the first login.
    const long long overflowsBefore = listenOverflows();
    const bool going = waitForLines(run.server(), "client: 127.0.3.1:", kRate / 2, 20000);

    std::vector<LoginTry> tries;
    for (int i = 0; i < kLogins; ++i) {
        tries.push_back(honestLogin(user, to));
        tries.back().at = msSince(floodStart) / 1000;
        if (i + 1 < kLogins) std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the user's pace
    }
    stop = true;
    for (auto& t : threads) t.join();
    const double floodSeconds = msSince(floodStart) / 1000;

    LoginFigures f = sumUp(tries);
    printf("%-7s %.0f bad headers a second (%llu sent in %.1f s, %llu connections failed); %d of %d logins "
           "succeeded, median %.1f ms, slowest %.1f ms; listen queue overflowed %lld times\n",
           "flood", double(sent) / floodSeconds, static_cast<unsigned long long>(sent.load()), floodSeconds,
           static_cast<unsigned long long>(failed.load()), f.succeeded, f.tried, f.median, f.slowest,
           listenOverflows() - overflowsBefore);
    printSlowLogins(tries);
    if (!going) printf("  (the server had not taken %d flood connections within 20 s)\n", kRate / 2);
    std::vector<std::string> shortfalls;
    if (f.succeeded < kLogins) shortfalls.push_back(std::to_string(f.succeeded) + " of 20 logins");
    if (double(sent) / floodSeconds < kRate * 0.9)
        shortfalls.push_back("the flood reached only " + std::to_string(int(double(sent) / floodSeconds)) +
                             " connections a second (the bench's own pace, not the server's figure)");
    verdict(run, shortfalls);
}

// ---- the rotating guessers -------------------------------------------------------------

void guessCase(const Options& opt) {
    constexpr int kAddresses = 120, kPerAddress = 2, kThreads = 8, kUserEverySeconds = 3;
    const int seconds = opt.seconds > 0 ? opt.seconds : 60;
    Run run("guess", opt, "");
    const Endpoint to = ipv4("127.0.0.1", run.port()), user = ipv4("127.0.6.1");

    // The user's network is known to the server before the guessing.
    LoginTry first = honestLogin(user, to);
    if (!first.ok) throw CannotRun("the user's first login failed");

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> nextAddress{0}, answered{0}, wrong{0}, hellosRefused{0}, hellosClosed{0}, connectsFailed{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // What happens past the end (waits cut short by it) is not counted.
            auto going = [&] { return !stop && Clock::now() < end; };
            while (going()) {
                const uint64_t n = nextAddress++;
                const Endpoint from = ipv4("127.0.7." + std::to_string(1 + n % kAddresses));
                for (int k = 0; k < kPerAddress && going(); ++k) {
                    // A guess waits as long as the server makes it: until the run ends.
                    Wire w;
                    uint8_t challenge[kChallengeSize];
                    bool refused = false;
                    if (!w.open(from, to, end, &stop)) {
                        if (going()) ++connectsFailed;
                        continue;
                    }
                    if (!hello(w, kAnnName, kAnn, challenge, end, &stop, &refused)) {
                        if (refused) ++hellosRefused;
                        else if (going()) ++hellosClosed;
                        continue;
                    }
                    // The server weighs an answer as it comes; its refusal follows loginFailDelay later.
                    ++answered;
                    if (answer(w, "guess", challenge, end, &stop) == Answer::Refused) ++wrong;
                }
            }
        });
    }

    std::vector<LoginTry> tries;
    for (int tick = 1; tick * kUserEverySeconds < seconds; ++tick) {
        const auto due = start + std::chrono::seconds(tick * kUserEverySeconds);
        if (Clock::now() > due) continue;
        std::this_thread::sleep_until(due);  // the user's pace
        tries.push_back(honestLogin(user, to));
        tries.back().at = tick * kUserEverySeconds;
    }
    std::this_thread::sleep_until(end);  // the guessers' time
    stop = true;
    for (auto& t : threads) t.join();
    const double runSeconds = msSince(start) / 1000;

    LoginFigures f = sumUp(tries);
    const double rate = double(answered) / runSeconds;
    printf("%-7s %.2f wrong answers a second (%llu in %.0f s, %llu refused by the end; %llu addresses taken in turn, "
           "%llu hellos refused, %llu closed unanswered, %llu connections failed); the user got in %d of %d times, "
           "median %.1f ms, slowest %.1f ms\n",
           "guess", rate, static_cast<unsigned long long>(answered.load()), runSeconds,
           static_cast<unsigned long long>(wrong.load()),
           static_cast<unsigned long long>(nextAddress.load()), static_cast<unsigned long long>(hellosRefused.load()),
           static_cast<unsigned long long>(hellosClosed.load()),
           static_cast<unsigned long long>(connectsFailed.load()), f.succeeded, f.tried, f.median, f.slowest);
    printSlowLogins(tries);
    std::vector<std::string> shortfalls;
    if (rate > 1) shortfalls.push_back("more than 1 wrong answer a second");
    if (f.succeeded < f.tried)
        shortfalls.push_back(std::to_string(f.tried - f.succeeded) + " of the user's " + std::to_string(f.tried) +
                             " logins failed");
    if (f.withinSecond < f.succeeded)
        shortfalls.push_back(std::to_string(f.succeeded - f.withinSecond) + " of the user's logins took more than 1 s");
    verdict(run, shortfalls);
}

// ---- the program -----------------------------------------------------------------------

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--scenario") {
            o.scenario = value();
            if (o.scenario != "crowd" && o.scenario != "crowd6" && o.scenario != "flood" && o.scenario != "guess")
                die("unknown scenario " + o.scenario + " (crowd, crowd6, flood or guess)");
        } else if (a == "--seconds") {
            o.seconds = std::max(1, atoi(value().c_str()));
        } else if (a == "--v6-prefix") {
            std::string p = value();
            in6_addr prefix;
            if (inet_pton(AF_INET6, p.c_str(), &prefix) != 1) die("not an IPv6 address: " + p);
            o.v6Prefix = prefix;
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--server") {
            o.server = value();
        } else {
            die("unknown option " + a + " (see the comment at the top of bench/bench_attacks.cpp)");
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options opt = parse(argc, argv);

    // Room for the crowd's connections on both sides (the server inherits the limit).
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        rlim_t want = std::min<rlim_t>(r.rlim_max, 8192);
        if (r.rlim_cur < want) {
            r.rlim_cur = want;
            setrlimit(RLIMIT_NOFILE, &r);
        }
    }
    printf("server %s, default settings\n", opt.server.c_str());

    auto wanted = [&](const char* s) { return opt.scenario.empty() || opt.scenario == s; };
    try {
        if (wanted("crowd")) crowdCase(opt, false);
        if (wanted("crowd6")) {
            if (opt.v6Prefix) {
                crowdCase(opt, true);
            } else {
                printf("%-7s skipped: needs a local IPv6 /64; as root: unshare -n sh -c 'ip link set lo up; "
                       "ip -6 route add local 2001:db8:5::/64 dev lo; %s --scenario crowd6 --v6-prefix 2001:db8:5::'\n",
                       "crowd6", argv[0]);
            }
        }
        if (wanted("flood")) floodCase(opt);
        if (wanted("guess")) guessCase(opt);
    } catch (const CannotRun& e) {
        die(e.what());
    }
    return 0;
}
