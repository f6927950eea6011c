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
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/quorva_client.h"

namespace {

using Clock = std::chrono::steady_clock;
const FidoAddr kUser{2, 5020, 1, 0};

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "bench_loop: %s\n", why.c_str());
    exit(1);
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint16_t port = uint16_t(20000 + (getpid() * 7 + attempt * 131) % 30000);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (ok) return port;
    }
    die("no free port");
}

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

// The server in a folder of its own, with its output in files there.
class Server {
public:
    Server(const std::string& dir, const std::string& binary) : dir_(dir), binary_(binary) {}
    ~Server() { stop(); }

    void start(uint16_t port) {
        port_ = port;
        pid_ = fork();
        if (pid_ < 0) die("fork failed");
        if (pid_ == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open((dir_ + "/server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((dir_ + "/server.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (chdir(dir_.c_str()) != 0) _exit(127);
            std::string argv0 = dir_ + "/quorva";
            char* argv[] = {argv0.data(), nullptr};
            execv(binary_.c_str(), argv);
            _exit(127);
        }
        auto deadline = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < deadline) {
            qclient::Connection probe;
            if (probe.connect("127.0.0.1", port_)) return;
            poll(nullptr, 0, 20);
        }
        die("the server does not accept connections (see " + dir_ + ")");
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            poll(nullptr, 0, 20);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid() const { return pid_; }
    int clientLines() const { return countOf(readAll(dir_ + "/server.out"), "client: "); }
    int disconnectLines() const { return countOf(readAll(dir_ + "/server.out"), "client disconnected."); }

private:
    std::string dir_, binary_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

struct Figures {
    size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};

Figures summarize(std::vector<double> ms) {
    Figures f;
    f.n = ms.size();
    if (ms.empty()) return f;
    std::sort(ms.begin(), ms.end());
    f.median = ms[ms.size() / 2];
    f.p99 = ms[size_t(std::ceil(0.99 * double(ms.size()))) - 1];
    f.max = ms.back();
    return f;
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

// Opens n connections that send nothing and waits until the server has taken them all.
// At most a few wait for the server at a time, so that none is dropped from a short listen
// backlog. False when that does not happen within the budget.
bool openSilent(Server& server, uint16_t port, int n, double budgetSeconds, std::vector<int>& out) {
    constexpr int kWaitingAtOnce = 4;
    const int before = server.clientLines();
    auto deadline = Clock::now() + std::chrono::duration<double>(budgetSeconds);
    int taken = 0;
    for (int i = 0; i < n; ++i) {
        while (i - taken >= kWaitingAtOnce) {
            if (Clock::now() > deadline) return false;
            poll(nullptr, 0, 2);
            taken = server.clientLines() - before;
        }
        int s = openConnection(port, false);
        if (s < 0) die("cannot open connection " + std::to_string(i) + ": " + strerror(errno));
        out.push_back(s);
    }
    while (server.clientLines() < before + n) {
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

// CPU time of the process: the clock ticks of /proc/<pid>/stat (user + system) and, finer,
// the nanoseconds on the CPU of /proc/<pid>/schedstat where the kernel keeps them.
struct CpuTime {
    long ticks = -1;
    long long ns = -1;
};

CpuTime cpuTime(pid_t pid) {
    CpuTime t;
    std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream s(stat.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        // Fields after the name, from the state (field 3) on: utime is field 14, stime 15.
        for (int i = 3; i <= 15 && (s >> field); ++i) {
            if (i == 14) utime = atol(field.c_str());
            if (i == 15) stime = atol(field.c_str());
        }
        t.ticks = utime + stime;
    }
    std::string sched = readAll("/proc/" + std::to_string(pid) + "/schedstat");
    if (!sched.empty()) t.ns = atoll(sched.c_str());
    return t;
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

    std::string tmpl = std::filesystem::temp_directory_path().string() + "/quorva-bench-loop-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) die("cannot make a temporary folder");
    std::string dir = buf.data();

    uint16_t port = freePort();
    {
        std::ofstream ini(dir + "/quorva.INI");
        ini << "listenPort " << port << "\n"
            << "maxSessions 2000\nmaxPendingLogins 2000\n"
            << "user Bench User,bench,2:5020/1.0\n";
    }
    Server server(dir, opt.server);
    server.start(port);
    printf("server %s (pid %d), loopback port %u\n\n", opt.server.c_str(), int(server.pid()), port);
    fflush(stdout);

    for (const std::string& c : opt.cases) {
        if (c == "idle") {
            // Nothing connected: what the loop costs by itself.
            auto settle = Clock::now() + std::chrono::seconds(1);
            while (Clock::now() < settle) poll(nullptr, 0, 50);
            CpuTime a = cpuTime(server.pid());
            auto t0 = Clock::now();
            auto until = t0 + std::chrono::duration<double>(opt.idleSeconds);
            while (Clock::now() < until) poll(nullptr, 0, 100);
            CpuTime b = cpuTime(server.pid());
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
        int disconnected = server.disconnectLines();
        int expected = int(others.size());
        closeAll(others);
        // Let the server see them go before the next case.
        auto deadline = Clock::now() + std::chrono::duration<double>(opt.budgetSeconds * 10);
        while (server.disconnectLines() < disconnected + expected && Clock::now() < deadline) poll(nullptr, 0, 50);
    }
    server.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
