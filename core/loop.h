// The one loop of the server. Each pass waits once for every listening socket, the stop
// signals, the console and every connection, until something is ready or the next
// deadline is due; takes new connections, gives every connection one step in list order
// and drops the closed ones at the end of the pass. Each listener carries the factory of
// its door's connections.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/connection.h"
#include "core/services.h"

class ConsoleKeys;

class ServerLoop {
public:
    ServerLoop(Services& services, ConsoleKeys& keys);
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // A listening socket whose connections `factory` makes; the loop closes it at the end.
    void addListener(int socket, ConnectionFactory factory);

    // Reads the settings again when SIGHUP asks for it; true when the new ones are in force
    // (then every connection hears of it), false when they were refused and the old ones
    // stay.
    using ReloadHandler = std::function<bool(const Now& now)>;
    void setReloadHandler(ReloadHandler handler) { reload_ = std::move(handler); }

    // Runs until a key is pressed or a stop signal arrives.
    void run();

    // The connections, in the order they were accepted.
    const std::vector<std::unique_ptr<Connection>>& connections() const { return clientList; }

private:
    struct Listener;
    struct RefusedConnections;

    void acceptPending(Listener& listener, int32_t cap, const Now& now);
    void acceptWithoutDescriptor(Listener& listener, int error, const Now& now);
    void reportLoginSummaries(MonoTime now);

    Services& services_;
    ConsoleKeys& keys_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::unique_ptr<RefusedConnections> refused_;
    std::vector<std::unique_ptr<Connection>> clientList;
    ReloadHandler reload_;
};

// Connections whose socket is open, closing ones included.
int32_t openSessions(const std::vector<std::unique_ptr<Connection>>& connections);
// Waiting connections (Connection::waiting) of the peer's network, whatever their ports
// (IPv6 peers by their network of `ipv6PrefixBits`).
int32_t pendingLogins(const std::vector<std::unique_ptr<Connection>>& connections, const NetAddress& peer,
                      int ipv6PrefixBits = 128);
// The waiting connection to close when the waiting pool is full: the oldest of the network
// that holds the most waiting connections (of two such networks, the one whose oldest is
// older); nullptr when none waits.
Connection* waitingToMakeRoom(const std::vector<std::unique_ptr<Connection>>& connections, int ipv6PrefixBits);
