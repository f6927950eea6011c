#include "tls/tls_server.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "tls/tls_errors.h"

namespace {

// Plain text sealed in one go: one record's worth.
constexpr size_t kRecordText = 16 * 1024;
// Records waiting for the socket: no more text is taken while this much waits.
constexpr size_t kOutputHigh = 16 * 1024;
// What the library may write without the peer reading before the session fails (alerts
// answering a flood of the peer's own records).
constexpr size_t kOutputMax = 256 * 1024;
// Read from the socket at a time: one whole record and its header.
constexpr size_t kPullChunk = 16 * 1024 + 512;
// Chunks read in one call: a peer that sends records without text (alerts, empty records)
// does not keep the step for long.
constexpr int kPullsPerCall = 4;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};

}  // namespace

// ---- credentials ----------------------------------------------------------------------------

TlsCredentials::~TlsCredentials() { SSL_CTX_free(context_); }

std::shared_ptr<TlsCredentials> TlsCredentials::load(const std::string& certificatePath, const std::string& keyPath,
                                                     std::string& error) {
    // Each file is opened here first, so that the reason names the file and says it plainly.
    for (const std::string* path : {&certificatePath, &keyPath}) {
        std::unique_ptr<FILE, FileCloser> f(fopen(path->c_str(), "r"));
        if (!f) {
            error = *path + ": " + strerror(errno);
            return nullptr;
        }
    }
    ERR_clear_error();
    std::shared_ptr<TlsCredentials> c(new TlsCredentials());
    c->certificatePath_ = certificatePath;
    c->context_ = SSL_CTX_new(TLS_server_method());
    if (!c->context_) {
        error = "the TLS library cannot make a context: " + takeTlsError();
        return nullptr;
    }
    SSL_CTX* ctx = c->context_;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    // Buffers are given back while a session is idle; resumption works by tickets, which the
    // server does not keep (no session cache grows with the clients).
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // One ticket per handshake is enough to resume; each costs the server a sealing.
    SSL_CTX_set_num_tickets(ctx, 1);
    if (SSL_CTX_use_certificate_chain_file(ctx, certificatePath.c_str()) != 1) {
        error = certificatePath + ": not a PEM certificate (" + takeTlsError() + ")";
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
        const std::string reason = takeTlsError();
        if (reason == "key values mismatch")
            error = keyPath + ": the key does not belong to the certificate " + certificatePath;
        else
            error = keyPath + ": not a PEM private key (" + reason + ")";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        error = keyPath + ": the key does not belong to the certificate " + certificatePath;
        ERR_clear_error();
        return nullptr;
    }
    return c;
}

// ---- certificate facts ------------------------------------------------------------------------

namespace {

std::time_t timeOf(const ASN1_TIME* t) {
    std::tm tm{};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    return timegm(&tm);
}

std::string ipText(const ASN1_OCTET_STRING* ip) {
    char text[INET6_ADDRSTRLEN] = {};
    const int n = ASN1_STRING_length(ip);
    const unsigned char* bytes = ASN1_STRING_get0_data(ip);
    if (n == 4) inet_ntop(AF_INET, bytes, text, sizeof text);
    if (n == 16) inet_ntop(AF_INET6, bytes, text, sizeof text);
    return text;
}

}  // namespace

bool describeCertificate(const std::string& path, CertificateFacts& facts, std::string& error) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "r"));
    if (!f) {
        error = path + ": " + strerror(errno);
        return false;
    }
    ERR_clear_error();
    X509* cert = PEM_read_X509(f.get(), nullptr, nullptr, nullptr);
    if (!cert) {
        error = path + ": not a PEM certificate (" + takeTlsError() + ")";
        return false;
    }
    facts = CertificateFacts();
    if (BIO* b = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(b, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
        char* text = nullptr;
        long n = BIO_get_mem_data(b, &text);
        if (n > 0) facts.subject.assign(text, size_t(n));
        BIO_free(b);
    }
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
        if (g->type == GEN_DNS) {
            const ASN1_STRING* s = g->d.dNSName;
            facts.names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                     size_t(ASN1_STRING_length(s)));
        } else if (g->type == GEN_IPADD) {
            facts.names.push_back(ipText(g->d.iPAddress));
        }
    }
    GENERAL_NAMES_free(names);
    facts.notBefore = timeOf(X509_get0_notBefore(cert));
    facts.notAfter = timeOf(X509_get0_notAfter(cert));
    X509_free(cert);
    return true;
}

