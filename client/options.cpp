#include "client/options.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "client/failure.h"
#include "fido/attributes.h"

namespace qclient::cli {

namespace {

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr uint16_t kDefaultPort = 9029;

const char kUsageBeforeAttributeNames[] =
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
    "  --tls               speak TLS (QUORVA_TLS=1), to the server's tlsPort; its certificate\n"
    "                      must be trusted by the system and carry HOST\n"
    "  --ca FILE           trust the certificates in FILE (PEM) instead (QUORVA_CA); implies\n"
    "                      --tls\n"
    "  --insecure          TLS without checking the certificate at all (a warning each run)\n"
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
    "Without --charset a reply keeps the original's charset when it can (see Replies).\n"
    "'list' and 'thread' show names and subjects as --charset; without it as UTF-8 when\n"
    "they are valid UTF-8, else as CP437.\n"
    "\n"
    "Options of post:\n"
    "  --to NAME           addressee (default \"All\" in echomail; required in netmail)\n"
    "  --subject TEXT      subject (required)\n"
    "  --dest ADDRESS      destination address (required in netmail)\n"
    "  --from NAME         sender name (default: the user name)\n"
    "  --attr WORD         netmail only: attribute bits added to local (0x0100), a number\n"
    "                      (0x0001) or names joined by commas (private,crash); the server\n"
    "                      gives new echomail its attributes itself. The names:\n";
// Between the two parts go the attribute names, from the table that --attr reads.
const char kUsageAfterAttributeNames[] =
    "  --allow-empty       post also a text that is empty\n"
    "Text lines end with LF or CR LF; they are stored with CR line ends.\n"
    "\n"
    "Replies: 'reply' opens $VISUAL (or $EDITOR) on a draft that quotes the message; when\n"
    "standard input is not a terminal, the text read from it is put under the quote. The\n"
    "reply goes to the message's sender with \"Re: \" and its subject and a REPLY kludge\n"
    "naming its MSGID; in netmail to the address it came from. An empty or unchanged draft\n"
    "is not posted. The reply is written in the charset that the original's CHRS kludge\n"
    "names when all of it fits there, else in UTF-8; --charset chooses another. A reply to\n"
    "private netmail is private. --attr (netmail) applies as for post.\n"
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
    {"ca", &Options::ca, nullptr},
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
    {"tls", &Options::tls},
    {"insecure", &Options::insecure},
};

// The attribute names, as many to a line as fit in the help's second column.
std::string attributeNameLines() {
    constexpr size_t kIndent = 22, kWidth = 88;
    const std::string indent(kIndent, ' ');
    std::string lines, line;
    for (const AttributeName& a : kAttributeNames) {
        std::string word = a.name;
        if (&a != &kAttributeNames[std::size(kAttributeNames) - 1]) word += ',';
        if (!line.empty() && kIndent + line.size() + 1 + word.size() > kWidth) {
            lines += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return lines + indent + line + "\n";
}

}  // namespace

std::string usageText() {
    return kUsageBeforeAttributeNames + attributeNameLines() + kUsageAfterAttributeNames;
}

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

ConnectionSettings connectionSettings(const Options& o) {
    ConnectionSettings c;
    c.host = !o.host.empty() ? o.host : !fromEnv("QUORVA_HOST").empty() ? fromEnv("QUORVA_HOST") : kDefaultHost;
    std::string portText = !o.port.empty() ? o.port : fromEnv("QUORVA_PORT");
    c.port = kDefaultPort;
    if (!portText.empty()) {
        char* end = nullptr;
        errno = 0;
        long p = strtol(portText.c_str(), &end, 10);
        if (errno || *end || p < 1 || p > 65535) fail(kExitUsage, "port '" + portText + "' is not a port number");
        c.port = uint16_t(p);
    }
    c.user = !o.user.empty() ? o.user : fromEnv("QUORVA_USER");
    if (c.user.empty()) fail(kExitUsage, "no user name: give --user NAME or set QUORVA_USER");
    if (c.user.size() > 36) fail(kExitUsage, "user name longer than 36 characters");
    std::string addr = !o.addr.empty() ? o.addr : fromEnv("QUORVA_ADDR");
    if (addr.empty()) fail(kExitUsage, "no address: give --addr ZONE:NET/NODE[.POINT] or set QUORVA_ADDR");
    c.addr = parseAddress(addr, "address");
    c.caFile = !o.ca.empty() ? o.ca : fromEnv("QUORVA_CA");
    c.insecure = o.insecure;
    const std::string tlsVariable = fromEnv("QUORVA_TLS");
    if (!tlsVariable.empty() && tlsVariable != "0" && tlsVariable != "1")
        fail(kExitUsage, "QUORVA_TLS='" + tlsVariable + "': 1 for TLS, 0 or unset for none");
    c.tls = o.tls || tlsVariable == "1" || !c.caFile.empty() || c.insecure;
    return c;
}

const Charset* givenCharset(const Options& o) {
    std::string name = o.haveCharset ? o.charset : fromEnv("QUORVA_CHARSET");
    if (name.empty()) {
        if (o.haveCharset) fail(kExitUsage, "--charset needs a charset name");
        return nullptr;
    }
    const Charset* c = findCharset(name);
    if (!c)
        fail(kExitUsage, std::string(o.haveCharset ? "--charset" : "QUORVA_CHARSET") + ": unknown charset '" + name +
                             "' (known: " + knownCharsetNames() + ")");
    return c;
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

uint32_t parseMessageNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        fail(kExitUsage, "'" + text + "' is not a message number");
    unsigned long long n = strtoull(text.c_str(), nullptr, 10);
    if (n > 0xFFFFFFFFull) fail(kExitUsage, "'" + text + "' is not a message number");
    return uint32_t(n);
}

}  // namespace qclient::cli
