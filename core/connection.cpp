#include "core/connection.h"

Connection::Connection(int socket, const NetAddress& peer) : socket_(socket), peer_(peer) {
    addressText(peer, peerText_, sizeof peerText_);
}

Connection::~Connection() { releaseSocket(); }

void Connection::releaseSocket() {
    if (socket_ == kClosedSocket) return;
    ::closeSocket(socket_);
    socket_ = kClosedSocket;
}

bool drainFinished(int socket, size_t& drained, size_t limit, MonoTime until, MonoTime now) {
    static char scratch[4096];
    while (drained < limit) {
        Transfer t = receiveSome(socket, scratch, sizeof scratch);
        if (t.status == Transfer::WouldBlock) return now >= until;
        if (t.status != Transfer::Moved) return true;
        drained += t.bytes;
    }
    return true;
}
