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
#include "core/tls_listener.h"
#include "fido/msgid.h"
#include "nntp/news_session.h"
#include "protocol/session.h"
#include "server/check.h"
#include "server/options.h"
#include "server/startup.h"
#include "server/tls_setup.h"
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
// Reads the certificate and key in force again (a renewed certificate under the same
// names); when they cannot be read, the pair in use stays.
void reloadCertificate(const ServerSettings& settings, TlsSide& tls, std::time_t now) {
    if (!settings.tls.enabled()) return;
    std::string error;
    if (!loadTlsCredentials(settings.tls, tls, error)) {
        reportError(0, "reload: TLS: %s; the certificate in use stays", error.c_str());
        return;
    }
    (void)reportCertificate(settings.tls.certificate, now);
}

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
    // So are the TLS ports; a certificate appears or goes with them at the next start.
    const TlsSettings& was = settings.tls;
    if (fresh.tls.port != was.port || fresh.tls.newsPort != was.newsPort || fresh.tls.enabled() != was.enabled())
        reportWarning("reload: tlsPort, nntpsPort and turning TLS on or off take effect at the next start");
    if (fresh.tls.enabled() != was.enabled()) fresh.tls = was;
    fresh.tls.port = was.port;
    fresh.tls.newsPort = was.newsPort;
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
    TlsSide tls;
    if (settings.tls.enabled()) {
        std::string error;
        if (!loadTlsCredentials(settings.tls, tls, error)) fatalError(0, "TLS: %s", error.c_str());
        CertificateVerdict verdict = reportCertificate(settings.tls.certificate, std::time(nullptr));
        if (!verdict.problem.empty()) reportError(0, "%s: clients will refuse it", verdict.problem.c_str());
    }
    // The other listeners' addresses: a port at the address of their door, or the end.
    auto addressOrExit = [](const std::string& port, const std::string& text, NetAddress& out, const char* name) {
        std::string problem;
        if (!listenAddressOf(port.c_str(), text.c_str(), out, problem))
            fatalError(0, "%s: %s", name, problem.empty() ? ("invalid listen address " + text).c_str() : problem.c_str());
    };
    NetAddress tlsAt, newsAt, newsTlsAt;
    if (!settings.tls.port.empty()) addressOrExit(settings.tls.port, listenText, tlsAt, "tlsPort");
    // The news door listens where nntpListenAddress says, else at the binary door's address.
    if (settings.news.enabled()) {
        const std::string& text = settings.news.listenAddress.empty() ? listenText : settings.news.listenAddress;
        addressOrExit(settings.news.port, text, newsAt, "news door");
        if (!settings.tls.newsPort.empty()) addressOrExit(settings.tls.newsPort, text, newsTlsAt, "nntpsPort");
    }

    // The stop signals are caught before the ports listen: whoever connects may signal at
    // once. Listening before the waiting line, so that the line is true when it is shown.
    ConsoleKeys keys;
    NetAddress bound;
    int listenSocket = openListenSocketOrExit(listenAt, bound);
    NetAddress newsBound;
    int newsSocket = settings.news.enabled() ? openListenSocketOrExit(newsAt, newsBound) : -1;
    NetAddress tlsBound, newsTlsBound;
    int tlsSocket = settings.tls.port.empty() ? -1 : openListenSocketOrExit(tlsAt, tlsBound);
    int newsTlsSocket = newsSocket >= 0 && !settings.tls.newsPort.empty() ? openListenSocketOrExit(newsTlsAt, newsTlsBound) : -1;
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
    Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers, &tls};
    BinaryDoor binaryDoor(services);
    std::unique_ptr<NewsDoor> newsDoor;

    ServerLoop loop(services, keys);
    loop.addListener(listenSocket, binaryDoor.factory());
    if (tlsSocket >= 0) {
        addressText(tlsBound, where, sizeof where);
        logLine("binary door over TLS: listening on %s\n", where);
        loop.addListener(tlsSocket, overTls(binaryDoor.factory(), services));
    }
    if (newsSocket >= 0) {
        newsDoor = std::make_unique<NewsDoor>(services, std::time(nullptr));
        addressText(newsBound, where, sizeof where);
        logLine("news door: %s, listening on %s%s\n",
                countOf(int(newsDoor->groups.all().size()), "group", "groups").c_str(), where,
                tls.available() ? " (STARTTLS)" : "");
        loop.addListener(newsSocket, newsDoor->factory());
        if (newsTlsSocket >= 0) {
            addressText(newsTlsBound, where, sizeof where);
            logLine("news door over TLS: listening on %s\n", where);
            loop.addListener(newsTlsSocket, overTls(newsDoor->factory(), services));
        }
    }
    for (const ExtraDoor& door : extraDoors) {
        NetAddress doorBound;
        int socket = openListenSocketOrExit(door.listenAt, doorBound);
        addressText(doorBound, where, sizeof where);
        logLine("%s listening on %s\n", door.name.c_str(), where);
        loop.addListener(socket, door.makeFactory(services));
    }
    loop.setReloadHandler([&](const Now& now) {
        const bool reloaded = reloadSettings(settingsPath, options, settings, areaList, userList, rights, areaNumbers);
        // A renewed certificate is taken also when the rest of the settings was refused.
        reloadCertificate(settings, tls, now.wall);
        if (!reloaded) return false;
        if (newsDoor) newsDoor->areasChanged(now.wall);
        return true;
    });
    loop.run();
    keys.consumePendingKeys();
    return 0;
}
