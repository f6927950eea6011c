#include "config/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <unordered_map>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/fido_config.h"
#include "support/le.h"
#include "support/log.h"
#include "support/socket.h"
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
    {"tlsHandshakeTimeout", &SessionLimits::tlsHandshakeTimeout, false},
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

LimitSetting applyLimitSetting(SessionLimits& limits, const char* keyword, const char* value) {
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
    if (!known) return LimitSetting::NotALimit;
    return valid ? LimitSetting::Taken : LimitSetting::Invalid;
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

// The keys of the settings file besides the session limits', for the hint when a key is
// written in other letter case.
const char* const kKeys[] = {"listenPort",     "listenAddress",     "squishCfg",       "fidoConfig",
                             "user",           "timestamps",        "origin",          "echoTossLog",
                             "logFile",        "netmailVisibility", "ipv6PrefixLength", "nntpPort",
                             "nntpListenAddress", "nntpGroupPrefix", "defaultCharset",  "areaCharset",
                             "stateDir",       "nntpPlainAuth",     "nntpDomain",      "nntpMaxPerUser",
                             "tlsCertificate", "tlsKey",            "tlsPort",         "nntpsPort"};

template <size_t N>
bool isOneOf(const char* key, const char* const (&words)[N]) {
    for (const char* w : words)
        if (strcmp(key, w) == 0) return true;
    return false;
}

// A group name's characters (RFC 3977): printable ASCII but the wildmat and list
// separators; the prefix must end where a tag can follow.
bool isGroupNameText(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7F || strchr("*,?[\\]!", c)) return false;
    return true;
}

// A domain as it may stand after "@" in a Message-ID: letters, digits, '-' and '.'.
bool isDomain(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (unsigned char c : text)
        if (!isalnum(c) && c != '-' && c != '.') return false;
    return true;
}

// The key that `word` is in other letter case; nullptr when it is none.
const char* keyInOtherCase(const char* word) {
    for (const char* k : kKeys)
        if (equalsNoCase(word, k)) return k;
    for (const TimeKey& k : kTimeKeys)
        if (equalsNoCase(word, k.name)) return k.name;
    for (const CountKey& k : kCountKeys)
        if (equalsNoCase(word, k.name)) return k.name;
    for (const SizeKey& k : kSizeKeys)
        if (equalsNoCase(word, k.name)) return k.name;
    return nullptr;
}

// Splits at every comma, empty fields kept.
std::vector<std::string> commaFields(const char* text) {
    std::vector<std::string> fields(1);
    for (const char* p = text; *p; ++p) {
        if (*p == ',')
            fields.emplace_back();
        else
            fields.back() += *p;
    }
    return fields;
}

constexpr const char* kUserForm = "user NAME,PASSWORD,ADDRESS[,super]";

// Reads the lines of one settings file into the settings, the areas and the users, with a
// console line for each line it cannot take as written.
class SettingsLoader {
public:
    SettingsLoader(const char* path, ServerSettings& settings, std::vector<mArea>& areas,
                   MCArray<rClientInfo>& users)
        : path_(path), settings_(settings), areas_(areas), users_(users) {}

