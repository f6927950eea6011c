// End-to-end round trips against the real server binary on loopback, one logged-in
// connection: 1,000 pings, 1,000 fetches of a short message, area lists, and the message
// list of a 50,000-message Squish area (about 8 MB of headers, sent compressed).
// Prints the median and the 99th percentile of each, in milliseconds, and the server's CPU
// time for the message lists (user + system, from /proc/<pid>/stat), per header.
// Usage: bench_e2e [server binary]; by default the server built beside it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "areas/squish_format.h"
#include "client/lib/quorva_client.h"
#include "support/le.h"
#include "wire/fidodate.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPings = 1000;
constexpr int kFetches = 1000;
constexpr int kAreaLists = 200;
constexpr uint32_t kBigAreaMessages = 50000;
constexpr int kBigLists = 15;
const FidoAddr kUser{2, 5020, 1, 0};

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "bench_e2e: %s\n", why.c_str());
    exit(1);
}

// ---------------------------------------------------------------------------------------
// A Squish base written directly in the file format.

struct BaseMessage {
    std::string from, to, subject, control, text;
};

void writeBase(const std::string& basePath, uint32_t count, const std::function<BaseMessage(uint32_t)>& make) {
    std::vector<uint8_t> sqd(kSquishBaseHeaderSize), sqi;
    sqd.reserve(size_t(count) * 360 + kSquishBaseHeaderSize);
    sqi.reserve(size_t(count) * kSqiRecordSize);
    std::tm written{};
    written.tm_year = 124;
    written.tm_mon = 2;
    written.tm_mday = 5;
    written.tm_hour = 13;
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        BaseMessage m = make(i);
        std::string control = m.control + '\0';
        std::string text = m.text + '\0';
        uint32_t offset = uint32_t(sqd.size());
        uint32_t msgLength = uint32_t(kSquishMsgHeaderSize + control.size() + text.size());
        SquishFrameHeader frame;
        frame.frameId = kSquishFrameId;
        frame.prevFrame = previous;
        frame.nextFrame = i + 1 < count ? offset + uint32_t(kSquishFrameHeaderSize) + msgLength : 0;
        frame.frameLength = frame.msgLength = msgLength;
        frame.controlLength = uint32_t(control.size());
        SquishMsgHeader h;
        h.attr = kSquishAttrUmsgidSet;
        copyField(h.fromName, m.from.c_str(), sizeof h.fromName);
        copyField(h.toName, m.to.c_str(), sizeof h.toName);
        copyField(h.subject, m.subject.c_str(), sizeof h.subject);
        written.tm_min = int(i % 60);
        written.tm_sec = int(i % 59);
        h.dateWritten = h.dateArrived = makeStamp(written);
        h.umsgid = i + 1;
        formatFidoDate(h.dateText, written);
        sqd.resize(offset + kSquishFrameHeaderSize + msgLength);
        encodeSquishFrameHeader(frame, sqd.data() + offset);
        encodeSquishMsgHeader(h, sqd.data() + offset + kSquishFrameHeaderSize);
        memcpy(sqd.data() + offset + kSquishFrameAndMsgHeaderSize, control.data(), control.size());
        memcpy(sqd.data() + offset + kSquishFrameAndMsgHeaderSize + control.size(), text.data(), text.size());
        uint8_t record[kSqiRecordSize];
        encodeSqiRecord(sqifile{offset, h.umsgid, squishNameHash(h.toName)}, record);
        sqi.insert(sqi.end(), record, record + kSqiRecordSize);
        previous = offset;
    }
    SquishBaseHeader base;
    base.headerLength = uint16_t(kSquishBaseHeaderSize);
    base.numMsg = base.highMsg = count;
    base.nextUmsgid = count + 1;
    base.beginFrame = count ? uint32_t(kSquishBaseHeaderSize) : 0;
    base.lastFrame = previous;
    base.endFrame = uint32_t(sqd.size());
    base.frameHeaderSize = uint16_t(kSquishFrameHeaderSize);
    encodeSquishBaseHeader(base, sqd.data());
    auto save = [](const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) die("cannot write " + path);
    };
    save(basePath + ".SQD", sqd);
    save(basePath + ".SQI", sqi);
}

