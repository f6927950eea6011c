// TLS on the server's side: the certificate and key every TLS session is made with, and one
// session's channel over a non-blocking socket. The channel runs the library on memory
// buffers: it reads the socket only when the library needs more, and what the library
// writes waits in a buffer of its own until the socket takes it, so that a peer that stops
// reading or stops mid-record holds at most about two records of the server's memory.
#pragma once
#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/socket.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

// A certificate (PEM, the chain after it) and its private key, loaded into a context with
// TLS 1.2 as the oldest version, the library's secure defaults, no compression and no
// renegotiation. Sessions keep the credentials they began with: a reload makes a new
// object, and the old one lives on until its last session ends.
class TlsCredentials {
public:
    // Nullptr with `error` naming the file and the reason when either file cannot be
    // read, is not PEM, or the key does not belong to the certificate.
    static std::shared_ptr<TlsCredentials> load(const std::string& certificatePath, const std::string& keyPath,
                                                std::string& error);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    SSL_CTX* context() const { return context_; }
    const std::string& certificatePath() const { return certificatePath_; }

private:
    TlsCredentials() = default;
    SSL_CTX* context_ = nullptr;
    std::string certificatePath_;
};

// What a certificate says of itself, for --check and the console.
struct CertificateFacts {
    std::string subject;             // "CN=news.example.org"
    std::vector<std::string> names;  // the subject alternative names: DNS names and addresses
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
};
// The first certificate of a PEM file. False with `error` when it cannot be read.
bool describeCertificate(const std::string& path, CertificateFacts& facts, std::string& error);
// "2027-03-01 12:00 UTC"
std::string utcDateText(std::time_t t);

// The credentials in force for the listeners and for STARTTLS; empty without a certificate.
// A reload replaces them; the sessions already begun keep theirs.
struct TlsSide {
    std::shared_ptr<TlsCredentials> credentials;
    bool available() const { return credentials != nullptr; }
};

// One server session's TLS over a non-blocking socket.
class TlsChannel {
public:
    // Nullptr when the library cannot make a session (out of memory).
    static std::unique_ptr<TlsChannel> accept(std::shared_ptr<TlsCredentials> credentials);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    enum class Progress { Done, Waiting, Failed };
    // Takes what has arrived of the peer's handshake, answers it and sends what the socket
    // takes. Failed with failure() telling why.
    Progress handshake(int socket);
    bool handshaking() const { return !established_; }

    // Plain text out of what has arrived, as receiveSome: Closed at the peer's close_notify
    // or the end of the connection, Failed for a damaged record (failure() tells).
    Transfer receive(int socket, void* buffer, size_t n);
    // Plain text from two buffers in order, as sendSome: Moved for what was taken (sealed
    // in records, sent or waiting for the socket), WouldBlock while the records already
    // waiting fill the channel's buffer.
    Transfer send(int socket, const void* first, size_t n1, const void* second, size_t n2);
    // Sends what waits of the records; Failed when the socket failed.
    Transfer flush(int socket);
    // Queues the close_notify alert (sent by flush).
    void close();

    // Records wait for the socket.
    bool outputPending() const { return outSent_ < out_.size(); }
    size_t outputWaiting() const { return out_.size() - outSent_; }
    // Whether receive would give plain text without the socket's help: text the library
    // holds, or records that arrived whole but were not read yet.
    bool inputPending() const;
    const std::string& failure() const { return failure_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", once established.
    std::string description() const;

private:
    TlsChannel() = default;
    // Moves what the library wrote into the send buffer.
    void collectOutput();
    // Reads one chunk of the socket into the library's input. Moved, WouldBlock, Closed or
    // Failed, as receiveSome.
    Transfer pull(int socket);
    void noteLibraryError(const char* what);

    std::shared_ptr<TlsCredentials> credentials_;
    SSL* ssl_ = nullptr;
    BIO* input_ = nullptr;   // records from the peer, not yet read by the library
    BIO* output_ = nullptr;  // records from the library, before they move to out_
    std::string out_;
    size_t outSent_ = 0;
    bool established_ = false;
    bool starved_ = false;  // the library's input holds only part of a record
    bool peerClosed_ = false;
    std::string failure_;
};
