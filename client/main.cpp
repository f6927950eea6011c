// quorva-client: reads and writes the message areas of a Quorva server from the command
// line. One invocation connects, logs in, runs one command and logs out.
//
// Exit status: 0 done, 1 usage or local error, 2 refused by the server (login, unknown
// area or message, delete not allowed), 3 connection failure or a broken conversation.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/lib/quorva_client.h"
#include "support/clock.h"
#include "support/le.h"
#include "wire/attributes.h"
#include "wire/fidodate.h"
#include "wire/packets.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitRefused = 2;
constexpr int kExitConnection = 3;

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr uint16_t kDefaultPort = 9029;
constexpr uint16_t kDefaultAttributes = kAttrLocal;

// Ends the program with a message on stderr and an exit status; thrown anywhere, caught
// once in main.
struct Failure {
    int status;
    std::string message;
};

[[noreturn]] void fail(int status, const std::string& message) { throw Failure{status, message}; }

const char kUsage[] =
    "usage: quorva-client [options] COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  areas               list the areas with their message and unread counts\n"
    "  list AREA           list the message headers of an area\n"
    "  read AREA NUMBER    show a message: header, kludge lines, text\n"
    "  post AREA           post a message; its text is read from standard input\n"
    "  delete AREA NUMBER  delete a message\n"
    "  ping                log in and measure one round trip\n"
    "AREA is an area number (as shown by 'areas') or an area tag.\n"
    "\n"
    "Connection options (or environment variables):\n"
    "  --host HOST         server host (QUORVA_HOST, default 127.0.0.1)\n"
    "  --port PORT         server port (QUORVA_PORT, default 9029)\n"
    "  --user NAME         registered user name (QUORVA_USER)\n"
    "  --addr ADDRESS      the user's FidoNet address zone:net/node[.point] (QUORVA_ADDR)\n"
    "The password comes from QUORVA_PASSWORD, or is asked for on the terminal.\n"
    "\n"
    "Options of post:\n"
    "  --to NAME           addressee (default \"All\" in echomail; required in netmail)\n"
    "  --subject TEXT      subject (required)\n"
    "  --dest ADDRESS      destination address (required in netmail)\n"
    "  --from NAME         sender name (default: the user name)\n"
    "  --attr WORD         attribute word, a number (0x0101) or names joined by commas\n"
    "                      (private,crash,hold,kill,local,...; default 0x0100 = local)\n"
    "Text lines end with LF or CR LF; they are stored with CR line ends.\n"
    "\n"
    "In 'list', the column Re names the listed message that a message answers\n"
    "('?' when that message is not in the area).\n"
    "\n"
    "Exit status: 0 done, 1 usage error, 2 refused by the server, 3 connection failure.\n";

// ---------------------------------------------------------------------------------------
// Command line

struct Options {
    std::string host, port, user, addr;
    std::string to, subject, dest, from, attr;
    bool haveTo = false, haveSubject = false, haveDest = false, haveFrom = false, haveAttr = false;
    bool help = false;
    std::vector<std::string> words;  // the command and its arguments
};

struct OptionSpec {
    const char* name;
    std::string Options::*value;
    bool Options::*given;  // nullptr for the connection options
};

const OptionSpec kOptionSpecs[] = {
    {"host", &Options::host, nullptr},
    {"port", &Options::port, nullptr},
    {"user", &Options::user, nullptr},
    {"addr", &Options::addr, nullptr},
    {"to", &Options::to, &Options::haveTo},
    {"subject", &Options::subject, &Options::haveSubject},
    {"dest", &Options::dest, &Options::haveDest},
    {"from", &Options::from, &Options::haveFrom},
    {"attr", &Options::attr, &Options::haveAttr},
};

Options parseCommandLine(int argc, char** argv) {
    Options o;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            o.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) fail(kExitUsage, "unknown option " + arg + " (see --help)");
        std::string name = arg.substr(2), value;
        bool inlineValue = false;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& s : kOptionSpecs)
            if (name == s.name) spec = &s;
        if (!spec) fail(kExitUsage, "unknown option --" + name + " (see --help)");
        if (!inlineValue) {
            if (i + 1 >= argc) fail(kExitUsage, "option --" + name + " needs a value");
            value = argv[++i];
        }
        o.*(spec->value) = value;
        if (spec->given) o.*(spec->given) = true;
    }
    return o;
}

