// quorva-client: reads and writes the message areas of a Quorva server from the command
// line. One invocation connects, logs in, runs one command and logs out.
//
// Text is shown in the terminal's charset (the locale): a message is converted from the
// charset its CHRS kludge names, and what is posted is converted from the locale to the
// area's charset and labelled with a CHRS kludge.
//
// Exit status: 0 done, 1 usage or local error, 2 refused by the server (login, unknown
// area or message, delete not allowed), 3 connection failure or a broken conversation.
//
// The parts: options (command line and environment), terminal (output, columns, the
// password prompt), draft (the reply's draft and the editor), session (connection and
// login), message_text (fields and charsets of messages), commands (one per command).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/commands.h"
#include "client/failure.h"
#include "client/options.h"
#include "support/version.h"

using namespace qclient::cli;

namespace {

// The project's version (CMakeLists.txt), as the server has it.
constexpr const char* kClientVersion = kProgramVersion;

int run(int argc, char** argv) {
    Options o = parseCommandLine(argc, argv);
    if (o.help) {
        fputs(usageText().c_str(), stdout);
        return kExitOk;
    }
    if (o.version) {
        printf("quorva-client %s\n", kClientVersion);
        return kExitOk;
    }
    return runCommand(o);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        int status = run(argc, argv);
        if (fflush(stdout) != 0) {
            fprintf(stderr, "quorva-client: cannot write the output: %s\n", strerror(errno));
            return kExitUsage;
        }
        return status;
    } catch (const Failure& f) {
        fflush(stdout);
        fprintf(stderr, "quorva-client: %s\n", f.message.c_str());
        return f.status;
    }
}
