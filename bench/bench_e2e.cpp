// End-to-end round trips against the real server binary on loopback, one logged-in
// connection: 1,000 pings, 1,000 fetches of a short message, area lists, and the message
// list of a 50,000-message Squish area (about 8 MB of headers, sent compressed).
// Prints the median and the 99th percentile of each, in milliseconds, and the server's CPU
// time for the message lists (user + system, from /proc/<pid>/stat), per header.
// Usage: bench_e2e [server binary]; by default the server built beside it.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_server.h"
#include "echo_messages.h"
#include "squish_base_writer.h"
#include "client/lib/quorva_client.h"
#include "support/le.h"

namespace {

using bench::Clock;
using bench::die;
using bench::Figures;
using bench::summarize;

constexpr int kPings = 1000;
constexpr int kFetches = 1000;
constexpr int kAreaLists = 200;
constexpr uint32_t kBigAreaMessages = 50000;
constexpr int kBigLists = 15;
const FidoAddr kUser{2, 5020, 1, 0};

// ---------------------------------------------------------------------------------------
// The areas: Squish bases of echomail, written directly in the file format.

void writeBase(const std::string& basePath, uint32_t count,
               const std::function<bench::SquishMessage(uint32_t)>& make) {
    if (!bench::writeSquishBase(basePath, count, make)) die("cannot write " + basePath);
}

// ---------------------------------------------------------------------------------------
// Figures

void print(const char* what, size_t n, const Figures& f) {
    printf("%-44s n=%-5zu median %8.3f ms   p99 %8.3f ms   mean %8.3f ms\n", what, n, f.median, f.p99, f.mean);
}

template <typename F>
std::vector<double> timeEach(int n, F&& step) {
    std::vector<double> ms;
    ms.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        auto t0 = Clock::now();
        step(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // Absolute: the server is started from inside its folder.
    const std::string serverBinary = std::filesystem::absolute(argc > 1 ? argv[1] : QUORVA_BIN).string();
    const std::string dir = bench::makeScratchFolder("quorva-bench");

    printf("building a %u-message Squish area...\n", kBigAreaMessages);
    fflush(stdout);
    writeBase(dir + "/short", 3, [](uint32_t i) {
        bench::SquishMessage m = bench::echoMessage(i);
        m.text = "Short.\r";
        return m;
    });
    writeBase(dir + "/big", kBigAreaMessages, bench::echoMessage);
    {
        std::ofstream cfg(dir + "/squish.cfg");
        cfg << "EchoArea SHORT short -$\nEchoArea BIG big -$\n";
    }

    {
        bench::Server server(dir, serverBinary);
        uint16_t port = bench::freePort();
        {
            std::ofstream ini(dir + "/quorva.INI");
            ini << "listenPort " << port << "\nsquishCfg squish.cfg\nuser Bench User,bench,2:5020/1.0\n";
        }
        server.start();
        if (!server.waitAccepting(port, 15000)) die("the server does not accept connections (see " + dir + ")");

        qclient::Connection c;
        c.setTimeout(120000);
        if (!c.connect("127.0.0.1", port) || c.login("Bench User", "bench", kUser) != qclient::Status::Ok)
            die("cannot log in");

        auto pings = timeEach(kPings, [&](int) {
            if (c.ping() != qclient::Status::Ok) die("ping failed");
        });
        pktMessage m;
        std::vector<std::string> lines;
        auto fetches = timeEach(kFetches, [&](int i) {
            if (c.getMessage(0, uint32_t(1 + i % 3), m, lines) != qclient::Status::Ok) die("fetch failed");
        });
        std::vector<pktAreaInfo> areas;
        auto areaLists = timeEach(kAreaLists, [&](int) {
            if (c.getAreaList(areas) != qclient::Status::Ok || areas.size() != 2) die("area list failed");
        });
        uint32_t wireBytes = 0;
        size_t expanded = 0;
        const double serverCpuBefore = bench::cpuTime(server.pid()).tickSeconds();
        auto bigLists = timeEach(kBigLists, [&](int) {
            uint8_t req[4];
            putI32(req, 1);
            qclient::Reply r;
            if (!c.sendPacket(CID_C_GETMSGLIST, req, sizeof req) || !c.readReply(r) || r.cmd != CID_S_MSGLIST)
                die("message list failed");
            if (r.data.size() != size_t(kBigAreaMessages) * kMsgHeaderSize) die("message list has the wrong size");
            wireBytes = r.rawSize & ~PKT_SIZE_COMPRESSED;
            expanded = r.data.size();
        });
        const double serverCpuAfter = bench::cpuTime(server.pid()).tickSeconds();
        const double serverCpu = serverCpuAfter - serverCpuBefore;
        c.logout();

        printf("\nround trips on one connection to %s (loopback):\n", serverBinary.c_str());
        print("ping", pings.size(), summarize(pings));
        print("fetch of a short message", fetches.size(), summarize(fetches));
        print("area list (2 areas, one of 50,000 messages)", areaLists.size(), summarize(areaLists));
        print("message list of 50,000 messages", bigLists.size(), summarize(bigLists));
        printf("message list on the wire: %u bytes for %zu bytes of headers (%.1f%%)\n", wireBytes, expanded,
               100.0 * wireBytes / double(expanded));
        const Figures list = summarize(bigLists);
        printf("message list of %u headers: wall median %.1f ms, mean %.1f ms (client decoding included)\n",
               kBigAreaMessages, list.median, list.mean);
        if (serverCpuBefore >= 0 && serverCpuAfter >= 0) {
            const double perList = serverCpu / kBigLists;
            printf("server CPU for the message list: %.1f ms per list, %.2f us per header (%d lists, %.2f s)\n",
                   perList * 1e3, perList * 1e6 / kBigAreaMessages, kBigLists, serverCpu);
        } else {
            printf("server CPU for the message list: not available (no /proc/<pid>/stat)\n");
        }
        Figures f = summarize(fetches);
        printf("fetch median %s 1 ms\n", f.median < 1.0 ? "is under" : "is NOT under");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
