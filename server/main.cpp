// Quorva: serves the message areas of a FidoNet tosser to remote clients.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "protocol/session.h"
#include "server/console.h"
#include "server/startup.h"
#include "server/transport.h"

int main(int argc, char** argv) {
    (void)argc;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printBanner();
    const char* program = argv[0] ? argv[0] : "quorva";
    if (!deriveSettingsPath(program, settingsPath, sizeof settingsPath))
        reportError(0, 0, "program path too long to name the settings file: %s", program);
    loadSettings();
    printf("-> waiting for connect or keypress...\n");
    fflush(stdout);

    ConsoleKeys keys;
    int listenSocket = openListenSocket();
    runServer(listenSocket, keys);
    keys.consumePendingKeys();
    return 0;
}
