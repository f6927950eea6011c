// What TLS costs the real server binary, on loopback, with the 50,000-message Squish area of
// bench_e2e (echo_messages.h) and a certificate of make-cert's test set (P-256):
//   - the binary door's message list of the area over tlsPort against listenPort, taking
//     turns on two logged-in connections of the same server: wall time and the server's CPU
//     time, medians of the runs, and the ratio TLS/plain (target: within 1.3);
//   - OVER 1-50000 of the news door over nntpsPort against nntpPort, in the same way
//     (target: within 1.3);
//   - full handshakes on tlsPort: a crowd of clients (processes of this program, OpenSSL on
//     non-blocking sockets) connects, completes the handshake, closes and connects again as
//     fast as it can; the handshakes a second, the server's CPU time for each and what one
//     core of the server would complete at that cost, once for TLS 1.3 and once for TLS 1.2;
//   - pings of a logged-in TLS client (connected before the crowd, as a user of the server
//     would be) while the crowd keeps its handshakes going: at the server's priority, and
//     niced to 19, as if the clients ran elsewhere and the server had a core whenever it can
//     run; against pings with nothing else going on and pings while the same crowd loads a
//     second server on this machine (what the machine's load alone does to the pings).
//     Beside each case, the shares of the time the server ran and waited for a CPU (from
//     /proc/<pid>/schedstat). Target: p99 under 5 ms.
// A handshake counts once the server has completed it: under TLS 1.3 the client waits for
// the server's first session ticket, which the server sends after checking the client's
// Finished; under TLS 1.2 the server's Finished comes last. The clients never resume.
// The machine's other work shows in every figure: the load average is printed with them.
// Usage: bench_tls [--messages N] [--runs N] [--seconds N] [--clients N] [--workers N]
//                  [--keep] [server binary]
// by default the server built beside it, 50,000 messages, 7 runs, 10 s per crowd case,
// 200 clients in the crowd shared by 2 processes; --keep leaves the servers' folders (their
// console output) in place.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "news_client.h"
#include "echo_messages.h"
#include "squish_base_writer.h"
#include "client/lib/quorva_client.h"
#include "support/le.h"

