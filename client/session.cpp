#include "client/session.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include "client/failure.h"
#include "client/lib/charset.h"
#include "client/message_text.h"
#include "client/terminal.h"

namespace qclient::cli {

const char* areaTypeText(int32_t type) {
    return type == AREA_TYPE_NETMAIL ? "netmail" : type == AREA_TYPE_ECHOMAIL ? "echomail" : "unknown";
}

std::string Area::tag() const { return fieldText(info.name, sizeof info.name); }

std::string Area::shownTag() const { return qclient::displaySafe(headerText(tag(), nullptr)); }

Session::Session(const ConnectionSettings& settings) : settings_(settings) {}

void Session::open() {
    if (!havePassword_) {
        const char* envPassword = getenv("QUORVA_PASSWORD");
        password_ = envPassword ? envPassword : askPassword("Password for " + settings_.user + ": ");
        havePassword_ = true;
    }
    std::string error;
    int errorNumber = 0;
    if (!conn_.connect(settings_.host, settings_.port, &error, &errorNumber))
        fail(kExitConnection, errorNumber == ECONNREFUSED ? error + " (is the server running?)" : error);
    if (settings_.tls) {
        if (settings_.insecure)
            warn("--insecure: the server's certificate is not checked; whoever sits between here and " +
                 where() + " can read and change this session");
        TlsClientOptions tls;
        tls.host = settings_.host;
        tls.caFile = settings_.caFile;
        tls.insecure = settings_.insecure;
        if (!conn_.startTls(tls, &error)) fail(kExitConnection, where() + ": " + error);
    }
    qclient::Status s = conn_.login(settings_.user, password_, settings_.addr);
    if (s == qclient::Status::Refused)
        fail(kExitRefused, "login refused for " + settings_.user + ", " + addrText(settings_.addr) +
                               ": no such user at that address, a wrong password, or the user is already "
                               "connected");
    check(s, "login");
    loggedIn_ = true;
}

void Session::close() {
    if (loggedIn_) conn_.logout();
    loggedIn_ = false;
    conn_.close();
}

std::string Session::where() const { return settings_.host + ":" + std::to_string(settings_.port); }

void Session::check(qclient::Status s, const std::string& what, const std::string& refusal) {
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

std::vector<Area> Session::areas() {
    std::vector<pktAreaInfo> infos;
    check(conn_.getAreaList(infos), "area list");
    std::vector<Area> out;
    for (size_t i = 0; i < infos.size(); ++i) out.push_back(Area{int32_t(i), infos[i]});
    return out;
}

Area Session::findArea(const std::string& name) {
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

std::vector<pktMsgHeader> Session::messages(const Area& area) {
    std::vector<pktMsgHeader> headers;
    check(conn_.getMsgList(area.number, headers), "message list of " + area.tag());
    return headers;
}

}  // namespace qclient::cli
