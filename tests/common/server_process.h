// Test helpers: temporary folders, and the real server binary run in one of them with its
// own settings file, its output captured to files.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/lib/quorva_client.h"
#include "common/temp_dir.h"

// Waits until pred() holds, checking every few milliseconds, for at most timeoutMs.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);

// A loopback port that was free a moment ago.
uint16_t pickFreePort();

// How the server names a connection of this process in its console lines: the address
// and port of this side ("127.0.0.1:40312", "[::1]:40312"). Empty for a closed socket.
std::string peerOf(int socket);
inline std::string peerOf(const qclient::Connection& c) { return peerOf(c.fd()); }

// The user line start() adds to settings that have none: a server does not start without
// a user.
inline const char kStandInUser[] = "user Stand-in,unused,9:9/9\n";

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Writes <dir>/quorva.INI as "listenPort <free port>" followed by `settings` (and
    // kStandInUser when they have no user line), readable by its owner only, starts the
    // server as <dir>/quorva and waits until it accepts connections.
    bool start(const TempDir& dir, const std::string& settings);
    // Starts with the settings file exactly as given (no port added, no wait).
    bool startRaw(const TempDir& dir, const std::string& iniText, const std::string& programName = "quorva");
    // Before a start: arguments after argument 0 (for example {"--timestamps"}).
    void setArgs(const std::vector<std::string>& args) { args_ = args; }
    // Before a start: standard output and standard error into one file (out() returns
    // both, err() nothing), as a service manager or "2>&1" has them.
    void mergeStreams(bool on = true) { mergeStreams_ = on; }

    // Before a start: give the server a pseudo-terminal as its standard input (pressKey
    // then types into it), so that it runs in single-key mode as on a console.
    void useTerminal(bool on = true) { useTerminal_ = on; }
    // The terminal's current settings, read through its slave side (also after the
    // server ended). False without a terminal.
    bool terminalSettings(struct termios& t) const;
    // Writes these bytes to the server's input in one write (several keys at once).
    void typeKeys(const std::string& bytes);
    // After the server ended: what it left unread on its terminal (switches the terminal
    // to non-canonical mode to see it).
    std::string unreadTerminalInput();
    // Before a start: argument 0 other than <dir>/<programName> (e.g. "./quorva").
    void setArgv0(const std::string& argv0) { argv0_ = argv0; }
    // Before a start: the program to run instead of the server (a build of it with more
    // doors).
    void setBinary(const std::string& path) { binary_ = path; }

    uint16_t port() const { return port_; }
    // The news door's port, when the settings turn it on (start() lets the system pick it).
    uint16_t newsPort() const { return newsPort_; }
    // The TLS ports (tlsPort, nntpsPort), likewise.
    uint16_t tlsPort() const { return tlsPort_; }
    uint16_t newsTlsPort() const { return newsTlsPort_; }
    pid_t pid() const { return pid_; }
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far
    bool waitForOut(const std::string& needle, int timeoutMs = 10000) const;
    bool waitForErr(const std::string& needle, int timeoutMs = 10000) const;
    // Counts of a text in the captured output.
    int countOut(const std::string& needle) const;
    int countErr(const std::string& needle) const;

    // Writes one byte to the server's standard input (a key press).
    void pressKey();
    // Closes the server's standard input (end of input must not stop it).
    void closeInput();
    void signal(int sig);
    // Waits for the process to end; its exit status, or -1 on time-out or a signal death.
    int waitExit(int timeoutMs = 10000);
    bool running();

    // A connection to the server, logged in when name is not empty.
    bool connect(qclient::Connection& c) const;

private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    uint16_t port_ = 0;
    uint16_t newsPort_ = 0;
    uint16_t tlsPort_ = 0;
    uint16_t newsTlsPort_ = 0;
    int exitStatus_ = -1;
    bool exited_ = false;
    bool useTerminal_ = false;
    int ptySlave_ = -1;
    std::string argv0_;
    std::string binary_;
    std::vector<std::string> args_;
    bool mergeStreams_ = false;
};