namespace {

using bench::Clock;
using bench::die;
using bench::Figures;
using bench::msSince;
using bench::NewsClient;
using bench::summarize;

const FidoAddr kPlainUser{2, 5020, 1, 0};
const FidoAddr kTlsUser{2, 5020, 2, 0};
const char* const kGroup = "fido.big";
constexpr int kIoTimeoutMs = 120000;
constexpr size_t kReadChunk = 256 * 1024;
// A crowd runs this long before its figures are taken: its connections all under way.
constexpr int kCrowdWarmUpMs = 1000;
// The pings' pauses: up to this long, at random, so that they meet the server's loop at any
// moment of its pass rather than just after their own reply.
constexpr int kPingGapMaxUs = 1000;

// ---------------------------------------------------------------------------------------
// The server process: CPU time, and the ports it names on its console.

double cpuMs(pid_t pid) {
    bench::CpuTime t = bench::cpuTime(pid);
    if (t.ns >= 0) return double(t.ns) / 1e6;
    return t.ticks < 0 ? -1 : t.tickSeconds() * 1e3;
}

// The time the process was ready to run but waited for a CPU (the second figure of
// /proc/<pid>/schedstat), in milliseconds; -1 where the kernel does not keep it.
double runQueueMs(pid_t pid) {
    const std::string sched = bench::readAll("/proc/" + std::to_string(pid) + "/schedstat");
    const size_t space = sched.find(' ');
    if (space == std::string::npos) return -1;
    return double(atoll(sched.c_str() + space + 1)) / 1e6;
}

// The port of the first whole console line holding `head` and "listening on ADDRESS:PORT";
// 0 while there is none.
uint16_t listeningPort(const std::string& out, const std::string& head) {
    for (size_t at = 0;;) {
        const size_t end = out.find('\n', at);
        if (end == std::string::npos) return 0;
        const std::string line = out.substr(at, end - at);
        at = end + 1;
        const size_t where = line.find("listening on ");
        if (line.find(head) == std::string::npos || where == std::string::npos) continue;
        std::string address = line.substr(where + 13);
        address = address.substr(0, address.find(' '));
        const size_t colon = address.rfind(':');
        if (colon != std::string::npos) return uint16_t(atoi(address.c_str() + colon + 1));
    }
}

uint16_t waitForPort(const bench::Server& server, const std::string& head) {
    for (auto until = Clock::now() + std::chrono::seconds(15); Clock::now() < until; poll(nullptr, 0, 10))
        if (uint16_t port = listeningPort(server.out(), head)) return port;
    die("the server names no port for \"" + head + "\" (see " + server.dir() + ")");
}

std::string loadText() {
    std::string load = bench::readAll("/proc/loadavg");
    load = load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    return load.empty() ? "unknown" : load;
}

// Runs make-cert's test set into `dir` (ca.pem, server.pem, server.key and others).
void makeCertificates(const std::string& dir) {
    std::filesystem::create_directories(dir);
    const pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execl(QUORVA_MAKE_CERT, QUORVA_MAKE_CERT, "test-set", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die(std::string("cannot make the certificates with ") + QUORVA_MAKE_CERT);
}

// ---------------------------------------------------------------------------------------
// The binary door's message list, as bench_e2e asks for it; the bytes on the wire.

uint32_t binaryList(qclient::Connection& c, uint32_t messages) {
    uint8_t req[4];
    putI32(req, 0);
    qclient::Reply r;
    if (!c.sendPacket(CID_C_GETMSGLIST, req, sizeof req) || !c.readReply(r) || r.cmd != CID_S_MSGLIST)
        die("message list failed");
    if (r.data.size() != size_t(messages) * kMsgHeaderSize) die("message list has the wrong size");
    return r.rawSize & ~PKT_SIZE_COMPRESSED;
}

void logIn(qclient::Connection& c, uint16_t port, const TlsClientOptions* tls, const char* name,
           const FidoAddr& address) {
    c.setTimeout(kIoTimeoutMs);
    std::string error;
    if (!c.connect("127.0.0.1", port, &error)) die("cannot reach the binary door: " + error);
    if (tls && !c.startTls(*tls, &error)) die("binary door: " + error);
    if (c.login(name, "bench", address) != qclient::Status::Ok) die(std::string("cannot log in as ") + name);
}

// ---------------------------------------------------------------------------------------
// The crowd: processes of this program, each with its share of the connections, every one
// of which connects, runs a full handshake, closes and starts again. Their counts live in
// memory shared with this process; each reports the times of its handshakes (from the
// connect to the server's end of the handshake) taken while `recording` was on through a
// pipe when it stops.

struct CrowdCounts {
    std::atomic<bool> stop{false};
    std::atomic<bool> recording{false};
    std::atomic<long> completed{0};     // handshakes the server completed
    std::atomic<long> failed{0};        // connections that ended before that
    std::atomic<long> unconnected{0};   // connects the system refused (no port free)
    std::atomic<int> version{0};        // the protocol version of the last handshake
};

struct CrowdPlan {
    uint16_t port = 0;
    int connections = 0;
    int maxVersion = TLS1_3_VERSION;
    bool waitForTicket = true;  // TLS 1.3: the server's end is its first ticket
    int nice = 0;               // the processes' nice value
};

class CrowdSlot {
public:
    enum class State { Idle, Connecting, Handshaking, Ticket };

    State state = State::Idle;
    int fd = -1;
    SSL* ssl = nullptr;
    bool wantWrite = false;
    bool ticket = false;
    Clock::time_point began{};
};

int noteTicket(SSL* ssl, SSL_SESSION*) {
    if (auto* slot = static_cast<CrowdSlot*>(SSL_get_app_data(ssl))) slot->ticket = true;
    return 0;  // the session is not kept: every handshake is a full one
}

SSL_CTX* crowdContext(int maxVersion) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    // The crowd loads the server: the server's certificate is not checked here (its
    // signature over the handshake still is, under TLS 1.3), which spares the clients' CPU.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, noteTicket);
    return ctx;
}

class CrowdWorker {
public:
    CrowdWorker(const CrowdPlan& plan, CrowdCounts& counts) : plan_(plan), counts_(counts), slots_(plan.connections) {}
    ~CrowdWorker() {
        for (CrowdSlot& s : slots_) finish(s, false);
        SSL_CTX_free(ctx_);
    }

