#include "common/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        poll(nullptr, 0, 5);  // check again shortly
    }
}

namespace {

// The first port of the system's range for ephemeral ports (those of port-0 listeners and of
// outgoing connections).
int ephemeralPortsStart() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low ? low : 0;
}

// Whether a listener could take the port on every IPv4 interface now.
bool portBindable(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

}  // namespace

// A port below the ephemeral range when there is room: a port the system picked for a
// port-0 listener of another test, or for the local end of a test's connection, would be
// taken again by the system while the test still means to listen on it.
uint16_t pickFreePort() {
    constexpr int kLowest = 10000;
    const int start = ephemeralPortsStart();
    if (start > kLowest + 1000) {
        static unsigned seed = unsigned(getpid()) * 2654435761u ^ unsigned(time(nullptr));
        for (int attempt = 0; attempt < 200; ++attempt) {
            seed = seed * 1103515245u + 12345u;
            const uint16_t port = uint16_t(kLowest + (seed >> 8) % unsigned(start - kLowest));
            if (portBindable(port)) return port;
        }
    }
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

std::string peerOf(int socket) {
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (socket < 0 || getsockname(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "";
    char host[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &s6->sin6_addr, host, sizeof host);
        return std::string("[") + host + "]:" + std::to_string(ntohs(s6->sin6_port));
    }
    const auto* s4 = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &s4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(s4->sin_port));
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdinFd_ >= 0) close(stdinFd_);
    if (ptySlave_ >= 0) close(ptySlave_);
}

bool ServerProcess::startRaw(const TempDir& dir, const std::string& iniText, const std::string& programName) {
    dir.write(programName + ".INI", iniText);
    // It holds passwords: readable by its owner only, as a sysop keeps it.
    chmod(dir.file(programName + ".INI").c_str(), 0600);
    outPath_ = dir.file(programName + ".stdout");
    errPath_ = dir.file(programName + ".stderr");
    // Descriptors of an earlier attempt are not needed any more.
    if (stdinFd_ >= 0) close(stdinFd_);
    if (ptySlave_ >= 0) close(ptySlave_);
    stdinFd_ = ptySlave_ = -1;
    int in[2];  // [0] becomes the child's standard input, [1] is kept for key presses
    // Close-on-exec, so that servers started later do not hold this one's input open.
    if (useTerminal_) {
        if (openpty(&in[1], &in[0], nullptr, nullptr, nullptr) != 0) return false;
        fcntl(in[0], F_SETFD, FD_CLOEXEC);
        fcntl(in[1], F_SETFD, FD_CLOEXEC);
    } else if (pipe2(in, O_CLOEXEC) != 0) {
        return false;
    }
    // The child's argument vector, built before the fork.
    std::string argv0 = argv0_.empty() ? dir.file(programName) : argv0_;
    std::vector<std::string> args = {argv0};
    args.insert(args.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = mergeStreams_ ? dup(out) : open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (mergeStreams_) close(open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        if (useTerminal_) {
            // Its own session with the terminal as controlling terminal, as in a console.
            setsid();
            ioctl(in[0], TIOCSCTTY, 0);
        }
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in[0]);
        close(in[1]);
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        execv(binary_.empty() ? QUORVA_BIN : binary_.c_str(), argv.data());
        _exit(127);
    }
    if (useTerminal_)
        ptySlave_ = in[0];  // kept open to read the terminal's settings after the server ends
    else
        close(in[0]);
    stdinFd_ = in[1];
    pid_ = pid;
    exited_ = false;
    exitStatus_ = -1;
    return true;
}

bool ServerProcess::terminalSettings(struct termios& t) const {
    return ptySlave_ >= 0 && tcgetattr(ptySlave_, &t) == 0;
}

void ServerProcess::typeKeys(const std::string& bytes) {
    if (stdinFd_ >= 0) (void)!::write(stdinFd_, bytes.data(), bytes.size());
}