std::string fromEnv(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

// ---------------------------------------------------------------------------------------
// Text helpers

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

bool isZero(const FidoAddr& a) { return a == FidoAddr{}; }

// Text of a fixed field: up to its first zero byte, at most the field size.
std::string fieldText(const char* field, size_t size) { return std::string(field, fieldLength(field, size)); }

// Control bytes would move the cursor or recolour the terminal: show them as '?'.
std::string printable(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) out += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : char(c);
    return out;
}

// Characters as a terminal counts them: bytes that do not continue a UTF-8 sequence.
size_t displayWidth(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Pads or cuts a text to exactly `width` characters; a cut text ends with '~'.
std::string column(const std::string& text, size_t width) {
    std::string s = printable(text);
    if (displayWidth(s) > width) {
        size_t keep = 0, chars = 0;
        while (keep < s.size() && chars < width - 1) {
            ++keep;
            while (keep < s.size() && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) ++keep;
            ++chars;
        }
        s.resize(keep);
        s += '~';
    }
    s.append(width - displayWidth(s), ' ');
    return s;
}

std::string rightAligned(const std::string& s, size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// The packed date-time without its seconds (the time word keeps them only in steps of two).
std::string packedDateText(uint32_t v) {
    PackedDate d = unpackDate(v);
    char buf[48];
    const char* monthName = d.month >= 1 && d.month <= 12 ? kEnglishMonths[d.month - 1] : "???";
    snprintf(buf, sizeof buf, "%02u %s %04u %02u:%02u", d.day, monthName, d.year, d.hour, d.minute);
    return buf;
}

std::string attrText(uint16_t attr) {
    char hex[8];
    snprintf(hex, sizeof hex, "0x%04X", attr);
    std::string names;
    for (const AttributeName& a : kAttributeNames)
        if (attr & a.bit) names += std::string(names.empty() ? "" : ", ") + a.name;
    return names.empty() ? hex : std::string(hex) + " (" + names + ")";
}

uint16_t parseAttributes(const std::string& text) {
    if (text.empty()) fail(kExitUsage, "--attr needs a number or attribute names");
    if (isdigit(static_cast<unsigned char>(text[0]))) {
        errno = 0;
        char* end = nullptr;
        unsigned long v = strtoul(text.c_str(), &end, 0);
        if (errno || *end || v > 0xFFFF) fail(kExitUsage, "--attr " + text + ": not a 16-bit number");
        return uint16_t(v);
    }
    uint16_t attr = 0;
    std::string rest = text + ",";
    for (size_t start = 0, comma; (comma = rest.find(',', start)) != std::string::npos; start = comma + 1) {
        std::string word = rest.substr(start, comma - start);
        if (word.empty()) continue;
        const AttributeName* found = nullptr;
        for (const AttributeName& a : kAttributeNames)
            if (word == a.name) found = &a;
        if (!found) fail(kExitUsage, "--attr: unknown attribute '" + word + "' (see --help)");
        attr |= found->bit;
    }
    return attr;
}

FidoAddr parseAddress(const std::string& text, const char* what) {
    FidoAddr a;
    if (text.find_first_of(" \t") != std::string::npos || !parseFidoAddr(text.c_str(), a))
        fail(kExitUsage, std::string(what) + " '" + text + "' is not a FidoNet address (zone:net/node[.point])");
    return a;
}

// Standard input with LF and CR LF line ends turned into the CR that FidoNet text uses.
std::string readMessageText() {
    if (isatty(STDIN_FILENO)) fprintf(stderr, "Enter the message text; end it with Ctrl-D on a line of its own.\n");
    std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (in.find('\0') != std::string::npos) fail(kExitUsage, "the message text holds a zero byte");
    std::string text;
    text.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;  // the LF makes the CR
        text += in[i] == '\n' ? '\r' : in[i];
    }
    return text;
}

// ---------------------------------------------------------------------------------------
// Password prompt with the terminal's echo off, restored on every way out.

int gTtyFd = -1;
struct termios gSavedTty;

void restoreTty() {
    if (gTtyFd >= 0) tcsetattr(gTtyFd, TCSAFLUSH, &gSavedTty);
}

void onSignalDuringPrompt(int sig) {
    restoreTty();
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string askPassword(const std::string& prompt) {
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail(kExitUsage, "no password: set QUORVA_PASSWORD, or run on a terminal to be asked");
    struct termios quiet;
    if (tcgetattr(fd, &gSavedTty) != 0) {
        close(fd);
        fail(kExitUsage, "no password: set QUORVA_PASSWORD, or run on a terminal to be asked");
    }
    gTtyFd = fd;
    struct sigaction sa = {}, oldInt, oldTerm, oldHup;
    sa.sa_handler = onSignalDuringPrompt;
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGHUP, &sa, &oldHup);
    quiet = gSavedTty;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
    (void)!write(fd, prompt.data(), prompt.size());

    std::string password;
    bool ended = false;
    while (!ended) {
        char c;
        ssize_t k = read(fd, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0 || c == '\n' || c == '\r') ended = true;
        else if (password.size() < 1024) password += c;
    }
    (void)!write(fd, "\n", 1);
    restoreTty();
    gTtyFd = -1;
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    close(fd);
    return password;
}

// ---------------------------------------------------------------------------------------
// The session with the server

const char* areaTypeText(int32_t type) {
    return type == AREA_TYPE_NETMAIL ? "netmail" : type == AREA_TYPE_ECHOMAIL ? "echomail" : "unknown";
}

struct Area {
    int32_t number;
    pktAreaInfo info;
    std::string tag() const { return fieldText(info.name, sizeof info.name); }
};

class Session {
public:
    Session(const Options& o) {
        host_ = !o.host.empty() ? o.host : !fromEnv("QUORVA_HOST").empty() ? fromEnv("QUORVA_HOST") : kDefaultHost;
        std::string portText = !o.port.empty() ? o.port : fromEnv("QUORVA_PORT");
        port_ = kDefaultPort;
        if (!portText.empty()) {
            char* end = nullptr;
            errno = 0;
            long p = strtol(portText.c_str(), &end, 10);
            if (errno || *end || p < 1 || p > 65535) fail(kExitUsage, "port '" + portText + "' is not a port number");
            port_ = uint16_t(p);
        }
        user_ = !o.user.empty() ? o.user : fromEnv("QUORVA_USER");
        if (user_.empty()) fail(kExitUsage, "no user name: give --user NAME or set QUORVA_USER");
        if (user_.size() > 36) fail(kExitUsage, "user name longer than 36 characters");
        std::string addr = !o.addr.empty() ? o.addr : fromEnv("QUORVA_ADDR");
        if (addr.empty()) fail(kExitUsage, "no address: give --addr ZONE:NET/NODE[.POINT] or set QUORVA_ADDR");
        addr_ = parseAddress(addr, "address");
    }

    ~Session() {
        if (loggedIn_) conn_.logout();
    }

    void open() {
        const char* envPassword = getenv("QUORVA_PASSWORD");
        std::string password = envPassword ? envPassword : askPassword("Password for " + user_ + ": ");
        std::string error;
        if (!conn_.connect(host_, port_, &error)) fail(kExitConnection, error + " (is the server running?)");
        qclient::Status s = conn_.login(user_, password, addr_);
        if (s == qclient::Status::Refused)
            fail(kExitRefused, "login refused for " + user_ + ", " + addrText(addr_) +
                                   ": no such user at that address, a wrong password, or the user is already "
                                   "connected");
        check(s, "login");
        loggedIn_ = true;
    }

    const std::string& user() const { return user_; }
    const FidoAddr& address() const { return addr_; }
    std::string where() const { return host_ + ":" + std::to_string(port_); }
    qclient::Connection& conn() { return conn_; }

    // Ends the program for anything but Ok; a refusal gets `refusal` as its message.
    void check(qclient::Status s, const std::string& what, const std::string& refusal = "") {
        switch (s) {
        case qclient::Status::Ok: return;
        case qclient::Status::Refused:
            fail(kExitRefused, refusal.empty() ? what + ": refused by the server" : refusal);
        case qclient::Status::Closed:
            loggedIn_ = false;
            fail(kExitConnection, what + ": the server closed the connection (its console says why)");
        case qclient::Status::Error:
            loggedIn_ = false;
            fail(kExitConnection, what + ": no valid answer from the server at " + where());
        }
    }

    std::vector<Area> areas() {
        std::vector<pktAreaInfo> infos;
        check(conn_.getAreaList(infos), "area list");
        std::vector<Area> out;
        for (size_t i = 0; i < infos.size(); ++i) out.push_back(Area{int32_t(i), infos[i]});
        return out;
    }

    // An area named by its number or its tag (exact first, then in any letter case).
    Area findArea(const std::string& name) {
        std::vector<Area> all = areas();
        bool numeric = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
        if (numeric) {
            unsigned long n = strtoul(name.c_str(), nullptr, 10);
            if (name.size() > 9 || n >= all.size())
                fail(kExitRefused, "no area number " + name + " (the server has " + std::to_string(all.size()) +
                                       " areas, numbered from 0)");
            return all[n];
        }
        for (const Area& a : all)
            if (a.tag() == name) return a;
        for (const Area& a : all)
            if (strcasecmp(a.tag().c_str(), name.c_str()) == 0) return a;
        fail(kExitRefused, "no area '" + name + "' on the server (see 'quorva-client areas')");
    }

    std::vector<pktMsgHeader> messages(const Area& area) {
        std::vector<pktMsgHeader> headers;
        check(conn_.getMsgList(area.number, headers), "message list of " + area.tag());
        return headers;
    }

private:
    std::string host_, user_;
    uint16_t port_ = kDefaultPort;
    FidoAddr addr_;
    qclient::Connection conn_;
    bool loggedIn_ = false;
};

uint32_t parseMessageNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        fail(kExitUsage, "'" + text + "' is not a message number");
    unsigned long long n = strtoull(text.c_str(), nullptr, 10);
    if (n > 0xFFFFFFFFull) fail(kExitUsage, "'" + text + "' is not a message number");
    return uint32_t(n);
}

