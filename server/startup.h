// Start-up and the main loop.
#pragma once
#include <cstddef>

#include "protocol/session.h"

class ConsoleKeys;

void printBanner();

// The settings file's name: the program's path with the extension of its file name (not
// of a directory) replaced by ".INI". False when the result does not fit.
bool deriveSettingsPath(const char* programPath, char* out, size_t size);

// reportError, then the end of the process with status 1.
[[noreturn]] void fatalError(int systemError, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The listening socket for the listenPort text. An unknown service name or a failed set-up
// is reported and ends the process with status 1.
int openListenSocketOrExit(const char* portText);

// The main loop: waits once per pass for the listening socket, the console, the stop
// signals and every session, until something is ready or the next deadline is due; takes
// new connections, gives every session one step in list order and drops the closed ones.
// Returns when a key is pressed or a stop signal arrives.
void runServer(ServerContext& server, int listenSocket, ConsoleKeys& keys);
