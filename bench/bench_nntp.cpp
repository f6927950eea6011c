// The news door against the binary door, on the real server binary over loopback, with the
// 50,000-message Squish area of bench_e2e (echo_messages.h):
//   - OVER 1-50000 in one command, read to its final ".": the first one after the server
//     started (the base's pages dropped from the page cache before it), then repeated; the
//     binary door's message list of the same area in the same run, and the ratio of the two
//     in wall time and in the server's CPU time;
//   - the server's memory (VmRSS and VmHWM of /proc/<pid>/status) with 1, 4 and 8 news
//     sessions that ask for the whole overview at once: while their readers take nothing
//     (the server holds what the sockets do not take) and while they read slowly;
//   - pings on the binary door while an overview streams to a news client that reads as
//     fast as it can, or slowly.
// Times are in milliseconds, medians of the repeated runs. The machine's other work shows
// in every figure: run the program several times and compare medians.
// Usage: bench_nntp [--messages N] [--runs N] [server binary]; by default the server built
// beside it, 50,000 messages and 7 runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_server.h"
#include "news_client.h"
#include "echo_messages.h"
#include "squish_base_writer.h"
#include "client/lib/quorva_client.h"
#include "support/le.h"

namespace {

using bench::Clock;
using bench::die;
using bench::Figures;
using bench::msSince;
using bench::NewsClient;
using bench::summarize;

const FidoAddr kUser{2, 5020, 1, 0};
const char* const kGroup = "fido.big";
constexpr int kIoTimeoutMs = 120000;
constexpr size_t kFastChunk = 256 * 1024;
// A slow newsreader: 16 KiB, then a pause of 2 ms (at most 8 MB/s).
constexpr size_t kSlowChunk = 16 * 1024;
constexpr int kSlowPauseUs = 2000;

// ---------------------------------------------------------------------------------------
// The binary door's message list, as bench_e2e asks for it.

void binaryList(qclient::Connection& c, uint32_t messages) {
    uint8_t req[4];
    putI32(req, 0);
    qclient::Reply r;
    if (!c.sendPacket(CID_C_GETMSGLIST, req, sizeof req) || !c.readReply(r) || r.cmd != CID_S_MSGLIST)
        die("message list failed");
    if (r.data.size() != size_t(messages) * kMsgHeaderSize) die("message list has the wrong size");
}

// ---------------------------------------------------------------------------------------
// The server process: CPU time, memory, and the page cache of the base's files.

double cpuMs(pid_t pid) {
    bench::CpuTime t = bench::cpuTime(pid);
    if (t.ns >= 0) return double(t.ns) / 1e6;
    return t.ticks < 0 ? -1 : t.tickSeconds() * 1e3;
}

// A "Vm...:" line of /proc/<pid>/status in KiB; -1 when missing.
long statusKb(pid_t pid, const char* field) {
    const std::string status = bench::readAll("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(std::string("\n") + field);
    if (at == std::string::npos) return -1;
    return atol(status.c_str() + at + 1 + strlen(field));
}

// Sets VmHWM back to the present VmRSS; false where the system does not allow it.
bool resetPeak(pid_t pid) {
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
    out.flush();
    return bool(out);
}

// Waits until the server has used (almost) no CPU for 40 ms: its replies wait for readers.
void waitServerQuiet(pid_t pid) {
    double last = cpuMs(pid);
    for (int i = 0; i < 500; ++i) {
        poll(nullptr, 0, 40);
        const double now = cpuMs(pid);
        if (now - last < 1.0) return;
        last = now;
    }
}

// Asks the system to drop the file's pages from its cache; the share of them still
// resident afterwards (-1 when unknown).
double dropFromCache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    (void)fdatasync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    double share = -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        void* map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            const size_t page = size_t(sysconf(_SC_PAGESIZE));
            std::vector<unsigned char> resident((size_t(st.st_size) + page - 1) / page);
            if (mincore(map, size_t(st.st_size), resident.data()) == 0) {
                size_t in = 0;
                for (unsigned char r : resident) in += r & 1;
                share = double(in) / double(resident.size());
            }
            munmap(map, size_t(st.st_size));
        }
    }
    ::close(fd);
    return share;
}

double dropBase(const std::string& base) {
    const double d = dropFromCache(base + ".SQD"), i = dropFromCache(base + ".SQI");
    return d < 0 || i < 0 ? -1 : std::max(d, i);
}

std::string residentText(double share) {
    if (share < 0) return "page cache not known";
    char text[64];
    snprintf(text, sizeof text, "%.0f%% of the base in the page cache", share * 100);
    return text;
}

// The port of "news door: N groups, listening on ADDRESS:PORT"; 0 without that line.
uint16_t newsPortOf(const std::string& out) {
    const size_t at = out.find("news door: ");
    const size_t end = at == std::string::npos ? at : out.find('\n', at);
    const size_t colon = end == std::string::npos ? end : out.rfind(':', end);
    if (colon == std::string::npos || colon < at) return 0;
    return uint16_t(atoi(out.c_str() + colon + 1));
}

// ---------------------------------------------------------------------------------------
// Figures

