#include "server/quorva.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/rights.h"
#include "accounts/users.h"
#include "config/config.h"
#include "core/area_numbers.h"
#include "core/loop.h"
#include "fido/msgid.h"
#include "nntp/news_session.h"
#include "protocol/session.h"
#include "server/check.h"
#include "server/options.h"
#include "server/startup.h"
#include "support/console.h"
#include "support/log.h"
#include "support/version.h"

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

// Reads the settings file again into the objects the services refer to. Refused, with
// the settings in force kept, when the file cannot be read or has errors.
bool reloadSettings(const char* settingsPath, const CommandLine& options, ServerSettings& settings,
                    std::vector<mArea>& areaList, MCArray<rClientInfo>& userList, RightsPolicy& rights,
                    AreaNumbers& areaNumbers) {
    logLine("-> reading the settings again (SIGHUP)...\n");
    ServerSettings fresh;
    std::vector<mArea> areas;
    MCArray<rClientInfo> users;
    if (!loadSettings(settingsPath, fresh, areas, users)) {
        reportError(errno, "reload: cannot open the settings file %s; the settings in force stay",
                    settingsFileForHumans(settingsPath).c_str());
        setLogTimestamps(options.timestamps || settings.timestamps);
        return false;
    }
    if (fresh.findings.errors > 0) {
        reportError(0, "reload refused: %s in the settings; the settings in force stay",
                    countOf(fresh.findings.errors, "error", "errors").c_str());
        setLogTimestamps(options.timestamps || settings.timestamps);
        return false;
    }
    // Where the server listens is settled at the start.
    if (strcmp(fresh.portText, settings.portText) != 0 || fresh.listenAddress != settings.listenAddress)
        reportWarning("reload: listenPort and listenAddress take effect at the next start");
    if (fresh.logFile != settings.logFile || !fresh.logFile.empty()) {
        // Opened anew, so that a log rotated away is followed by a new file.
        if (!setLogFile(fresh.logFile.c_str())) {
            reportError(errno, "reload: cannot open the log file %s; the one in use stays", fresh.logFile.c_str());
            fresh.logFile = settings.logFile;
        }
    }
    snprintf(fresh.portText, sizeof fresh.portText, "%s", settings.portText);
    fresh.listenAddress = settings.listenAddress;
    settings = std::move(fresh);
    areaList = std::move(areas);
    userList.removeAll();
    for (int32_t i = 0; i < users.getCount(); ++i) userList.add(*users.getAt(i));
    rights = RightsPolicy(settings.everyoneReadsAllNetmail);
    areaNumbers.listChanged();
    setLogTimestamps(options.timestamps || settings.timestamps);
    (void)warnAboutAreas(areaList);
    logLine("%s, %s after the reload\n", countOf(userList.getCount(), "user", "users").c_str(),
            countOf(int(areaList.size()), "area", "areas").c_str());
    return true;
}

}  // namespace