// ---------------------------------------------------------------------------------------
// Commands

void commandAreas(Session& s) {
    std::vector<Area> all = s.areas();
    if (all.empty()) {
        printf("The server has no areas.\n");
        return;
    }
    size_t tagWidth = 4;
    for (const Area& a : all) tagWidth = std::max(tagWidth, displayWidth(printable(a.tag())));
    printf("%3s  %s  %-8s  %8s  %6s\n", "#", column("Area", tagWidth).c_str(), "Type", "Messages", "Unread");
    for (const Area& a : all)
        printf("%3d  %s  %-8s  %8u  %6u\n", a.number, column(a.tag(), tagWidth).c_str(),
               areaTypeText(a.info.type), a.info.msgCount, a.info.unreadCount);
}

void commandList(Session& s, const std::string& areaName) {
    Area area = s.findArea(areaName);
    std::vector<pktMsgHeader> headers = s.messages(area);
    printf("%s (area %d, %s): %zu message%s\n", printable(area.tag()).c_str(), area.number,
           areaTypeText(area.info.type), headers.size(), headers.size() == 1 ? "" : "s");
    if (headers.empty()) return;

    // A reply names the message it answers by carrying that message's MSGID hash.
    std::map<uint32_t, uint32_t> byMsgId;
    for (const pktMsgHeader& h : headers)
        if (h.msgIdHash) byMsgId.emplace(h.msgIdHash, h.msgNumber);
    size_t numberWidth = 1;
    for (const pktMsgHeader& h : headers) numberWidth = std::max(numberWidth, std::to_string(h.msgNumber).size());
    size_t reWidth = std::max<size_t>(2, numberWidth + 1);

    printf("%s  %-17s  %s  %s  %s  %s\n", rightAligned("#", numberWidth).c_str(), "Date",
           column("From", 20).c_str(), column("To", 20).c_str(), column("Re", reWidth).c_str(), "Subject");
    for (const pktMsgHeader& h : headers) {
        std::string re;
        if (h.replyHash) {
            auto it = byMsgId.find(h.replyHash);
            re = it != byMsgId.end() && it->second != h.msgNumber ? "#" + std::to_string(it->second) : "?";
        }
        printf("%s  %-17s  %s  %s  %s  %s\n", rightAligned(std::to_string(h.msgNumber), numberWidth).c_str(),
               packedDateText(h.dateWritten).c_str(),
               column(fieldText(h.fromName, sizeof h.fromName), 20).c_str(),
               column(fieldText(h.toName, sizeof h.toName), 20).c_str(), column(re, reWidth).c_str(),
               printable(fieldText(h.subject, sizeof h.subject)).c_str());
    }
}