    // One line of the file; `tooLong` when characters past kConfigLineMax were cut off.
    void take(int lineNumber, const std::string& text, bool tooLong) {
        line_ = lineNumber;
        if (tooLong) warning("longer than %d characters; the rest of the line is ignored", kConfigLineMax);
        char line[kConfigLineMax + 1] = {};
        char copy[kConfigLineMax + 1] = {};
        memcpy(line, text.data(), std::min(text.size(), sizeof line - 1));
        memcpy(copy, line, sizeof copy);
        int n = splitTokens(tokens_, " \t", line);
        if (n == 0) return;
        const char* key = *tokens_.getAt(0);
        if (key[0] == ';' || key[0] == '#') return;  // a comment
        const char* value = n >= 2 ? *tokens_.getAt(1) : "";

        if (strcmp(key, "user") == 0) {
            if (line != key) {
                warning("a user line starts in the first column; skipped");
                return;
            }
            takeUser(copy + 5);
            return;
        }
        if (strcmp(key, "origin") == 0) {
            // The rest of the line is the value, spaces included, without the blanks at the end.
            if (n < 2) return valueCount(key, n);
            const char* rest = copy + strspn(copy, " \t") + strlen("origin");
            rest += strspn(rest, " \t");
            size_t length = strlen(rest);
            while (length > 0 && (rest[length - 1] == ' ' || rest[length - 1] == '\t')) --length;
            settings_.origin.assign(rest, length);
            return;
        }
        if (strcmp(key, "timestamps") == 0) {
            if (n != 2) return valueCount(key, n);
            if (strcmp(value, "yes") != 0 && strcmp(value, "no") != 0)
                warning("timestamps: invalid value %s (yes or no), the default is kept", value);
            return;  // taken before all other lines
        }
        if (strcmp(key, "listenPort") == 0) {
            if (n != 2) return valueCount(key, n);
            takePort(value);
            return;
        }
        if (strcmp(key, "listenAddress") == 0) {
            if (n != 2) return valueCount(key, n);
            NetAddress address;
            bool hasPort = false;
            if (!parseListenText(value, address, hasPort)) {
                error("listenAddress %s: no address to listen at (an IPv4 or IPv6 literal, ADDRESS:PORT or "
                      "[IPv6]:PORT)",
                      value);
                return;
            }
            settings_.listenAddress = value;
            return;
        }
        if (strcmp(key, "echoTossLog") == 0 || strcmp(key, "logFile") == 0) {
            if (n != 2) return valueCount(key, n);
            if (key[0] == 'e') {
                settings_.echoTossLog = value;
                echoTossLogSet_ = true;
            } else {
                settings_.logFile = value;
            }
            return;
        }
        if (strcmp(key, "netmailVisibility") == 0) {
            if (n != 2) return valueCount(key, n);
            if (strcmp(value, "all") == 0 || strcmp(value, "own") == 0)
                settings_.everyoneReadsAllNetmail = strcmp(value, "all") == 0;
            else
                warning("netmailVisibility: invalid value %s (own or all), the default is kept", value);
            return;
        }
        if (takeTlsKey(key, n, value)) return;
        if (strncmp(key, "nntp", 4) == 0 || strcmp(key, "defaultCharset") == 0 || strcmp(key, "areaCharset") == 0 ||
            strcmp(key, "stateDir") == 0) {
            if (takeNewsKey(key, n, value)) return;
        }
        if (strcmp(key, "squishCfg") == 0 || strcmp(key, "fidoConfig") == 0) {
            if (n != 2) return valueCount(key, n);
            takeTosserFile(key, value);
            return;
        }
        LimitSetting limit = applyLimitSetting(settings_.limits, key, value);
        if (limit != LimitSetting::NotALimit) {
            if (n != 2) return valueCount(key, n);
            if (limit == LimitSetting::Invalid) warning("%s: invalid value %s, the default is kept", key, value);
            return;
        }
        if (const char* known = keyInOtherCase(key))
            warning("unknown key %s (keys are case-sensitive: %s); line skipped", key, known);
        else
            warning("unknown key %s; line skipped", key);
    }

