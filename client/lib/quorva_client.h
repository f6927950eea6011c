// Client library: one TCP connection to a Quorva server, the login exchange, the
// commands, and the reply reader that expands compressed blocks.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tls/tls_client.h"
#include "wire/packets.h"

namespace qclient {

struct Reply {
    uint32_t cmd = 0;
    uint32_t rawSize = 0;  // dataSize as it came over the wire (bit 31 for a compressed block)
    std::vector<uint8_t> data;  // the data, expanded when it came compressed
};

enum class Status {
    Ok,       // the server answered CID_S_OK (or the expected reply)
    Refused,  // the server answered CID_S_FAIL
    Closed,   // the server closed the connection
    Error,    // transport failure, time-out or a malformed reply
};
const char* statusText(Status s);

// Password field of a user record: the text zero-padded (or cut) to 36 bytes.
void passwordKey(const std::string& password, uint8_t key[36]);

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // On failure, `error` says why and `errorNumber` holds the system's error of the last
    // connection attempt (ECONNREFUSED when nothing listens there), 0 when the host name
    // could not be resolved.
    bool connect(const std::string& host, uint16_t port, std::string* error = nullptr, int* errorNumber = nullptr);
    // After connect: TLS over the connection, the server's certificate checked as
    // `options` say. False with `error` naming the reason (the connection is closed).
    bool startTls(const TlsClientOptions& options, std::string* error = nullptr);
    bool secure() const { return tls_ != nullptr; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once TLS is on.
    std::string tlsDescription() const { return tls_ ? tls_->description() : ""; }
    // The subject of the server's certificate once TLS is on ("CN=news.example.org").
    std::string tlsPeerSubject() const { return tls_ ? tls_->peerSubject() : ""; }
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void setTimeout(int ms) { timeoutMs_ = ms; }
    int timeout() const { return timeoutMs_; }

    // Sends a header and its data in one write.
    bool sendPacket(uint32_t cmd, const void* data, size_t n);
    bool sendPacketWithSize(uint32_t cmd, uint32_t dataSize, const void* data, size_t n);
    bool sendRaw(const void* bytes, size_t n);
    // Reads one reply, expanding a compressed block. False on close, time-out or a bad block.
    bool readReply(Reply& reply, std::string* error = nullptr);
    // True when the server has closed the connection within the timeout (all pending
    // data is discarded).
    bool waitClosed(int timeoutMs);
    // True when no data arrives within ms (used to show that no reply was sent).
    bool nothingWithin(int ms);

    Status login(const std::string& name, const std::string& password, const FidoAddr& addr);
    // The two halves of the login, for tests that need to step in between.
    Status hello(const std::string& name, const FidoAddr& addr, uint8_t challenge[20]);
    Status answer(const uint8_t digest[16]);

    Status ping();
    Status logout();
    Status getAreaList(std::vector<pktAreaInfo>& areas);
    Status getMsgList(int32_t area, std::vector<pktMsgHeader>& headers);
    // The fetched record and its lines (each without its CR and NUL).
    Status getMessage(int32_t area, uint32_t number, pktMessage& message, std::vector<std::string>& lines);
    Status post(const pktMessage& message, const std::string& text);
    Status deleteMsg(int32_t area, uint32_t number);

private:
    Status simpleReply(uint32_t expected);
    bool readExact(uint8_t* p, size_t n, int timeoutMs);
    int fd_ = -1;
    std::unique_ptr<TlsClientStream> tls_;
    int timeoutMs_ = 40000;  // longer than the longest login delay a server may impose
};

// Splits fetched message data (after the 186-byte record) into its lines.
std::vector<std::string> splitLines(const uint8_t* data, size_t n);

}  // namespace qclient