std::string ServerProcess::unreadTerminalInput() {
    struct termios t;
    if (!terminalSettings(t)) return "";
    t.c_lflag &= tcflag_t(~ICANON);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(ptySlave_, TCSANOW, &t);
    std::string unread;
    char buf[256];
    ssize_t k;
    while ((k = ::read(ptySlave_, buf, sizeof buf)) > 0) unread.append(buf, size_t(k));
    return unread;
}

bool ServerProcess::start(const TempDir& dir, const std::string& settings) {
    // A server needs a user to start: tests that log nobody in get one nobody uses.
    const bool hasUser = settings.rfind("user ", 0) == 0 || settings.find("\nuser ") != std::string::npos;
    std::string text = hasUser ? settings : settings + kStandInUser;
    // A news door listens on a port of the system's choosing, read back from its line.
    // So do the TLS ports.
    for (const std::string key : {"nntpPort", "tlsPort", "nntpsPort"}) {
        for (size_t at = 0; (at = text.find(key + " ", at)) != std::string::npos; at += key.size()) {
            if (at != 0 && text[at - 1] != '\n') continue;
            size_t end = text.find('\n', at);
            text.replace(at, (end == std::string::npos ? text.size() : end) - at, key + " 0");
        }
    }
    newsPort_ = tlsPort_ = newsTlsPort_ = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = pickFreePort();
        if (!startRaw(dir, "listenPort " + std::to_string(port_) + "\n" + text)) return false;
        bool up = waitUntil(
            [&] {
                if (!running()) return true;
                qclient::Connection probe;
                return probe.connect("127.0.0.1", port_);
            },
            15000);
        if (up && running()) {
            // The probe connection is served and closed by the server; wait for that so
            // that tests see only their own lines.
            waitForOut("client disconnected.", 15000);
            const std::string lines = out();
            auto portAfter = [&](const std::string& mark, uint16_t& port) {
                for (size_t at = lines.find(mark); at != std::string::npos; at = lines.find(mark, at + 1)) {
                    size_t end = lines.find_first_of(" \n", lines.find(" on ", at) + 4);
                    size_t colon = lines.rfind(':', end);
                    if (end != std::string::npos && colon != std::string::npos && colon > at)
                        port = uint16_t(std::stoi(lines.substr(colon + 1, end - colon - 1)));
                }
            };
            portAfter("news door: ", newsPort_);
            portAfter("binary door over TLS: ", tlsPort_);
            portAfter("news door over TLS: ", newsTlsPort_);
            return true;
        }
        waitExit(5000);
        if ((out() + err()).find("bind") == std::string::npos) return false;  // retry only a taken port
        exited_ = false;
        pid_ = -1;
    }
    return false;
}

std::string ServerProcess::out() const { return readFile(outPath_); }
std::string ServerProcess::err() const { return readFile(errPath_); }

static int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) ++n;
    return n;
}

int ServerProcess::countOut(const std::string& needle) const { return countOf(out(), needle); }
int ServerProcess::countErr(const std::string& needle) const { return countOf(err(), needle); }

bool ServerProcess::waitForOut(const std::string& needle, int timeoutMs) const {
    return waitUntil([&] { return out().find(needle) != std::string::npos; }, timeoutMs);
}

bool ServerProcess::waitForErr(const std::string& needle, int timeoutMs) const {
    return waitUntil([&] { return err().find(needle) != std::string::npos; }, timeoutMs);
}

void ServerProcess::pressKey() {
    if (stdinFd_ >= 0) (void)!::write(stdinFd_, "q", 1);
}

void ServerProcess::closeInput() {
    if (stdinFd_ >= 0) close(stdinFd_);
    stdinFd_ = -1;
}

void ServerProcess::signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

bool ServerProcess::running() {
    if (pid_ <= 0 || exited_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

int ServerProcess::waitExit(int timeoutMs) {
    if (!waitUntil([&] { return !running(); }, timeoutMs)) return -1;
    return exitStatus_;
}

bool ServerProcess::connect(qclient::Connection& c) const { return c.connect("127.0.0.1", port_); }