    // What only the whole file tells.
    void finish() {
        line_ = 0;
        if (settings_.news.stateDir.empty()) {
            // "state" beside the settings file.
            const char* slash = strrchr(path_, '/');
            settings_.news.stateDir = slash ? std::string(path_, size_t(slash - path_) + 1) + "state" : "state";
        }
        if (!echoTossLogSet_ && !tosserEchoTossLog_.empty()) settings_.echoTossLog = tosserEchoTossLog_;
        if (users_.getCount() == 0) error("no user line was accepted: nobody can log in");
        const TlsSettings& tls = settings_.tls;
        if (tls.certificate.empty() != tls.key.empty())
            error("%s without %s: TLS needs both the certificate and its key", tls.key.empty() ? "tlsCertificate" : "tlsKey",
                  tls.key.empty() ? "tlsKey" : "tlsCertificate");
        else if (!tls.enabled() && (!tls.port.empty() || !tls.newsPort.empty()))
            error("%s without tlsCertificate and tlsKey: a TLS port needs a certificate",
                  !tls.port.empty() ? "tlsPort" : "nntpsPort");
        if (!tls.newsPort.empty() && !settings_.news.enabled())
            warning("nntpsPort without nntpPort: the news door is off, and so is its TLS port");
        if (tosserNamed_ && areas_.empty() && settings_.unreadableTosserFiles.empty())
            error("the tosser configuration holds no area the server can serve");
        struct stat st;
        if (users_.getCount() > 0 && stat(path_, &st) == 0 && (st.st_mode & S_IROTH))
            warning("readable by every user of the machine (mode %04o), and it holds passwords: chmod o-rwx %s",
                    unsigned(st.st_mode & 07777), path_);
    }

private:
    void say(bool isError, const char* format, va_list args) {
        char text[600];
        vsnprintf(text, sizeof text, format, args);
        char where[320];
        if (line_ > 0)
            snprintf(where, sizeof where, "%s:%d", path_, line_);
        else
            snprintf(where, sizeof where, "%s", path_);
        if (isError) {
            reportError(0, "%s: %s", where, text);
            ++settings_.findings.errors;
        } else {
            reportWarning("%s: %s", where, text);
            ++settings_.findings.warnings;
        }
    }
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        say(false, format, args);
        va_end(args);
    }
    void error(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        say(true, format, args);
        va_end(args);
    }
    void valueCount(const char* key, int words) {
        if (words == 1)
            warning("%s without a value; line skipped", key);
        else
            warning("%s takes one value, not %d; line skipped", key, words - 1);
    }

    // The news door's keys; false for a word that is none of them.
    bool takeNewsKey(const char* key, int n, const char* value) {
        NewsSettings& news = settings_.news;
        if (strcmp(key, "areaCharset") == 0) {
            if (n != 3) {
                warning("areaCharset takes a tag and a charset (areaCharset TAG NAME); line skipped");
                return true;
            }
            news.areaCharsets.emplace_back(value, *tokens_.getAt(2));
            return true;
        }
        static const char* const kOneValue[] = {"nntpPort",       "nntpListenAddress", "nntpGroupPrefix", "defaultCharset",
                                                "stateDir",       "nntpPlainAuth",     "nntpDomain",      "nntpMaxPerUser"};
        if (!isOneOf(key, kOneValue)) return false;
        if (n != 2) {
            valueCount(key, n);
            return true;
        }
        if (strcmp(key, "nntpPort") == 0) {
            uint16_t port;
            if (strlen(value) >= kPortTextSize || !resolvePort(value, port))
                error("nntpPort %s: not a port (0 to 65535) or tcp service name", value);
            else
                news.port = value;
        } else if (strcmp(key, "nntpListenAddress") == 0) {
            NetAddress address;
            bool hasPort = false;
            if (!parseListenText(value, address, hasPort))
                error("nntpListenAddress %s: no address to listen at (an IPv4 or IPv6 literal, ADDRESS:PORT or "
                      "[IPv6]:PORT)",
                      value);
            else
                news.listenAddress = value;
        } else if (strcmp(key, "nntpGroupPrefix") == 0) {
            if (!isGroupNameText(value))
                warning("nntpGroupPrefix %s: not the start of a group name (printable ASCII, no *,?[\\]!); line "
                        "skipped",
                        value);
            else
                news.groupPrefix = value;
        } else if (strcmp(key, "defaultCharset") == 0) {
            news.defaultCharset = value;
        } else if (strcmp(key, "stateDir") == 0) {
            news.stateDir = value;
        } else if (strcmp(key, "nntpPlainAuth") == 0) {
            if (strcmp(value, "yes") == 0 || strcmp(value, "no") == 0)
                news.plainAuth = strcmp(value, "yes") == 0;
            else
                warning("nntpPlainAuth: invalid value %s (yes or no), the default is kept", value);
        } else if (strcmp(key, "nntpDomain") == 0) {
            if (!isDomain(value))
                warning("nntpDomain %s: not a domain (letters, digits, '-' and '.'); the default is kept", value);
            else
                news.domain = value;
        } else {
            uint64_t v;
            if (!parseWhole(value, 1000, v))
                warning("nntpMaxPerUser: invalid value %s (1 to 1000), the default is kept", value);
            else
                news.maxPerUser = int32_t(v);
        }
        return true;
    }

    // The TLS keys; false for a word that is none of them.
    bool takeTlsKey(const char* key, int n, const char* value) {
        TlsSettings& tls = settings_.tls;
        static const char* const kOneValue[] = {"tlsCertificate", "tlsKey", "tlsPort", "nntpsPort"};
        if (!isOneOf(key, kOneValue)) return false;
        if (n != 2) {
            valueCount(key, n);
            return true;
        }
        if (strcmp(key, "tlsCertificate") == 0) {
            tls.certificate = value;
        } else if (strcmp(key, "tlsKey") == 0) {
            tls.key = value;
        } else {
            uint16_t port;
            if (strlen(value) >= kPortTextSize || !resolvePort(value, port))
                error("%s %s: not a port (0 to 65535) or tcp service name", key, value);
            else
                (strcmp(key, "tlsPort") == 0 ? tls.port : tls.newsPort) = value;
        }
        return true;
    }

    void takePort(const char* value) {
        if (strlen(value) >= kPortTextSize) {
            error("listenPort value too long (%zu characters, at most %zu): %s", strlen(value), kPortTextSize - 1,
                  value);
            return;
        }
        uint16_t port;
        if (!resolvePort(value, port)) {
            char* end = nullptr;
            (void)strtoll(value, &end, 0);
            if (end != value && *end == 0)
                error("listenPort %s: not a port (0 to 65535)", value);
            else
                error("unknown service: %s", value);
            return;
        }
        snprintf(settings_.portText, sizeof settings_.portText, "%s", value);
    }

    void takeTosserFile(const char* key, const char* file) {
        tosserNamed_ = true;
        logLine("-> reading %s and areas...\n", file);
        bool read;
        if (key[0] == 's') {
            read = loadTosserAreas(file, areas_);
            if (!read) reportError(errno, "cannot open %s", file);
        } else {
            std::string echoTossLog;
            read = loadFidoConfig(file, areas_, &echoTossLog);
            if (!echoTossLog.empty()) tosserEchoTossLog_ = echoTossLog;
        }
        if (!read) {
            settings_.unreadableTosserFiles.emplace_back(file);
            ++settings_.findings.errors;
        }
    }

    // The fields after "user" and one separator.
    void takeUser(const char* text) {
        std::vector<std::string> fields = commaFields(text);
        if (fields.size() < 3 || fields.size() > 4) {
            warning("user line with %zu field%s skipped (%s)", fields.size(), fields.size() == 1 ? "" : "s", kUserForm);
            return;
        }
        static const char* const kFieldNames[] = {"name", "password", "address", "right"};
        for (size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].empty()) {
                warning("user line with an empty %s skipped (%s)", kFieldNames[i], kUserForm);
                return;
            }
        }
        rClientInfo user;
        if (!parseFidoAddr(fields[2].c_str(), user.address)) {
            warning("user %s: bad address %s (ZONE:NET/NODE or ZONE:NET/NODE.POINT); line skipped", fields[0].c_str(),
                    fields[2].c_str());
            return;
        }
        copyField(user.name, fields[0].c_str(), sizeof user.name);
        copyField(user.password, fields[1].c_str(), sizeof user.password);
        const std::string who = fields[0] + ", " + formatFidoAddr(user.address);
        if (fields[0].size() > sizeof user.name)
            warning("user %s: the name is cut to its first %zu characters", who.c_str(), sizeof user.name);
        if (fields[1].size() > sizeof user.password)
            warning("user %s: the password is cut to its first %zu characters", who.c_str(), sizeof user.password);
        if (fields.size() == 4) {
            if (fields[3] == "super")
                user.superUser = 1;
            else
                warning("user %s: unknown right \"%s\" (the one right is super); the user has no rights", who.c_str(),
                        fields[3].c_str());
        }
        const std::string account = std::string(user.name, sizeof user.name) + formatFidoAddr(user.address);
        auto [seen, added] = userLines_.emplace(account, line_);
        if (!added) {
            warning("user %s is already on line %d; this line is skipped", who.c_str(), seen->second);
            return;
        }
        users_.add(user);
    }

    const char* path_;
    ServerSettings& settings_;
    std::vector<mArea>& areas_;
    MCArray<rClientInfo>& users_;
    MCArray<char*> tokens_;
    int line_ = 0;
    bool tosserNamed_ = false;
    bool echoTossLogSet_ = false;
    std::string tosserEchoTossLog_;
    std::unordered_map<std::string, int> userLines_;  // the line of each account's user line
};

