// quorva-client's command line and environment: the options, the help text, and the
// checks that turn option values into what the commands use.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fido/charset.h"
#include "fido/fidoaddr.h"

namespace qclient::cli {

// The text of --help.
std::string usageText();

struct Options {
    std::string host, port, user, addr, ca;
    std::string to, subject, dest, from, attr, charset;
    bool haveTo = false, haveSubject = false, haveDest = false, haveFrom = false, haveAttr = false;
    bool haveCharset = false;
    bool help = false, version = false, threads = false, allowEmpty = false;
    bool tls = false, insecure = false;
    std::vector<std::string> words;  // the command and its arguments
};

Options parseCommandLine(int argc, char** argv);

// An environment variable; empty when it is not set.
std::string fromEnv(const char* name);

// Where to connect and as whom: the options, else the QUORVA_ variables, else the defaults.
struct ConnectionSettings {
    std::string host;
    uint16_t port;
    std::string user;
    FidoAddr addr;
    bool tls = false;       // --tls, QUORVA_TLS=1, or implied by --ca or --insecure
    std::string caFile;     // --ca, QUORVA_CA: trusted certificates instead of the system's
    bool insecure = false;  // --insecure: the certificate is not checked
};
ConnectionSettings connectionSettings(const Options& o);

// The charset that --charset or QUORVA_CHARSET names; nullptr when neither is given.
const Charset* givenCharset(const Options& o);

// --attr: a number, or attribute names joined by commas.
uint16_t parseAttributes(const std::string& text);
FidoAddr parseAddress(const std::string& text, const char* what);
uint32_t parseMessageNumber(const std::string& text);

}  // namespace qclient::cli