std::string utcDateText(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d UTC", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min);
    return text;
}

// ---- one session --------------------------------------------------------------------------------

std::unique_ptr<TlsChannel> TlsChannel::accept(std::shared_ptr<TlsCredentials> credentials) {
    std::unique_ptr<TlsChannel> c(new (std::nothrow) TlsChannel());
    if (!c || !credentials) return nullptr;
    c->credentials_ = std::move(credentials);
    c->ssl_ = SSL_new(c->credentials_->context());
    c->input_ = BIO_new(BIO_s_mem());
    c->output_ = BIO_new(BIO_s_mem());
    if (!c->ssl_ || !c->input_ || !c->output_) {
        BIO_free(c->input_);
        BIO_free(c->output_);
        c->input_ = c->output_ = nullptr;
        ERR_clear_error();
        return nullptr;
    }
    // An empty input is "try again", not the end of the stream.
    BIO_set_mem_eof_return(c->input_, -1);
    BIO_set_mem_eof_return(c->output_, -1);
    SSL_set_bio(c->ssl_, c->input_, c->output_);  // the session owns both from here
    SSL_set_accept_state(c->ssl_);
    return c;
}

TlsChannel::~TlsChannel() { SSL_free(ssl_); }

void TlsChannel::noteLibraryError(const char* what) {
    std::string reason = takeTlsError();
    failure_ = std::string(what) + ": " + (reason.empty() ? "the TLS library failed" : reason);
}

void TlsChannel::collectOutput() {
    size_t pending = BIO_ctrl_pending(output_);
    if (pending == 0) return;
    if (outSent_ > 0 && outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
    const size_t at = out_.size();
    out_.resize(at + pending);
    int n = BIO_read(output_, out_.data() + at, int(pending));
    out_.resize(at + size_t(std::max(n, 0)));
}

Transfer TlsChannel::pull(int socket) {
    static char scratch[kPullChunk];
    Transfer t = receiveSome(socket, scratch, sizeof scratch);
    if (t.status == Transfer::Moved) {
        BIO_write(input_, scratch, int(t.bytes));
        starved_ = false;
    }
    return t;
}

Transfer TlsChannel::flush(int socket) {
    while (outSent_ < out_.size()) {
        Transfer t = sendSome(socket, out_.data() + outSent_, out_.size() - outSent_, nullptr, 0);
        if (t.status == Transfer::WouldBlock) return t;
        if (t.status != Transfer::Moved) {
            if (failure_.empty()) failure_ = std::string("send: ") + strerror(t.error ? t.error : EPIPE);
            if (t.status == Transfer::Closed) t.status = Transfer::Failed;
            if (t.error == 0) t.error = EPIPE;
            return t;
        }
        outSent_ += t.bytes;
    }
    if (out_.capacity() > 4 * kOutputHigh) {
        std::string().swap(out_);
    } else {
        out_.clear();
    }
    outSent_ = 0;
    Transfer done;
    done.status = Transfer::Moved;
    return done;
}

TlsChannel::Progress TlsChannel::handshake(int socket) {
    ERR_clear_error();
    for (int pulls = 0;;) {
        int r = SSL_do_handshake(ssl_);
        collectOutput();
        if (r == 1) {
            established_ = true;
            return flush(socket).status == Transfer::Failed ? Progress::Failed : Progress::Done;
        }
        if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) {
            noteLibraryError("handshake");
            (void)flush(socket);  // the alert that says why, if the socket takes it
            return Progress::Failed;
        }
        if (flush(socket).status == Transfer::Failed) return Progress::Failed;
        if (pulls++ == kPullsPerCall) return Progress::Waiting;
        Transfer t = pull(socket);
        if (t.status == Transfer::Moved) continue;
        if (t.status == Transfer::WouldBlock) {
            starved_ = true;
            return Progress::Waiting;
        }
        failure_ = t.status == Transfer::Closed ? "the peer closed the connection in the handshake"
                                                : std::string("receive: ") + strerror(t.error);
        return Progress::Failed;
    }
}

