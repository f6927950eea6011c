#include "core/connection.h"

#include "support/log.h"

Connection::Connection(int socket, const NetAddress& peer) : socket_(socket), peer_(peer) {
    addressText(peer, peerText_, sizeof peerText_);
}

Connection::~Connection() { releaseSocket(); }

void Connection::releaseSocket() {
    tls_.reset();
    if (socket_ == kClosedSocket) return;
    ::closeSocket(socket_);
    socket_ = kClosedSocket;
}

// ---- the loop's side --------------------------------------------------------------------------

SocketInterest Connection::waitFor() const {
    if (closed()) return {};
    if (tls_ && tls_->handshaking()) return {true, tls_->outputPending()};
    SocketInterest want = interest();
    if (tls_ && tls_->outputPending()) want.write = true;
    return want;
}

MonoTime Connection::nextDeadline() const {
    if (closed()) return MonoTime::max();
    if (tls_ && tls_->handshaking()) return handshakeDeadline_;
    return deadline();
}

bool Connection::readyWithoutWaiting() const {
    if (closed() || !tls_) return false;
    if (tls_->handshaking()) return handshakeDeferred_;
    return !sendingShut_ && interest().read && tls_->inputPending();
}

bool Connection::continueHandshake(Readiness ready, const Now& now, HandshakeBudget& budget) {
    if (now.mono >= handshakeDeadline_) {
        LogPeer scope(peerText_);
        reportError(0, "TLS handshake not finished in time: connection closed");
        closeToMakeRoom();
        return false;
    }
    if (!ready.readable && !ready.writable && !handshakeDeferred_) return false;
    if (budget.exhausted()) {
        handshakeDeferred_ = true;
        return false;
    }
    handshakeDeferred_ = false;
    const MonoTime start = MonoClock::now();
    TlsChannel::Progress progress = tls_->handshake(socket_);
    budget.spent += MonoClock::now() - start;
    if (progress == TlsChannel::Progress::Failed) {
        LogPeer scope(peerText_);
        reportError(0, "TLS handshake failed: %s", tls_->failure().c_str());
        closeToMakeRoom();
        return false;
    }
    return progress == TlsChannel::Progress::Done;
}

void Connection::advance(Readiness ready, const Now& now, HandshakeBudget& budget) {
    if (closed()) return;
    if (tls_) {
        if (tls_->handshaking()) {
            if (!continueHandshake(ready, now, budget) || closed()) return;
            ready.readable = ready.writable = true;  // the door's first step after it
        } else {
            if (ready.writable && tls_->outputPending()) (void)tls_->flush(socket_);
            if (shutdownPending_ && !tls_->outputPending()) {
                shutdownPending_ = false;
                ::shutdownSending(socket_);
            }
            if (!sendingShut_ && tls_->inputPending()) ready.readable = true;
        }
    }
    step(ready, now);
}

void Connection::startTls(std::shared_ptr<TlsCredentials> credentials, MonoTime handshakeDeadline) {
    tls_ = TlsChannel::accept(std::move(credentials));
    handshakeDeadline_ = handshakeDeadline;
    if (!tls_) {
        LogPeer scope(peerText_);
        reportError(0, "TLS: no session could be made (out of memory): connection closed");
        closeToMakeRoom();
    }
}

// ---- transfers --------------------------------------------------------------------------------

Transfer Connection::receive(void* buffer, size_t n) {
    if (!tls_) return receiveSome(socket_, buffer, n);
    if (tls_->handshaking()) return Transfer();
    Transfer t = tls_->receive(socket_, buffer, n);
    if (t.status == Transfer::Failed && !tls_->failure().empty()) reportError(0, "TLS %s", tls_->failure().c_str());
    return t;
}

Transfer Connection::send(const void* first, size_t n1, const void* second, size_t n2) {
    if (!tls_) return sendSome(socket_, first, n1, second, n2);
    if (tls_->handshaking()) return Transfer();
    Transfer t = tls_->send(socket_, first, n1, second, n2);
    if (t.status == Transfer::Failed && !tls_->failure().empty()) reportError(0, "TLS %s", tls_->failure().c_str());
    return t;
}

void Connection::shutdownSending() {
    if (closed() || sendingShut_) return;
    sendingShut_ = true;
    if (tls_ && !tls_->handshaking()) {
        tls_->close();
        (void)tls_->flush(socket_);
        if (tls_->outputPending()) {
            shutdownPending_ = true;  // after the records, as the socket takes them
            return;
        }
    }
    ::shutdownSending(socket_);
}

bool Connection::drainFinished(size_t& drained, size_t limit, MonoTime until, MonoTime now) {
    // What still arrives is dropped unread, records included.
    static char scratch[4096];
    while (drained < limit) {
        Transfer t = receiveSome(socket_, scratch, sizeof scratch);
        if (t.status == Transfer::WouldBlock) return now >= until;
        if (t.status != Transfer::Moved) return true;
        drained += t.bytes;
    }
    return true;
}