void commandRead(Session& s, const std::string& areaName, const std::string& numberText) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    pktMessage m;
    std::vector<std::string> lines;
    s.check(s.conn().getMessage(area.number, number, m, lines), "read",
            "no message #" + std::to_string(number) + " in " + area.tag() + " (or it cannot be read)");

    auto withAddr = [](const std::string& name, const FidoAddr& a) {
        return isZero(a) ? printable(name) : printable(name) + ", " + addrText(a);
    };
    printf("Message #%u in %s (area %d, %s)\n", m.header.msgNumber, printable(area.tag()).c_str(), area.number,
           areaTypeText(area.info.type));
    printf("From:    %s\n", withAddr(fieldText(m.header.fromName, 36), m.origAddr).c_str());
    printf("To:      %s\n", withAddr(fieldText(m.header.toName, 36), m.destAddr).c_str());
    printf("Subject: %s\n", printable(fieldText(m.header.subject, 72)).c_str());
    printf("Date:    %s\n", packedDateText(m.header.dateWritten).c_str());
    printf("Attr:    %s\n", attrText(m.attributes).c_str());

    std::vector<std::string> kludges, text;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '\x01')
            kludges.push_back("^A" + printable(line.substr(1)));
        else
            text.push_back(printable(line));
    }
    if (!kludges.empty()) {
        printf("Kludges:\n");
        for (const std::string& k : kludges) printf("  %s\n", k.c_str());
    }
    printf("--------------------------------------------------------------------------\n");
    for (const std::string& t : text) printf("%s\n", t.c_str());
}

