// The server's whole run, from the command line to the key press that stops it. main()
// calls it with the binary door alone; a program that builds the server with a door of its
// own (a test's) hands that door in, and it runs in the same loop beside the binary door.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/services.h"
#include "support/socket.h"

// A door besides the binary one: where it listens and, given the shared services, the
// factory of its connections (whatever state the door keeps lives in the factory).
struct ExtraDoor {
    std::string name;  // for the console line that says where it listens
    NetAddress listenAt;
    std::function<ConnectionFactory(Services&)> makeFactory;
};

// Returns the exit status.
int serverMain(int argc, char** argv, const std::vector<ExtraDoor>& extraDoors = {});
