// What the configuration gives, looked at before the server listens: the warnings of
// start-up about areas whose files are not there, and the report of --check.
#pragma once
#include <string>

#include "config/config.h"
#include "support/array.h"
#include "support/socket.h"

// What is found at a configured area's path.
struct AreaState {
    std::string kind;     // "*.MSG folder PATH" or "Squish base PATH"
    bool exists = false;  // the folder, or both the .SQD and the .SQI file of the base
    bool readable = false;
    bool writable = false;
    std::string problem;  // why the area cannot be served as it should; empty when all is well
};

// Looks at the folder of a *.MSG area (there, a folder, listable, and open to new files)
// or at the .SQD and .SQI files of a Squish base (each under the upper- or lower-case
// extension, as the area opens them), with the rights of the running process.
AreaState inspectArea(const mArea& area);

// One warning line for each area with a problem, "warning: area TAG: PROBLEM". Returns the
// number of areas that can be read at all.
int warnAboutAreas(const MCArray<mArea>& areas);

// "1 user", "3 areas": a count with its noun.
std::string countOf(int n, const char* singular, const char* plural);

// What --check looks at.
struct CheckInput {
    const char* settingsPath = "";
    const ServerSettings* settings = nullptr;
    const MCArray<rClientInfo>* users = nullptr;
    const MCArray<mArea>* areas = nullptr;
    // The listening address, or why there is none (an unknown service, an address that is
    // no literal).
    NetAddress listen;
    std::string listenProblem;
    bool strict = false;
};

// Prints the users (without passwords), the areas with format, path and what is found
// there, and the listening address on standard output; warnings and errors as their
// lines on standard error; then "check: ..." with the verdict. Returns the exit status:
// 1 when no user line was accepted, a tosser configuration could not be read, no area can
// be read or the listening address is not valid; with `strict` also when an area has a
// problem; else 0.
int runCheck(const CheckInput& in);
