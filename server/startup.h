// Start-up and the main loop.
#pragma once
#include <cstddef>

class ConsoleKeys;

void printBanner();

// The settings file's name: the program's path with the extension of its file name (not
// of a directory) replaced by ".INI". False when the result does not fit.
bool deriveSettingsPath(const char* programPath, char* out, size_t size);

// Accepts connections and steps the sessions until a key is pressed.
void runServer(int listenSocket, ConsoleKeys& keys);
