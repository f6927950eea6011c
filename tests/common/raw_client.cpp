#include "common/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "client/lib/quorva_client.h"
#include "support/le.h"
#include "support/md5.h"
#include "wire/packets.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

bool RawClient::connect(uint16_t port, int receiveBuffer, const char* from) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (from) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return false;
    }
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::send(const Bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }

bool RawClient::receive(uint8_t* out, size_t n, int timeoutMs) {
    size_t got = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < n) {
        int left = msLeft(deadline);
        struct pollfd p = {fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) != 1) return false;
        ssize_t k = recv(fd_, out + got, n - got, 0);
        if (k <= 0) return false;
        got += size_t(k);
    }
    return true;
}

bool RawClient::quietAndOpen() const {
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

bool RawClient::waitClosed(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        // A timeout of 0 still looks once.
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, std::max(msLeft(deadline), 0)) != 1) return false;
        ssize_t k = recv(fd_, buf, sizeof buf, 0);
        if (k <= 0) return true;
    }
}

size_t RawClient::unread() const {
    int n = 0;
    ioctl(fd_, TIOCOUTQ, &n);
    return size_t(n);
}

size_t RawClient::waiting() const {
    int n = 0;
    ioctl(fd_, FIONREAD, &n);
    return size_t(n);
}

bool RawClient::hello(const std::string& name, const FidoAddr& addr, uint8_t* challenge, int timeoutMs) {
    Bytes hello(kHelloSize, 0);
    memcpy(hello.data(), name.data(), std::min<size_t>(name.size(), 36));
    encodeFidoAddr(addr, hello.data() + kHelloAddrOffset);
    if (!send(packetbytes::concat(packetbytes::header(CID_C_HELLO, kHelloSize), hello))) return false;
    uint8_t reply[28];
    if (!receive(reply, 8, timeoutMs) || getU32(reply) != CID_S_CHALLENGE) return false;
    if (!receive(reply + 8, 20, timeoutMs)) return false;
    memcpy(challenge, reply + 8, 20);
    return true;
}

bool RawClient::answer(const std::string& password, const uint8_t* challenge, int timeoutMs) {
    uint8_t key[36], digest[16];
    qclient::passwordKey(password, key);
    hmacMd5(key, challenge, digest);
    if (!send(packetbytes::concat(packetbytes::header(CID_C_AUTH, 16), Bytes(digest, digest + 16)))) return false;
    uint8_t ok[8];
    return receive(ok, sizeof ok, timeoutMs) && getU32(ok) == CID_S_OK;
}

bool RawClient::login(const std::string& name, const std::string& password, const FidoAddr& addr, int timeoutMs) {
    uint8_t challenge[20];
    return hello(name, addr, challenge, timeoutMs) && answer(password, challenge, timeoutMs);
}