int serverMain(int argc, char** argv, const std::vector<ExtraDoor>& extraDoors) {
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

    char settingsPath[kSettingsPathSize] = {};
    const char* program = argv[0] ? argv[0] : "quorva";
    if (!options.settingsFile.empty()) {
        if (options.settingsFile.size() >= sizeof settingsPath)
            fatalError(0, "settings file name too long: %s", options.settingsFile.c_str());
        snprintf(settingsPath, sizeof settingsPath, "%s", options.settingsFile.c_str());
    } else if (!deriveSettingsPath(program, settingsPath, sizeof settingsPath)) {
        fatalError(0, "program path too long to name the settings file: %s", program);
    }
    ServerSettings settings;
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
    if (!loadSettings(settingsPath, settings, areaList, userList)) {
        int error = errno;
        fatalError(error, "cannot open the settings file %s", settingsFileForHumans(settingsPath).c_str());
    }

    const std::string listenText = options.listenAddress.empty() ? settings.listenAddress : options.listenAddress;
    NetAddress listenAt;
    std::string listenProblem;
    if (!listenAddressOf(settings.portText, listenText.c_str(), listenAt, listenProblem) && listenProblem.empty())
        listenProblem = "invalid listen address " + listenText +
                        " (an IPv4 or IPv6 literal: 127.0.0.1, ::1, ::; with a port: 127.0.0.1:9131, [::1]:9131)";

    if (options.check) {
        CheckInput in;
        in.settingsPath = settingsPath;
        in.settings = &settings;
        in.users = &userList;
        in.areas = &areaList;
        in.listen = listenAt;
        in.listenProblem = listenProblem;
        in.listenText = listenText;
        in.strict = options.strict;
        return runCheck(in);
    }

    if (!settings.unreadableTosserFiles.empty())
        fatalError(0, "the tosser configuration %s cannot be read", joined(settings.unreadableTosserFiles).c_str());
    if (settings.findings.errors > 0)
        fatalError(0, "%s in the settings: the server does not start",
                   countOf(settings.findings.errors, "error", "errors").c_str());
    if (!listenProblem.empty()) fatalError(0, "%s", listenProblem.c_str());
    if (!settings.logFile.empty() && !setLogFile(settings.logFile.c_str()))
        fatalError(errno, "cannot open the log file %s", settings.logFile.c_str());
    (void)warnAboutAreas(areaList);

    // The news door listens where nntpListenAddress says, else at the binary door's address.
    NetAddress newsAt;
    if (settings.news.enabled()) {
        const std::string& text = settings.news.listenAddress.empty() ? listenText : settings.news.listenAddress;
        std::string newsProblem;
        if (!listenAddressOf(settings.news.port.c_str(), text.c_str(), newsAt, newsProblem))
            fatalError(0, "news door: %s", newsProblem.empty() ? ("invalid listen address " + text).c_str()
                                                                : newsProblem.c_str());
    }

    // The stop signals are caught before the ports listen: whoever connects may signal at
    // once. Listening before the waiting line, so that the line is true when it is shown.
    ConsoleKeys keys;
    NetAddress bound;
    int listenSocket = openListenSocketOrExit(listenAt, bound);
    NetAddress newsBound;
    int newsSocket = settings.news.enabled() ? openListenSocketOrExit(newsAt, newsBound) : -1;
    logLine("-> waiting for connect or keypress...\n");
    char where[kAddressTextSize];
    addressText(bound, where, sizeof where);
    logLine("%s, %s, listening on %s\n", countOf(userList.getCount(), "user", "users").c_str(),
            countOf(int(areaList.size()), "area", "areas").c_str(), where);

    // What every door shares, and the binary door's own state.
    UserDirectory users(userList);
    RightsPolicy rights(settings.everyoneReadsAllNetmail);
    LoginThrottle logins;
    MsgIdSerials serials;
    RequestBudget requests;
    AreaNumbers areaNumbers(areaList);
    Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers};
    BinaryDoor binaryDoor(services);
    std::unique_ptr<NewsDoor> newsDoor;

    ServerLoop loop(services, keys);
    loop.addListener(listenSocket, binaryDoor.factory());
    if (newsSocket >= 0) {
        newsDoor = std::make_unique<NewsDoor>(services, std::time(nullptr));
        addressText(newsBound, where, sizeof where);
        logLine("news door: %s, listening on %s\n", countOf(int(newsDoor->groups.all().size()), "group", "groups").c_str(),
                where);
        loop.addListener(newsSocket, newsDoor->factory());
    }
    for (const ExtraDoor& door : extraDoors) {
        NetAddress doorBound;
        int socket = openListenSocketOrExit(door.listenAt, doorBound);
        addressText(doorBound, where, sizeof where);
        logLine("%s listening on %s\n", door.name.c_str(), where);
        loop.addListener(socket, door.makeFactory(services));
    }
    loop.setReloadHandler([&](const Now& now) {
        if (!reloadSettings(settingsPath, options, settings, areaList, userList, rights, areaNumbers)) return false;
        if (newsDoor) newsDoor->areasChanged(now.wall);
        return true;
    });
    loop.run();
    keys.consumePendingKeys();
    return 0;
}
