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
