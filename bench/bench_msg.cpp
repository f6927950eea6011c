// *.MSG directory area: listing, counting and fetching on directories of 1,000 and 10,000
// message files built here in a temporary folder. Prints the time per message for each
// size and the ratio between the sizes; the cost per message should not grow with the
// directory by more than a factor of 1.5.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "areas/tarnwick_area.h"
#include "common/area_calls.h"
#include "support/le.h"
#include "fido/fidodate.h"
#include "support/osfile.h"

namespace {


constexpr double kMaxRatio = 1.5;
constexpr int kRounds = 7;

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

// Wall-clock and processor time (user and system) of one operation.
struct Timer {
    Clock::time_point wall = Clock::now();
    double cpu = processSeconds();

    static double processSeconds() {
        timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
    }
};

// Best (lowest) time per message of one operation over all rounds.
struct Best {
    double wall = 1e9;
    double cpu = 1e9;
    void take(const Timer& t, uint32_t count) {
        wall = std::min(wall, secondsSince(t.wall) / count);
        cpu = std::min(cpu, (Timer::processSeconds() - t.cpu) / count);
    }
};

struct Figures {
    Best list, stats, fetch;
    bool ok = true;
};

// One round of every operation on one directory.
void measureRound(const std::string& dir, uint32_t count, Figures& f) {
    CTarnwickArea area(dir, 0);
    MCArray<char> message;

    Timer t;
    if (int64_t(listHeaders(area).size()) != int64_t(count)) f.ok = false;
    f.list.take(t, count);

    t = Timer();
    AreaStats stats;
    if (!area.getAreaStats(stats).isOk() || stats.messages != count) f.ok = false;
    f.stats.take(t, count);

    t = Timer();
    for (uint32_t n = 1; n <= count; ++n)
        if (!fetch(area, n, message)) f.ok = false;
    f.fetch.take(t, count);
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
    std::string dirs[2];
    Figures figures[2];
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
        dirs[i] = root + "/area" + std::to_string(sizes[i]);
        std::filesystem::create_directory(dirs[i], ec);
        if (ec || !fillDirectory(dirs[i], sizes[i])) {
            fprintf(stderr, "cannot build the directory of %u messages\n", sizes[i]);
            ok = false;
        }
    }
    // The sizes take turns, so that a passing load on the machine meets both alike; the
    // best round of each counts.
    for (int round = 0; round < kRounds && ok; ++round)
        for (int i = 0; i < 2; ++i) measureRound(dirs[i], sizes[i], figures[i]);
    std::filesystem::remove_all(root, ec);
    for (int i = 0; i < 2 && ok; ++i) {
        if (!figures[i].ok) {
            fprintf(stderr, "wrong results on the directory of %u messages\n", sizes[i]);
            ok = false;
        }
    }
    if (!ok) return 1;

    printf("time per message, best of %d rounds: wall-clock (processor)\n", kRounds);
    for (int i = 0; i < 2; ++i) {
        const Figures& f = figures[i];
        printf("%6u messages: list %6.2f us (%6.2f), stats %6.3f us (%6.3f), fetch %6.2f us (%6.2f)\n", sizes[i],
               f.list.wall * 1e6, f.list.cpu * 1e6, f.stats.wall * 1e6, f.stats.cpu * 1e6, f.fetch.wall * 1e6,
               f.fetch.cpu * 1e6);
    }

    // Judged on processor time, which other work on a shared machine does not inflate.
    const Best* pairs[3][2] = {{&figures[0].list, &figures[1].list},
                               {&figures[0].stats, &figures[1].stats},
                               {&figures[0].fetch, &figures[1].fetch}};
    const char* names[3] = {"list", "stats", "fetch"};
    bool within = true;
    for (int i = 0; i < 3; ++i) {
        double cpuRatio = pairs[i][1]->cpu / pairs[i][0]->cpu;
        double wallRatio = pairs[i][1]->wall / pairs[i][0]->wall;
        bool pass = cpuRatio <= kMaxRatio;
        within = within && pass;
        printf("ratio %-5s 10000/1000: %.2f processor, %.2f wall-clock (limit %.1f) %s\n", names[i], cpuRatio,
               wallRatio, kMaxRatio, pass ? "ok" : "EXCEEDED");
    }
    printf("%s\n", within ? "bench_msg: within limits" : "bench_msg: LIMIT EXCEEDED");
    return 0;
}