void commandPost(Session& s, const Options& o, const std::string& areaName) {
    if (!o.haveSubject) fail(kExitUsage, "post needs --subject TEXT");
    uint16_t attributes = o.haveAttr ? parseAttributes(o.attr) : kDefaultAttributes;
    FidoAddr dest;
    if (o.haveDest) dest = parseAddress(o.dest, "--dest");
    std::string from = o.haveFrom ? o.from : s.user();
    struct Field {
        const char* option;
        const std::string& value;
        size_t size;
    };
    for (const Field& f : {Field{"--from", from, 36}, Field{"--to", o.to, 36}, Field{"--subject", o.subject, 72}})
        if (f.value.size() > f.size)
            fail(kExitUsage, std::string(f.option) + " is longer than " + std::to_string(f.size) + " bytes");

    std::string text = readMessageText();
    if (text.size() + kMessageRecordSize + 1 > kMaxPostDataSize)
        fail(kExitUsage, "the message text is longer than the server takes (" +
                             std::to_string(kMaxPostDataSize - kMessageRecordSize - 1) + " bytes)");

    s.open();
    Area area = s.findArea(areaName);
    bool netmail = area.info.type == AREA_TYPE_NETMAIL;
    if (netmail && !o.haveTo) fail(kExitUsage, "a netmail post needs --to NAME");
    if (netmail && !o.haveDest) fail(kExitUsage, "a netmail post needs --dest ZONE:NET/NODE[.POINT]");
    std::string to = o.haveTo ? o.to : "All";

    pktMessage m;
    copyField(m.header.fromName, from.c_str(), sizeof m.header.fromName);
    copyField(m.header.toName, to.c_str(), sizeof m.header.toName);
    copyField(m.header.subject, o.subject.c_str(), sizeof m.header.subject);
    m.origAddr = s.address();  // the server stamps the user's address anyway
    m.destAddr = dest;
    m.areaNumber = area.number;
    m.attributes = attributes;

    // The server does not say which number the message got: compare the lists.
    std::set<uint32_t> before;
    for (const pktMsgHeader& h : s.messages(area)) before.insert(h.msgNumber);
    s.check(s.conn().post(m, text), "post", "the server could not store the message in " + area.tag());
    std::vector<uint32_t> mine;
    for (const pktMsgHeader& h : s.messages(area))
        if (!before.count(h.msgNumber) && fieldText(h.fromName, 36) == from.substr(0, 36) &&
            fieldText(h.subject, 72) == o.subject.substr(0, 72))
            mine.push_back(h.msgNumber);
    if (mine.size() == 1)
        printf("Posted message #%u to %s.\n", mine[0], printable(area.tag()).c_str());
    else
        printf("Posted to %s.\n", printable(area.tag()).c_str());
}

