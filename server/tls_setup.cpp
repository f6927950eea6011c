#include "server/tls_setup.h"

#include "support/log.h"

bool loadTlsCredentials(const TlsSettings& settings, TlsSide& side, std::string& error) {
    std::shared_ptr<TlsCredentials> fresh = TlsCredentials::load(settings.certificate, settings.key, error);
    if (!fresh) return false;
    side.credentials = std::move(fresh);
    return true;
}

CertificateVerdict reportCertificate(const std::string& path, std::time_t now) {
    CertificateVerdict v;
    CertificateFacts facts;
    std::string error;
    if (!describeCertificate(path, facts, error)) {
        reportError(0, "TLS certificate %s", error.c_str());
        return v;
    }
    v.readable = true;
    std::string names;
    for (const std::string& n : facts.names) names += (names.empty() ? "" : ", ") + n;
    const long long days = (static_cast<long long>(facts.notAfter) - now) / 86400;
    logLine("TLS certificate: %s; names: %s; valid until %s (%lld %s)\n", facts.subject.c_str(),
            names.empty() ? "none" : names.c_str(), utcDateText(facts.notAfter).c_str(), days < 0 ? 0 : days,
            days == 1 ? "day" : "days");
    if (facts.notAfter <= now) {
        v.problem = "the TLS certificate " + path + " has expired (" + utcDateText(facts.notAfter) + ")";
    } else if (facts.notBefore > now) {
        v.problem = "the TLS certificate " + path + " is not valid before " + utcDateText(facts.notBefore);
    } else if (facts.notAfter - now < kCertificateWarningDays * 86400) {
        v.warning = true;
        reportWarning("the TLS certificate %s expires in %lld %s (%s): renew it, then send SIGHUP", path.c_str(), days,
                      days == 1 ? "day" : "days", utcDateText(facts.notAfter).c_str());
    }
    return v;
}
