// A newsreader's connection for the benchmarks, plain or inside TLS: command lines, status
// lines, and multi-line blocks read to their final "." a piece at a time.
// Header only, like bench_server.h.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "tls/tls_client.h"

namespace bench {

class NewsClient {
public:
    static constexpr int kTimeoutMs = 120000;

    NewsClient() = default;
    ~NewsClient() {
        tls_.reset();
        if (fd_ >= 0) ::close(fd_);
    }
    NewsClient(const NewsClient&) = delete;
    NewsClient& operator=(const NewsClient&) = delete;

    // Connects to the loopback port, runs the handshake when `tls` is given, and reads the
    // greeting.
    void open(uint16_t port, const TlsClientOptions* tls = nullptr) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) die("no socket");
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("cannot reach the news door");
        if (tls) {
            std::string error;
            tls_ = TlsClientStream::connect(fd_, *tls, kTimeoutMs, error);
            if (!tls_) die("news door: " + error);
        }
        expectLine("200");
    }

    // Greeting done: AUTHINFO and GROUP.
    void logInAndSelect(const std::string& user, const std::string& password, const std::string& group) {
        command("AUTHINFO USER " + user, "381");
        command("AUTHINFO PASS " + password, "281");
        command("GROUP " + group, "211");
    }

    std::string description() const { return tls_ ? tls_->description() : "plain"; }

    void send(const std::string& line) {
        const std::string bytes = line + "\r\n";
        if (tls_) {
            std::string error;
            if (!tls_->write(bytes.data(), bytes.size(), kTimeoutMs, &error)) die("news door: " + error);
            return;
        }
        for (size_t at = 0; at < bytes.size();) {
            ssize_t k = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (k <= 0) die("the news door closed the connection");
            at += size_t(k);
        }
    }

    // One status line, without its CRLF.
    std::string line() {
        for (;;) {
            size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string l = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!l.empty() && l.back() == '\r') l.pop_back();
                return l;
            }
            char buf[4096];
            pending_.append(buf, receive(buf, sizeof buf));
        }
    }

    void expectLine(const char* code) {
        const std::string l = line();
        if (l.compare(0, 3, code) != 0) die(std::string("the news door said \"") + l + "\", not " + code);
    }

    std::string command(const std::string& text, const char* code) {
        send(text);
        const std::string l = line();
        if (l.compare(0, 3, code) != 0) die(text + ": the news door said \"" + l + "\"");
        return l;
    }

    // A multi-line block after its status line: begin, then readSome until it says done.
    void beginBlock() {
        lines_ = bytes_ = 0;
        state_ = 1;  // the status line's LF came last
        first_.clear();
    }
    // Takes at most `most` bytes (waiting for some); true once the block's "." has arrived.
    bool readSome(size_t most) {
        if (!pending_.empty()) {
            std::string held;
            held.swap(pending_);
            if (scan(held.data(), held.size())) return true;
        }
        if (buffer_.size() < most) buffer_.resize(most);
        return scan(buffer_.data(), receive(buffer_.data(), most));
    }
    // The whole block, `chunk` bytes per read and a pause after each.
    void readBlock(size_t chunk, int pauseUs = 0) {
        while (!readSome(chunk))
            if (pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
    size_t blockLines() const { return lines_; }
    size_t blockBytes() const { return bytes_; }
    const std::string& firstLine() const { return first_; }

    // OVER of the whole range, read at `chunk` bytes a time; checks that every article came
    // and gives the bytes of the block.
    size_t over(uint32_t messages, size_t chunk, int pauseUs = 0) {
        command("OVER 1-" + std::to_string(messages), "224");
        beginBlock();
        readBlock(chunk, pauseUs);
        checkOverview(messages);
        return bytes_;
    }
    void checkOverview(uint32_t messages) const {
        if (lines_ != messages)
            die("OVER gave " + std::to_string(lines_) + " lines for " + std::to_string(messages) + " articles");
        if (first_.compare(0, 2, "1\t") != 0) die("OVER's first line is \"" + first_ + "\"");
    }

private:
    size_t receive(char* buf, size_t n) {
        if (tls_) {
            std::string error;
            long k = tls_->read(buf, n, kTimeoutMs, &error);
            if (k < 0) die("news door: " + error);
            if (k == 0) die("the news door closed the connection");
            return size_t(k);
        }
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, kTimeoutMs) != 1) die("the news door sends nothing");
        ssize_t k = recv(fd_, buf, n, 0);
        if (k <= 0) die("the news door closed the connection");
        return size_t(k);
    }

    // Counts lines and looks for the final "." line (LF "." CR LF) across reads; what
    // follows it is kept for the next status line.
    bool scan(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i];
            if (lines_ == 0 && first_.size() < 400 && c != '\r' && c != '\n') first_ += c;
            switch (state_) {
            case 1: state_ = c == '.' ? 2 : c == '\n' ? 1 : 0; break;
            case 2: state_ = c == '\r' ? 3 : c == '\n' ? 1 : 0; break;
            case 3:
                if (c == '\n') {
                    bytes_ += i + 1;
                    pending_.append(p + i + 1, n - i - 1);
                    return true;
                }
                state_ = 0;
                break;
            default: state_ = c == '\n' ? 1 : 0;
            }
            if (c == '\n') ++lines_;
        }
        bytes_ += n;
        return false;
    }

    int fd_ = -1;
    std::unique_ptr<TlsClientStream> tls_;
    std::string pending_;
    std::vector<char> buffer_;
    size_t lines_ = 0, bytes_ = 0;
    int state_ = 0;
    std::string first_;
};

}  // namespace bench
