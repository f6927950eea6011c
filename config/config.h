// The settings file (port, users, the tosser configuration's name) and the area lines of
// the tosser configuration, read at start-up and again when the sysop asks for a reload.
// Every line that is not understood is a warning or an error naming the file and line.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/users.h"
#include "areas/area_settings.h"
#include "fido/fidoaddr.h"
#include "support/array.h"
#include "support/version.h"

// How long the sessions may take over each part of their work, and how many of them the
// server keeps. All time limits run on the monotonic clock. Each has a settings key of the
// same name, in seconds (fractions allowed) or, for the sizes, bytes.
// The login throttle's times (loginFailDelay, loginDelayMax, loginFailWindow, reportInterval)
// are among them.
struct SessionLimits : ThrottleLimits {
    using Duration = std::chrono::microseconds;

    Duration helloTimeout = std::chrono::seconds(30);    // from the connect to the whole hello
    Duration packetTimeout = std::chrono::seconds(30);   // from a packet's first byte to its last
    Duration authTimeout = std::chrono::seconds(30);     // from the challenge to the whole answer
    Duration replyTimeout = std::chrono::seconds(60);    // a queued reply must make progress this often
    Duration idleTimeout = std::chrono::seconds(300);    // a session with nothing in flight
    Duration writeRetryTime = std::chrono::seconds(5);   // a post or delete held back by another writer
    Duration tlsHandshakeTimeout = std::chrono::seconds(10);  // from the connect (or STARTTLS) to TLS
    int32_t maxSessions = 256;                            // sessions at once; more connections are closed
    int32_t maxPendingLogins = 8;                         // sessions of one network not yet logged in
    int32_t maxPendingSessions = 0;                       // sessions not yet logged in; 0: maxSessions / 4
    uint64_t maxRequestBuffer = 64u * 1024 * 1024;        // request data buffered across all sessions

    // The pool of sessions that have not logged in yet (closing ones included): at least 1.
    int32_t pendingPool() const {
        int32_t pool = maxPendingSessions > 0 ? maxPendingSessions : maxSessions / 4;
        return pool < 1 ? 1 : pool;
    }

    // Fixed: how long and how much a closing connection is drained, and how often a held-back
    // write is tried again.
    Duration drainTime = std::chrono::seconds(1);
    size_t drainBytes = 64 * 1024;
    Duration writeRetryInterval = std::chrono::milliseconds(50);
};

// Takes one "keyword value" line of the settings file if the keyword names a session limit.
// A value that is not a number in range leaves the limit as it was.
enum class LimitSetting { NotALimit, Taken, Invalid };
LimitSetting applyLimitSetting(SessionLimits& limits, const char* keyword, const char* value);

// What a reading of the settings found wrong, each already a console line naming the file
// and the line: warnings (the line is skipped or taken in part, the server starts) and
// errors (the server does not start; a reload keeps the settings it had).
struct SettingsFindings {
    int warnings = 0;
    int errors = 0;
};

// The news door's settings, all optional: the door is off without nntpPort.
struct NewsSettings {
    // "nntpPort": a port as listenPort takes it; empty when the door is off.
    std::string port;
    // "nntpListenAddress": where the door listens (ADDRESS, ADDRESS:PORT, [IPv6]:PORT);
    // empty for the address of listenAddress.
    std::string listenAddress;
    // "nntpGroupPrefix": a group's name is this followed by its area's tag in lower case.
    std::string groupPrefix;
    // "defaultCharset": the charset of messages without a CHRS kludge, and of posts to
    // areas without an areaCharset line.
    std::string defaultCharset = "CP437";
    // "areaCharset TAG NAME" lines: the charset of an area's messages and posts.
    std::vector<std::pair<std::string, std::string>> areaCharsets;
    // "stateDir": where the door keeps what it must remember between runs; by default the
    // folder "state" beside the settings file.
    std::string stateDir;
    // "nntpPlainAuth yes": AUTHINFO with a password in clear is taken from any address, not
    // only from loopback (behind a TLS proxy).
    bool plainAuth = false;
    // "nntpDomain": the domain of Message-IDs and From addresses.
    std::string domain = "fidonet.org";
    // "nntpMaxPerUser": sessions one user may have at once.
    int32_t maxPerUser = 4;

    bool enabled() const { return !port.empty(); }
};

// TLS for both doors, all optional: without a certificate no door speaks TLS.
struct TlsSettings {
    // "tlsCertificate" (PEM, the chain after the certificate) and "tlsKey" (PEM), read at
    // the start and again at each reload.
    std::string certificate;
    std::string key;
    // "tlsPort": the binary door inside TLS from the first byte; "nntpsPort": the news door
    // likewise (563 by convention). Ports as listenPort takes them; empty for none.
    std::string port;
    std::string newsPort;

    bool enabled() const { return !certificate.empty(); }
};

// What the settings file gives besides the users and the areas.
constexpr size_t kPortTextSize = 32;
struct ServerSettings {
    // The listenPort text, at most 31 characters.
    char portText[kPortTextSize] = "9029";

    // Echomail posts: the text of the Origin line the server adds ("origin", the rest of
    // its line).
    std::string origin = std::string(kProgramName) + " " + kProgramVersion;
    // The tosser's echo toss log: the tags of the echo areas posted to are appended there
    // ("echoTossLog"; by default the EchoTossLog of the fidoConfig); empty for none.
    std::string echoTossLog;
    // A file that gets the console lines too ("logFile"), reopened on a reload; empty for
    // none.
    std::string logFile;
    // "netmailVisibility all": every user reads all netmail, as on a node whose users share
    // one mailbox; by default ("own") ordinary users read their own netmail only.
    bool everyoneReadsAllNetmail = false;

