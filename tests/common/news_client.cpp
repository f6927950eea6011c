#include "common/news_client.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace news {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

bool Client::connect(uint16_t port) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    std::string greeting;
    return readLine(greeting) && (greeting.rfind("200 ", 0) == 0 || greeting.rfind("201 ", 0) == 0);
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    linesWithoutCr_ = 0;
}

bool Client::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t k = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        sent += size_t(k);
    }
    return true;
}

bool Client::readLine(std::string& line) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyMs);
    for (;;) {
        size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            line = buffer_.substr(0, lf);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            else
                ++linesWithoutCr_;
            buffer_.erase(0, lf + 1);
            return true;
        }
        int left = msLeft(deadline);
        struct pollfd p = {fd_, POLLIN, 0};
        if (fd_ < 0 || left <= 0 || poll(&p, 1, left) != 1) return false;
        char chunk[4096];
        ssize_t k = recv(fd_, chunk, sizeof chunk, 0);
        if (k <= 0) return false;
        buffer_.append(chunk, size_t(k));
    }
}

std::string Client::reply() {
    std::string status;
    return readLine(status) ? status : "";
}

std::string Client::command(const std::string& line) { return send(line + "\r\n") ? reply() : ""; }

bool Client::block(std::vector<std::string>& lines) {
    lines.clear();
    std::string line;
    while (readLine(line)) {
        if (line == ".") return true;
        lines.push_back(line.rfind("..", 0) == 0 ? line.substr(1) : line);
    }
    return false;
}

bool Client::login(const std::string& user, const std::string& password) {
    return command("AUTHINFO USER " + user).rfind("381 ", 0) == 0 &&
           command("AUTHINFO PASS " + password).rfind("281 ", 0) == 0;
}

std::string Client::post(const std::string& article) {
    std::string status = command("POST");
    if (status.rfind("340 ", 0) != 0) return status;
    std::string wire;
    size_t at = 0;
    while (at < article.size()) {
        size_t lf = article.find('\n', at);
        std::string line = article.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = lf == std::string::npos ? article.size() : lf + 1;
        if (!line.empty() && line[0] == '.') wire += '.';
        wire += line + "\r\n";
    }
    wire += ".\r\n";
    return send(wire) ? reply() : "";
}

const std::string* Article::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (strcasecmp(field.c_str(), name.c_str()) == 0) return &value;
    return nullptr;
}

bool splitArticle(const std::vector<std::string>& lines, Article& out) {
    out = Article();
    size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& line = lines[i];
        if ((line[0] == ' ' || line[0] == '\t') && !out.headers.empty()) {
            out.headers.back().second += line;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        size_t value = line.find_first_not_of(' ', colon + 1);
        out.headers.emplace_back(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    if (i == lines.size()) return false;
    out.body.assign(lines.begin() + long(i + 1), lines.end());
    return true;
}

bool splitArticle(const std::string& text, Article& out) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = lf == std::string::npos ? text.size() : lf + 1;
    }
    return splitArticle(lines, out);
}

std::string convert(const std::string& text, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1)) throw std::runtime_error(std::string("no conversion from ") + from + " to " + to);
    std::string out(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* o = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == size_t(-1) || inLeft != 0)
        throw std::runtime_error(std::string("the text does not convert from ") + from + " to " + to);
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace news
