#include "client/lib/quorva_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "support/le.h"
#include "support/lzw12.h"
#include "support/md5.h"

namespace qclient {

namespace {

using Clock = std::chrono::steady_clock;

// Largest reply the reader accepts (expanded or not), so a broken server cannot make a
// client allocate without bound.
constexpr uint32_t kMaxReplyData = 512u * 1024 * 1024;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

bool readPlain(int fd, uint8_t* p, size_t n, Clock::time_point deadline) {
    size_t done = 0;
    while (done < n) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, msLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = recv(fd, p + done, n - done, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += size_t(k);
    }
    return true;
}

}  // namespace

const char* statusText(Status s) {
    switch (s) {
    case Status::Ok: return "ok";
    case Status::Refused: return "refused by the server";
    case Status::Closed: return "connection closed by the server";
    case Status::Error: return "protocol or transport error";
    }
    return "?";
}

void passwordKey(const std::string& password, uint8_t key[36]) {
    memset(key, 0, 36);
    memcpy(key, password.data(), password.size() < 36 ? password.size() : 36);
}

Connection::~Connection() { close(); }

bool Connection::connect(const std::string& host, uint16_t port, std::string* error, int* errorNumber) {
    close();
    if (errorNumber) *errorNumber = 0;
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;  // an IPv4 or IPv6 server, whichever the host names
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* result = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
    if (rc != 0) {
        if (error) *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return false;
    }
    int fd = -1;
    int lastErr = 0;
    for (struct addrinfo* ai = result; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        lastErr = errno;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(result);
    if (fd < 0) {
        if (error) *error = "cannot connect to " + host + ":" + service + ": " + strerror(lastErr);
        if (errorNumber) *errorNumber = lastErr;
        return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    return true;
}

bool Connection::startTls(const TlsClientOptions& options, std::string* error) {
    if (fd_ < 0) {
        if (error) *error = "not connected";
        return false;
    }
    std::string why;
    tls_ = TlsClientStream::connect(fd_, options, timeoutMs_, why);
    if (!tls_) {
        if (error) *error = why;
        close();
        return false;
    }
    return true;
}

bool Connection::readExact(uint8_t* p, size_t n, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!tls_) return readPlain(fd_, p, n, deadline);
    for (size_t done = 0; done < n;) {
        long k = tls_->read(p + done, n - done, msLeft(deadline));
        if (k <= 0) return false;
        done += size_t(k);
    }
    return true;
}

void Connection::close() {
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Connection::sendRaw(const void* bytes, size_t n) {
    if (fd_ < 0) return false;
    if (tls_) return tls_->write(bytes, n, timeoutMs_);
    const char* p = static_cast<const char*>(bytes);
    size_t done = 0;
    while (done < n) {
        ssize_t k = send(fd_, p + done, n - done, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += size_t(k);
    }
    return true;
}

bool Connection::sendPacketWithSize(uint32_t cmd, uint32_t dataSize, const void* data, size_t n) {
    if (n > UINT32_MAX) return false;  // more than any packet can announce
    std::vector<uint8_t> packet(kPktHeaderSize + n);
    encodeHeader(pktHeader{cmd, dataSize}, packet.data());
    if (n) memcpy(packet.data() + kPktHeaderSize, data, n);
    return sendRaw(packet.data(), packet.size());
}

bool Connection::sendPacket(uint32_t cmd, const void* data, size_t n) {
    return sendPacketWithSize(cmd, uint32_t(n), data, n);
}

bool Connection::readReply(Reply& reply, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (fd_ < 0) return fail("not connected");
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    uint8_t raw[kPktHeaderSize];
    if (!readExact(raw, kPktHeaderSize, msLeft(deadline))) return fail("no reply header");
    pktHeader h = decodeHeader(raw);
    reply.cmd = h.cmd;
    reply.rawSize = h.dataSize;
    uint32_t n = h.dataSize & ~PKT_SIZE_COMPRESSED;
    if (n > kMaxReplyData) return fail("reply too large");
    std::vector<uint8_t> body(n);
    if (n && !readExact(body.data(), n, msLeft(deadline))) return fail("reply data cut short");
    if (!(h.dataSize & PKT_SIZE_COMPRESSED)) {
        reply.data = std::move(body);
        return true;
    }
    if (n < 4) return fail("compressed block too short");
    uint32_t expanded = getU32(body.data());
    if (expanded > kMaxReplyData) return fail("compressed block announces too much data");
    std::string why;
    if (!lzw12Decode(body.data() + 4, n - 4, expanded, reply.data, &why)) {
        if (error) *error = "bad compressed block: " + why;
        return false;
    }
    return true;
}

bool Connection::waitClosed(int timeoutMs) {
    if (fd_ < 0) return true;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t scratch[4096];
    if (tls_) {
        for (;;) {
            std::string why;
            long k = tls_->read(scratch, sizeof scratch, msLeft(deadline), &why);
            if (k == 0) return true;
            if (k < 0) return why != "timed out";
        }
    }
    for (;;) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        int r = poll(&pfd, 1, msLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = recv(fd_, scratch, sizeof scratch, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return true;
    }
}

bool Connection::nothingWithin(int ms) {
    if (tls_ && tls_->pending()) return false;
    struct pollfd pfd = {fd_, POLLIN, 0};
    int r;
    do r = poll(&pfd, 1, ms);
    while (r < 0 && errno == EINTR);
    return r == 0;
}

Status Connection::simpleReply(uint32_t expected) {
    Reply r;
    if (!readReply(r)) return fd_ >= 0 && waitClosed(0) ? Status::Closed : Status::Error;
    if (r.cmd == CID_S_FAIL) return Status::Refused;
    return r.cmd == expected ? Status::Ok : Status::Error;
}

Status Connection::hello(const std::string& name, const FidoAddr& addr, uint8_t challenge[20]) {
    uint8_t record[kHelloSize] = {};
    memcpy(record, name.data(), name.size() < 36 ? name.size() : 36);
    encodeFidoAddr(addr, record + kHelloAddrOffset);
    if (!sendPacket(CID_C_HELLO, record, sizeof record)) return Status::Error;
    Reply r;
    if (!readReply(r)) return Status::Closed;
    if (r.cmd == CID_S_FAIL) return Status::Refused;
    if (r.cmd != CID_S_CHALLENGE || r.data.size() != kChallengeLength) return Status::Error;
    memcpy(challenge, r.data.data(), kChallengeLength);
    return Status::Ok;
}

Status Connection::answer(const uint8_t digest[16]) {
    if (!sendPacket(CID_C_AUTH, digest, kAuthSize)) return Status::Error;
    return simpleReply(CID_S_OK);
}

Status Connection::login(const std::string& name, const std::string& password, const FidoAddr& addr) {
    uint8_t challenge[kChallengeLength];
    Status s = hello(name, addr, challenge);
    if (s != Status::Ok) return s;
    uint8_t key[kHmacKeyLength];
    passwordKey(password, key);
    uint8_t digest[16];
    hmacMd5(key, challenge, digest);
    return answer(digest);
}

Status Connection::ping() {
    if (!sendPacket(CID_C_PING, nullptr, 0)) return Status::Error;
    return simpleReply(CID_S_OK);
}

Status Connection::logout() {
    if (!sendPacket(CID_C_LOGOUT, nullptr, 0)) return Status::Error;
    return simpleReply(CID_S_OK);
}

Status Connection::getAreaList(std::vector<pktAreaInfo>& areas) {
    areas.clear();
    if (!sendPacket(CID_C_GETAREALIST, nullptr, 0)) return Status::Error;
    Reply r;
    if (!readReply(r)) return Status::Closed;
    if (r.cmd != CID_S_AREALIST || r.data.size() % kAreaInfoSize) return Status::Error;
    for (size_t off = 0; off < r.data.size(); off += kAreaInfoSize) areas.push_back(decodeAreaInfo(r.data.data() + off));
    return Status::Ok;
}

Status Connection::getMsgList(int32_t area, std::vector<pktMsgHeader>& headers) {
    headers.clear();
    uint8_t req[4];
    putI32(req, area);
    if (!sendPacket(CID_C_GETMSGLIST, req, sizeof req)) return Status::Error;
    Reply r;
    if (!readReply(r)) return Status::Closed;
    if (r.cmd != CID_S_MSGLIST || r.data.size() % kMsgHeaderSize) return Status::Error;
    for (size_t off = 0; off < r.data.size(); off += kMsgHeaderSize) headers.push_back(decodeMsgHeader(r.data.data() + off));
    return Status::Ok;
}

Status Connection::getMessage(int32_t area, uint32_t number, pktMessage& message, std::vector<std::string>& lines) {
    lines.clear();
    uint8_t req[8];
    putI32(req, area);
    putU32(req + 4, number);
    if (!sendPacket(CID_C_GETMESSAGE, req, sizeof req)) return Status::Error;
    Reply r;
    if (!readReply(r)) return Status::Closed;
    if (r.cmd == CID_S_FAIL) return Status::Refused;
    if (r.cmd != CID_S_MESSAGE || r.data.size() < kMessageRecordSize) return Status::Error;
    message = decodeMessage(r.data.data());
    lines = splitLines(r.data.data() + kMessageRecordSize, r.data.size() - kMessageRecordSize);
    return Status::Ok;
}

Status Connection::post(const pktMessage& message, const std::string& text) {
    std::vector<uint8_t> data(kMessageRecordSize + text.size() + 1);
    encodeMessage(message, data.data());
    memcpy(data.data() + kMessageRecordSize, text.data(), text.size());
    data.back() = 0;
    if (!sendPacket(CID_C_NEWMESSAGE, data.data(), data.size())) return Status::Error;
    return simpleReply(CID_S_OK);
}

Status Connection::deleteMsg(int32_t area, uint32_t number) {
    uint8_t req[8];
    putI32(req, area);
    putU32(req + 4, number);
    if (!sendPacket(CID_C_DELETEMSG, req, sizeof req)) return Status::Error;
    return simpleReply(CID_S_OK);
}

std::vector<std::string> splitLines(const uint8_t* data, size_t n) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (data[i] == 13 && data[i + 1] == 0) {
            lines.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
            start = i + 2;
            ++i;
        }
    }
    if (start < n) lines.emplace_back(reinterpret_cast<const char*>(data + start), n - start);
    return lines;
}

}  // namespace qclient
