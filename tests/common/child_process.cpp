#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace child {

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

int64_t millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

Result run(const std::vector<std::string>& argv, const Options& o) {
    Result result;
    if (argv.empty()) return result;

    Fd terminal;
    std::string slaveName;
    if (o.terminal) {
        terminal.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (terminal.get() < 0 || grantpt(terminal.get()) != 0 || unlockpt(terminal.get()) != 0) return result;
        const char* name = ptsname(terminal.get());
        if (!name) return result;
        slaveName = name;
    }
    const bool feedInput = !o.terminal && o.input.has_value();
    Pipe in, out, err;
    if ((feedInput && !in.open()) || !out.open() || (!o.mergeErrors && !err.open())) return result;

    // Everything the child needs is made before the fork: it may only call what is safe
    // after a fork of a process with threads.
    std::vector<std::string> argCopy = argv, envCopy = o.environment.value_or(std::vector<std::string>{});
    std::vector<char*> args, envp;
    for (std::string& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);
    for (std::string& s : envCopy) envp.push_back(s.data());
    envp.push_back(nullptr);
    const int errWrite = o.mergeErrors ? out.write.get() : err.write.get();

    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        setsid();
        int stdinFd;
        if (o.terminal)
            stdinFd = open(slaveName.c_str(), O_RDWR);  // becomes the controlling terminal
        else if (feedInput)
            stdinFd = in.read.get();
        else
            stdinFd = open("/dev/null", O_RDONLY);
        if (stdinFd < 0 || dup2(stdinFd, 0) < 0 || dup2(out.write.get(), 1) < 0 || dup2(errWrite, 2) < 0) _exit(126);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (!o.workDir.empty() && chdir(o.workDir.c_str()) != 0) _exit(126);
        if (o.environment)
            execve(args[0], args.data(), envp.data());
        else
            execv(args[0], args.data());
        _exit(127);
    }
    in.read.reset();
    out.write.reset();
    err.write.reset();

    // The input goes in as the program takes it, while its output is read; a program that
    // ends without reading it all must not end the test with SIGPIPE.
    if (feedInput) signal(SIGPIPE, SIG_IGN);
    size_t inputSent = 0;
    if (feedInput && o.input->empty()) in.write.reset();
    if (in.write.get() >= 0) fcntl(in.write.get(), F_SETFL, O_NONBLOCK);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeoutMs);
    std::string* sinks[2] = {&result.out, &result.err};
    Fd* sources[2] = {&out.read, &err.read};
    for (;;) {
        pollfd fds[3];
        int count = 0;
        for (Fd* source : sources)
            if (source->get() >= 0) fds[count++] = {source->get(), POLLIN, 0};
        if (count == 0) break;  // the output has ended
        if (in.write.get() >= 0) fds[count++] = {in.write.get(), POLLOUT, 0};
        const int64_t left = millisecondsLeft(deadline);
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        int r = poll(fds, nfds_t(count), int(std::min<int64_t>(left, 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in.write.get()) {
                ssize_t n = write(in.write.get(), o.input->data() + inputSent, o.input->size() - inputSent);
                if (n > 0) inputSent += size_t(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || inputSent == o.input->size()) in.write.reset();
                continue;
            }
            for (int k = 0; k < 2; ++k) {
                if (fds[i].fd != sources[k]->get()) continue;
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (n <= 0)
                    sources[k]->reset();
                else
                    sinks[k]->append(buf, size_t(n));
            }
        }
    }
    in.write.reset();
    out.read.reset();
    err.read.reset();

    // The output has ended; the program's exit follows at once, within the same bound.
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return result;
        if (result.timedOut || millisecondsLeft(deadline) <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return result;
        }
        poll(nullptr, 0, 2);
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace child