    // Runs until the counts say stop; the recorded times in milliseconds.
    std::vector<float> run() {
        ctx_ = crowdContext(plan_.maxVersion);
        if (!ctx_) return {};
        std::vector<pollfd> fds;
        std::vector<size_t> index;
        while (!counts_.stop.load(std::memory_order_relaxed)) {
            fds.clear();
            index.clear();
            for (size_t i = 0; i < slots_.size(); ++i) {
                CrowdSlot& s = slots_[i];
                if (s.state == CrowdSlot::State::Idle) begin(s);
                if (s.state == CrowdSlot::State::Idle) continue;  // no port now: the next round
                fds.push_back({s.fd, short(s.wantWrite ? POLLOUT : POLLIN), 0});
                index.push_back(i);
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t k = 0; k < fds.size(); ++k)
                if (fds[k].revents) advance(slots_[index[k]]);
        }
        return std::move(times_);
    }

private:
    void begin(CrowdSlot& s) {
        s.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s.fd < 0) return;
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(plan_.port);
        s.began = Clock::now();
        if (connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
            counts_.unconnected.fetch_add(1, std::memory_order_relaxed);
            ::close(s.fd);
            s.fd = -1;
            return;
        }
        s.state = CrowdSlot::State::Connecting;
        s.wantWrite = true;
        s.ticket = false;
    }

    void advance(CrowdSlot& s) {
        if (s.state == CrowdSlot::State::Connecting) {
            int error = 0;
            socklen_t n = sizeof error;
            if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &n) != 0 || error != 0) return fail(s);
            s.ssl = SSL_new(ctx_);
            if (!s.ssl || SSL_set_fd(s.ssl, s.fd) != 1) return fail(s);
            SSL_set_app_data(s.ssl, &s);
            s.state = CrowdSlot::State::Handshaking;
        }
        if (s.state == CrowdSlot::State::Handshaking) {
            const int r = SSL_connect(s.ssl);
            if (r != 1) return wait(s, r);
            if (!plan_.waitForTicket || SSL_version(s.ssl) != TLS1_3_VERSION) return complete(s);
            s.state = CrowdSlot::State::Ticket;
        }
        for (;;) {  // the ticket: records after the handshake
            char buf[256];
            const int r = SSL_read(s.ssl, buf, sizeof buf);
            if (s.ticket) return complete(s);
            if (r <= 0) return wait(s, r);
        }
    }

    void wait(CrowdSlot& s, int result) {
        const int e = SSL_get_error(s.ssl, result);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return fail(s);
        s.wantWrite = e == SSL_ERROR_WANT_WRITE;
    }

    void complete(CrowdSlot& s) {
        counts_.version.store(SSL_version(s.ssl), std::memory_order_relaxed);
        if (counts_.recording.load(std::memory_order_relaxed))
            times_.push_back(float(std::chrono::duration<double, std::milli>(Clock::now() - s.began).count()));
        counts_.completed.fetch_add(1, std::memory_order_relaxed);
        finish(s, true);
    }

    void fail(CrowdSlot& s) {
        counts_.failed.fetch_add(1, std::memory_order_relaxed);
        finish(s, false);
    }

    // Ends the connection, with close_notify after a completed handshake.
    void finish(CrowdSlot& s, bool closeNotify) {
        if (s.ssl) {
            if (closeNotify) (void)SSL_shutdown(s.ssl);
            SSL_free(s.ssl);
            s.ssl = nullptr;
        }
        ERR_clear_error();
        if (s.fd >= 0) ::close(s.fd);
        s.fd = -1;
        s.state = CrowdSlot::State::Idle;
    }

    CrowdPlan plan_;
    CrowdCounts& counts_;
    SSL_CTX* ctx_ = nullptr;
    std::vector<CrowdSlot> slots_;  // never resized: the sessions point at their slot
    std::vector<float> times_;
};

