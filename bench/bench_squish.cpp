// Squish area: listing and fetching on a base of 1,000 and of 50,000 messages. Prints the
// time per message for each size and the ratio between the sizes; the cost per message
// must not grow with the size of the base by more than a factor of 1.5 (exit status 1
// when it does). Then two damaged or unusual cases, with their figures and ratios:
//   - fetching one long message (1 and 4 MB of short lines): the cost per byte must not
//     grow with the message's length by more than the same factor;
//   - listing a base whose index is padded with 120 MB of zero records after its
//     messages, against the same base without the padding.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "areas/squish_area.h"
#include "areas/squish_format.h"
#include "common/area_calls.h"
#include "squish_base_writer.h"

namespace {

constexpr double kMaxGrowth = 1.5;


// A base of n messages of typical echomail shape: three or four kludges, a few hundred
// bytes of text in lines, every other message a reply.
// `textBytes` > 0 makes every message a long one: lines of 60 characters up to that size.
void buildBase(const std::string& basePath, uint32_t n, size_t textBytes = 0) {
    bool written = bench::writeSquishBase(basePath, n, [textBytes](uint32_t i) {
        const uint32_t umsgid = i + 1;
        char buf[256];
        bench::SquishMessage m;
        snprintf(buf, sizeof buf, "\x01MSGID: 2:5020/%u.0 %08X", 100 + i % 50, 0x10000000u + i);
        m.control += buf;
        if (i % 2) {
            snprintf(buf, sizeof buf, "\x01REPLY: 2:5020/%u.0 %08X", 100 + (i - 1) % 50, 0x10000000u + i - 1);
            m.control += buf;
        }
        m.control += "\x01PID: Bench 1.0\x01TZUTC: 0300";
        for (int line = 0; line < 8 + int(i % 7); ++line) {
            snprintf(buf, sizeof buf, "Line %d of message %u, with some ordinary words to fill it.\r", line, umsgid);
            m.text += buf;
        }
        while (m.text.size() < textBytes) m.text += "A line of sixty characters, as in any long message body...\r";
        m.text += "--- Bench\r * Origin: Benchmark base (2:5020/100)\r";

        SquishMsgHeader& msg = m.header;
        msg.attr = kSquishNewMessageAttr;
        snprintf(msg.fromName, sizeof msg.fromName, "Sender %u", i % 97);
        snprintf(msg.toName, sizeof msg.toName, "%s", i % 3 ? "All" : "Sysop");
        snprintf(msg.subject, sizeof msg.subject, "Subject of message %u", umsgid);
        memcpy(msg.dateText, "05 Jan 07  13:45:30", 20);
        return m;
    });
    if (!written) {
        fprintf(stderr, "cannot write the base %s\n", basePath.c_str());
        exit(2);
    }
}

// Processor time of this process (user and system), which leaves out the time the
// process waits for a processor on a busy machine; wall time is printed beside it.
double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Figures {
    // Seconds per message, the best of all rounds.
    double listCpu = 1e9, listWall = 1e9;
    double fetchCpu = 1e9, fetchWall = 1e9;
};

// One round: the whole list once, then `fetches` messages spread over the base.
void measureRound(const std::string& basePath, uint32_t n, Figures& f) {
    const uint32_t fetches = std::min<uint32_t>(n, 2000);
    CSquishArea area(basePath, 0);
    double cpu = cpuSeconds(), wall = wallSeconds();
    int64_t listed = int64_t(listHeaders(area).size());
    f.listCpu = std::min(f.listCpu, (cpuSeconds() - cpu) / n);
    f.listWall = std::min(f.listWall, (wallSeconds() - wall) / n);
    if (listed != int64_t(n)) {
        fprintf(stderr, "list returned %lld of %u messages\n", static_cast<long long>(listed), n);
        exit(2);
    }

    MCArray<char> out;
    cpu = cpuSeconds();
    wall = wallSeconds();
    for (uint32_t k = 0; k < fetches; ++k) {
        uint32_t number = 1 + uint32_t(uint64_t(k) * n / fetches);
        if (!fetch(area, number, out)) {
            fprintf(stderr, "fetch of message %u failed\n", number);
            exit(2);
        }
    }
    f.fetchCpu = std::min(f.fetchCpu, (cpuSeconds() - cpu) / fetches);
    f.fetchWall = std::min(f.fetchWall, (wallSeconds() - wall) / fetches);
}

// Seconds of processor time for one fetch of message 1, the best of `rounds`.
double fetchSeconds(const std::string& basePath, int rounds) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        CSquishArea area(basePath, 0);
        MCArray<char> out;
        double cpu = cpuSeconds();
        if (!fetch(area, 1, out)) {
            fprintf(stderr, "fetch of the long message failed\n");
            exit(2);
        }
        best = std::min(best, cpuSeconds() - cpu);
    }
    return best;
}

