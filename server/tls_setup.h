// The server's certificate: read at the start, again at each reload, and shown by --check.
#pragma once
#include <ctime>
#include <string>

#include "config/config.h"
#include "tls/tls_server.h"

// A certificate this close to its end is a warning.
constexpr std::time_t kCertificateWarningDays = 14;

// Reads the certificate and key the settings name into `side`. False with `error` naming
// the file and the reason; `side` is then as it was.
bool loadTlsCredentials(const TlsSettings& settings, TlsSide& side, std::string& error);

// One line about the certificate ("TLS certificate: CN=..., names ..., valid until ..."),
// and a warning when it ends within kCertificateWarningDays or has ended. `problem` is set
// for a certificate that has ended or is not valid yet; false when it cannot be read.
struct CertificateVerdict {
    bool readable = false;
    bool warning = false;  // ends soon
    std::string problem;   // has ended, or not valid yet
};
CertificateVerdict reportCertificate(const std::string& path, std::time_t now);