// Whether the server sends a TLS 1.3 session ticket after a handshake on `port` (within
// two seconds).
bool serverSendsTickets(uint16_t port) {
    CrowdCounts counts;
    CrowdPlan plan;
    plan.port = port;
    plan.connections = 1;
    std::thread stopper([&] {
        for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until && counts.completed == 0;)
            poll(nullptr, 0, 5);
        counts.stop = true;
    });
    CrowdWorker(plan, counts).run();
    stopper.join();
    return counts.completed > 0;
}

class Crowd {
public:
    Crowd() {
        void* shared = mmap(nullptr, sizeof(CrowdCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) die("no shared memory for the crowd");
        counts_ = new (shared) CrowdCounts();
    }
    ~Crowd() {
        stop();
        counts_->~CrowdCounts();
        munmap(counts_, sizeof(CrowdCounts));
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    void start(CrowdPlan plan, int workers) {
        const int total = plan.connections;
        for (int w = 0; w < workers; ++w) {
            plan.connections = total / workers + (w < total % workers ? 1 : 0);
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) die("no pipe");
            fflush(stdout);
            const pid_t pid = fork();
            if (pid < 0) die("fork failed");
            if (pid == 0) {
                ::close(fds[0]);
                // Ends with this program, also when it ends early (die() does not stop the crowd).
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() == 1) _exit(0);
                if (plan.nice != 0) (void)setpriority(PRIO_PROCESS, 0, plan.nice);
                std::vector<float> times = CrowdWorker(plan, *counts_).run();
                const char* p = reinterpret_cast<const char*>(times.data());
                for (size_t left = times.size() * sizeof(float); left > 0;) {
                    ssize_t k = write(fds[1], p, left);
                    if (k <= 0) break;
                    p += k;
                    left -= size_t(k);
                }
                _exit(0);  // not exit(): the atexit handlers are the parent's
            }
            ::close(fds[1]);
            workers_.push_back({pid, fds[0]});
        }
    }

    CrowdCounts& counts() { return *counts_; }

    // The CPU time the crowd's processes have used, in milliseconds.
    double cpuMs() const {
        double sum = 0;
        for (const Worker& w : workers_) sum += std::max(0.0, ::cpuMs(w.pid));
        return sum;
    }

    // Stops the processes; the times they recorded.
    std::vector<double> stop() {
        std::vector<double> times;
        if (workers_.empty()) return times;
        counts_->stop = true;
        for (Worker& w : workers_) {
            float chunk[4096];
            size_t held = 0;  // bytes of a float begun in the previous read
            for (;;) {
                ssize_t k = read(w.pipe, reinterpret_cast<char*>(chunk) + held, sizeof chunk - held);
                if (k < 0 && errno == EINTR) continue;
                if (k <= 0) break;
                held += size_t(k);
                const size_t whole = held / sizeof(float);
                times.insert(times.end(), chunk, chunk + whole);
                held -= whole * sizeof(float);
                memmove(chunk, reinterpret_cast<char*>(chunk) + whole * sizeof(float), held);
            }
            ::close(w.pipe);
            waitpid(w.pid, nullptr, 0);
        }
        workers_.clear();
        counts_->~CrowdCounts();
        counts_ = new (counts_) CrowdCounts();
        return times;
    }

private:
    struct Worker {
        pid_t pid;
        int pipe;
    };
    CrowdCounts* counts_ = nullptr;
    std::vector<Worker> workers_;
};

// What a crowd did over a window of its run.
struct CrowdWindow {
    double wallMs = 0, serverCpuMs = 0, serverWaitMs = 0, crowdCpuMs = 0;
    long completed = 0, failed = 0, unconnected = 0;
    int version = 0;
    std::vector<double> times;

    double rate() const { return completed * 1e3 / wallMs; }
    double serverShare() const { return serverCpuMs / wallMs; }
    double serverWaitShare() const { return serverWaitMs / wallMs; }
    double cpuPerHandshakeUs() const { return completed ? serverCpuMs * 1e3 / double(completed) : 0; }
};