// Wall-clock seconds of one list, the best of `rounds`; the list must hold n messages.
double listSeconds(const std::string& basePath, uint32_t n, int rounds) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        CSquishArea area(basePath, 0);
        double wall = wallSeconds();
        int64_t listed = int64_t(listHeaders(area).size());
        best = std::min(best, wallSeconds() - wall);
        if (listed != int64_t(n)) {
            fprintf(stderr, "list returned %lld of %u messages\n", static_cast<long long>(listed), n);
            exit(2);
        }
    }
    return best;
}

// Long messages and a padded index; true when the long fetch keeps within the limit.
bool measureDamagedAndLong(const std::string& dir) {
    const size_t lengths[2] = {1u << 20, 4u << 20};
    double perByte[2];
    for (int i = 0; i < 2; ++i) {
        std::string base = dir + "/long" + std::to_string(i);
        buildBase(base, 1, lengths[i]);
        double s = fetchSeconds(base, 5);
        perByte[i] = s / double(lengths[i]);
        printf("squish fetch of one message of %zu KB: %8.2f ms (%.2f ns/byte)\n", lengths[i] >> 10, s * 1e3,
               perByte[i] * 1e9);
    }
    double longRatio = perByte[1] / perByte[0];
    printf("ratio 4 MB/1 MB (processor time per byte): %.2f (limit %.1f)\n", longRatio, kMaxGrowth);

    std::string plain = dir + "/plain", padded = dir + "/padded";
    const uint32_t n = 1000;
    buildBase(plain, n);
    buildBase(padded, n);
    {
        // 120 MB of zero records after the messages' records.
        std::ofstream out(padded + ".SQI", std::ios::binary | std::ios::app);
        std::vector<char> zeros(1 << 20, 0);
        for (int mb = 0; mb < 120; ++mb) out.write(zeros.data(), std::streamsize(zeros.size()));
    }
    double plainList = listSeconds(plain, n, 5);
    double paddedList = listSeconds(padded, n, 2);
    printf("squish list of %u messages: %8.2f ms; with 120 MB of zero index records after them: %8.2f ms\n", n,
           plainList * 1e3, paddedList * 1e3);
    return longRatio <= kMaxGrowth;
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorva-bench-sq-XXXXXX").string();
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back(0);
    if (!mkdtemp(dir.data())) {
        perror("mkdtemp");
        return 2;
    }
    const uint32_t sizes[2] = {1000, 50000};
    const int rounds[2] = {40, 5};  // about the same number of messages listed for both
    std::string bases[2];
    for (int i = 0; i < 2; ++i) {
        bases[i] = std::string(dir.data()) + "/base" + std::to_string(sizes[i]);
        buildBase(bases[i], sizes[i]);
    }
    // The two sizes take turns, so that a busy spell of the machine hits both alike.
    Figures figures[2];
    for (int round = 0; round < rounds[0]; ++round)
        for (int i = 0; i < 2; ++i)
            if (round < rounds[i]) measureRound(bases[i], sizes[i], figures[i]);
    for (int i = 0; i < 2; ++i)
        printf("squish %6u messages: list %7.2f us/message (wall %7.2f), fetch %7.2f us/message (wall %7.2f)\n",
               sizes[i], figures[i].listCpu * 1e6, figures[i].listWall * 1e6, figures[i].fetchCpu * 1e6,
               figures[i].fetchWall * 1e6);
    bool longOk = measureDamagedAndLong(dir.data());
    std::error_code ec;
    std::filesystem::remove_all(dir.data(), ec);

    double listRatio = figures[1].listCpu / figures[0].listCpu;
    double fetchRatio = figures[1].fetchCpu / figures[0].fetchCpu;
    printf("ratio 50000/1000 (processor time): list %.2f, fetch %.2f (limit %.1f)\n", listRatio, fetchRatio,
           kMaxGrowth);
    bool ok = listRatio <= kMaxGrowth && fetchRatio <= kMaxGrowth && longOk;
    printf("%s\n", ok ? "ok" : "cost per message grows too much");
    return ok ? 0 : 1;
}
