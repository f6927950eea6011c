// quorva-client: reads and writes the message areas of a Quorva server from the command
// line. One invocation connects, logs in, runs one command and logs out.
//
// Text is shown in the terminal's charset (the locale): a message is converted from the
// charset its CHRS kludge names, and what is posted is converted from the locale to the
// area's charset and labelled with a CHRS kludge.
//
// Exit status: 0 done, 1 usage or local error, 2 refused by the server (login, unknown
// area or message, delete not allowed), 3 connection failure or a broken conversation.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/lib/charset.h"
#include "client/lib/quorva_client.h"
#include "client/lib/reply_draft.h"
#include "client/lib/threads.h"
#include "support/clock.h"
#include "support/le.h"
#include "fido/attributes.h"
#include "fido/fidodate.h"
#include "wire/packets.h"
#include "support/version.h"

namespace {

// The project's version (CMakeLists.txt), as the server has it.
constexpr const char* kClientVersion = kProgramVersion;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitRefused = 2;
constexpr int kExitConnection = 3;

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr uint16_t kDefaultPort = 9029;

constexpr size_t kNameField = sizeof pktMsgHeader::fromName;
constexpr size_t kSubjectField = sizeof pktMsgHeader::subject;

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
    "  list AREA           list the message headers of an area (as threads with --threads)\n"
    "  thread AREA NUMBER  show the discussion that a message belongs to, as a tree\n"
    "  read AREA NUMBER    show a message: header, kludge lines, text\n"
    "  post AREA           post a message; its text is read from standard input\n"
    "  reply AREA NUMBER   answer a message: write the text under a quote of it, then post\n"
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
    "Charsets:\n"
    "  --charset CS        the area's charset (QUORVA_CHARSET), for example CP866, CP437,\n"
    "                      LATIN-1 or UTF-8\n"
    "'read' shows a message in the terminal's charset (the locale), converted from the\n"
    "charset its CHRS kludge names; a message without one is taken to be in --charset, or\n"
    "CP437. Bytes that do not convert show as replacement characters. 'post' and 'reply'\n"
    "convert the text and the header fields from the locale to --charset, or UTF-8, and\n"
    "label the text with a CHRS kludge; a character that charset cannot hold is refused.\n"
    "'list' and 'thread' show names and subjects as --charset; without it as UTF-8 when\n"
    "they are valid UTF-8, else as CP437.\n"
    "\n"
    "Options of post:\n"
    "  --to NAME           addressee (default \"All\" in echomail; required in netmail)\n"
    "  --subject TEXT      subject (required)\n"
    "  --dest ADDRESS      destination address (required in netmail)\n"
    "  --from NAME         sender name (default: the user name)\n"
    "  --attr WORD         netmail only: attribute bits added to local (0x0100), a number\n"
    "                      (0x0001) or names joined by commas (private,crash,hold,kill,...);\n"
    "                      the server gives new echomail its attributes itself\n"
    "  --allow-empty       post also a text that is empty\n"
    "Text lines end with LF or CR LF; they are stored with CR line ends.\n"
    "\n"
    "Replies: 'reply' opens $VISUAL (or $EDITOR) on a draft that quotes the message; when\n"
    "standard input is not a terminal, the text read from it is put under the quote. The\n"
    "reply goes to the message's sender with \"Re: \" and its subject and a REPLY kludge\n"
    "naming its MSGID; in netmail to the address it came from. An empty or unchanged draft\n"
    "is not posted. --attr (netmail) and --charset apply as for post.\n"
    "\n"
    "Options of list:\n"
    "  --threads           show each reply under the message it answers, indented by depth,\n"
    "                      the replies to one message in date order\n"
    "In 'list' and 'thread', the column Re names the listed message that a message answers\n"
    "('?' when that message is not in the area; such a message starts a thread of its own).\n"
    "\n"
    "  --help              this text\n"
    "  --version           the client's version\n"
    "\n"
    "Exit status: 0 done, 1 usage error, 2 refused by the server, 3 connection failure.\n";

// ---------------------------------------------------------------------------------------
// Command line

struct Options {
    std::string host, port, user, addr;
    std::string to, subject, dest, from, attr, charset;
    bool haveTo = false, haveSubject = false, haveDest = false, haveFrom = false, haveAttr = false;
    bool haveCharset = false;
    bool help = false, version = false, threads = false, allowEmpty = false;
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
    {"charset", &Options::charset, &Options::haveCharset},
};

struct FlagSpec {
    const char* name;
    bool Options::*flag;
};

const FlagSpec kFlagSpecs[] = {
    {"help", &Options::help},
    {"version", &Options::version},
    {"threads", &Options::threads},
    {"allow-empty", &Options::allowEmpty},
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
        if (arg == "-h") {
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
        const FlagSpec* flag = nullptr;
        for (const FlagSpec& f : kFlagSpecs)
            if (name == f.name) flag = &f;
        if (flag) {
            if (inlineValue) fail(kExitUsage, "option --" + name + " takes no value");
            o.*(flag->flag) = true;
            continue;
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
// Text: UTF-8 inside, the terminal's charset outside

std::string gTerminalCodeset = "ANSI_X3.4-1968";

// Prints a line built in UTF-8, in the terminal's charset.
void say(const std::string& utf8) {
    std::string bytes = qclient::encodeForTerminal(utf8, gTerminalCodeset);
    bytes += '\n';
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

bool isZero(const FidoAddr& a) { return a == FidoAddr{}; }

// Text of a fixed field: up to its first zero byte, at most the field size.
std::string fieldText(const char* field, size_t size) { return std::string(field, fieldLength(field, size)); }

// The charset that --charset or QUORVA_CHARSET names; nullptr when neither is given.
const qclient::Charset* givenCharset(const Options& o) {
    std::string name = o.haveCharset ? o.charset : fromEnv("QUORVA_CHARSET");
    if (name.empty()) {
        if (o.haveCharset) fail(kExitUsage, "--charset needs a charset name");
        return nullptr;
    }
    const qclient::Charset* c = qclient::findCharset(name);
    if (!c)
        fail(kExitUsage, std::string(o.haveCharset ? "--charset" : "QUORVA_CHARSET") + ": unknown charset '" + name +
                             "' (known: " + qclient::knownCharsetNames() + ")");
    return c;
}

// Names and subjects of the message list, which come without the message's CHRS kludge.
std::string headerText(const std::string& bytes, const qclient::Charset* given) {
    if (given) return qclient::decodeToUtf8(bytes, given->iconvName);
    if (qclient::isValidUtf8(bytes)) return bytes;
    return qclient::decodeToUtf8(bytes, qclient::cp437Charset().iconvName);
}

// The charset a fetched message is in: the one its CHRS kludge names, else the given one,
// else CP437. An unknown name is reported in `unknownName` and the default is used.
const qclient::Charset& messageCharset(const std::vector<std::string>& lines, const qclient::Charset* given,
                                       std::string& unknownName) {
    const qclient::Charset& fallback = given ? *given : qclient::cp437Charset();
    unknownName.clear();
    std::string name = qclient::chrsName(lines);
    if (name.empty()) return fallback;
    // IBMPC names the IBM PC code page of the writer's machine: the area's own, when that
    // is a code page.
    if (strcasecmp(name.c_str(), "IBMPC") == 0 && given && strncmp(given->name, "CP", 2) == 0) return *given;
    const qclient::Charset* named = qclient::findCharset(name);
    if (named) return *named;
    unknownName = name;
    return fallback;
}

// Pads or cuts a UTF-8 text to exactly `width` characters; a cut text ends with '~'.
std::string column(const std::string& utf8, size_t width) {
    std::string s = qclient::displaySafe(utf8);
    if (qclient::utf8Length(s) > width) {
        size_t keep = 0, chars = 0;
        while (keep < s.size() && chars < width - 1) {
            ++keep;
            while (keep < s.size() && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) ++keep;
            ++chars;
        }
        s.resize(keep);
        s += '~';
    }
    s.append(width - qclient::utf8Length(s), ' ');
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

std::string readAll(FILE* in) {
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
    return bytes;
}

bool isBlank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

// Text of the locale (the terminal, standard input, the editor) as UTF-8; `what` names it
// in the refusal.
std::string localeToUtf8(const std::string& bytes, const std::string& what, bool multiLine) {
    if (bytes.find('\0') != std::string::npos) fail(kExitUsage, what + " holds a zero byte");
    std::string utf8;
    qclient::ConversionError e;
    if (qclient::decodeStrict(bytes, gTerminalCodeset, utf8, e)) return utf8;
    if (e.kind == qclient::ConversionError::Kind::NoConverter)
        fail(kExitUsage, "no conversion from the terminal's charset " + gTerminalCodeset + " to UTF-8");
    char byte[8];
    snprintf(byte, sizeof byte, "0x%02X", e.character.empty() ? 0u : static_cast<unsigned char>(e.character[0]));
    std::string where = multiLine ? " on line " + std::to_string(e.line) + ", column " + std::to_string(e.column)
                                  : " at character " + std::to_string(e.column);
    fail(kExitUsage, what + " is not text in the terminal's charset " + gTerminalCodeset + ": byte " + byte + where +
                         " (set LC_ALL or LANG to the locale the text is written in)");
}

// UTF-8 in the charset of the message about to be posted.
std::string utf8ToCharset(const std::string& utf8, const qclient::Charset& to, const std::string& what,
                          bool multiLine) {
    std::string out;
    qclient::ConversionError e;
    if (qclient::encodeStrict(utf8, to.iconvName, out, e)) return out;
    if (e.kind == qclient::ConversionError::Kind::NoConverter)
        fail(kExitUsage, std::string("no conversion from UTF-8 to ") + to.name + " on this system");
    std::string where = multiLine ? " on line " + std::to_string(e.line) + ", column " + std::to_string(e.column)
                                  : " at character " + std::to_string(e.column);
    if (e.kind == qclient::ConversionError::Kind::BadInput) fail(kExitUsage, what + " is not valid text" + where);
    fail(kExitUsage, what + " has the character '" + qclient::encodeForTerminal(e.character, gTerminalCodeset) +
                         "' (" + qclient::codePointText(e.codePoint) + ")" + where + ", which " + to.name +
                         " cannot represent (choose another --charset)");
}

// A field of the header about to be posted, in its charset and checked against its size.
std::string headerField(const std::string& localeText, const qclient::Charset& to, const std::string& what,
                        size_t size) {
    std::string out = utf8ToCharset(localeToUtf8(localeText, what, false), to, what, false);
    if (out.size() > size)
        fail(kExitUsage, what + " is longer than " + std::to_string(size) + " bytes in " + to.name);
    return out;
}

// A field taken from the message that a reply answers, cut to its size at a character.
std::string cutField(const std::string& bytes, const qclient::Charset& charset, size_t size) {
    if (bytes.size() <= size) return bytes;
    if (charset.level == 4) return std::string(qclient::utf8Prefix(bytes, size));
    return bytes.substr(0, size);
}

// Message text with LF and CR LF line ends turned into the CR that FidoNet text uses.
std::string withCrLineEnds(const std::string& in) {
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
// The reply's draft: a file in the temporary folder, removed unless it must be kept.

class DraftFile {
public:
    explicit DraftFile(const std::string& content) {
        std::string dir = fromEnv("TMPDIR");
        if (dir.empty()) dir = "/tmp";
        std::string pattern = dir + "/quorva-reply-XXXXXX.txt";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemps(name.data(), 4);
        if (fd < 0) fail(kExitUsage, "cannot create the reply's draft in " + dir + ": " + strerror(errno));
        path_ = name.data();
        size_t done = 0;
        while (done < content.size()) {
            ssize_t k = write(fd, content.data() + done, content.size() - done);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                close(fd);
                fail(kExitUsage, "cannot write the reply's draft " + path_ + ": " + strerror(errno));
            }
            done += size_t(k);
        }
        if (close(fd) != 0) fail(kExitUsage, "cannot write the reply's draft " + path_ + ": " + strerror(errno));
    }
    ~DraftFile() {
        if (!keep_ && !path_.empty()) unlink(path_.c_str());
    }
    DraftFile(const DraftFile&) = delete;
    DraftFile& operator=(const DraftFile&) = delete;

    const std::string& path() const { return path_; }
    void keep(bool on = true) { keep_ = on; }
    std::string read() const {
        FILE* f = fopen(path_.c_str(), "rb");
        if (!f) fail(kExitUsage, "cannot read the reply's draft " + path_ + ": " + strerror(errno));
        std::string bytes = readAll(f);
        fclose(f);
        return bytes;
    }

private:
    std::string path_;
    bool keep_ = false;
};

// Runs $VISUAL (or $EDITOR) on a file through the shell, as other Unix programs do; the
// interrupt and quit keys go to the editor while it runs.
void runEditor(DraftFile& draft) {
    std::string editor = fromEnv("VISUAL");
    if (editor.empty()) editor = fromEnv("EDITOR");
    if (editor.empty())
        fail(kExitUsage, "no editor for the reply: set VISUAL or EDITOR, or give the text on standard input");
    fflush(stdout);
    fflush(stderr);
    struct sigaction ignore = {}, oldInt, oldQuit;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    std::string script = editor + " \"$1\"";
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", script.c_str(), "sh", draft.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    pid_t waited = pid;
    if (pid > 0)
        while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    if (pid < 0 || waited < 0) fail(kExitUsage, std::string("cannot run the editor: ") + strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        draft.keep();
        fail(kExitUsage, "the editor '" + editor + "' failed; nothing posted (the draft is kept in " + draft.path() +
                             ")");
    }
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
    // The tag for the terminal (tags are ASCII; anything else is taken as header text).
    std::string shownTag() const { return qclient::displaySafe(headerText(tag(), nullptr)); }
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

    ~Session() { close(); }

    void open() {
        if (!havePassword_) {
            const char* envPassword = getenv("QUORVA_PASSWORD");
            password_ = envPassword ? envPassword : askPassword("Password for " + user_ + ": ");
            havePassword_ = true;
        }
        std::string error;
        int errorNumber = 0;
        if (!conn_.connect(host_, port_, &error, &errorNumber))
            fail(kExitConnection, errorNumber == ECONNREFUSED ? error + " (is the server running?)" : error);
        qclient::Status s = conn_.login(user_, password_, addr_);
        if (s == qclient::Status::Refused)
            fail(kExitRefused, "login refused for " + user_ + ", " + addrText(addr_) +
                                   ": no such user at that address, a wrong password, or the user is already "
                                   "connected");
        check(s, "login");
        loggedIn_ = true;
    }

    // Logs out and closes the connection (a reply is written meanwhile).
    void close() {
        if (loggedIn_) conn_.logout();
        loggedIn_ = false;
        conn_.close();
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
    std::string host_, user_, password_;
    bool havePassword_ = false;
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

// A message ready to be posted: header fields and text in the message's charset, the
// text with its kludges first and CR line ends.
struct Outgoing {
    std::string from, to, subject, text;
    FidoAddr dest;
    uint16_t attributes = kAttrLocal;
};

// Posts and says which number the message got. The server does not say: the lists
// before and after are compared.
void postMessage(Session& s, const Area& area, const Outgoing& out, const std::string& note = "") {
    if (out.text.size() + kMessageRecordSize + 1 > kMaxPostDataSize)
        fail(kExitUsage, "the message text is longer than the server takes (" +
                             std::to_string(kMaxPostDataSize - kMessageRecordSize - 1) + " bytes)");
    pktMessage m;
    copyField(m.header.fromName, out.from.c_str(), sizeof m.header.fromName);
    copyField(m.header.toName, out.to.c_str(), sizeof m.header.toName);
    copyField(m.header.subject, out.subject.c_str(), sizeof m.header.subject);
    m.origAddr = s.address();  // the server stamps the user's address anyway
    m.destAddr = out.dest;
    m.areaNumber = area.number;
    m.attributes = out.attributes;

    std::set<uint32_t> before;
    for (const pktMsgHeader& h : s.messages(area)) before.insert(h.msgNumber);
    s.check(s.conn().post(m, out.text), "post", "the server could not store the message in " + area.tag());
    std::vector<uint32_t> mine;
    for (const pktMsgHeader& h : s.messages(area)) {
        std::string from = fieldText(h.fromName, kNameField);
        // A server may store the user's registered name in place of the one sent.
        if (!before.count(h.msgNumber) && (from == out.from.substr(0, kNameField) || from == s.user()) &&
            fieldText(h.subject, kSubjectField) == out.subject.substr(0, kSubjectField))
            mine.push_back(h.msgNumber);
    }
    if (mine.size() == 1)
        say("Posted message #" + std::to_string(mine[0]) + " to " + area.shownTag() + note + ".");
    else
        say("Posted to " + area.shownTag() + note + ".");
}

// ---------------------------------------------------------------------------------------
// Commands

void commandAreas(Session& s) {
    std::vector<Area> all = s.areas();
    if (all.empty()) {
        say("The server has no areas.");
        return;
    }
    size_t tagWidth = 4;
    for (const Area& a : all) tagWidth = std::max(tagWidth, qclient::utf8Length(a.shownTag()));
    char buf[128];
    snprintf(buf, sizeof buf, "%3s  ", "#");
    std::string head = buf + column("Area", tagWidth);
    snprintf(buf, sizeof buf, "  %-8s  %8s  %6s", "Type", "Messages", "Unread");
    say(head + buf);
    for (const Area& a : all) {
        snprintf(buf, sizeof buf, "%3d  ", a.number);
        std::string row = buf + column(a.shownTag(), tagWidth);
        snprintf(buf, sizeof buf, "  %-8s  %8u  %6u", areaTypeText(a.info.type), a.info.msgCount, a.info.unreadCount);
        say(row + buf);
    }
}

// Header rows of `list` and `thread`: the subject indented by the row's depth.
void printHeaderRows(const std::vector<pktMsgHeader>& headers, const std::vector<qclient::ThreadRow>& rows,
                     const qclient::Charset* given) {
    constexpr size_t kMaxIndent = 30;  // levels; deeper replies line up with the 30th
    std::vector<size_t> parents = qclient::replyParents(headers);
    size_t numberWidth = 1;
    for (const pktMsgHeader& h : headers) numberWidth = std::max(numberWidth, std::to_string(h.msgNumber).size());
    size_t reWidth = std::max<size_t>(2, numberWidth + 1);

    say(rightAligned("#", numberWidth) + "  " + column("Date", 17) + "  " + column("From", 20) + "  " +
        column("To", 20) + "  " + column("Re", reWidth) + "  Subject");
    for (const qclient::ThreadRow& row : rows) {
        const pktMsgHeader& h = headers[row.index];
        std::string re;
        if (parents[row.index] != qclient::kNoParent)
            re = "#" + std::to_string(headers[parents[row.index]].msgNumber);
        else if (h.replyHash)
            re = "?";
        say(rightAligned(std::to_string(h.msgNumber), numberWidth) + "  " + column(packedDateText(h.dateWritten), 17) +
            "  " + column(headerText(fieldText(h.fromName, kNameField), given), 20) + "  " +
            column(headerText(fieldText(h.toName, kNameField), given), 20) + "  " + column(re, reWidth) + "  " +
            std::string(2 * std::min(row.depth, kMaxIndent), ' ') +
            qclient::displaySafe(headerText(fieldText(h.subject, kSubjectField), given)));
    }
}

std::string areaTitle(const Area& area) {
    return area.shownTag() + " (area " + std::to_string(area.number) + ", " + areaTypeText(area.info.type) + ")";
}

void commandList(Session& s, const std::string& areaName, bool threads, const qclient::Charset* given) {
    Area area = s.findArea(areaName);
    std::vector<pktMsgHeader> headers = s.messages(area);
    std::string title = areaTitle(area) + ": " + std::to_string(headers.size()) + " message" +
                        (headers.size() == 1 ? "" : "s");
    std::vector<qclient::ThreadRow> rows;
    if (threads) {
        rows = qclient::threadRows(headers);
        size_t trees = size_t(std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.depth == 0; }));
        title += " in " + std::to_string(trees) + " thread" + (trees == 1 ? "" : "s");
    } else {
        for (size_t i = 0; i < headers.size(); ++i) rows.push_back(qclient::ThreadRow{i, 0, false});
    }
    say(title);
    if (!headers.empty()) printHeaderRows(headers, rows, given);
}

void commandThread(Session& s, const std::string& areaName, const std::string& numberText,
                   const qclient::Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    std::vector<pktMsgHeader> headers = s.messages(area);
    std::vector<qclient::ThreadRow> rows = qclient::threadRowsOf(headers, number);
    if (rows.empty()) fail(kExitRefused, "no message #" + std::to_string(number) + " in " + area.tag());
    say("Thread of #" + std::to_string(number) + " in " + areaTitle(area) + ": " + std::to_string(rows.size()) +
        " message" + (rows.size() == 1 ? "" : "s"));
    printHeaderRows(headers, rows, given);
}

// A fetched message; the refusal names the message.
void fetchMessage(Session& s, const Area& area, uint32_t number, pktMessage& m, std::vector<std::string>& lines,
                  const std::string& what) {
    s.check(s.conn().getMessage(area.number, number, m, lines), what,
            "no message #" + std::to_string(number) + " in " + area.tag() + " (or it cannot be read)");
}

const qclient::Charset& fetchedCharset(const std::vector<std::string>& lines, const qclient::Charset* given,
                                       uint32_t number) {
    std::string unknown;
    const qclient::Charset& c = messageCharset(lines, given, unknown);
    if (!unknown.empty())
        fprintf(stderr, "quorva-client: message #%u names the charset '%s' in its CHRS kludge, which this client does "
                        "not know; it is shown as %s\n",
                number, qclient::encodeForTerminal(qclient::displaySafe(unknown), gTerminalCodeset).c_str(), c.name);
    return c;
}

void commandRead(Session& s, const std::string& areaName, const std::string& numberText,
                 const qclient::Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    pktMessage m;
    std::vector<std::string> lines;
    fetchMessage(s, area, number, m, lines, "read");
    const qclient::Charset& charset = fetchedCharset(lines, given, number);
    auto text = [&](const std::string& bytes) {
        return qclient::displaySafe(qclient::decodeToUtf8(bytes, charset.iconvName));
    };

    auto withAddr = [](const std::string& name, const FidoAddr& a) {
        return isZero(a) ? name : name + ", " + addrText(a);
    };
    say("Message #" + std::to_string(m.header.msgNumber) + " in " + areaTitle(area));
    say("From:    " + withAddr(text(fieldText(m.header.fromName, kNameField)), m.origAddr));
    say("To:      " + withAddr(text(fieldText(m.header.toName, kNameField)), m.destAddr));
    say("Subject: " + text(fieldText(m.header.subject, kSubjectField)));
    say("Date:    " + packedDateText(m.header.dateWritten));
    say("Attr:    " + attrText(m.attributes));

    std::vector<std::string> kludges, body;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '\x01')
            kludges.push_back("^A" + text(line.substr(1)));
        else
            body.push_back(text(line));
    }
    if (!kludges.empty()) {
        say("Kludges:");
        for (const std::string& k : kludges) say("  " + k);
    }
    say("--------------------------------------------------------------------------");
    for (const std::string& t : body) say(t);
}

void commandPost(Session& s, const Options& o, const std::string& areaName, const qclient::Charset* given) {
    if (!o.haveSubject) fail(kExitUsage, "post needs --subject TEXT");
    const qclient::Charset& charset = given ? *given : qclient::utf8Charset();
    Outgoing out;
    if (o.haveAttr) out.attributes = kAttrLocal | parseAttributes(o.attr);
    if (o.haveDest) out.dest = parseAddress(o.dest, "--dest");
    out.from = o.haveFrom ? headerField(o.from, charset, "--from", kNameField)
                          : headerField(s.user(), charset, "the user name", kNameField);
    out.to = headerField(o.haveTo ? o.to : "All", charset, "--to", kNameField);
    out.subject = headerField(o.subject, charset, "--subject", kSubjectField);

    // The text is read before the connection is made: the session does not wait for a
    // person typing.
    if (isatty(STDIN_FILENO)) fprintf(stderr, "Enter the message text; end it with Ctrl-D on a line of its own.\n");
    std::string utf8 = localeToUtf8(readAll(stdin), "the message text", true);
    if (isBlank(utf8) && !o.allowEmpty)
        fail(kExitUsage, "the message text is empty: nothing posted (--allow-empty posts it anyway)");
    out.text = qclient::chrsKludge(charset) + "\r" +
               withCrLineEnds(utf8ToCharset(utf8, charset, "the message text", true));

    s.open();
    Area area = s.findArea(areaName);
    bool netmail = area.info.type == AREA_TYPE_NETMAIL;
    if (netmail && !o.haveTo) fail(kExitUsage, "a netmail post needs --to NAME");
    if (netmail && !o.haveDest) fail(kExitUsage, "a netmail post needs --dest ZONE:NET/NODE[.POINT]");
    if (!netmail && o.haveAttr)
        fail(kExitUsage, "--attr applies to netmail only: the server gives every new echomail message its own "
                         "attribute word; nothing posted");
    postMessage(s, area, out);
}

void commandReply(Session& s, const Options& o, const std::string& areaName, const std::string& numberText,
                  const qclient::Charset* given) {
    uint32_t number = parseMessageNumber(numberText);
    const qclient::Charset& charset = given ? *given : qclient::utf8Charset();
    Outgoing out;
    if (o.haveAttr) out.attributes = kAttrLocal | parseAttributes(o.attr);
    out.from = headerField(s.user(), charset, "the user name", kNameField);

    s.open();
    Area area = s.findArea(areaName);
    bool netmail = area.info.type == AREA_TYPE_NETMAIL;
    if (!netmail && o.haveAttr)
        fail(kExitUsage, "--attr applies to netmail only: the server gives every new echomail message its own "
                         "attribute word");
    pktMessage original;
    std::vector<std::string> lines;
    fetchMessage(s, area, number, original, lines, "reply");
    s.close();  // the reply may take a while to write

    const qclient::Charset& originalCharset = fetchedCharset(lines, given, number);
    auto asUtf8 = [&](const std::string& bytes) { return qclient::decodeToUtf8(bytes, originalCharset.iconvName); };
    std::string originalFrom = asUtf8(fieldText(original.header.fromName, kNameField));
    std::vector<std::string> utf8Lines;
    for (const std::string& line : lines) utf8Lines.push_back(asUtf8(line));

    out.to = cutField(utf8ToCharset(originalFrom, charset, "the original's sender name", false), charset, kNameField);
    std::string subject = qclient::replySubject(asUtf8(fieldText(original.header.subject, kSubjectField)));
    out.subject = cutField(utf8ToCharset(subject, charset, "the reply's subject", false), charset, kSubjectField);
    if (netmail) out.dest = qclient::replyDestination(lines, original.origAddr);
    std::string msgId = qclient::kludgeValue(lines, "MSGID");
    if (msgId.empty())
        fprintf(stderr, "quorva-client: message #%u has no MSGID: the reply cannot name it in a REPLY kludge\n",
                number);

    std::string quote;
    for (const std::string& line : qclient::quoteLines(utf8Lines, originalFrom))
        quote += qclient::displaySafe(line) + "\n";
    if (!quote.empty()) quote += "\n";
    std::string draft = qclient::encodeForTerminal(quote, gTerminalCodeset);

    std::string written;
    std::unique_ptr<DraftFile> file;
    if (isatty(STDIN_FILENO)) {
        file = std::make_unique<DraftFile>(draft);
        runEditor(*file);
        written = file->read();
        if (written == draft || isBlank(written))
            fail(kExitUsage, "the draft was left empty or unchanged: nothing posted");
    } else {
        std::string added = readAll(stdin);
        if (isBlank(added)) fail(kExitUsage, "no text on standard input: nothing posted");
        written = draft + added;
    }
    // The draft stays until the reply is posted: a refusal from here on must not lose it.
    if (file) file->keep();
    try {
        std::string text =
            utf8ToCharset(localeToUtf8(written, "the reply's text", true), charset, "the reply's text", true);
        if (!text.empty() && text.back() != '\n') text += '\n';
        out.text = msgId.empty() ? std::string() : "\x01" "REPLY: " + msgId + "\r";
        out.text += qclient::chrsKludge(charset) + "\r" + withCrLineEnds(text);

        s.open();
        postMessage(s, s.findArea(std::to_string(area.number)), out, ", a reply to #" + std::to_string(number));
    } catch (Failure& f) {
        if (file) f.message += " (the draft is kept in " + file->path() + ")";
        throw;
    }
    if (file) file->keep(false);
}

void commandDelete(Session& s, const std::string& areaName, const std::string& numberText) {
    uint32_t number = parseMessageNumber(numberText);
    Area area = s.findArea(areaName);
    s.check(s.conn().deleteMsg(area.number, number), "delete",
            "the server refused to delete message #" + std::to_string(number) + " in " + area.tag() +
                ": there is no such message, or it is not yours to delete (without the super right only "
                "your own messages that are not yet sent)");
    say("Deleted message #" + std::to_string(number) + " from " + area.shownTag() + ".");
}

void commandPing(Session& s) {
    auto start = std::chrono::steady_clock::now();
    s.check(s.conn().ping(), "ping");
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char roundTrip[64];
    snprintf(roundTrip, sizeof roundTrip, "; round trip %.3f ms", ms);
    say(s.where() + " answers: logged in as " +
        qclient::displaySafe(qclient::decodeToUtf8(s.user(), gTerminalCodeset.c_str())) + ", " +
        addrText(s.address()) + roundTrip);
}

struct CommandSpec {
    const char* name;
    size_t arguments;
    const char* usage;
};

const CommandSpec kCommands[] = {
    {"areas", 0, "areas"},
    {"list", 1, "list AREA"},
    {"thread", 2, "thread AREA NUMBER"},
    {"read", 2, "read AREA NUMBER"},
    {"post", 1, "post AREA"},
    {"reply", 2, "reply AREA NUMBER"},
    {"delete", 2, "delete AREA NUMBER"},
    {"ping", 0, "ping"},
};

int run(int argc, char** argv) {
    Options o = parseCommandLine(argc, argv);
    if (o.help) {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (o.version) {
        printf("quorva-client %s\n", kClientVersion);
        return kExitOk;
    }
    if (o.words.empty()) fail(kExitUsage, "no command given (see --help)");
    const std::string& command = o.words[0];
    const CommandSpec* spec = nullptr;
    for (const CommandSpec& c : kCommands)
        if (command == c.name) spec = &c;
    if (!spec) fail(kExitUsage, "unknown command '" + command + "' (see --help)");
    if (o.words.size() != spec->arguments + 1) fail(kExitUsage, std::string("usage: quorva-client ") + spec->usage);
    if (command != "post" && (o.haveTo || o.haveSubject || o.haveDest || o.haveFrom || o.allowEmpty))
        fail(kExitUsage, "--to, --subject, --dest, --from and --allow-empty belong to the post command");
    if (command != "post" && command != "reply" && o.haveAttr)
        fail(kExitUsage, "--attr belongs to the post and reply commands");
    if (command != "list" && o.threads) fail(kExitUsage, "--threads belongs to the list command");

    setlocale(LC_CTYPE, "");
    gTerminalCodeset = qclient::localeCodeset();
    const qclient::Charset* given = givenCharset(o);

    Session s(o);
    if (command == "post") {
        commandPost(s, o, o.words[1], given);  // reads its text before it connects
        return kExitOk;
    }
    if (command == "reply") {
        commandReply(s, o, o.words[1], o.words[2], given);
        return kExitOk;
    }
    s.open();
    if (command == "areas") commandAreas(s);
    else if (command == "list") commandList(s, o.words[1], o.threads, given);
    else if (command == "thread") commandThread(s, o.words[1], o.words[2], given);
    else if (command == "read") commandRead(s, o.words[1], o.words[2], given);
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
