#include "server/options.h"

#include <cstring>

const char kUsageLine[] =
    "usage: quorva [-c FILE] [--listen ADDRESS] [--check [--strict]] [--timestamps] [--help] [--version]\n";

const char kHelpText[] =
    "usage: quorva [-c FILE] [--listen ADDRESS] [--check [--strict]] [--timestamps] [--help] [--version]\n"
    "\n"
    "Serves the message areas of a FidoNet tosser (Squish bases, *.MSG folders) to remote\n"
    "clients. A key press on the console, SIGINT or SIGTERM stops it; SIGHUP reads the\n"
    "settings again.\n"
    "\n"
    "  -c FILE           the settings file (default: the program's path with the extension\n"
    "                    replaced by .INI, e.g. quorva.INI in the working folder when the\n"
    "                    program is started through PATH)\n"
    "  --listen ADDRESS  listen only at this IPv4 or IPv6 address (127.0.0.1, ::1, :: for\n"
    "                    every interface), with a port if wanted (127.0.0.1:9131,\n"
    "                    [::1]:9131); overrides listenAddress and listenPort of the settings\n"
    "  --check           read the configuration, show what is wrong in it, the users and\n"
    "                    areas it gives and whether each area's files are there, readable\n"
    "                    and writable, and try the listening address; exit 1 for an error\n"
    "  --strict          with --check: a missing or unwritable area fails the check too\n"
    "  --timestamps      begin every console line with the local time (ISO 8601)\n"
    "  -h, --help        this text\n"
    "  --version         the program's version\n"
    "\n"
    "Exit status: 0 after a stop or a passed check, 1 for a start-up error or a failed\n"
    "check.\n";

namespace {

// The value of an option that takes one: the next argument, or for --listen also the text
// after "=" ("--listen=::1"). Empty values are refused.
bool takeValue(int argc, const char* const* argv, int& i, const char* name, const char* what, std::string& value,
               std::string& problem) {
    const char* arg = argv[i];
    size_t n = strlen(name);
    if (arg[n] == '=') {
        value = arg + n + 1;
    } else if (i + 1 < argc) {
        value = argv[++i];
    } else {
        value.clear();
    }
    if (!value.empty()) return true;
    problem = std::string(name) + " needs " + what;
    return false;
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& problem) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-c") == 0) {
            if (!takeValue(argc, argv, i, "-c", "a file name", c.settingsFile, problem)) return false;
        } else if (strcmp(arg, "--listen") == 0 || strncmp(arg, "--listen=", 9) == 0) {
            if (!takeValue(argc, argv, i, "--listen", "an address", c.listenAddress, problem)) return false;
        } else if (strcmp(arg, "--check") == 0) {
            c.check = true;
        } else if (strcmp(arg, "--strict") == 0) {
            c.strict = true;
        } else if (strcmp(arg, "--timestamps") == 0) {
            c.timestamps = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            c.help = true;
        } else if (strcmp(arg, "--version") == 0) {
            c.version = true;
        } else if (arg[0] == '-') {
            problem = std::string("unknown option ") + arg;
            return false;
        } else {
            problem = std::string("unexpected argument ") + arg;
            return false;
        }
    }
    if (c.strict && !c.check) {
        problem = "--strict belongs to --check";
        return false;
    }
    out = c;
    return true;
}
