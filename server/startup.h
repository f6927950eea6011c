// Start-up and the main loop.
#pragma once
#include <cstddef>
#include <string>

#include "support/socket.h"

void printBanner();

// Room for the settings file's name, terminating zero included.
constexpr size_t kSettingsPathSize = 260;

// The settings file's name: the program's path with the extension of its file name (not
// of a directory) replaced by ".INI". False when the result does not fit.
bool deriveSettingsPath(const char* programPath, char* out, size_t size);

// reportError, then the end of the process with status 1.
[[noreturn]] void fatalError(int systemError, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The address to listen on: the listenPort text (a number or a tcp service name) at the
// address literal of listenAddress or --listen (empty: 0.0.0.0, every IPv4 interface).
// False for an unknown service, with `problem` set to "unknown service: %s\n", and for an
// address that is no IPv4 or IPv6 literal, with `problem` left as it was.
bool listenAddressOf(const char* portText, const char* addressText, NetAddress& out, std::string& problem);

// The listening socket on that address; `bound` is where it listens (the port the system
// chose when the port was 0). A failed set-up is reported, naming the address and port,
// and ends the process with status 1.
int openListenSocketOrExit(const NetAddress& address, NetAddress& bound);