class CrowdWindowClock {
public:
    CrowdWindowClock(Crowd& crowd, pid_t server) : crowd_(crowd), server_(server) {
        crowd_.counts().recording = true;
        t0_ = Clock::now();
        cpu0_ = cpuMs(server_);
        wait0_ = runQueueMs(server_);
        crowdCpu0_ = crowd_.cpuMs();
        completed0_ = crowd_.counts().completed;
        failed0_ = crowd_.counts().failed;
        unconnected0_ = crowd_.counts().unconnected;
    }
    CrowdWindow close() {
        CrowdWindow w;
        w.wallMs = msSince(t0_);
        w.serverCpuMs = cpuMs(server_) - cpu0_;
        w.serverWaitMs = runQueueMs(server_) - wait0_;
        w.crowdCpuMs = crowd_.cpuMs() - crowdCpu0_;
        w.completed = crowd_.counts().completed - completed0_;
        w.failed = crowd_.counts().failed - failed0_;
        w.unconnected = crowd_.counts().unconnected - unconnected0_;
        w.version = crowd_.counts().version;
        crowd_.counts().recording = false;
        return w;
    }

private:
    Crowd& crowd_;
    pid_t server_;
    Clock::time_point t0_;
    double cpu0_ = 0, wait0_ = 0, crowdCpu0_ = 0;
    long completed0_ = 0, failed0_ = 0, unconnected0_ = 0;
};

const char* versionName(int version) {
    switch (version) {
    case TLS1_3_VERSION: return "TLSv1.3";
    case TLS1_2_VERSION: return "TLSv1.2";
    default: return "?";
    }
}

// ---------------------------------------------------------------------------------------
// Figures

double median(std::vector<double> v) { return summarize(std::move(v)).median; }

void printSeries(const char* what, const std::vector<double>& ms) {
    const Figures f = summarize(ms);
    printf("  %-40s n=%-3zu median %8.1f ms  min %8.1f ms  max %8.1f ms\n", what, f.n, f.median,
           *std::min_element(ms.begin(), ms.end()), f.max);
}

// The same work in the clear and over TLS, taking turns (which of the two goes first
// changes from run to run): wall times and the server's CPU times.
struct Turns {
    std::vector<double> plainWall, plainCpu, tlsWall, tlsCpu;
};

template <typename Plain, typename Tls>
Turns takeTurns(int runs, pid_t server, Plain&& plain, Tls&& tls) {
    Turns t;
    auto timed = [&](auto&& work, std::vector<double>& wall, std::vector<double>& cpu) {
        const double cpu0 = cpuMs(server);
        const auto t0 = Clock::now();
        work();
        wall.push_back(msSince(t0));
        cpu.push_back(cpuMs(server) - cpu0);
    };
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) timed(plain, t.plainWall, t.plainCpu);
        timed(tls, t.tlsWall, t.tlsCpu);
        if (i % 2 == 1) timed(plain, t.plainWall, t.plainCpu);
    }
    return t;
}

// The median of the runs' own ratios: each pair ran under the same load of the machine.
double medianRatio(const std::vector<double>& over, const std::vector<double>& under) {
    std::vector<double> ratios;
    for (size_t i = 0; i < over.size() && i < under.size(); ++i) ratios.push_back(over[i] / under[i]);
    return median(ratios);
}

void printTurns(const Turns& t, const char* plainName, const char* tlsName, double bytes) {
    const std::string p = plainName, s = tlsName;
    printSeries((p + ": wall").c_str(), t.plainWall);
    printSeries((p + ": server CPU").c_str(), t.plainCpu);
    printSeries((s + ": wall").c_str(), t.tlsWall);
    printSeries((s + ": server CPU").c_str(), t.tlsCpu);
    const double extra = median(t.tlsCpu) - median(t.plainCpu);
    printf("  TLS/plain: ratio of the medians: wall %.2f, server CPU %.2f; median of the runs' ratios: wall %.2f, "
           "server CPU %.2f (target: within 1.3)\n",
           median(t.tlsWall) / median(t.plainWall), median(t.tlsCpu) / median(t.plainCpu),
           medianRatio(t.tlsWall, t.plainWall), medianRatio(t.tlsCpu, t.plainCpu));
    printf("  TLS adds %.1f ms of server CPU (medians), %.2f ns a byte sent\n", extra, extra * 1e6 / bytes);
    fflush(stdout);
}

// The value below which `share` of the sorted series lies.
double quantile(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, size_t(std::ceil(share * double(sorted.size()))) - 1)];
}