void printSeries(const char* what, const std::vector<double>& ms) {
    const Figures f = summarize(ms);
    printf("%-46s n=%-4zu median %8.1f ms  min %8.1f ms  max %8.1f ms\n", what, f.n, f.median,
           *std::min_element(ms.begin(), ms.end()), f.max);
}

bench::Server* running = nullptr;

double median(std::vector<double> v) { return summarize(std::move(v)).median; }

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    uint32_t messages = 50000;
    int runs = 7;
    std::string binary = QUORVA_BIN;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--messages" && i + 1 < argc) {
            messages = uint32_t(std::max(1L, atol(argv[++i])));
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, atoi(argv[++i]));
        } else if (a.rfind("--", 0) == 0) {
            die("usage: bench_nntp [--messages N] [--runs N] [server binary]");
        } else {
            binary = a;
        }
    }
    // Absolute: the server is started from inside its folder.
    const std::string serverBinary = std::filesystem::absolute(binary).string();
    const std::string dir = bench::makeScratchFolder("quorva-bench-nntp");
    const std::string base = dir + "/big";

    printf("building a %u-message Squish area...\n", messages);
    fflush(stdout);
    if (!bench::writeSquishBase(base, messages, bench::echoMessage)) die("cannot write " + base);
    {
        std::ofstream cfg(dir + "/squish.cfg");
        cfg << "EchoArea BIG big -$\n";
    }

    bench::Server server(dir, serverBinary);
    // die() ends the program without unwinding: the server is stopped on the way out.
    running = &server;
    atexit([] {
        if (running) running->stop();
    });
    const uint16_t port = bench::freePort();
    {
        // The news door takes a port of the system's choosing, read back from its line.
        std::ofstream ini(dir + "/quorva.INI");
        ini << "listenPort " << port
            << "\nnntpPort 0\nnntpGroupPrefix fido.\nnntpMaxPerUser 16\nsquishCfg squish.cfg\n"
               "user Bench User,bench,2:5020/1.0\n";
    }
    const double residentBefore = dropBase(base);
    server.start();
    if (!server.waitAccepting(port, 15000)) die("the server does not accept connections (see " + dir + ")");
    const pid_t pid = server.pid();
    uint16_t newsPort = 0;
    for (auto until = Clock::now() + std::chrono::seconds(15); newsPort == 0 && Clock::now() < until;) {
        newsPort = newsPortOf(server.out());
        if (newsPort == 0) poll(nullptr, 0, 10);
    }
    if (newsPort == 0) die("the server names no news door port (see " + dir + ")");

    qclient::Connection c;
    c.setTimeout(kIoTimeoutMs);
    if (!c.connect("127.0.0.1", port) || c.login("Bench User", "bench", kUser) != qclient::Status::Ok)
        die("cannot log in on the binary door");
    {
        std::vector<pktAreaInfo> areas;
        if (c.getAreaList(areas) != qclient::Status::Ok || areas.size() != 1) die("the area list is not the one area");
    }

    // ---- OVER against the message list -----------------------------------------------------
    NewsClient news;
    news.open(newsPort);
    news.command("AUTHINFO USER Bench User", "381");
    news.command("AUTHINFO PASS bench", "281");
    auto t = Clock::now();
    news.command(std::string("GROUP ") + kGroup, "211");
    const double groupFirst = msSince(t);

    const double residentOver = dropBase(base);
    double cpu0 = cpuMs(pid);
    t = Clock::now();
    news.over(messages, kFastChunk);
    const double overCold = msSince(t);
    const double overColdCpu = cpuMs(pid) - cpu0;
    const size_t overBytes = news.blockBytes();

    const double residentList = dropBase(base);
    cpu0 = cpuMs(pid);
    t = Clock::now();
    binaryList(c, messages);
    const double listCold = msSince(t);
    const double listColdCpu = cpuMs(pid) - cpu0;

    std::vector<double> overWall, overCpu, listWall, listCpu;
    for (int i = 0; i < runs; ++i) {
        cpu0 = cpuMs(pid);
        t = Clock::now();
        news.over(messages, kFastChunk);
        overWall.push_back(msSince(t));
        overCpu.push_back(cpuMs(pid) - cpu0);
        cpu0 = cpuMs(pid);
        t = Clock::now();
        binaryList(c, messages);
        listWall.push_back(msSince(t));
        listCpu.push_back(cpuMs(pid) - cpu0);
    }

    printf("\n%u articles, server %s, loopback; %d warm runs of each, taking turns\n", messages,
           serverBinary.c_str(), runs);
    printf("before the start: %s\n", residentText(residentBefore).c_str());
    printf("GROUP, first after the start                   %8.1f ms\n", groupFirst);
    printf("OVER 1-%u, first after the start (%s)\n", messages, residentText(residentOver).c_str());
    printf("                                               %8.1f ms wall, server CPU %8.1f ms, %zu bytes\n",
           overCold, overColdCpu, overBytes);
    printf("message list, first (%s)\n", residentText(residentList).c_str());
    printf("                                               %8.1f ms wall, server CPU %8.1f ms\n", listCold,
           listColdCpu);
    printSeries("OVER, warm: wall", overWall);
    printSeries("OVER, warm: server CPU", overCpu);
    printSeries("message list, warm: wall", listWall);
    printSeries("message list, warm: server CPU", listCpu);
    const double ratioWall = median(overWall) / median(listWall);
    const double ratioCpu = median(overCpu) / median(listCpu);
    printf("OVER/list, warm medians: wall %.2f, server CPU %.2f (target: within 2)\n", ratioWall, ratioCpu);
    printf("OVER/list, first runs:   wall %.2f, server CPU %.2f\n", overCold / listCold, overColdCpu / listColdCpu);
    printf("server CPU per article: OVER %.2f us, list %.2f us\n", median(overCpu) * 1e3 / messages,
           median(listCpu) * 1e3 / messages);
    fflush(stdout);

    // ---- memory while overviews stream --------------------------------------------------
    printf("\nserver memory with news sessions streaming OVER 1-%u (KiB; VmRSS of the server)\n", messages);
    printf("%-9s %9s %16s %16s %16s\n", "sessions", "idle", "readers stalled", "reading slowly", "peak (VmHWM)");
    bool peakKnown = true;
    for (int sessions : {1, 4, 8}) {
        std::vector<std::unique_ptr<NewsClient>> readers;
        for (int i = 0; i < sessions; ++i) {
            readers.push_back(std::make_unique<NewsClient>());
            readers.back()->open(newsPort);
            readers.back()->logInAndSelect("Bench User", "bench", kGroup);
        }
        waitServerQuiet(pid);
        peakKnown = resetPeak(pid) && peakKnown;
        const long idle = statusKb(pid, "VmRSS:");
        for (auto& r : readers) r->send("OVER 1-" + std::to_string(messages));
        for (auto& r : readers) r->expectLine("224");
        // Nobody reads: the server fills the sockets and then holds what they do not take.
        waitServerQuiet(pid);
        const long stalled = statusKb(pid, "VmRSS:");
        long reading = 0;  // the most seen while the readers take their overviews
        for (auto& r : readers) r->beginBlock();
        std::vector<bool> done(readers.size(), false);
        for (size_t left = readers.size(); left > 0;) {
            for (size_t i = 0; i < readers.size(); ++i) {
                if (done[i] || !readers[i]->readSome(kSlowChunk)) continue;
                readers[i]->checkOverview(messages);
                done[i] = true;
                --left;
            }
            reading = std::max(reading, statusKb(pid, "VmRSS:"));
            std::this_thread::sleep_for(std::chrono::microseconds(kSlowPauseUs));
        }
        const long peak = statusKb(pid, "VmHWM:");
        auto column = [&](long kb) {
            char text[48];
            snprintf(text, sizeof text, "%ld (%+ld)", kb, kb - idle);
            return std::string(text);
        };
        printf("%-9d %9ld %16s %16s %16s   per session: stalled %+ld, reading %+ld, peak %+ld\n", sessions, idle,
               column(stalled).c_str(), column(reading).c_str(), peakKnown ? column(peak).c_str() : "-",
               (stalled - idle) / sessions, (reading - idle) / sessions, peakKnown ? (peak - idle) / sessions : 0);
        for (auto& r : readers) r->command("QUIT", "205");
        fflush(stdout);
    }
    if (!peakKnown) printf("(VmHWM could not be reset: the peak column covers the whole run)\n");

    // ---- pings while an overview streams -----------------------------------------------
    printf("\nping on the binary door (ms)\n");
    auto pingWhile = [&](const std::function<void()>& reader) {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            reader();
            finished = true;
        });
        std::vector<double> ms;
        while (!finished) {
            auto t0 = Clock::now();
            if (c.ping() != qclient::Status::Ok) die("ping failed");
            ms.push_back(msSince(t0));
        }
        t.join();
        return ms;
    };
    auto printPings = [](const char* what, const std::vector<double>& ms) {
        const Figures f = summarize(ms);
        printf("%-46s n=%-5zu p50 %7.3f  p99 %7.3f  max %7.3f%s\n", what, f.n, f.median, f.p99, f.max,
               f.p99 < 5.0 ? "" : "   (p99 NOT under 5 ms)");
    };
    {
        std::vector<double> idle;
        for (int i = 0; i < 1000; ++i) {
            auto t0 = Clock::now();
            if (c.ping() != qclient::Status::Ok) die("ping failed");
            idle.push_back(msSince(t0));
        }
        printPings("nothing else going on", idle);
    }
    {
        NewsClient reader;
        reader.open(newsPort);
        reader.logInAndSelect("Bench User", "bench", kGroup);
        printPings("OVER streaming, read at full speed (3 OVERs)", pingWhile([&] {
                       for (int i = 0; i < 3; ++i) reader.over(messages, kFastChunk);
                   }));
        printPings("OVER streaming, read slowly", pingWhile([&] {
                       reader.over(messages, kSlowChunk, kSlowPauseUs);
                   }));
        reader.command("QUIT", "205");
    }
    c.logout();
    server.stop();
    running = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
