#include "server/startup.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "protocol/session.h"
#include "server/console.h"
#include "server/transport.h"

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

void runServer(int listenSocket, ConsoleKeys& keys) {
    sessionClient newClient;
    std::vector<int> sockets;
    for (;;) {
        sockets.clear();
        for (int32_t i = 0; i < clientList.getCount(); ++i) sockets.push_back(clientList.getAt(i)->socket);
        int w = waitForActivity(listenSocket, sockets.data(), sockets.size(), kAcceptWaitMicros);
        if (w < 0) reportError(errno, 1, "select() failed");
        if (w > 0) {
            char peer[64];
            int s = acceptClient(listenSocket, peer, sizeof peer);
            if (s >= 0) {
                printf("client: %s\n", peer);
                fflush(stdout);
                newClient.socket = s;
                if (clientList.add(newClient) < 0) close(s);  // no room: never served
            }
        } else if (keys.keyPressed()) {  // checked in passes without a new connection
            return;
        }

        int32_t n = clientList.getCount();
        for (int32_t i = 0; i < n; ++i) stepClient(*clientList.getAt(i));
        // Closed sessions leave in place, keeping the order of the others.
        for (int32_t i = 0; i < clientList.getCount();) {
            if (clientList.getAt(i)->socket == kClosedSocket)
                clientList.removeAt(i);
            else
                ++i;
        }
    }
}
