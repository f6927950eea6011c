#include "server/check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "support/log.h"

namespace {

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// With the process's effective user and groups, as its opens will be checked.
bool mayAccess(const std::string& path, int mode) { return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0; }

// The file of a Squish base as the area opens it: the upper-case extension first, then the
// lower-case one. Empty when neither is a regular file.
std::string squishFile(const std::string& base, const char* upper) {
    std::string name = base + upper;
    if (isRegularFile(name)) return name;
    std::string lower = upper;
    for (char& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    name = base + lower;
    return isRegularFile(name) ? name : std::string();
}

void inspectMsgFolder(const std::string& path, AreaState& s) {
    s.kind = "*.MSG folder " + path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        s.problem = s.kind + " is missing";
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        s.problem = path + " is not a folder";
        return;
    }
    s.exists = true;
    // Listing needs read and search; new messages, renames and deletes need write too.
    s.readable = mayAccess(path, R_OK | X_OK);
    s.writable = mayAccess(path, W_OK | X_OK);
    if (!s.readable)
        s.problem = s.kind + " is not readable";
    else if (!s.writable)
        s.problem = s.kind + " is not writable: posts and deletes will fail";
}

void inspectSquishBase(const std::string& path, AreaState& s) {
    s.kind = "Squish base " + path;
    std::string sqd = squishFile(path, ".SQD"), sqi = squishFile(path, ".SQI");
    if (sqd.empty() || sqi.empty()) {
        const char* missing = sqd.empty() && sqi.empty() ? "its .SQD and .SQI files"
                              : sqd.empty()             ? "its .SQD file"
                                                        : "its .SQI file";
        s.problem = s.kind + " is missing " + missing;
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (!isDirectory(folder)) s.problem += " (and its folder " + folder + ")";
        return;
    }
    s.exists = true;
    s.readable = mayAccess(sqd, R_OK) && mayAccess(sqi, R_OK);
    s.writable = mayAccess(sqd, W_OK) && mayAccess(sqi, W_OK);
    if (!s.readable)
        s.problem = s.kind + " is not readable";
    else if (!s.writable)
        s.problem = s.kind + " is not writable: posts and deletes will fail";
}

const char* typeName(const mArea& a) {
    return a.type == AREA_TYPE_NETMAIL ? "netmail" : a.type == AREA_TYPE_ECHOMAIL ? "echomail" : "unknown type";
}

std::string stateWords(const AreaState& s) {
    if (!s.exists) return "missing";
    std::string w = "exists";
    w += s.readable ? ", readable" : ", not readable";
    w += s.writable ? ", writable" : ", not writable";
    return w;
}

}  // namespace

std::string countOf(int n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

AreaState inspectArea(const mArea& area) {
    AreaState s;
    std::string path = fieldText(area.path, sizeof area.path);
    switch (area.format) {
    case AREA_FORMAT_MSG: inspectMsgFolder(path, s); break;
    case AREA_FORMAT_SQUISH: inspectSquishBase(path, s); break;
    default:
        s.kind = "unknown format " + std::to_string(area.format) + " at " + path;
        s.problem = s.kind;
        break;
    }
    return s;
}

int warnAboutAreas(const MCArray<mArea>& areas) {
    int readable = 0;
    for (int32_t i = 0; i < areas.getCount(); ++i) {
        const mArea& a = *areas.getAt(i);
        AreaState s = inspectArea(a);
        if (s.exists && s.readable) ++readable;
        if (!s.problem.empty()) reportWarning("area %s: %s", fieldText(a.name, sizeof a.name).c_str(), s.problem.c_str());
    }
    return readable;
}

int runCheck(const CheckInput& in) {
    const MCArray<rClientInfo>& users = *in.users;
    const MCArray<mArea>& areas = *in.areas;
    std::vector<std::string> failures;
    int warnings = 0;

    logLine("settings file: %s\n", in.settingsPath);
    logLine("users: %d\n", int(users.getCount()));
    for (int32_t i = 0; i < users.getCount(); ++i) {
        const rClientInfo& u = *users.getAt(i);
        const FidoAddr& a = u.address;
        logLine("  %s, %u:%u/%u.%u%s\n", fieldText(u.name, sizeof u.name).c_str(), a.zone, a.net, a.node, a.point,
                u.superUser ? ", super" : "");
    }
    if (users.getCount() == 0) failures.push_back("no user line was accepted");
    for (const std::string& file : in.settings->unreadableTosserFiles)
        failures.push_back("the tosser configuration " + file + " cannot be read");

    logLine("areas: %d\n", int(areas.getCount()));
    int usable = 0;
    for (int32_t i = 0; i < areas.getCount(); ++i) {
        const mArea& a = *areas.getAt(i);
        AreaState s = inspectArea(a);
        const std::string tag = fieldText(a.name, sizeof a.name);
        logLine("  %d %s: %s, %s: %s\n", int(i), tag.c_str(), typeName(a), s.kind.c_str(), stateWords(s).c_str());
        if (s.exists && s.readable) ++usable;
        if (!s.problem.empty()) {
            reportWarning("area %s: %s", tag.c_str(), s.problem.c_str());
            ++warnings;
        }
    }
    if (usable == 0) failures.push_back("no area can be served");

    if (in.listenProblem.empty()) {
        char where[kAddressTextSize];
        addressText(in.listen, where, sizeof where);
        logLine("listen: %s\n", where);
    } else {
        failures.push_back(in.listenProblem);
    }

    for (const std::string& f : failures) reportError(0, "%s", f.c_str());
    std::string verdict;
    if (failures.empty() && (warnings == 0 || !in.strict)) {
        verdict = "check: ok";
        if (warnings > 0) verdict += ", " + countOf(warnings, "warning", "warnings");
        logLine("%s\n", verdict.c_str());
        return 0;
    }
    verdict = "check: failed";
    if (!failures.empty()) verdict += ", " + countOf(int(failures.size()), "error", "errors");
    if (warnings > 0) verdict += ", " + countOf(warnings, "warning", "warnings") + (in.strict ? " (--strict)" : "");
    logLine("%s\n", verdict.c_str());
    return 1;
}
