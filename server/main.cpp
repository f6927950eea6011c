// Quorva: serves the message areas of a FidoNet tosser to remote clients.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "server/check.h"
#include "server/globals.h"
#include "server/options.h"
#include "server/startup.h"
#include "support/console.h"
#include "support/log.h"

namespace {

// The settings file's name for the error line: a relative name with the folder it was
// looked for in.
std::string settingsFileForHumans(const char* path) {
    std::string text = path;
    if (path[0] == '/') return text;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) text += std::string(" (in ") + cwd + ")";
    return text;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line on both streams, so that their lines keep their order in one file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IOLBF, 0);

    CommandLine options;
    std::string problem;
    if (!parseCommandLine(argc, argv, options, problem)) {
        reportError(0, "%s", problem.c_str());
        fputs(kUsageLine, stderr);
        return 1;
    }
    if (options.help) {
        fputs(kHelpText, stdout);
        return 0;
    }
    if (options.version) {
        printf("quorva %s\n", kProgramVersion);
        return 0;
    }
    if (options.timestamps) setLogTimestamps(true);
    if (!options.check) printBanner();

    const char* program = argv[0] ? argv[0] : "quorva";
    if (!options.settingsFile.empty()) {
        if (options.settingsFile.size() >= sizeof settingsPath)
            fatalError(0, "settings file name too long: %s", options.settingsFile.c_str());
        snprintf(settingsPath, sizeof settingsPath, "%s", options.settingsFile.c_str());
    } else if (!deriveSettingsPath(program, settingsPath, sizeof settingsPath)) {
        fatalError(0, "program path too long to name the settings file: %s", program);
    }
    if (!loadSettings(settingsPath, settings, areaList, userList)) {
        int error = errno;
        fatalError(error, "cannot open the settings file %s", settingsFileForHumans(settingsPath).c_str());
    }

    const std::string listenText = options.listenAddress.empty() ? settings.listenAddress : options.listenAddress;
    NetAddress listenAt;
    std::string listenProblem;
    if (!listenAddressOf(settings.portText, listenText.c_str(), listenAt, listenProblem) && listenProblem.empty())
        listenProblem = "invalid listen address " + listenText + " (an IPv4 or IPv6 literal: 127.0.0.1, ::1, ::)";

    if (options.check) {
        CheckInput in;
        in.settingsPath = settingsPath;
        in.settings = &settings;
        in.users = &userList;
        in.areas = &areaList;
        in.listen = listenAt;
        in.listenProblem = listenProblem;
        in.strict = options.strict;
        return runCheck(in);
    }

    if (!settings.unreadableTosserFiles.empty())
        fatalError(0, "the tosser configuration %s cannot be read", joined(settings.unreadableTosserFiles).c_str());
    (void)warnAboutAreas(areaList);
    logLine("-> waiting for connect or keypress...\n");

    ConsoleKeys keys;
    if (!listenProblem.empty()) fatalError(0, "%s", listenProblem.c_str());
    NetAddress bound;
    int listenSocket = openListenSocketOrExit(listenAt, bound);
    char where[kAddressTextSize];
    addressText(bound, where, sizeof where);
    logLine("%s, %s, listening on %s\n", countOf(userList.getCount(), "user", "users").c_str(),
            countOf(areaList.getCount(), "area", "areas").c_str(), where);

    ServerContext server{areaList, userList, clientList, compressor, areaInfoList, settings.limits, sessionShared, &settings};
    runServer(server, listenSocket, keys);
    keys.consumePendingKeys();
    return 0;
}
