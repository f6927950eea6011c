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
// address of listenAddress or --listen (empty: 0.0.0.0, every IPv4 interface), whose own
// port, when it names one (ADDRESS:PORT, [IPv6]:PORT), wins over listenPort. False for an
// unknown service, with `problem` set to "unknown service: %s\n", and for an address that
// is not valid, with `problem` left as it was.
bool listenAddressOf(const char* portText, const char* addressText, NetAddress& out, std::string& problem);

// The listening socket on that address; `bound` is where it listens (the port the system
// chose when the port was 0). -1 when the set-up fails, with `problem` naming the address,
// port and failed call, and the system's error code.
int openListenSocket(const NetAddress& address, NetAddress& bound, std::string& problem, int& systemError);
// The same, but a failed set-up is reported and ends the process with status 1.
int openListenSocketOrExit(const NetAddress& address, NetAddress& bound);
