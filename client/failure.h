// How quorva-client ends: its exit statuses, and the failure that carries one of them with
// its message from wherever it is found to the one place in main that reports it.
#pragma once
#include <cstdio>
#include <string>

namespace qclient::cli {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;       // usage or local error
constexpr int kExitRefused = 2;     // refused by the server
constexpr int kExitConnection = 3;  // connection failure or a broken conversation

struct Failure {
    int status;
    std::string message;
};

[[noreturn]] inline void fail(int status, const std::string& message) { throw Failure{status, message}; }

// A warning on standard error; the command goes on.
inline void warn(const std::string& message) { fprintf(stderr, "quorva-client: warning: %s\n", message.c_str()); }

}  // namespace qclient::cli
