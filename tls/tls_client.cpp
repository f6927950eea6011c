#include "tls/tls_client.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <chrono>
#include <climits>
#include <cerrno>
#include <cstring>

#include "support/socket.h"
#include "tls/tls_errors.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : int(std::min<long long>(left, INT_MAX));
}

}  // namespace

bool TlsClientStream::waitFor(int sslError, int timeoutMs) {
    struct pollfd p {};
    p.fd = socket_;
    p.events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    for (;;) {
        int r = poll(&p, 1, timeoutMs);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

std::unique_ptr<TlsClientStream> TlsClientStream::connect(int socket, const TlsClientOptions& options, int timeoutMs,
                                                          std::string& error) {
    std::unique_ptr<TlsClientStream> s(new TlsClientStream());
    s->socket_ = socket;
    int flags = fcntl(socket, F_GETFL);
    if (flags >= 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    ERR_clear_error();
    s->context_ = SSL_CTX_new(TLS_client_method());
    if (!s->context_) {
        error = "TLS: " + takeTlsError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(s->context_, TLS1_2_VERSION);
    SSL_CTX_set_options(s->context_, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (!options.insecure) {
        const bool loaded = options.caFile.empty()
                                ? SSL_CTX_set_default_verify_paths(s->context_) == 1
                                : SSL_CTX_load_verify_locations(s->context_, options.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            error = "TLS: cannot read the trusted certificates" +
                    (options.caFile.empty() ? std::string(" of the system") : " in " + options.caFile) + ": " +
                    takeTlsError();
            return nullptr;
        }
    }
    s->ssl_ = SSL_new(s->context_);
    if (!s->ssl_ || SSL_set_fd(s->ssl_, socket) != 1) {
        error = "TLS: " + takeTlsError();
        return nullptr;
    }
    NetAddress literal;
    const bool isAddress = parseAddressLiteral(options.host.c_str(), literal);
    if (!isAddress) SSL_set_tlsext_host_name(s->ssl_, options.host.c_str());
    if (!options.insecure) {
        SSL_set_verify(s->ssl_, SSL_VERIFY_PEER, nullptr);
        X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl_);
        const bool named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, options.host.c_str()) == 1
                                     : SSL_set1_host(s->ssl_, options.host.c_str()) == 1;
        if (!named) {
            error = "TLS: cannot check the certificate against " + options.host;
            return nullptr;
        }
    }
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int r = SSL_connect(s->ssl_);
        if (r == 1) return s;
        int e = SSL_get_error(s->ssl_, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (!s->waitFor(e, msLeft(end))) {
                error = "TLS: the server did not finish the handshake in time";
                return nullptr;
            }
            continue;
        }
        long verdict = SSL_get_verify_result(s->ssl_);
        if (verdict != X509_V_OK) {
            error = "TLS: the server's certificate is refused: " +
                    std::string(X509_verify_cert_error_string(verdict));
            ERR_clear_error();
        } else {
            std::string reason = takeTlsError();
            if (reason.empty()) reason = e == SSL_ERROR_SYSCALL ? "the server closed the connection" : "failed";
            error = "TLS: handshake failed: " + reason;
        }
        return nullptr;
    }
}

TlsClientStream::~TlsClientStream() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
}

long TlsClientStream::read(void* buffer, size_t n, int timeoutMs, std::string* error) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ERR_clear_error();
    for (;;) {
        int r = SSL_read(ssl_, buffer, int(std::min<size_t>(n, INT_MAX)));
        if (r > 0) return r;
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (!waitFor(e, msLeft(end))) {
                if (error) *error = "timed out";
                return -1;
            }
            continue;
        }
        if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;  // the end without close_notify
        if (error) *error = "TLS: " + takeTlsError();
        return -1;
    }
}

bool TlsClientStream::write(const void* bytes, size_t n, int timeoutMs, std::string* error) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const char* p = static_cast<const char*>(bytes);
    ERR_clear_error();
    while (n > 0) {
        int r = SSL_write(ssl_, p, int(std::min<size_t>(n, INT_MAX)));
        if (r > 0) {
            p += r;
            n -= size_t(r);
            continue;
        }
        int e = SSL_get_error(ssl_, r);
        if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && waitFor(e, msLeft(end))) continue;
        if (error) *error = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? "timed out" : "TLS: " + takeTlsError();
        return false;
    }
    return true;
}

bool TlsClientStream::pending() const { return SSL_pending(ssl_) > 0; }

void TlsClientStream::shutdown() {
    (void)SSL_shutdown(ssl_);
    ERR_clear_error();
}

std::string TlsClientStream::description() const {
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

std::string TlsClientStream::peerSubject() const {
    X509* cert = SSL_get1_peer_certificate(ssl_);
    if (!cert) return "";
    std::string text;
    if (BIO* b = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(b, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
        char* data = nullptr;
        long n = BIO_get_mem_data(b, &data);
        if (n > 0) text.assign(data, size_t(n));
        BIO_free(b);
    }
    X509_free(cert);
    return text;
}