void commandDelete(Session& s, const std::string& areaName, const std::string& numberText) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    s.check(s.conn().deleteMsg(area.number, number), "delete",
            "the server refused to delete message #" + std::to_string(number) + " in " + area.tag() +
                ": there is no such message, or it is not yours to delete (without the super right only "
                "your own messages that are not yet sent)");
    printf("Deleted message #%u from %s.\n", number, printable(area.tag()).c_str());
}

void commandPing(Session& s) {
    auto start = std::chrono::steady_clock::now();
    s.check(s.conn().ping(), "ping");
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("%s answers: logged in as %s, %s; round trip %.3f ms\n", s.where().c_str(), printable(s.user()).c_str(),
           addrText(s.address()).c_str(), ms);
}

struct CommandSpec {
    const char* name;
    size_t arguments;
    const char* usage;
};

const CommandSpec kCommands[] = {
    {"areas", 0, "areas"},
    {"list", 1, "list AREA"},
    {"read", 2, "read AREA NUMBER"},
    {"post", 1, "post AREA"},
    {"delete", 2, "delete AREA NUMBER"},
    {"ping", 0, "ping"},
};

int run(int argc, char** argv) {
    Options o = parseCommandLine(argc, argv);
    if (o.help) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (o.words.empty()) fail(kExitUsage, "no command given (see --help)");
    const std::string& command = o.words[0];
    const CommandSpec* spec = nullptr;
    for (const CommandSpec& c : kCommands)
        if (command == c.name) spec = &c;
    if (!spec) fail(kExitUsage, "unknown command '" + command + "' (see --help)");
    if (o.words.size() != spec->arguments + 1) fail(kExitUsage, std::string("usage: quorva-client ") + spec->usage);
    if (command != "post" && (o.haveTo || o.haveSubject || o.haveDest || o.haveFrom || o.haveAttr))
        fail(kExitUsage, "--to, --subject, --dest, --from and --attr belong to the post command");

    Session s(o);
    if (command == "post") {
        commandPost(s, o, o.words[1]);  // reads its text before it connects
        return kExitOk;
    }
    s.open();
    if (command == "areas") commandAreas(s);
    else if (command == "list") commandList(s, o.words[1]);
    else if (command == "read") commandRead(s, o.words[1], o.words[2]);
    else if (command == "delete") commandDelete(s, o.words[1], o.words[2]);
    else commandPing(s);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        int status = run(argc, argv);
        if (fflush(stdout) != 0) {
            fprintf(stderr, "quorva-client: cannot write the output: %s\n", strerror(errno));
            return kExitUsage;
        }
        return status;
    } catch (const Failure& f) {
        fflush(stdout);
        fprintf(stderr, "quorva-client: %s\n", f.message.c_str());
        return f.status;
    }
}
