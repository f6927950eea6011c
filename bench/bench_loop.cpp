// What other clients cost a logged-in client, against the real server binary on loopback:
// ping round trips with 0, 200 and 1,000 silent connections open and with 20 clients that
// send one byte a second; and the CPU time an idle server uses per second, over a window of
// at least 10 s. Prints the median and the 99th percentile of each, in milliseconds.
//
//   bench_loop [--server PATH] [--cases 0,200,1000,drip,idle] [--pings N] [--budget SECONDS]
//              [--idle-seconds S]
//
// --server runs another build of the server (for a before-and-after comparison); a case
// whose connections or pings do not finish within the budget says so and reports what it
// measured. The descriptor limit is raised for the 1,000 connections, and the settings
// file raises the server's session caps (a server that does not know those keys skips them).
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "client/lib/quorva_client.h"

namespace {

using bench::Clock;
using bench::countOf;
using bench::die;
using bench::Figures;
using bench::msSince;
using bench::summarize;

const FidoAddr kUser{2, 5020, 1, 0};

// A connection that is opened and then left alone (or fed a byte now and then).
int openConnection(uint16_t port, bool wait) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (s < 0) return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        close(s);
        return -1;
    }
    return s;
}

struct Options {
    std::string server = QUORVA_BIN;
    std::vector<std::string> cases = {"0", "200", "1000", "drip", "idle"};
    int pings = 2000;
    double budgetSeconds = 30;
    double idleSeconds = 12;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--server") {
            o.server = value();
        } else if (a == "--cases") {
            o.cases.clear();
            std::stringstream s(value());
            for (std::string c; std::getline(s, c, ',');) o.cases.push_back(c);
        } else if (a == "--pings") {
            o.pings = std::max(1, atoi(value().c_str()));
        } else if (a == "--budget") {
            o.budgetSeconds = std::max(1.0, atof(value().c_str()));
        } else if (a == "--idle-seconds") {
            o.idleSeconds = std::max(10.0, atof(value().c_str()));
        } else {
            die("unknown option " + a + " (see the comment at the top of bench/bench_loop.cpp)");
        }
    }
    return o;
}

// The server's lines for connections taken and for connections gone.
int clientLines(const bench::Server& server) { return countOf(server.out(), "client: "); }
int disconnectLines(const bench::Server& server) { return countOf(server.out(), "client disconnected."); }

// Opens n connections that send nothing and waits until the server has taken them all.
// At most a few wait for the server at a time, so that none is dropped from a short listen
// backlog. False when that does not happen within the budget.
bool openSilent(const bench::Server& server, uint16_t port, int n, double budgetSeconds, std::vector<int>& out) {
    constexpr int kWaitingAtOnce = 4;
    const int before = clientLines(server);
    auto deadline = Clock::now() + std::chrono::duration<double>(budgetSeconds);
    int taken = 0;
    for (int i = 0; i < n; ++i) {
        while (i - taken >= kWaitingAtOnce) {
            if (Clock::now() > deadline) return false;
            poll(nullptr, 0, 2);
            taken = clientLines(server) - before;
        }
        int s = openConnection(port, false);
        if (s < 0) die("cannot open connection " + std::to_string(i) + ": " + strerror(errno));
        out.push_back(s);
    }
    while (clientLines(server) < before + n) {
        if (Clock::now() > deadline) return false;
        poll(nullptr, 0, 20);
    }
    return true;
}

void closeAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

// Pings until n are done or the budget is spent; the round trips in milliseconds.
std::vector<double> pingRoundTrips(qclient::Connection& c, int n, double budgetSeconds, bool& timedOut) {
    std::vector<double> ms;
    timedOut = false;
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        auto t = Clock::now();
        if (c.ping() != qclient::Status::Ok) {
            timedOut = true;
            break;
        }
        ms.push_back(msSince(t));
        if (msSince(start) > budgetSeconds * 1000) break;
    }
    return ms;
}

