#include "server/check.h"

#include <cstring>
#include <ctime>
#include <vector>

#include "nntp/groups.h"
#include "server/startup.h"
#include "server/tls_setup.h"
#include "support/log.h"
#include "support/socket.h"

namespace {

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

const char* typeName(const mArea& a) {
    switch (a.type) {
    case AreaType::Netmail: return "netmail";
    case AreaType::Echomail: return "echomail";
    }
    return "unknown type";
}

std::string stateWords(const AreaState& s) {
    if (!s.exists) return "missing";
    std::string w = "exists";
    w += s.readable ? ", readable" : ", not readable";
    w += s.writable ? ", writable" : ", not writable";
    return w;
}

// Tries the address as the server would take it: a port in use fails the check.
void tryListening(const NetAddress& at, std::vector<std::string>& failures) {
    NetAddress bound;
    std::string problem;
    int systemError = 0;
    int socket = openListenSocket(at, bound, problem, systemError);
    if (socket >= 0)
        closeSocket(socket);
    else
        failures.push_back(problem + ": " + strerror(systemError) + " (" + std::to_string(systemError) + ")");
}

}  // namespace

std::string countOf(int n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

int warnAboutAreas(const std::vector<mArea>& areas) {
    int readable = 0;
    for (const mArea& a : areas) {
        AreaState s = inspectArea(a);
        if (s.exists && s.readable) ++readable;
        if (!s.problem.empty()) reportWarning("area %s: %s", a.name.c_str(), s.problem.c_str());
    }
    return readable;
}

int runCheck(const CheckInput& in) {
    const MCArray<rClientInfo>& users = *in.users;
    const std::vector<mArea>& areas = *in.areas;
    // What the reading of the settings found is on the console already.
    std::vector<std::string> failures;
    int errors = in.settings->findings.errors;
    int warnings = in.settings->findings.warnings;

    logLine("settings file: %s\n", in.settingsPath);
    logLine("users: %d\n", int(users.getCount()));
    for (int32_t i = 0; i < users.getCount(); ++i) {
        const rClientInfo& u = *users.getAt(i);
        const FidoAddr& a = u.address;
        logLine("  %s, %u:%u/%u.%u%s\n", fieldText(u.name, sizeof u.name).c_str(), a.zone, a.net, a.node, a.point,
                u.superUser ? ", super" : "");
    }

    logLine("areas: %d\n", int(areas.size()));
    int usable = 0;
    for (size_t i = 0; i < areas.size(); ++i) {
        const mArea& a = areas[i];
        AreaState s = inspectArea(a);
        const std::string& tag = a.name;
        logLine("  %d %s: %s, %s: %s\n", int(i), tag.c_str(), typeName(a), s.kind.c_str(), stateWords(s).c_str());
        if (s.exists && s.readable) ++usable;
        if (!s.problem.empty()) {
            reportWarning("area %s: %s", tag.c_str(), s.problem.c_str());
            ++warnings;
        }
    }
    // Without areas, the settings' own error has said why when tosser configurations were
    // named.
    if (usable == 0 && (!areas.empty() || in.settings->findings.errors == 0)) failures.push_back("no area can be served");

    if (in.listenProblem.empty()) {
        char where[kAddressTextSize];
        addressText(in.listen, where, sizeof where);
        logLine("listen: %s\n", where);
        tryListening(in.listen, failures);
    } else {
        failures.push_back(in.listenProblem);
    }

    // The news door: its groups (areas whose tags make no group name are left out of it),
    // and its address tried like the binary door's.
    const NewsSettings& news = in.settings->news;
    if (news.enabled()) {
        NewsGroups groups;
        groups.build(areas, news.groupPrefix, [&](const std::string& text) {
            reportWarning("%s", text.c_str());
            ++warnings;
        });
        NetAddress newsAt;
        std::string problem;
        const std::string& text = news.listenAddress.empty() ? in.listenText : news.listenAddress;
        if (!listenAddressOf(news.port.c_str(), text.c_str(), newsAt, problem)) {
            failures.push_back("news door: " + (problem.empty() ? "invalid listen address " + text : problem));
        } else {
            char where[kAddressTextSize];
            addressText(newsAt, where, sizeof where);
            logLine("news door: %d groups, listen: %s\n", int(groups.all().size()), where);
            tryListening(newsAt, failures);
        }
    }

    // TLS: the certificate and key as the server would read them, what the certificate
    // says of itself, and the TLS ports tried like the others.
    const TlsSettings& tls = in.settings->tls;
    if (tls.enabled()) {
        TlsSide side;
        std::string problem;
        if (!loadTlsCredentials(tls, side, problem)) {
            failures.push_back("TLS: " + problem);
        } else {
            CertificateVerdict verdict = reportCertificate(tls.certificate, std::time(nullptr));
            if (verdict.warning) ++warnings;
            if (!verdict.problem.empty()) failures.push_back(verdict.problem);
        }
        auto tryPort = [&](const std::string& port, const std::string& text, const char* name) {
            if (port.empty()) return;
            NetAddress at;
            std::string why;
            if (!listenAddressOf(port.c_str(), text.c_str(), at, why)) {
                failures.push_back(std::string(name) + ": " + (why.empty() ? "invalid listen address " + text : why));
                return;
            }
            char where[kAddressTextSize];
            addressText(at, where, sizeof where);
            logLine("%s: listen: %s\n", name, where);
            tryListening(at, failures);
        };
        tryPort(tls.port, in.listenText, "tlsPort");
        if (news.enabled())
            tryPort(tls.newsPort, news.listenAddress.empty() ? in.listenText : news.listenAddress, "nntpsPort");
    }

    for (const std::string& f : failures) reportError(0, "%s", f.c_str());
    errors += int(failures.size());
    std::string verdict;
    if (errors == 0 && (warnings == 0 || !in.strict)) {
        verdict = "check: ok";
        if (warnings > 0) verdict += ", " + countOf(warnings, "warning", "warnings");
        logLine("%s\n", verdict.c_str());
        return 0;
    }
    verdict = "check: failed";
    if (errors > 0) verdict += ", " + countOf(errors, "error", "errors");
    if (warnings > 0) verdict += ", " + countOf(warnings, "warning", "warnings") + (in.strict ? " (--strict)" : "");
    logLine("%s\n", verdict.c_str());
    return 1;
}
