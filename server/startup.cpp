#include "server/startup.h"

#include <arpa/inet.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/log.h"
#include "support/socket.h"
#include "support/version.h"

void printBanner() {
    char title[32];
    snprintf(title, sizeof title, "QUORVA v%s", kProgramVersion);
    printf("\n");
    printf("+---------------------------------+\n");
    printf("!                                 !#\n");
    printf("!  %-31s!#\n", title);
    printf("!                                 !#\n");
    printf("+---------------------------------+#\n");
    printf(" ###################################\n");
    printf("\n");
    printf("Build %s %s\n", __DATE__, __TIME__);
    printf("\n");
    fflush(stdout);
}

bool deriveSettingsPath(const char* programPath, char* out, size_t size) {
    const char* slash = strrchr(programPath, '/');
    const char* name = slash ? slash + 1 : programPath;
    const char* dot = strrchr(name, '.');
    size_t keep = dot ? size_t(dot - programPath) : strlen(programPath);
    if (keep + 5 > size) {
        out[0] = 0;
        return false;
    }
    memcpy(out, programPath, keep);
    memcpy(out + keep, ".INI", 5);
    return true;
}

void fatalError(int systemError, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    reportError(systemError, "%s", message);
    fflush(stdout);
    exit(1);
}

bool listenAddressOf(const char* portText, const char* addressText, NetAddress& out, std::string& problem) {
    NetAddress address = anyIPv4Address();
    bool hasPort = false;
    if (addressText && *addressText && !parseListenText(addressText, address, hasPort)) return false;
    if (!hasPort) {
        uint16_t port;
        if (!resolvePort(portText, port)) {
            problem = std::string("unknown service: ") + portText + "\n";
            return false;
        }
        address.port = ntohs(port);
    }
    out = address;
    return true;
}

int openListenSocket(const NetAddress& address, NetAddress& bound, std::string& problem, int& systemError) {
    char where[kAddressTextSize];
    addressText(address, where, sizeof where);
    ListenFailure failure;
    int s = openListenSocket(address, failure);
    if (s >= 0) {
        if (!localAddress(s, bound)) bound = address;
        return s;
    }
    // The set-up's own text, with the address and port it was for.
    const char* call = "listen";
    switch (failure.step) {
    case ListenStep::Socket: call = "socket"; break;
    case ListenStep::Option: call = "setsockopt"; break;
    case ListenStep::Bind: call = "bind"; break;
    case ListenStep::Listen: break;
    }
    problem = std::string(where) + ": error " + call + "() call";
    systemError = failure.systemError;
    return -1;
}

int openListenSocketOrExit(const NetAddress& address, NetAddress& bound) {
    std::string problem;
    int systemError = 0;
    int s = openListenSocket(address, bound, problem, systemError);
    if (s < 0) fatalError(systemError, "%s", problem.c_str());
    return s;
}
