#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/fido_config.h"
#include "support/le.h"
#include "support/log.h"
#include "support/text.h"

int ConfigReader::next() {
    if (ended) return EOF;
    int c;
    if (pending >= 0) {
        c = pending;
        pending = -1;
    } else {
        c = fgetc(file);
    }
    if (c == EOF || c == 0x1A) {
        ended = true;
        return EOF;
    }
    if (c == '\r') {
        int d = fgetc(file);
        if (d == '\n') return '\n';
        if (d != EOF) pending = d;
    }
    return c;
}

int ConfigReader::readConfigLine(char* buffer) {
    int n = 0;
    buffer[0] = 0;
    int c = next();
    if (c == EOF) return -1;
    while (c != EOF && c != '\n') {
        buffer[n++] = char(c);
        if (n == kConfigLineMax) break;
        c = next();
    }
    buffer[n] = 0;
    return n;
}

int splitTokens(MCArray<char*>& tokenList, const char* separators, char* text) {
    tokenList.removeAll();
    char* cursor = text;
    while (char* word = nextToken(cursor, separators)) tokenList.add(word);
    return tokenList.getCount();
}

namespace {

FILE* openText(const char* name) { return fopen(name, "rb"); }

void appendArea(std::vector<mArea>& areas, const char* keyword, const char* name, const char* path) {
    if (strcmp(keyword, "EchoArea") == 0)
        areas.push_back(makeArea(AreaFormat::Squish, AreaType::Echomail, name, path));
    else if (strcmp(keyword, "NetArea") == 0)
        areas.push_back(makeArea(AreaFormat::Msg, AreaType::Netmail, name, path));
}

void handleUserLine(MCArray<rClientInfo>& users, const char* line) {
    // "user" in the first column and one separator; the fields follow, split at commas.
    if (strlen(line) < 5) return;
    char fields[kConfigLineMax + 1];
    snprintf(fields, sizeof fields, "%s", line + 5);
    MCArray<char*> tokens;
    int n = splitTokens(tokens, ",", fields);
    if (n != 3 && n != 4) return;
    rClientInfo user;
    copyField(user.name, *tokens.getAt(0), sizeof user.name);
    copyField(user.password, *tokens.getAt(1), sizeof user.password);
    if (!parseFidoAddr(*tokens.getAt(2), user.address)) return;
    if (n == 4 && strcmp(*tokens.getAt(3), "super") == 0) user.superUser = 1;
    users.add(user);
}

// The keys for what the server adds to echomail posts. "origin" takes the rest of its
// line as one value, spaces included: everything after the keyword and the spaces or tabs
// that follow it, without the spaces or tabs at the end (a line without a value is
// skipped). "echoTossLog" takes one word, a path, as every other key does.
bool handleEchomailKey(ServerSettings& settings, const char* line, int words, MCArray<char*>& tokens) {
    const char* first = *tokens.getAt(0);
    if (strcmp(first, "origin") == 0) {
        if (words < 2) return true;
        const char* value = line + strspn(line, " \t") + strlen("origin");
        value += strspn(value, " \t");
        size_t length = strlen(value);
        while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) --length;
        settings.origin.assign(value, length);
        return true;
    }
    if (words == 2 && strcmp(first, "echoTossLog") == 0) {
        settings.echoTossLog = *tokens.getAt(1);
        return true;
    }
    return false;
}

// Time limits in seconds, fractions allowed.
struct TimeKey {
    const char* name;
    SessionLimits::Duration SessionLimits::*field;
    bool zeroAllowed;  // a delay may be 0 (none); a time limit may not
};
const TimeKey kTimeKeys[] = {
    {"helloTimeout", &SessionLimits::helloTimeout, false},
    {"packetTimeout", &SessionLimits::packetTimeout, false},
    {"authTimeout", &SessionLimits::authTimeout, false},
    {"replyTimeout", &SessionLimits::replyTimeout, false},
    {"idleTimeout", &SessionLimits::idleTimeout, false},
    {"writeRetryTime", &SessionLimits::writeRetryTime, true},
    {"loginFailDelay", &SessionLimits::loginFailDelay, true},
    {"loginDelayMax", &SessionLimits::loginDelayMax, true},
    {"loginFailWindow", &SessionLimits::loginFailWindow, false},
    {"reportInterval", &SessionLimits::reportInterval, false},
};

// Counts, at least 1.
struct CountKey {
    const char* name;
    int32_t SessionLimits::*field;
};
const CountKey kCountKeys[] = {
    {"maxSessions", &SessionLimits::maxSessions},
    {"maxPendingLogins", &SessionLimits::maxPendingLogins},
    {"maxPendingSessions", &SessionLimits::maxPendingSessions},
};

// A whole decimal number of bytes, at least 1 (64 MiB is 67108864).
struct SizeKey {
    const char* name;
    uint64_t SessionLimits::*field;
};
const SizeKey kSizeKeys[] = {
    {"maxRequestBuffer", &SessionLimits::maxRequestBuffer},
};

// At most about eleven days, so that a deadline never overflows the clock.
constexpr double kLongestSeconds = 1e6;

bool parseSeconds(const char* text, bool zeroAllowed, SessionLimits::Duration& out) {
    char* end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != 0 || !std::isfinite(v) || v < 0 || v > kLongestSeconds) return false;
    if (v == 0 && !zeroAllowed) return false;
    out = SessionLimits::Duration(int64_t(std::llround(v * 1e6)));
    return true;
}

bool parseWhole(const char* text, uint64_t max, uint64_t& out) {
    if (*text < '0' || *text > '9') return false;  // no sign, no space
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (*end != 0 || errno != 0 || v < 1 || v > max) return false;
    out = v;
    return true;
}

}  // namespace

