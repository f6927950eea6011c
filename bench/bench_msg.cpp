// *.MSG directory area: listing, counting and fetching on directories of 1,000 and 10,000
// message files built here in a temporary folder. Prints the time per message for each
// size and the ratio between the sizes; the cost per message should not grow with the
// directory by more than a factor of 1.5.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "areas/tarnwick_area.h"
#include "support/le.h"
#include "support/osfile.h"

namespace {

constexpr double kMaxRatio = 1.5;
constexpr int kRounds = 5;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One message of about 600 bytes: header, INTL and MSGID kludges and ten text lines.
std::string messageBytes(uint32_t n) {
    msgFileHeader h;
    copyField(h.fromUserName, "Bench Sender", sizeof h.fromUserName);
    copyField(h.toUserName, "Bench Addressee", sizeof h.toUserName);
    char subject[72];
    snprintf(subject, sizeof subject, "Message number %u", n);
    copyField(h.subject, subject, sizeof h.subject);
    copyField(h.dateTime, "05 Jan 07  13:45:30", sizeof h.dateTime);
    h.origZone = 2;
    h.origNet = 5020;
    h.origNode = 100;
    h.destZone = 2;
    h.destNet = 5020;
    h.destNode = 200;
    h.attribute = 0x0101;
    uint8_t raw[kMsgFileHeaderSize];
    encodeMsgFileHeader(h, raw);
    std::string bytes(reinterpret_cast<char*>(raw), sizeof raw);
    char line[96];
    snprintf(line, sizeof line, "\x01" "INTL 2:5020/200 2:5020/100\r\x01" "MSGID: 2:5020/100.0 %08X\r", n);
    bytes += line;
    for (int i = 0; i < 10; ++i) {
        snprintf(line, sizeof line, "Line %d of message %u, some words to fill the text of it.\r", i, n);
        bytes += line;
    }
    bytes.push_back('\0');
    return bytes;
}

// Writes messages 1..count in a scrambled order, so the directory does not list them sorted.
bool fillDirectory(const std::string& dir, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n = uint32_t((uint64_t(i) * 7919u) % count) + 1;
        std::string bytes = messageBytes(n);
        OsFile f = OsFile::createExclusive(dir + "/" + std::to_string(n) + ".msg");
        if (!f.isOpen() || !f.write(bytes.data(), bytes.size()) || !f.close()) return false;
    }
    return true;
}

struct Figures {
    double listPerMessage = 0;   // seconds
    double statsPerMessage = 0;  // seconds
    double fetchPerMessage = 0;  // seconds
    bool ok = true;
};

Figures measure(const std::string& dir, uint32_t count) {
    Figures f;
    f.listPerMessage = f.statsPerMessage = f.fetchPerMessage = 1e9;
    CTarnwickArea area(dir.c_str(), 0);
    MCArray<pktMsgHeader> list;
    MCArray<char> message;
    for (int round = 0; round < kRounds; ++round) {
        auto start = Clock::now();
        if (!area.getMsgList(list) || list.getCount() != int32_t(count)) f.ok = false;
        f.listPerMessage = std::min(f.listPerMessage, secondsSince(start) / count);

        start = Clock::now();
        uint32_t counts[2];
        if (!area.getAreaStats(dir.c_str(), counts) || counts[0] != count) f.ok = false;
        f.statsPerMessage = std::min(f.statsPerMessage, secondsSince(start) / count);

        start = Clock::now();
        for (uint32_t n = 1; n <= count; ++n)
            if (!area.getMessage(n, message)) f.ok = false;
        f.fetchPerMessage = std::min(f.fetchPerMessage, secondsSince(start) / count);
    }
    return f;
}

}  // namespace

int main() {
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    if (ec || base.empty()) base = "/tmp";
    std::string pattern = base + "/bench-msg-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    const std::string root = buf.data();

    const uint32_t sizes[2] = {1000, 10000};
    Figures figures[2];
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        std::string dir = root + "/area" + std::to_string(sizes[i]);
        std::filesystem::create_directory(dir, ec);
        if (ec || !fillDirectory(dir, sizes[i])) {
            fprintf(stderr, "cannot build the directory of %u messages\n", sizes[i]);
            ok = false;
            break;
        }
        figures[i] = measure(dir, sizes[i]);
        if (!figures[i].ok) {
            fprintf(stderr, "wrong results on the directory of %u messages\n", sizes[i]);
            ok = false;
        }
        printf("%6u messages: list %7.2f us/msg, stats %7.3f us/msg, fetch %7.2f us/msg\n", sizes[i],
               figures[i].listPerMessage * 1e6, figures[i].statsPerMessage * 1e6, figures[i].fetchPerMessage * 1e6);
    }
    std::filesystem::remove_all(root, ec);
    if (!ok) return 1;

    double ratios[3] = {figures[1].listPerMessage / figures[0].listPerMessage,
                        figures[1].statsPerMessage / figures[0].statsPerMessage,
                        figures[1].fetchPerMessage / figures[0].fetchPerMessage};
    const char* names[3] = {"list", "stats", "fetch"};
    bool within = true;
    for (int i = 0; i < 3; ++i) {
        bool pass = ratios[i] <= kMaxRatio;
        within = within && pass;
        printf("ratio %-5s 10000/1000: %.2f (limit %.1f) %s\n", names[i], ratios[i], kMaxRatio, pass ? "ok" : "EXCEEDED");
    }
    printf("%s\n", within ? "bench_msg: within limits" : "bench_msg: LIMIT EXCEEDED");
    return 0;
}
