// Quorva: serves the message areas of a FidoNet tosser to remote clients.
#include <cstdio>

#include "server/globals.h"
#include "server/startup.h"
#include "support/console.h"
#include "support/log.h"

int main(int argc, char** argv) {
    (void)argc;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printBanner();
    const char* program = argv[0] ? argv[0] : "quorva";
    if (!deriveSettingsPath(program, settingsPath, sizeof settingsPath))
        reportError(0, "program path too long to name the settings file: %s", program);
    (void)loadSettings(settingsPath, settings, areaList, userList);  // without a file: no users, no areas
    logLine("-> waiting for connect or keypress...\n");

    ConsoleKeys keys;
    int listenSocket = openListenSocketOrExit(settings.portText);
    ServerContext server{areaList, userList, clientList, compressor, areaInfoList, settings.limits, sessionShared, &settings};
    runServer(server, listenSocket, keys);
    keys.consumePendingKeys();
    return 0;
}
