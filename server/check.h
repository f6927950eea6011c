// What the configuration gives, looked at before the server listens: the warnings of
// start-up about areas whose files are not there, and the report of --check. The areas'
// files are looked at as the areas find them (inspectArea).
#pragma once
#include <string>
#include <vector>

#include "config/config.h"
#include "support/array.h"
#include "support/socket.h"

// One warning line for each area with a problem, "warning: area TAG: PROBLEM". Returns the
// number of areas that can be read at all.
int warnAboutAreas(const std::vector<mArea>& areas);

// "1 user", "3 areas": a count with its noun.
std::string countOf(int n, const char* singular, const char* plural);

// What --check looks at.
struct CheckInput {
    const char* settingsPath = "";
    const ServerSettings* settings = nullptr;
    const MCArray<rClientInfo>* users = nullptr;
    const std::vector<mArea>* areas = nullptr;
    // The listening address, or why there is none (an unknown service, an address that is
    // no literal).
    NetAddress listen;
    std::string listenProblem;
    std::string listenText;  // the binary door's address as given, which the news door shares
    bool strict = false;
};

// Prints the users (without passwords), the areas with format, path and what is found
// there, and the listening address on standard output; warnings and errors as their
// lines on standard error; then "check: ..." with the verdict. Returns the exit status:
// 1 when no user line was accepted, a tosser configuration could not be read, no area can
// be read or the listening address is not valid; with `strict` also when an area has a
// problem; else 0.
int runCheck(const CheckInput& in);
