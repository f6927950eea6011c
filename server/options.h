// The server's command line:
//   quorva [-c FILE] [--listen ADDRESS] [--check [--strict]] [--timestamps] [--help] [--version]
#pragma once
#include <string>

struct CommandLine {
    std::string settingsFile;   // -c FILE; empty: named after the program's path
    std::string listenAddress;  // --listen ADDRESS; empty: the settings file's (or every interface)
    bool check = false;         // --check: report what the configuration holds, then exit
    bool strict = false;        // --strict: with --check, warnings fail the check too
    bool timestamps = false;    // --timestamps
    bool help = false;
    bool version = false;
};

// Reads the arguments after the program's name. False with `problem` set ("unknown option
// --x", "-c needs a file name"...) when they are not a valid command line. Option values
// come as the next argument or, for the long options, after "=" ("--listen=::1").
bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& problem);

// One line: "usage: quorva [-c FILE] ...\n".
extern const char kUsageLine[];
// The whole --help text, the usage line first.
extern const char kHelpText[];