void printPings(const std::string& what, const std::vector<double>& ms, bool timedOut, double budgetSeconds) {
    Figures f = summarize(ms);
    if (f.n == 0) {
        printf("%-36s no reply within %.0f s\n", what.c_str(), budgetSeconds);
        return;
    }
    printf("%-36s n=%-5zu median %9.3f ms   p99 %9.3f ms   max %9.3f ms%s\n", what.c_str(), f.n, f.median, f.p99,
           f.max, timedOut ? "   (then no reply within the budget)" : "");
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Options opt = parse(argc, argv);

    // Room for 1,000 connections on both sides (the server inherits the limit).
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        rlim_t want = std::min<rlim_t>(r.rlim_max, 8192);
        if (r.rlim_cur < want) {
            r.rlim_cur = want;
            setrlimit(RLIMIT_NOFILE, &r);
        }
        getrlimit(RLIMIT_NOFILE, &r);
        printf("descriptor limit %llu\n", static_cast<unsigned long long>(r.rlim_cur));
    }

    const std::string dir = bench::makeScratchFolder("quorva-bench-loop");

    uint16_t port = bench::freePort();
    {
        std::ofstream ini(dir + "/quorva.INI");
        ini << "listenPort " << port << "\n"
            << "maxSessions 2000\nmaxPendingLogins 2000\nmaxPendingSessions 2000\n"
            << "user Bench User,bench,2:5020/1.0\n";
    }
    bench::Server server(dir, opt.server);
    server.start();
    if (!server.waitAccepting(port, 15000)) die("the server does not accept connections (see " + dir + ")");
    printf("server %s (pid %d), loopback port %u\n\n", opt.server.c_str(), int(server.pid()), port);
    fflush(stdout);

    for (const std::string& c : opt.cases) {
        if (c == "idle") {
            // Nothing connected: what the loop costs by itself.
            auto settle = Clock::now() + std::chrono::seconds(1);
            while (Clock::now() < settle) poll(nullptr, 0, 50);
            bench::CpuTime a = bench::cpuTime(server.pid());
            auto t0 = Clock::now();
            auto until = t0 + std::chrono::duration<double>(opt.idleSeconds);
            while (Clock::now() < until) poll(nullptr, 0, 100);
            bench::CpuTime b = bench::cpuTime(server.pid());
            double seconds = msSince(t0) / 1000;
            double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
            printf("%-36s %.3f ms of CPU per second over %.1f s (/proc stat: %ld ticks of %.0f ms)", "idle server",
                   b.ns >= 0 && a.ns >= 0 ? double(b.ns - a.ns) / 1e6 / seconds : double(b.ticks - a.ticks) * tick / seconds,
                   seconds, b.ticks - a.ticks, tick);
            printf("%s\n", b.ns >= 0 ? ", from schedstat" : "");
            fflush(stdout);
            continue;
        }
        bool dripCase = c == "drip";
        int silentCount = dripCase ? 0 : atoi(c.c_str());
        std::vector<int> others;
        std::atomic<bool> stopDrip{false};
        std::thread dripper;
        bool ready = true;
        auto setupStart = Clock::now();
        if (dripCase) {
            // 20 clients each sending a hello one byte a second.
            std::vector<uint8_t> hello(8 + 84, 0);
            hello[0] = 10;
            hello[4] = 84;
            ready = openSilent(server, port, 20, opt.budgetSeconds, others);
            dripper = std::thread([&, hello] {
                for (size_t at = 0; at < hello.size() && !stopDrip; ++at) {
                    for (int fd : others) (void)!send(fd, &hello[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    auto next = Clock::now() + std::chrono::seconds(1);
                    while (!stopDrip && Clock::now() < next) poll(nullptr, 0, 10);
                }
            });
        } else if (silentCount > 0) {
            ready = openSilent(server, port, silentCount, opt.budgetSeconds * 10, others);
        }
        std::string what = dripCase ? "ping, 20 drip clients" : "ping, " + c + " silent connections";
        if (!ready) {
            printf("%-36s the server did not take the connections within %.0f s\n", what.c_str(),
                   msSince(setupStart) / 1000);
        } else {
            qclient::Connection client;
            client.setTimeout(int(opt.budgetSeconds * 1000));
            if (!client.connect("127.0.0.1", port) || client.login("Bench User", "bench", kUser) != qclient::Status::Ok) {
                printf("%-36s no login within %.0f s\n", what.c_str(), opt.budgetSeconds);
            } else {
                bool timedOut = false;
                std::vector<double> ms = pingRoundTrips(client, opt.pings, opt.budgetSeconds, timedOut);
                printPings(what, ms, timedOut, opt.budgetSeconds);
                client.logout();
            }
        }
        stopDrip = true;
        if (dripper.joinable()) dripper.join();
        int disconnected = disconnectLines(server);
        int expected = int(others.size());
        closeAll(others);
        // Let the server see them go before the next case.
        auto deadline = Clock::now() + std::chrono::duration<double>(opt.budgetSeconds * 10);
        while (disconnectLines(server) < disconnected + expected && Clock::now() < deadline) poll(nullptr, 0, 50);
    }
    server.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