bool applyLimitSetting(SessionLimits& limits, const char* keyword, const char* value) {
    bool known = false, valid = false;
    for (const TimeKey& k : kTimeKeys) {
        if (strcmp(keyword, k.name) != 0) continue;
        known = true;
        valid = parseSeconds(value, k.zeroAllowed, limits.*k.field);
    }
    for (const CountKey& k : kCountKeys) {
        if (strcmp(keyword, k.name) != 0) continue;
        known = true;
        uint64_t v;
        valid = parseWhole(value, INT32_MAX, v);
        if (valid) limits.*k.field = int32_t(v);
    }
    if (strcmp(keyword, "ipv6PrefixLength") == 0) {
        known = true;
        uint64_t v;
        valid = parseWhole(value, 128, v);
        if (valid) limits.ipv6PrefixLength = int(v);
    }
    for (const SizeKey& k : kSizeKeys) {
        if (strcmp(keyword, k.name) != 0) continue;
        known = true;
        valid = parseWhole(value, UINT64_MAX, limits.*k.field);
    }
    if (known && !valid) reportError(0, "%s: invalid value %s, the default is kept", keyword, value);
    return known;
}

bool loadTosserAreas(const char* fileName, std::vector<mArea>& areas) {
    FILE* f = openText(fileName);
    if (!f) return false;
    ConfigReader reader(f);
    char line[kConfigLineMax + 1];
    MCArray<char*> tokens;
    while (reader.readConfigLine(line) >= 0) {
        if (splitTokens(tokens, " \t", line) < 3) continue;
        appendArea(areas, *tokens.getAt(0), *tokens.getAt(1), *tokens.getAt(2));
    }
    fclose(f);
    return true;
}

namespace {

// "timestamps yes" or "timestamps no"; any other value is reported and changes nothing.
void handleTimestampsKey(ServerSettings& settings, const char* value) {
    if (strcmp(value, "yes") == 0) {
        settings.timestamps = true;
    } else if (strcmp(value, "no") == 0) {
        settings.timestamps = false;
    } else {
        reportError(0, "timestamps: invalid value %s (yes or no), the default is kept", value);
    }
}

}  // namespace

bool loadSettings(const char* settingsPath, ServerSettings& settings, std::vector<mArea>& areas,
                  MCArray<rClientInfo>& users) {
    areas.clear();
    FILE* f = openText(settingsPath);
    if (!f) return false;
    // The whole file first: the keys that change the console's lines are taken before the
    // lines that print anything.
    std::vector<std::string> lines;
    {
        ConfigReader reader(f);
        char line[kConfigLineMax + 1];
        while (reader.readConfigLine(line) >= 0) lines.emplace_back(line);
        fclose(f);
    }
    char line[kConfigLineMax + 1];
    char copy[kConfigLineMax + 1];
    MCArray<char*> tokens;
    // A line as read: its copy kept whole, the line itself split into `tokens`.
    auto split = [&](const std::string& text) {
        memset(line, 0, sizeof line);
        memcpy(line, text.data(), std::min(text.size(), sizeof line - 1));
        memcpy(copy, line, sizeof copy);
        return splitTokens(tokens, " \t", line);
    };
    for (const std::string& text : lines) {
        if (split(text) == 2 && strcmp(*tokens.getAt(0), "timestamps") == 0) handleTimestampsKey(settings, *tokens.getAt(1));
    }
    if (settings.timestamps) setLogTimestamps(true);

    for (const std::string& text : lines) {
        int n = split(text);
        if (n == 0) continue;
        const char* first = *tokens.getAt(0);
        if (n == 2 && strcmp(first, "timestamps") == 0) continue;  // taken above
        if (n == 2 && strcmp(first, "listenPort") == 0) {
            const char* value = *tokens.getAt(1);
            if (strlen(value) >= kPortTextSize) {
                reportError(0, "listenPort value too long (%zu characters, at most %zu): %s", strlen(value),
                            kPortTextSize - 1, value);
                continue;
            }
            snprintf(settings.portText, sizeof settings.portText, "%s", value);
            continue;
        }
        if (n == 2 && strcmp(first, "listenAddress") == 0) {
            settings.listenAddress = *tokens.getAt(1);
            continue;
        }
        if (handleEchomailKey(settings, copy, n, tokens)) continue;
        if (n == 2 && strcmp(first, "netmailVisibility") == 0) {
            const char* value = *tokens.getAt(1);
            if (strcmp(value, "all") == 0 || strcmp(value, "own") == 0)
                settings.everyoneReadsAllNetmail = strcmp(value, "all") == 0;
            else
                reportError(0, "netmailVisibility: invalid value %s (own or all), the default is kept", value);
            continue;
        }
        if (n == 2 && applyLimitSetting(settings.limits, first, *tokens.getAt(1))) continue;
        if (n == 2 && strcmp(first, "squishCfg") == 0) {
            const char* file = *tokens.getAt(1);
            logLine("-> reading %s and areas...\n", file);
            if (!loadTosserAreas(file, areas)) {
                reportError(errno, "cannot open %s", file);
                settings.unreadableTosserFiles.emplace_back(file);
            }
            continue;
        }
        if (n == 2 && strcmp(first, "fidoConfig") == 0) {
            const char* file = *tokens.getAt(1);
            logLine("-> reading %s and areas...\n", file);
            if (!loadFidoConfig(file, areas)) settings.unreadableTosserFiles.emplace_back(file);
            continue;
        }
        // After splitting, the buffer reads "user" only when the line starts with "user"
        // followed by a separator or nothing.
        if (strcmp(line, "user") == 0) handleUserLine(users, copy);
    }
    return true;
}