void printPings(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const size_t over = size_t(ms.end() - std::upper_bound(ms.begin(), ms.end(), 5.0));
    printf("  %-34s n=%-6zu p50 %6.3f  p90 %6.3f  p99 %7.3f  p99.9 %7.3f  max %7.3f ms; over 5 ms: %zu%s\n",
           what, ms.size(), quantile(ms, 0.5), quantile(ms, 0.9), quantile(ms, 0.99), quantile(ms, 0.999),
           ms.empty() ? 0.0 : ms.back(), over, quantile(ms, 0.99) < 5.0 ? "" : "   (p99 NOT under 5 ms)");
}

// Pings for `seconds`, each after a pause of up to kPingGapMaxUs; their round trips.
std::vector<double> pingFor(qclient::Connection& c, int seconds) {
    std::minstd_rand random(12345);
    std::uniform_int_distribution<int> gap(0, kPingGapMaxUs);
    std::vector<double> ms;
    for (auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        auto t0 = Clock::now();
        if (c.ping() != qclient::Status::Ok) die("ping failed");
        ms.push_back(msSince(t0));
    }
    return ms;
}

// Stops the servers when the program ends early (die() does not unwind), in this process
// only: the crowd's processes leave with _exit.
std::vector<bench::Server*> running;
pid_t mainProcess = 0;

struct Options {
    uint32_t messages = 50000;
    int runs = 7;
    int seconds = 10;
    int clients = 200;
    int workers = 2;
    bool keep = false;  // the servers' folders (their console output) stay
    std::string binary = QUORVA_BIN;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = i + 1 < argc;
        if (a == "--messages" && valued) {
            o.messages = uint32_t(std::max(1L, atol(argv[++i])));
        } else if (a == "--runs" && valued) {
            o.runs = std::max(1, atoi(argv[++i]));
        } else if (a == "--seconds" && valued) {
            o.seconds = std::max(1, atoi(argv[++i]));
        } else if (a == "--clients" && valued) {
            o.clients = std::max(1, atoi(argv[++i]));
        } else if (a == "--workers" && valued) {
            o.workers = std::max(1, atoi(argv[++i]));
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a.rfind("--", 0) == 0) {
            die("usage: bench_tls [--messages N] [--runs N] [--seconds N] [--clients N] [--workers N] [--keep] "
                "[server binary]");
        } else {
            o.binary = a;
        }
    }
    o.workers = std::min(o.workers, o.clients);
    return o;
}

