// LZW12 speed and ratio: the server's compress and the client's decode over echomail-like
// text and over random bytes, in reply-sized chunks (16 KiB) and in large ones (1 MiB).
// Prints MB/s (of uncompressed data) and the compressed share of the input.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <ctime>
#include <vector>

#include "support/lzw12.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

// Echomail as a message base holds it: kludge lines, greeting, quoted blocks, tear line,
// origin, SEEN-BY and PATH lines, CR line ends.
Bytes messageText(size_t size) {
    std::mt19937 rng(1);
    const char* const names[] = {"Alex Petrov", "Jan de Vries", "Maria Rossi", "Tom Berg", "Ken Ito"};
    std::uniform_int_distribution<int> small(0, 9), node(1, 4000), hex(0, 0x7fffffff);
    std::string s;
    while (s.size() < size) {
        char buf[96];
        snprintf(buf, sizeof buf, "\x01MSGID: 2:5020/%d.%d %08x\r", node(rng), small(rng), unsigned(hex(rng)));
        s += buf;
        snprintf(buf, sizeof buf, "\x01REPLY: 2:5020/%d %08x\r", node(rng), unsigned(hex(rng)));
        s += buf;
        s += "\x01PID: GoldED+/LNX 1.1.5\r\x01" "CHRS: CP866 2\r\x01TZUTC: 0300\r";
        const char* who = names[small(rng) % 5];
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
    return Bytes(s.begin(), s.end());
}

Bytes randomData(size_t size) {
    std::mt19937 rng(2);
    Bytes b(size);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// CPU time of this thread: the machine may be shared, and the coder never waits.
double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double seconds(double from) { return cpuNow() - from; }

void run(const char* name, const Bytes& data, size_t chunk, int passes) {
    LZW12 coder;
    const size_t chunks = data.size() / chunk;
    std::vector<Bytes> streams(chunks, Bytes(chunk + 2));
    std::vector<uint32_t> lengths(chunks);

    double best = 1e30;
    for (int pass = 0; pass < passes; ++pass) {
        const double start = cpuNow();
        for (size_t i = 0; i < chunks; ++i)
            lengths[i] = coder.compress(data.data() + i * chunk, int32_t(chunk), streams[i].data());
        best = std::min(best, seconds(start));
    }
    const double mb = double(chunks * chunk) / 1e6;

    size_t coded = 0, sent = 0, streamBytes = 0;
    for (size_t i = 0; i < chunks; ++i) {
        const bool used = lengths[i] != 0 && 4 + lengths[i] < chunk;  // the block must be shorter
        coded += used;
        streamBytes += lengths[i];
        sent += used ? 4 + lengths[i] : chunk;
    }

    double bestDecode = 1e30;
    size_t decoded = 0;
    Bytes out;
    for (int pass = 0; pass < passes; ++pass) {
        decoded = 0;
        const double start = cpuNow();
        for (size_t i = 0; i < chunks; ++i) {
            if (lengths[i] == 0) continue;
            if (!lzw12Decode(streams[i].data(), lengths[i], uint32_t(chunk), out) ||
                memcmp(out.data(), data.data() + i * chunk, chunk) != 0) {
                printf("  DECODE MISMATCH in chunk %zu\n", i);
                return;
            }
            decoded += chunk;
        }
        bestDecode = std::min(bestDecode, seconds(start));
    }

    printf("%-14s chunk %7zu: compress %7.1f MB/s", name, chunk, mb / best);
    if (decoded)
        printf(", decode %7.1f MB/s", double(decoded) / 1e6 / bestDecode);
    else
        printf(", decode       -     ");
    printf(", coded %zu/%zu chunks, stream/input %.3f, sent/input %.3f\n", coded, chunks,
           coded ? double(streamBytes) / double(decoded ? decoded : 1) : 0.0, double(sent) / double(chunks * chunk));
}

}  // namespace

int main() {
    const size_t size = size_t(4) << 20;
    const Bytes text = messageText(size);
    const Bytes noise = randomData(size);
    printf("LZW12 over %zu MiB of each input (best of 3 passes, thread CPU time)\n", size >> 20);
    for (size_t chunk : {size_t(16) << 10, size_t(1) << 20}) {
        run("message text", text, chunk, 3);
        run("random bytes", noise, chunk, 3);
    }
    return 0;
}
