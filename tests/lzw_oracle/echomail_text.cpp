#include "lzw_oracle/echomail_text.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace {

const char* const kWords[] = {
    "the",     "message", "area",    "echo",     "node",    "point",   "reply",  "and",     "to",
    "of",      "you",     "is",      "that",     "it",      "for",     "on",     "with",    "this",
    "mail",    "tosser",  "squish",  "netmail",  "sysop",   "files",   "hello",  "all",     "regards",
    "thanks",  "please",  "version", "config",   "problem", "works",   "again",  "today",   "fido",
    "address", "zone",    "net",     "binkley",  "modem",   "line",    "week",   "board",   "user",
    "were",    "would",   "could",   "should",   "about",   "there",   "their",  "because", "server",
    "client",  "packet",  "outbound", "inbound", "archive", "nodelist", "update", "weekend", "question",
    "answer",  "maybe",   "never",   "always",   "still",   "think",   "know",   "remember", "before",
};

void appendWords(std::mt19937& rng, std::string& out, int count) {
    std::uniform_int_distribution<size_t> pick(0, std::size(kWords) - 1);
    for (int i = 0; i < count; ++i) {
        if (i) out += ' ';
        out += kWords[pick(rng)];
    }
}

}  // namespace

std::vector<uint8_t> echomailText(std::mt19937& rng, size_t size) {
    const char* const names[] = {"Alex Petrov", "Jan de Vries", "Maria Rossi", "Tom Berg", "Ken Ito"};
    std::uniform_int_distribution<int> small(0, 9), node(1, 4000), hex(0, 0x7fffffff);
    std::string s;
    s.reserve(size + 1024);
    while (s.size() < size) {
        char buf[96];
        snprintf(buf, sizeof buf, "\x01MSGID: 2:5020/%d.%d %08x\r", node(rng), small(rng), unsigned(hex(rng)));
        s += buf;
        snprintf(buf, sizeof buf, "\x01REPLY: 2:5020/%d %08x\r", node(rng), unsigned(hex(rng)));
        s += buf;
        s += "\x01PID: GoldED+/LNX 1.1.5\r\x01" "CHRS: CP866 2\r\x01TZUTC: 0300\r";
        const char* who = names[small(rng) % std::size(names)];
        s += std::string("Hello ") + who + "!\r\r";
        const char initials[3] = {who[0], strchr(who, ' ')[1], 0};
        for (int block = small(rng) % 3 + 1; block > 0; --block) {
            for (int q = small(rng) % 4 + 1; q > 0; --q) {
                s += std::string(" ") + initials + "> ";
                appendWords(rng, s, 6 + small(rng));
                s += '\r';
            }
            s += '\r';
            for (int p = small(rng) % 5 + 1; p > 0; --p) {
                appendWords(rng, s, 8 + small(rng));
                s += '\r';
            }
            s += '\r';
        }
        s += "--- GoldED+/LNX 1.1.5\r * Origin: Quiet node in the suburbs (2:5020/";
        s += std::to_string(node(rng)) + ")\rSEEN-BY: 5020/";
        for (int k = 0; k < 14; ++k) s += std::to_string(node(rng)) + " ";
        s += "\r\x01PATH: 5020/1042 ";
        s += std::to_string(node(rng)) + "\r";
    }
    s.resize(size);
    return std::vector<uint8_t>(s.begin(), s.end());
}