// "timestamps yes" or "timestamps no" in a line of two words; anything else is left to the
// line's own reading.
void takeTimestamps(ServerSettings& settings, const std::string& text) {
    char line[kConfigLineMax + 1] = {};
    memcpy(line, text.data(), std::min(text.size(), sizeof line - 1));
    MCArray<char*> tokens;
    if (splitTokens(tokens, " \t", line) != 2 || strcmp(*tokens.getAt(0), "timestamps") != 0) return;
    const char* value = *tokens.getAt(1);
    if (strcmp(value, "yes") == 0) settings.timestamps = true;
    if (strcmp(value, "no") == 0) settings.timestamps = false;
}

}  // namespace

bool loadSettings(const char* settingsPath, ServerSettings& settings, std::vector<mArea>& areas,
                  MCArray<rClientInfo>& users) {
    areas.clear();
    FILE* f = openText(settingsPath);
    if (!f) return false;
    // The whole file first: the keys that change the console's lines are taken before the
    // lines that print anything. A line longer than the reader's pieces is kept as its
    // first piece.
    struct Line {
        int number;
        std::string text;
        bool tooLong;
    };
    std::vector<Line> lines;
    {
        ConfigReader reader(f);
        char piece[kConfigLineMax + 1];
        int number = 0;
        bool continues = false;
        for (int n; (n = reader.readConfigLine(piece)) >= 0;) {
            if (continues) {
                if (n > 0) lines.back().tooLong = true;
            } else {
                lines.push_back({++number, piece, false});
            }
            continues = n == kConfigLineMax;
        }
        fclose(f);
    }
    for (const Line& line : lines) takeTimestamps(settings, line.text);
    if (settings.timestamps) setLogTimestamps(true);

    SettingsLoader loader(settingsPath, settings, areas, users);
    for (const Line& line : lines) loader.take(line.number, line.text, line.tooLong);
    loader.finish();
    return true;
}
