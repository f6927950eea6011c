// A connection of any door, as the loop hosts it: what it waits for on its socket, when
// it must be stepped whatever comes, and one step given what the socket is ready for and
// the time. The loop owns its connections; a door makes them through the factory it gives
// its listener.
#pragma once
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>

#include "support/socket.h"
#include "tls/tls_server.h"

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

// The time as the loop hands it to a step: the monotonic time, which every deadline runs
// on, and the calendar time, which messages are dated with.
struct Now {
    MonoTime mono{};
    std::time_t wall = 0;
};

// What the loop saw on a connection's socket.
struct Readiness {
    bool readable = false;
    bool writable = false;
};
// What a connection wants the loop to wait for on its socket.
struct SocketInterest {
    bool read = false;
    bool write = false;
};

// The time the handshakes of one pass of the loop may take together, so that a crowd of
// new TLS clients does not hold the others: past it, the remaining handshakes wait for the
// next pass (at least one runs in every pass).
struct HandshakeBudget {
    std::chrono::nanoseconds spent{0};
    std::chrono::nanoseconds slice = std::chrono::milliseconds(1);
    bool exhausted() const { return spent >= slice; }
};

class Connection {
public:
    Connection(int socket, const NetAddress& peer);
    // Closes the socket if it is still open.
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int socket() const { return socket_; }
    // The peer's address and port, and the same as text ("127.0.0.1:40312", "[::1]:40312"),
    // which the console lines of the connection's steps begin with.
    const NetAddress& peer() const { return peer_; }
    const char* peerText() const { return peerText_; }

    // True once the connection is closed; the loop drops it at the end of the pass.
    bool closed() const { return socket_ == kClosedSocket; }

    virtual SocketInterest interest() const = 0;
    // The moment the connection must be stepped even if nothing arrives (MonoTime::max()
    // for none).
    virtual MonoTime deadline() const = 0;
    virtual void step(Readiness ready, const Now& now) = 0;

    // For the loop's caps: whether the connection's user has logged in, and whether it is
    // closing (its sending side shut, what still arrives dropped).
    virtual bool loggedIn() const = 0;
    virtual bool closing() const = 0;
    // Whether it counts toward the logins waiting: not logged in yet, or closing (it holds
    // its place until it is gone).
    bool waiting() const { return !closed() && (closing() || !loggedIn()); }
    // Closes the connection at once, without a drain: the loop makes room with it for a
    // new connection.
    virtual void closeToMakeRoom() { releaseSocket(); }
    // The settings were read again (users, rights, areas, limits): a connection whose user
    // is no longer registered closes; others take up their user's new entry.
    virtual void settingsReloaded(const Now& now) { (void)now; }

    // ---- what the loop calls: the door's wishes with the TLS session's own ------------
    // While the handshake runs, the socket as TLS needs it and the handshake's deadline;
    // after it, interest() and deadline() with the sending of records that wait.
    SocketInterest waitFor() const;
    MonoTime nextDeadline() const;
    // True when a step has work without the socket: text TLS holds for a reading
    // connection, or a handshake the last pass's budget put off.
    bool readyWithoutWaiting() const;
    // The handshake's next move, or the records' sending, then step().
    void advance(Readiness ready, const Now& now, HandshakeBudget& budget);

    // ---- TLS -------------------------------------------------------------------------
    // From now on the connection speaks TLS: the handshake runs in the coming passes and
    // must end by `handshakeDeadline`; the door's steps resume once it is done. (Closed at
    // once when the library cannot make the session.)
    void startTls(std::shared_ptr<TlsCredentials> credentials, MonoTime handshakeDeadline);
    bool secure() const { return tls_ != nullptr; }

    // ---- the transfers of the door's steps, through TLS once it is on ------------------
    Transfer receive(void* buffer, size_t n);
    Transfer send(const void* first, size_t n1, const void* second, size_t n2);
    // Ends the sending direction (after TLS's close_notify and the records still waiting).
    void shutdownSending();
    // One step of a closing connection's drain: drops what the peer still sends, without
    // waiting. True when the drain is over: the peer closed or failed, `limit` bytes were
    // dropped (`drained` counts them), or nothing more came by `until`.
    bool drainFinished(size_t& drained, size_t limit, MonoTime until, MonoTime now);

protected:
    // Closes the socket; the connection is closed() from then on.
    void releaseSocket();

private:
    // False while the handshake is not done (or failed, or ran out of time: then closed).
    bool continueHandshake(Readiness ready, const Now& now, HandshakeBudget& budget);

    int socket_;
    NetAddress peer_;
    char peerText_[kAddressTextSize] = {};
    std::unique_ptr<TlsChannel> tls_;
    MonoTime handshakeDeadline_{};
    bool handshakeDeferred_ = false;
    bool sendingShut_ = false;      // shutdownSending was called
    bool shutdownPending_ = false;  // ... and waits for the records before it
};

// Makes the connection of a door for an accepted socket (nullptr when it cannot, and the
// socket is then closed by the loop).
using ConnectionFactory =
    std::function<std::unique_ptr<Connection>(int socket, const NetAddress& peer, const Now& now)>;
