// A small door for the tests: a line protocol on a listener of its own, served by the same
// loop beside the binary door. It needs nothing of areas/ and accounts/ but their
// interfaces, which is what shows that a new front door is a thin translator:
//   USER NAME@ZONE:NET/NODE.POINT  ->  "CHALLENGE <40 hex digits>", or "FAIL unknown user"
//   PASS <32 hex digits>           ->  "OK", or "FAIL wrong answer" (HMAC-MD5 as in the binary login)
//   LIST AREA                      ->  "NUMBER FROM|SUBJECT" per message, then "."
//   FETCH AREA NUMBER              ->  its kludges (^A as "@") and text lines, then ".", or "FAIL reason"
//   QUIT                           ->  "BYE", and the close
// Lines end with LF. The program is the server with this door added: --door-port PORT
// (taken off the command line) says where it listens on 127.0.0.1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "accounts/login.h"
#include "core/desk.h"
#include "server/quorva.h"

namespace {

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
}

class LineConnection : public Connection {
public:
    LineConnection(Services& s, int socket, const NetAddress& peer) : Connection(socket, peer), services_(s) {}

    SocketInterest interest() const override { return {out_.empty(), !out_.empty()}; }
    MonoTime deadline() const override { return MonoTime::max(); }
    bool loggedIn() const override { return user_ && answered_; }
    bool closing() const override { return false; }

    void step(Readiness ready, const Now&) override {
        if (ready.writable && !out_.empty()) {
            Transfer t = send(out_.data(), out_.size(), nullptr, 0);
            if (t.status == Transfer::Moved) out_.erase(0, t.bytes);
            if (t.status == Transfer::Failed || t.status == Transfer::Closed) return releaseSocket();
            if (out_.empty() && quitting_) return releaseSocket();
        }
        if (!ready.readable || !out_.empty()) return;
        char buffer[4096];
        Transfer t = receive(buffer, sizeof buffer);
        if (t.status == Transfer::Closed || t.status == Transfer::Failed) return releaseSocket();
        if (t.status != Transfer::Moved) return;
        in_.append(buffer, t.bytes);
        for (size_t end; (end = in_.find('\n')) != std::string::npos && !quitting_; in_.erase(0, end + 1))
            handle(in_.substr(0, end));
    }

private:
    void say(const std::string& line) { out_ += line + "\n"; }

    void handle(const std::string& line) {
        std::string word = line.substr(0, line.find(' ')), rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        if (word == "USER") return askChallenge(rest);
        if (word == "PASS") return checkAnswer(rest);
        if (word == "QUIT") return say("BYE"), void(quitting_ = true);
        if (!loggedIn()) return say("FAIL log in first");
        int area = atoi(rest.c_str());
        std::unique_ptr<CEchoArea> a = openConfiguredArea(services_, area);
        if (!a) return say("FAIL no such area");
        if (word == "LIST") {
            AreaResult r = a->getMsgList([this](const MessageSummary& m) {
                return say(std::to_string(m.number) + " " + m.fromName + "|" + m.subject), true;
            });
            return say(r.isOk() ? "." : "FAIL " + r.reason());
        }
        if (word != "FETCH") return say("FAIL unknown command");
        StoredMessage m;
        AreaResult r = a->getMessage(uint32_t(strtoul(rest.c_str() + rest.find(' ') + 1, nullptr, 10)), m);
        if (!r.isOk()) return say("FAIL " + r.reason());
        // The kludges, each on a line of its own, then the text's lines; empty lines are left out.
        std::string piece;
        for (char c : m.control + m.text.substr(0, m.text.find('\0'))) {
            if (c != '\x01' && c != '\r' && c != '\0') {
                piece += c == '\n' ? ' ' : c;
                continue;
            }
            if (!piece.empty()) say(piece);
            piece = c == '\x01' ? "@" : "";
        }
        if (!piece.empty()) say(piece);
        say(".");
    }

    void askChallenge(const std::string& who) {
        size_t at = who.rfind('@');
        FidoAddr address;
        char name[36] = {};
        if (at == std::string::npos || !parseFidoAddr(who.c_str() + at + 1, address)) return say("FAIL unknown user");
        memcpy(name, who.data(), std::min(at, sizeof name));
        int32_t found = services_.users.find(name, address);
        if (found < 0) return say("FAIL unknown user");
        user_ = &services_.users.at(found);
        answered_ = false;
        makeChallenge(challenge_);
        say("CHALLENGE " + hex(challenge_, sizeof challenge_));
    }

    void checkAnswer(const std::string& digest) {
        uint8_t expected[kLoginAnswerSize];
        if (!user_) return say("FAIL log in first");
        expectedAnswer(*user_, challenge_, expected);
        answered_ = digest == hex(expected, sizeof expected);
        say(answered_ ? "OK" : "FAIL wrong answer");
    }

    Services& services_;
    std::string in_, out_;
    const rClientInfo* user_ = nullptr;
    bool answered_ = false, quitting_ = false;
    uint8_t challenge_[kLoginChallengeSize] = {};
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args;
    uint16_t port = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--door-port") == 0 && i + 1 < argc)
            port = uint16_t(atoi(argv[++i]));
        else
            args.push_back(argv[i]);
    }
    NetAddress at;
    parseAddressLiteral("127.0.0.1", at);
    at.port = port;
    ExtraDoor door{"test door", at, [](Services& services) -> ConnectionFactory {
                       return [&services](int socket, const NetAddress& peer, const Now&) {
                           return std::unique_ptr<Connection>(new LineConnection(services, socket, peer));
                       };
                   }};
    return serverMain(int(args.size()), args.data(), {door});
}