Transfer TlsChannel::receive(int socket, void* buffer, size_t n) {
    Transfer t;
    if (peerClosed_) {
        t.status = Transfer::Closed;
        return t;
    }
    ERR_clear_error();
    for (int pulls = 0;;) {
        int r = SSL_read(ssl_, buffer, int(std::min<size_t>(n, INT_MAX)));
        int e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
        collectOutput();
        if (out_.size() - outSent_ > kOutputMax) {
            failure_ = "the peer sends records the server must answer but does not read the answers";
            t.status = Transfer::Failed;
            t.error = EPROTO;
            return t;
        }
        if (outputPending()) {
            Transfer f = flush(socket);
            if (f.status == Transfer::Failed) return f;
        }
        if (r > 0) {
            t.status = Transfer::Moved;
            t.bytes = size_t(r);
            return t;
        }
        if (e == SSL_ERROR_ZERO_RETURN) {
            peerClosed_ = true;
            t.status = Transfer::Closed;
            return t;
        }
        if (e != SSL_ERROR_WANT_READ) {
            noteLibraryError("receive");
            t.status = Transfer::Failed;
            t.error = EPROTO;
            return t;
        }
        if (pulls++ == kPullsPerCall) return t;  // WouldBlock: the rest in a later step
        Transfer p = pull(socket);
        if (p.status == Transfer::Moved) continue;
        if (p.status == Transfer::WouldBlock) starved_ = true;
        return p;
    }
}

Transfer TlsChannel::send(int socket, const void* first, size_t n1, const void* second, size_t n2) {
    static unsigned char joined[kRecordText];
    const auto* a = static_cast<const unsigned char*>(first);
    const auto* b = static_cast<const unsigned char*>(second);
    const size_t total = n1 + n2;
    size_t taken = 0;
    Transfer t;
    ERR_clear_error();
    // At most four records per call, as a plain send takes what the socket has room for.
    while (taken < total && taken < 4 * kRecordText) {
        if (out_.size() - outSent_ >= kOutputHigh) {
            Transfer f = flush(socket);
            if (f.status == Transfer::Failed) return f;
            if (out_.size() - outSent_ >= kOutputHigh) break;
        }
        const unsigned char* text;
        size_t length;
        if (taken < n1 && n1 - taken < kRecordText && n2 > 0) {
            // A short first buffer (a packet's header) travels in one record with the start
            // of the second.
            const size_t head = n1 - taken;
            const size_t tail = std::min(n2, kRecordText - head);
            memcpy(joined, a + taken, head);
            memcpy(joined + head, b, tail);
            text = joined;
            length = head + tail;
        } else if (taken < n1) {
            text = a + taken;
            length = std::min(n1 - taken, kRecordText);
        } else {
            text = b + (taken - n1);
            length = std::min(total - taken, kRecordText);
        }
        int r = SSL_write(ssl_, text, int(length));
        if (r <= 0) {
            noteLibraryError("send");
            t.status = Transfer::Failed;
            t.error = EPROTO;
            return t;
        }
        taken += size_t(r);
        collectOutput();
    }
    if (outputPending()) {
        Transfer f = flush(socket);
        if (f.status == Transfer::Failed) return f;
    }
    if (taken == 0) return t;  // WouldBlock
    t.status = Transfer::Moved;
    t.bytes = taken;
    return t;
}

void TlsChannel::close() {
    if (!established_ || !ssl_) return;
    ERR_clear_error();
    (void)SSL_shutdown(ssl_);
    ERR_clear_error();
    collectOutput();
}

bool TlsChannel::inputPending() const {
    if (!established_) return false;
    return SSL_pending(ssl_) > 0 || (!starved_ && !peerClosed_ && BIO_ctrl_pending(input_) > 0);
}

std::string TlsChannel::description() const {
    if (!established_) return "";
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}
