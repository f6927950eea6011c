#include "core/tls_listener.h"

#include <utility>

ConnectionFactory overTls(ConnectionFactory door, Services& services) {
    return [door = std::move(door), &services](int socket, const NetAddress& peer,
                                               const Now& now) -> std::unique_ptr<Connection> {
        std::unique_ptr<Connection> c = door(socket, peer, now);
        if (c) c->startTls(services.tls ? services.tls->credentials : nullptr,
                           now.mono + services.limits().tlsHandshakeTimeout);
        return c;
    };
}