// The settings of a server with both doors, in and out of TLS; the TLS and news ports are
// the system's choice, read back from the console. The caps are raised so that a crowd from
// one address is never refused: a connection in its handshake waits for its login.
void writeSettings(const std::string& dir, uint16_t port, const std::string& certs) {
    std::ofstream ini(dir + "/quorva.INI");
    ini << "listenPort " << port << "\nlistenAddress 127.0.0.1\ntlsPort 0\nnntpPort 0\nnntpsPort 0\n"
        << "tlsCertificate " << certs << "/server.pem\ntlsKey " << certs << "/server.key\n"
        << "nntpGroupPrefix fido.\nnntpMaxPerUser 16\nsquishCfg squish.cfg\n"
           "maxSessions 4096\nmaxPendingLogins 4096\nmaxPendingSessions 4096\n"
           "user Bench Plain,bench,2:5020/1.0\nuser Bench Tls,bench,2:5020/2.0\n";
    ini.close();
    // It holds passwords: the server warns about a file others may read.
    std::filesystem::permissions(dir + "/quorva.INI", std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const Options opt = parseOptions(argc, argv);
    // The server inherits the limit: room for the crowd's connections.
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < std::min<rlim_t>(r.rlim_max, 8192)) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &r);
    }
    // Absolute: the server is started from inside its folder.
    const std::string serverBinary = std::filesystem::absolute(opt.binary).string();
    const std::string dir = bench::makeScratchFolder("quorva-bench-tls");
    const std::string certs = dir + "/certs";
    const std::string otherDir = dir + "/other";  // the second server's folder
    makeCertificates(certs);
    TlsClientOptions tls;
    tls.host = "127.0.0.1";
    tls.caFile = certs + "/ca.pem";

    printf("load average before: %s\nbuilding a %u-message Squish area...\n", loadText().c_str(), opt.messages);
    fflush(stdout);
    if (!bench::writeSquishBase(dir + "/big", opt.messages, bench::echoMessage)) die("cannot write the base");
    std::filesystem::create_directories(otherDir);
    if (!bench::writeSquishBase(otherDir + "/big", 3, bench::echoMessage)) die("cannot write the base");
    for (const std::string& d : {dir, otherDir}) {
        std::ofstream cfg(d + "/squish.cfg");
        cfg << "EchoArea BIG big -$\n";
    }

    bench::Server server(dir, serverBinary);
    mainProcess = getpid();
    running.push_back(&server);
    atexit([] {
        if (getpid() == mainProcess)
            for (bench::Server* s : running) s->stop();
    });
    const uint16_t port = bench::freePort();
    writeSettings(dir, port, certs);
    server.start();
    if (!server.waitAccepting(port, 15000)) die("the server does not accept connections (see " + dir + ")");
    const pid_t pid = server.pid();
    const uint16_t tlsPort = waitForPort(server, "binary door over TLS:");
    const uint16_t newsPort = waitForPort(server, "news door: ");
    const uint16_t newsTlsPort = waitForPort(server, "news door over TLS:");

    // Both logged in before any crowd comes: the TLS one pings under the crowd later, older
    // than the crowd's connections, as a server's users would be.
    qclient::Connection plain, secure;
    logIn(plain, port, nullptr, "Bench Plain", kPlainUser);
    logIn(secure, tlsPort, &tls, "Bench Tls", kTlsUser);
    printf("\nserver %s on loopback; %u articles; %d runs of each, taking turns\n", serverBinary.c_str(),
           opt.messages, opt.runs);
    printf("binary door over TLS: %s\n", secure.tlsDescription().c_str());

    // ---- the message list: TLS against plain ---------------------------------------------
    {
        binaryList(plain, opt.messages);  // the base's pages in the cache, the coder warm
        binaryList(secure, opt.messages);
        uint32_t wire = 0;
        const Turns turns = takeTurns(opt.runs, pid, [&] { wire = binaryList(plain, opt.messages); },
                                      [&] { binaryList(secure, opt.messages); });
        printf("\nmessage list of %u headers (%u bytes on the wire, compressed), load average %s\n", opt.messages,
               wire, loadText().c_str());
        printTurns(turns, "listenPort", "tlsPort", wire);
    }

    // ---- OVER: NNTPS against NNTP ------------------------------------------------------------
    {
        NewsClient news, newsTls;
        news.open(newsPort);
        newsTls.open(newsTlsPort, &tls);
        news.logInAndSelect("Bench Plain", "bench", kGroup);
        newsTls.logInAndSelect("Bench Plain", "bench", kGroup);
        news.over(opt.messages, kReadChunk);
        newsTls.over(opt.messages, kReadChunk);
        size_t bytes = 0;
        const Turns turns = takeTurns(opt.runs, pid, [&] { bytes = news.over(opt.messages, kReadChunk); },
                                      [&] { newsTls.over(opt.messages, kReadChunk); });
        printf("\nOVER 1-%u (%zu bytes), news door over TLS: %s, load average %s\n", opt.messages, bytes,
               newsTls.description().c_str(), loadText().c_str());
        printTurns(turns, "nntpPort", "nntpsPort", double(bytes));
        news.command("QUIT", "205");
        newsTls.command("QUIT", "205");
    }
    plain.logout();

    // ---- full handshakes ------------------------------------------------------------------
    const bool tickets = serverSendsTickets(tlsPort);
    printf("\nfull handshakes on tlsPort: %d clients in %d processes, each connecting again as soon as its "
           "handshake is done, %d s a case\n",
           opt.clients, opt.workers, opt.seconds);
    if (!tickets)
        printf("  (the server sends no TLS 1.3 session ticket: a TLS 1.3 handshake counts at the client's end,\n"
               "   the server may still be checking the client's Finished)\n");
    Crowd crowd;
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        CrowdPlan plan;
        plan.port = tlsPort;
        plan.connections = opt.clients;
        plan.maxVersion = version;
        plan.waitForTicket = tickets;
        crowd.start(plan, opt.workers);
        poll(nullptr, 0, kCrowdWarmUpMs);
        CrowdWindowClock clock(crowd, pid);
        std::this_thread::sleep_for(std::chrono::seconds(opt.seconds));
        CrowdWindow w = clock.close();
        w.times = crowd.stop();
        const Figures latency = summarize(w.times);
        printf("  %s: %6.0f handshakes/s; server CPU %5.1f us a handshake (one core: %5.0f/s), on a CPU %4.1f%% "
               "and waiting for one %4.1f%% of the time; clients' CPU %5.1f%% of a core\n",
               versionName(w.version), w.rate(), w.cpuPerHandshakeUs(),
               w.cpuPerHandshakeUs() > 0 ? 1e6 / w.cpuPerHandshakeUs() : 0.0, 100 * w.serverShare(),
               100 * w.serverWaitShare(), 100 * w.crowdCpuMs / w.wallMs);
        printf("           connect to the server's end of the handshake: median %.1f ms, p99 %.1f ms; "
               "%ld failed, %ld connects refused by the system; load average %s\n",
               latency.median, latency.p99, w.failed, w.unconnected, loadText().c_str());
        fflush(stdout);
    }

    // ---- pings while the crowd handshakes -------------------------------------------------
    printf("\npings of the logged-in TLS client, each after a pause of 0 to %d us, %d s a case (ms)\n", kPingGapMaxUs,
           opt.seconds);
    if (secure.ping() != qclient::Status::Ok) die("ping failed");
    {
        const double wait0 = runQueueMs(pid), cpu0 = cpuMs(pid);
        const auto t0 = Clock::now();
        printPings("nothing else going on", pingFor(secure, opt.seconds));
        const double wall = msSince(t0);
        printf("  %36s server on a CPU %.1f%% and waiting for one %.1f%% of the time; load average %s\n", "",
               100 * (cpuMs(pid) - cpu0) / wall, 100 * (runQueueMs(pid) - wait0) / wall, loadText().c_str());
    }
    // The crowd at the server's priority, then at the lowest, as if it ran on other machines:
    // the server then has a core whenever it can run.
    auto pingUnderCrowd = [&](const char* what, pid_t loaded, uint16_t crowdPort, int nice) {
        CrowdPlan plan;
        plan.port = crowdPort;
        plan.connections = opt.clients;
        plan.waitForTicket = tickets;
        plan.nice = nice;
        crowd.start(plan, opt.workers);
        poll(nullptr, 0, kCrowdWarmUpMs);
        CrowdWindowClock clock(crowd, loaded);
        const double wait0 = runQueueMs(pid), cpu0 = cpuMs(pid);
        std::vector<double> pings = pingFor(secure, opt.seconds);
        const double waited = runQueueMs(pid) - wait0, used = cpuMs(pid) - cpu0;
        CrowdWindow w = clock.close();
        crowd.stop();
        printPings(what, pings);
        printf("  %36s %.0f handshakes/s; server on a CPU %.1f%% and waiting for one %.1f%% of the time", "",
               w.rate(), 100 * used / w.wallMs, 100 * waited / w.wallMs);
        if (loaded != pid)
            printf(" (the second: %.1f%% and %.1f%%)", 100 * w.serverShare(), 100 * w.serverWaitShare());
        printf("; load average %s\n", loadText().c_str());
        fflush(stdout);
    };
    pingUnderCrowd("crowd on this server", pid, tlsPort, 0);
    pingUnderCrowd("crowd on this server, niced 19", pid, tlsPort, 19);
    {
        // The same crowd against a second server: the machine as loaded, this server idle.
        bench::Server other(otherDir, serverBinary);
        running.push_back(&other);
        const uint16_t otherPort = bench::freePort();
        writeSettings(otherDir, otherPort, certs);
        other.start();
        if (!other.waitAccepting(otherPort, 15000)) die("the second server does not start (see " + otherDir + ")");
        pingUnderCrowd("crowd on a second server", other.pid(), waitForPort(other, "binary door over TLS:"), 0);
        other.stop();
        running.pop_back();
    }
    secure.logout();
    server.stop();
    running.clear();
    if (opt.keep) {
        printf("\nthe servers' folders are kept in %s\n", dir.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return 0;
}
