// A plain TCP connection to the server, for clients that behave in ways the client library
// does not: a small receive buffer set before the connect, a source address of its own
// (127.0.0.x, to be another peer on loopback), bytes sent one at a time, replies never read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/packet_bytes.h"
#include "fido/fidoaddr.h"

// A generous bound for anything the server does at once.
constexpr int kPromptMs = 20000;

class RawClient {
public:
    using Bytes = packetbytes::Bytes;

    RawClient() = default;
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to the loopback port, from the IPv4 address `from` when it is given.
    bool connect(uint16_t port, int receiveBuffer = 0, const char* from = nullptr);
    void close();
    int fd() const { return fd_; }

    bool send(const Bytes& b);
    // Exactly n bytes, waiting at most timeoutMs.
    bool receive(uint8_t* out, size_t n, int timeoutMs = kPromptMs);
    // The connection is still open and the server has sent nothing more: neither data nor
    // the end of the data is waiting.
    bool quietAndOpen() const;
    // The server has closed the connection (data before the end is dropped).
    bool waitClosed(int timeoutMs = kPromptMs);
    // Bytes that have arrived and wait unread.
    size_t waiting() const;
    // Bytes sent that the server has not read yet.
    size_t unread() const;

    // The hello; true when a challenge comes, which `challenge` (20 bytes) receives.
    bool hello(const std::string& name, const FidoAddr& addr, uint8_t* challenge, int timeoutMs = kPromptMs);
    // The answer to the challenge under the password; true when the server says OK.
    bool answer(const std::string& password, const uint8_t* challenge, int timeoutMs = kPromptMs);
    // The login, by hand: hello and answer.
    bool login(const std::string& name, const std::string& password, const FidoAddr& addr, int timeoutMs = kPromptMs);

private:
    int fd_ = -1;
};