BaseMessage echoMessage(uint32_t i) {
    static const char* const kNames[] = {"Alex Petrov", "Jan de Vries", "Maria Rossi", "Tom Berg", "Ken Ito"};
    char control[160];
    snprintf(control, sizeof control, "\x01MSGID: 2:5020/%u %08x\x01REPLY: 2:5020/%u %08x\x01PID: Bench 1.0",
             100 + i % 900, 0x65000000u + i, 100 + (i / 2) % 900, 0x65000000u + i / 2);
    BaseMessage m;
    m.from = kNames[i % 5];
    m.to = i % 3 ? "All" : kNames[(i + 2) % 5];
    m.subject = "Thread number " + std::to_string(i / 7) + " about the tosser set-up";
    m.control = control;
    m.text = "Hello All!\r\rA short message body for the list benchmark.\r\r--- Bench\r";
    return m;
}

// ---------------------------------------------------------------------------------------
// The server process: started in its folder as <folder>/quorva, stopped by a key press.

class Server {
public:
    Server(const std::string& dir, const std::string& binary) : dir_(dir), binary_(binary) {}
    ~Server() { stop(); }

    void start(uint16_t port) {
        port_ = port;
        int in[2];
        if (pipe(in) != 0) die("pipe failed");
        pid_ = fork();
        if (pid_ < 0) die("fork failed");
        if (pid_ == 0) {
            int out = open((dir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in[0], 0);
            dup2(out, 1);
            dup2(out, 2);
            close(in[1]);
            if (chdir(dir_.c_str()) != 0) _exit(127);
            std::string argv0 = dir_ + "/quorva";
            char* argv[] = {argv0.data(), nullptr};
            execv(binary_.c_str(), argv);
            _exit(127);
        }
        close(in[0]);
        keys_ = in[1];
    }

    bool waitAccepting(int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            qclient::Connection probe;
            if (probe.connect("127.0.0.1", port_)) return true;
            poll(nullptr, 0, 10);
        }
        return false;
    }

    // User plus system CPU time the server has used so far, in seconds; -1 if unknown.
    double cpuSeconds() const {
        if (pid_ <= 0) return -1;
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The command name (field 2) is in parentheses and may hold spaces: count the
        // fields from the last ')'. Field 3 (state) comes first, utime is 14, stime 15.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(stat.substr(close + 1));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14) utime = std::stoull(field);
            if (index == 15) stime = std::stoull(field);
        }
        return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }

    void stop() {
        if (pid_ <= 0) return;
        if (keys_ >= 0) (void)!write(keys_, "q", 1);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            poll(nullptr, 0, 10);
        }
        pid_ = -1;
        if (keys_ >= 0) close(keys_);
        keys_ = -1;
    }

private:
    std::string dir_;
    std::string binary_;
    pid_t pid_ = -1;
    int keys_ = -1;
    uint16_t port_ = 0;
};

uint16_t freePort() {
    // Ports in a quiet range, tried until one can be bound.
    for (uint16_t port = 39100 + uint16_t(getpid() % 500); port < 65000; port += 7) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (ok) return port;
    }
    die("no free port");
}

// ---------------------------------------------------------------------------------------
// Figures

struct Figures {
    double median, p99, mean;
};

Figures summarize(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    size_t p99 = size_t(std::ceil(0.99 * double(ms.size()))) - 1;
    return {ms[ms.size() / 2], ms[p99], sum / double(ms.size())};
}

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
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/quorva-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) die("cannot make a temporary folder");
    std::string dir = buf.data();

    printf("building a %u-message Squish area...\n", kBigAreaMessages);
    fflush(stdout);
    writeBase(dir + "/short", 3, [](uint32_t i) {
        BaseMessage m = echoMessage(i);
        m.text = "Short.\r";
        return m;
    });
    writeBase(dir + "/big", kBigAreaMessages, echoMessage);
    {
        std::ofstream cfg(dir + "/squish.cfg");
        cfg << "EchoArea SHORT short -$\nEchoArea BIG big -$\n";
    }

    {
        Server server(dir, serverBinary);
        uint16_t port = freePort();
        {
            std::ofstream ini(dir + "/quorva.INI");
            ini << "listenPort " << port << "\nsquishCfg squish.cfg\nuser Bench User,bench,2:5020/1.0\n";
        }
        server.start(port);
        if (!server.waitAccepting(15000)) die("the server does not accept connections (see " + dir + "/server.log)");

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
        const double serverCpuBefore = server.cpuSeconds();
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
        const double serverCpu = server.cpuSeconds() - serverCpuBefore;
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
        if (serverCpuBefore >= 0 && serverCpu >= 0) {
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
