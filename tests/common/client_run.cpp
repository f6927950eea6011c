#include "common/client_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <cstring>
#include <fstream>

extern char** environ;

namespace {

constexpr auto kRunLimit = std::chrono::seconds(60);

bool inheritedVariable(const char* entry) {
    static const char* const kDropped[] = {"QUORVA_", "VISUAL=", "EDITOR=", "LANG=", "LANGUAGE=", "LC_"};
    for (const char* prefix : kDropped)
        if (strncmp(entry, prefix, strlen(prefix)) == 0) return false;
    return true;
}

ClientRun run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& input, bool onTerminal) {
    ClientRun result;
    int terminal = -1;
    std::string slaveName;
    if (onTerminal) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0 || !ptsname(terminal)) {
            if (terminal >= 0) close(terminal);
            return result;
        }
        slaveName = ptsname(terminal);
    }
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return result;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (inheritedVariable(*e)) envText.push_back(*e);
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (std::string& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        setsid();
        if (onTerminal) {
            int slave = open(slaveName.c_str(), O_RDWR);  // becomes the controlling terminal
            if (slave < 0) _exit(126);
            dup2(slave, 0);
            if (slave != 0) close(slave);
        } else {
            dup2(in[0], 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        int r = poll(fds, 2, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t k = read(fds[i].fd, buf, sizeof buf);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buf, size_t(k));
            }
        }
    }
    bool timedOut = open > 0;
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (terminal >= 0) close(terminal);
    if (!timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

}  // namespace

ClientRun runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     const std::string& input) {
    return run(argv, env, input, false);
}

ClientRun runProgramOnTerminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    return run(argv, env, "", true);
}

void writeScript(const std::string& path, const std::string& body) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    chmod(path.c_str(), 0700);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}
