// TLS on the client's side: a session over a connected socket, the server's certificate
// checked against the system's trusted certificates or a file of them, and the server's
// name (or address) against the certificate. Reads and writes wait at most a given time.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

struct TlsClientOptions {
    std::string host;    // the name (or address literal) the certificate must carry
    std::string caFile;  // trusted certificates (PEM); empty for the system's
    bool insecure = false;  // no check at all: the caller warns its user
};

class TlsClientStream {
public:
    // Runs the handshake on a connected socket (made non-blocking here), waiting at most
    // timeoutMs. Nullptr with `error` saying why: the certificate's refusal names its
    // reason ("certificate has expired", "hostname mismatch").
    static std::unique_ptr<TlsClientStream> connect(int socket, const TlsClientOptions& options, int timeoutMs,
                                                    std::string& error);
    ~TlsClientStream();
    TlsClientStream(const TlsClientStream&) = delete;
    TlsClientStream& operator=(const TlsClientStream&) = delete;

    // Up to n bytes: their number, 0 at the server's end of the session, -1 on failure
    // or when nothing came within timeoutMs (`error` says which).
    long read(void* buffer, size_t n, int timeoutMs, std::string* error = nullptr);
    // All n bytes within timeoutMs, or false.
    bool write(const void* bytes, size_t n, int timeoutMs, std::string* error = nullptr);
    // Text that arrived and was not read yet.
    bool pending() const;
    // Sends close_notify (without waiting for the server's).
    void shutdown();
    // "TLSv1.3 TLS_AES_256_GCM_SHA384"
    std::string description() const;
    // The server certificate's subject ("CN=news.example.org").
    std::string peerSubject() const;

private:
    TlsClientStream() = default;
    // Waits until the socket is ready as the library asked; false at the time's end.
    bool waitFor(int sslError, int timeoutMs);
    int socket_ = -1;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
};
