// What the benchmarks that talk to the real server binary share: a scratch folder, a free
// loopback port, the server started in its folder and stopped again, the CPU time it has
// used (from /proc), and the median and 99th percentile of a series of round trips.
// Header only: each benchmark is a program of its own and links no test kit.
#pragma once
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/quorva_client.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Ends the benchmark, saying why after its program name.
[[noreturn]] inline void die(const std::string& why) {
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, why.c_str());
    exit(1);
}

inline double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A whole file; empty when it cannot be read.
inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// A fresh folder <temporary directory>/<prefix>-XXXXXX; the caller removes it.
inline std::string makeScratchFolder(const std::string& prefix) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) die("cannot make a temporary folder");
    return buf.data();
}

// A loopback port that can be bound now: ports of a quiet range, tried in turn.
inline uint16_t freePort() {
    for (uint16_t port = 39100 + uint16_t(getpid() % 500); port < 65000; port += 7) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) die("no socket");
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

// CPU time of a process: the clock ticks of /proc/<pid>/stat (user + system) and, finer,
// the nanoseconds on a CPU of /proc/<pid>/schedstat where the kernel keeps them; -1 for
// what is unknown.
struct CpuTime {
    long ticks = -1;
    long long ns = -1;
    // The ticks in seconds; -1 when unknown.
    double tickSeconds() const { return ticks < 0 ? -1 : double(ticks) / double(sysconf(_SC_CLK_TCK)); }
};

inline CpuTime cpuTime(pid_t pid) {
    CpuTime t;
    if (pid <= 0) return t;
    const std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    // The command name (field 2) is in parentheses and may hold spaces: count the fields
    // from the last ')'. Field 3 (state) comes first, utime is 14, stime 15.
    const size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 1));
        std::string field;
        long utime = 0, stime = 0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14) utime = atol(field.c_str());
            if (index == 15) stime = atol(field.c_str());
        }
        t.ticks = utime + stime;
    }
    const std::string sched = readAll("/proc/" + std::to_string(pid) + "/schedstat");
    if (!sched.empty()) t.ns = atoll(sched.c_str());
    return t;
}

// The server binary run in a folder of its own as <folder>/quorva, so that it reads the
// quorva.INI there; its output goes to server.out and server.err in that folder.
class Server {
public:
    Server(const std::string& dir, const std::string& binary) : dir_(dir), binary_(binary) {}
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void start() {
        pid_ = fork();
        if (pid_ < 0) die("fork failed");
        if (pid_ == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open((dir_ + "/server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((dir_ + "/server.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
            if (chdir(dir_.c_str()) != 0) _exit(127);
            std::string argv0 = dir_ + "/quorva";
            char* argv[] = {argv0.data(), nullptr};
            execv(binary_.c_str(), argv);
            _exit(127);
        }
    }

    // Waits until the server takes connections on the port; false when it ends first or
    // the time runs out.
    bool waitAccepting(uint16_t port, int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            qclient::Connection probe;
            if (probe.connect("127.0.0.1", port)) return true;
            poll(nullptr, 0, 10);
        }
        return false;
    }

    // Asks the server to stop as an operator would (SIGTERM); after ten seconds it is
    // killed.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        pid_ = -1;
    }

    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    std::string out() const { return readAll(dir_ + "/server.out"); }

private:
    std::string dir_, binary_;
    pid_t pid_ = -1;
};

// A series of times in milliseconds: how many, median, 99th percentile, largest, mean.
struct Figures {
    size_t n = 0;
    double median = 0, p99 = 0, max = 0, mean = 0;
};

inline Figures summarize(std::vector<double> ms) {
    Figures f;
    f.n = ms.size();
    if (ms.empty()) return f;
    std::sort(ms.begin(), ms.end());
    f.median = ms[ms.size() / 2];
    f.p99 = ms[size_t(std::ceil(0.99 * double(ms.size()))) - 1];
    f.max = ms.back();
    double sum = 0;
    for (double v : ms) sum += v;
    f.mean = sum / double(ms.size());
    return f;
}

}  // namespace bench
