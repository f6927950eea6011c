// Runs a program to its end for a test, bounded in time: the one routine behind the test
// kit's runners of the client (client_run.h) and of the tossers and husky tools
// (tosser_interop.h). The program gets no controlling terminal unless it is given the
// pseudo-terminal, and no descriptor of the test's but its three standard ones.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace child {

struct Options {
    std::string workDir;  // where the program runs; empty: the test's own folder
    // The whole environment, "NAME=value" each; nothing: the test's own.
    std::optional<std::vector<std::string>> environment;
    // Written to its standard input through a pipe; nothing: /dev/null.
    std::optional<std::string> input;
    // A pseudo-terminal as standard input and controlling terminal, nothing typed into it
    // (the program believes a person sits at a terminal); `input` is then not used.
    bool terminal = false;
    bool mergeErrors = false;  // standard error into `out`, interleaved
    int timeoutMs = 30000;     // a program still running then is killed
};

struct Result {
    int exitStatus = -1;  // -1 when it was killed (time-out, signal) or could not be started
    bool timedOut = false;
    std::string out, err;
};

// Runs argv (argv[0] is the program's path).
Result run(const std::vector<std::string>& argv, const Options& options);

}  // namespace child
