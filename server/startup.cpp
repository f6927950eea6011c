#include "server/startup.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/console.h"
#include "support/log.h"
#include "support/socket.h"

namespace {

// How long one pass waits for a new connection.
constexpr int kAcceptWaitMicros = 1000;

}  // namespace

void printBanner() {
    printf("\n");
    printf("+---------------------------------+\n");
    printf("!                                 !#\n");
    printf("!  %-31s!#\n", "QUORVA v1.0.1");
    printf("!                                 !#\n");
    printf("+---------------------------------+#\n");
    printf(" ###################################\n");
    printf("\n");
    printf("Build %s %s\n", __DATE__, __TIME__);
    printf("\n");
    fflush(stdout);
}

bool deriveSettingsPath(const char* programPath, char* out, size_t size) {
    const char* slash = strrchr(programPath, '/');
    const char* name = slash ? slash + 1 : programPath;
    const char* dot = strrchr(name, '.');
    size_t keep = dot ? size_t(dot - programPath) : strlen(programPath);
    if (keep + 5 > size) {
        out[0] = 0;
        return false;
    }
    memcpy(out, programPath, keep);
    memcpy(out + keep, ".INI", 5);
    return true;
}

void fatalError(int systemError, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    reportError(systemError, "%s", message);
    fflush(stdout);
    exit(1);
}

int openListenSocketOrExit(const char* portText) {
    uint16_t port;
    if (!resolvePort(portText, port)) fatalError(0, "unknown service: %s\n", portText);
    ListenFailure failure;
    int s = openListenSocket(port, failure);
    if (s >= 0) return s;
    switch (failure.step) {
    case ListenStep::Socket: fatalError(failure.systemError, "error socket() call");
    case ListenStep::Option: fatalError(failure.systemError, "error setsockopt() call");
    case ListenStep::Bind: fatalError(failure.systemError, "error bind() call");
    case ListenStep::Listen: break;
    }
    fatalError(failure.systemError, "error listen() call");
}

void runServer(ServerContext& server, int listenSocket, ConsoleKeys& keys) {
    MCArray<sessionClient>& clientList = server.clientList;
    sessionClient newClient;
    std::vector<int> sockets;
    for (;;) {
        sockets.clear();
        for (int32_t i = 0; i < clientList.getCount(); ++i) sockets.push_back(clientList.getAt(i)->socket);
        int w = waitForActivity(listenSocket, sockets.data(), sockets.size(), kAcceptWaitMicros);
        if (w < 0) fatalError(errno, "select() failed");
        if (w > 0) {
            char peer[64];
            int s = acceptClient(listenSocket, peer, sizeof peer);
            if (s >= 0) {
                logLine("client: %s\n", peer);
                newClient.socket = s;
                if (clientList.add(newClient) < 0) closeClientSocket(s);  // no room: never served
            }
        } else if (keys.keyPressed()) {  // checked in passes without a new connection
            return;
        }

        int32_t n = clientList.getCount();
        for (int32_t i = 0; i < n; ++i) stepClient(server, *clientList.getAt(i));
        // Closed sessions leave in place, keeping the order of the others.
        for (int32_t i = 0; i < clientList.getCount();) {
            if (clientList.getAt(i)->socket == kClosedSocket)
                clientList.removeAt(i);
            else
                ++i;
        }
    }
}
