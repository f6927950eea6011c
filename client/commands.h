// quorva-client's commands: areas, list, thread, read, post, reply, delete and ping.
#pragma once
#include "client/options.h"

namespace qclient::cli {

// Runs the command that the command line names, once its arguments and the options given
// are found to fit it; returns the exit status. Refusals and failures end it as a Failure.
int runCommand(const Options& o);

}  // namespace qclient::cli