    // The address to listen on as written ("listenAddress": ADDRESS, ADDRESS:PORT,
    // [IPv6]:PORT); empty for every IPv4 interface. A port given here wins over listenPort.
    std::string listenAddress;
    // Time stamps before the console lines ("timestamps yes").
    bool timestamps = false;
    // The tosser configurations (squishCfg, fidoConfig lines) that could not be opened,
    // each already reported: the server does not start without them.
    std::vector<std::string> unreadableTosserFiles;

    SessionLimits limits;
    NewsSettings news;
    TlsSettings tls;
    SettingsFindings findings;
};

// A line of up to 255 characters (the rest of a longer line comes as the next line).
constexpr int kConfigLineMax = 255;

// Reads configuration text with the usual translation: CR before LF dropped, Ctrl-Z ends
// the file.
class ConfigReader {
public:
    explicit ConfigReader(FILE* f) : file(f) {}
    // One line into buffer (at least 256 bytes); its length, or -1 at the end of the file.
    int readConfigLine(char* buffer);

private:
    int next();
    FILE* file;
    bool ended = false;
    int pending = -1;
};

// Splits text in place at any of the separators; the words point into the text.
int splitTokens(MCArray<char*>& tokenList, const char* separators, char* text);

// Reads the settings file: the port, the users (appended to `users`) and the areas of the
// tosser configurations it names (`areas` is emptied first). False when the file cannot
// be opened (errno tells why). A tosser configuration that cannot be opened is reported
// and listed in settings.unreadableTosserFiles. docs/settings.md describes every key for
// the sysop.
//
// What is wrong is reported as "warning: FILE:LINE: ..." or "error: FILE:LINE: ..." and
// counted in settings.findings. Warnings: an unknown key (a known one in other letter case
// is named), a key with too few or too many values, a value out of range (the default is
// kept), a user line that is skipped (with the reason) or whose right is unknown (the user
// gets none), a duplicate user, a line longer than kConfigLineMax (its end is ignored), a
// settings file that others may read (it holds passwords), no tosser configuration named.
// Errors: a listenPort or listenAddress that names no port or address, no user accepted,
// tosser configurations that hold no area.
//
// The timestamps key is taken before all others, and "timestamps yes" switches the time
// stamps of the console on at once (setLogTimestamps), so that the lines of the loading
// itself are stamped too.
//
// Lines, one keyword and its value(s) separated by spaces or tabs:
//   listenPort PORT            a number or a tcp service name (default 9029)
//   listenAddress ADDRESS      an IPv4 or IPv6 literal, ADDRESS:PORT or [IPv6]:PORT
//                              (default: every IPv4 interface)
//   squishCfg FILE             a tosser configuration whose EchoArea/NetArea lines are read
//   fidoConfig FILE            the husky tosser's configuration (config/fido_config.h)
//   user NAME,PASSWORD,ADDRESS[,super]
//   timestamps yes|no          time stamps before the console lines (default no)
//   origin TEXT                the Origin line's text of echomail posts
//   echoTossLog FILE           the tosser's echo toss log, for the tags of echo areas posted to
//   netmailVisibility own|all  whether ordinary users read their own netmail only (default own)
//   logFile FILE               the console lines go there too
// the news door's (NewsSettings):
//   nntpPort PORT, nntpListenAddress ADDRESS, nntpGroupPrefix PREFIX, defaultCharset NAME,
//   areaCharset TAG NAME, stateDir FOLDER, nntpPlainAuth yes|no, nntpDomain DOMAIN,
//   nntpMaxPerUser N
// TLS (TlsSettings):
//   tlsCertificate FILE, tlsKey FILE, tlsPort PORT, nntpsPort PORT, tlsHandshakeTimeout 10
// and, all optional, the session limits (SessionLimits), seconds with fractions allowed:
//   helloTimeout 30            a new connection must send its whole hello within this
//   packetTimeout 30           a packet must arrive whole this long after its first byte
//   authTimeout 30             a challenge must be answered within this
//   replyTimeout 60            a queued reply must make progress at least this often
//   idleTimeout 300            a session with nothing in flight is closed after this
//   writeRetryTime 5           a post or delete held back by another writer is retried this long
//   loginFailDelay 2           a failed login gets its CID_S_FAIL after this (0: at once)
//   loginDelayMax 30           the cap of an address's doubled hello delay
//   loginFailWindow 600        an address's failures are forgotten after this without a new one
//   reportInterval 60          summary lines of refusals come at most this often
// and counts and sizes:
//   maxSessions 256            sessions at once; further connections are closed at once
//   maxPendingLogins 8         sessions of one network waiting for their login
//   maxPendingSessions 64      sessions waiting for their login, all networks together
//                              (default a quarter of maxSessions)
//   ipv6PrefixLength 64        IPv6 peers count as one network by this prefix
//   maxRequestBuffer 67108864  bytes of request data buffered across all sessions
bool loadSettings(const char* settingsPath, ServerSettings& settings, std::vector<mArea>& areas,
                  MCArray<rClientInfo>& users);
// Appends the EchoArea and NetArea lines of a tosser configuration to `areas`. False,
// with errno set, when the file cannot be opened.
bool loadTosserAreas(const char* fileName, std::vector<mArea>& areas);
