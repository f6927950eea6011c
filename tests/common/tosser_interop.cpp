#include "common/tosser_interop.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/le.h"

namespace tosser {

const char* const kCrashmailPath = "/usr/bin/crashmail";
const char* const kCrashwritePath = "/usr/bin/crashwrite";

namespace {

bool isExecutable(const char* path) { return access(path, X_OK) == 0; }

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(f);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool endsWithNoCase(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        char a = name[name.size() - suffix.size() + i];
        if (a >= 'A' && a <= 'Z') a = char(a + 32);
        if (a != suffix[i]) return false;
    }
    return true;
}

// The leading decimal number of a name (0 when it has none).
unsigned long leadingNumber(const std::string& name) { return strtoul(name.c_str(), nullptr, 10); }

int64_t millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
}

uint16_t zoneOf(const std::string& addr) {
    FidoAddr a;
    return parseFidoAddr(addr.c_str(), a) ? a.zone : 0;
}

}  // namespace

std::string missingPrograms() {
    std::string missing;
    for (const char* path : {kCrashmailPath, kCrashwritePath})
        if (!isExecutable(path)) missing += std::string(missing.empty() ? "" : " and ") + path;
    if (missing.empty()) return missing;
    return missing + " not installed (Debian package crashmail); tosser interoperability not tested";
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& workDir, int timeoutMs) {
    RunResult result;
    if (argv.empty()) return result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0) _exit(126);
        // Only the three standard descriptors go to the program (no test sockets).
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (chdir(workDir.c_str()) != 0) _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool open = true;
    while (open) {
        int64_t left = millisecondsLeft(deadline);
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p = {out[0], POLLIN, 0};
        int r = poll(&p, 1, int(std::min<int64_t>(left, 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) continue;
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            open = false;
            break;
        }
        result.output.append(buf, size_t(n));
    }
    close(out[0]);

    // The output has ended; the program's exit follows at once, within the same bound.
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return result;
        if (result.timedOut || millisecondsLeft(deadline) <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return result;
        }
        poll(nullptr, 0, 2);
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string describe(const RunResult& r) {
    std::string s = r.timedOut ? "timed out" : "exit status " + std::to_string(r.exitStatus);
    return s + ", output:\n" + r.output;
}

bool readPacket(const std::string& path, std::vector<PackedMessage>& messages, std::string* error) {
    messages.clear();
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        return false;
    };
    std::string bytes = readWholeFile(path);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t size = bytes.size();
    constexpr size_t kPacketHeaderSize = 58;
    if (size < kPacketHeaderSize) return fail("shorter than a packet header");
    if (getU16(p + 18) != 2) return fail("not a type-2 packet");

    size_t pos = kPacketHeaderSize;
    // A zero-terminated string of at most `limit` bytes before its terminator (0: none).
    auto takeString = [&](size_t limit, std::string& s) {
        const void* zero = memchr(p + pos, 0, size - pos);
        if (!zero) return false;
        size_t n = size_t(static_cast<const uint8_t*>(zero) - (p + pos));
        if (limit != 0 && n > limit) return false;
        s.assign(bytes, pos, n);
        pos += n + 1;
        return true;
    };
    for (;;) {
        if (size - pos < 2) return fail("packet ends without its end mark");
        uint16_t type = getU16(p + pos);
        pos += 2;
        if (type == 0) return true;
        if (type != 2) return fail("unknown packed message type " + std::to_string(type));
        constexpr size_t kFixedPart = 12 + 20;
        if (size - pos < kFixedPart) return fail("packed message header cut short");
        PackedMessage m;
        m.origNode = getU16(p + pos);
        m.destNode = getU16(p + pos + 2);
        m.origNet = getU16(p + pos + 4);
        m.destNet = getU16(p + pos + 6);
        m.attribute = getU16(p + pos + 8);
        m.cost = getU16(p + pos + 10);
        const char* date = bytes.data() + pos + 12;
        m.dateTime.assign(date, strnlen(date, 20));
        pos += kFixedPart;
        if (!takeString(35, m.toName) || !takeString(35, m.fromName) || !takeString(71, m.subject) ||
            !takeString(0, m.text))
            return fail("packed message " + std::to_string(messages.size() + 1) + " has a malformed text field");
        messages.push_back(std::move(m));
    }
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') continue;
        lines.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string kludgeValue(const std::vector<std::string>& lines, const std::string& name) {
    const std::string mark = "\x01" + name;
    for (const std::string& line : lines) {
        if (line.compare(0, mark.size(), mark) != 0 || line.size() == mark.size()) continue;
        size_t pos = mark.size();
        if (line[pos] == ':') ++pos;
        if (pos >= line.size() || line[pos] != ' ') continue;
        return line.substr(pos + 1);
    }
    return std::string();
}

uint32_t packedDate(const std::string& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int day = 0, year = 0, hours = 0, minutes = 0, seconds = 0;
    char month[4] = {};
    if (sscanf(text.c_str(), "%d %3s %d %d:%d:%d", &day, month, &year, &hours, &minutes, &seconds) != 6) return 0;
    uint32_t monthNumber = 0;
    for (uint32_t i = 0; i < 12; ++i)
        if (strcmp(month, kMonths[i]) == 0) monthNumber = i + 1;
    uint32_t years = uint32_t(year >= 80 ? year - 80 : year + 20);
    return uint32_t(day) | (monthNumber << 5) | (years << 9) | (uint32_t(seconds / 2) << 16) |
           (uint32_t(minutes) << 21) | (uint32_t(hours) << 27);
}

std::string addrText(const FidoAddr& a) {
    char s[32];
    snprintf(s, sizeof s, "%u:%u/%u.%u", unsigned(a.zone), unsigned(a.net), unsigned(a.node), unsigned(a.point));
    return s;
}

TosserNode::TosserNode(const std::string& root, const NodeSetup& setup)
    : root_(root),
      configPath_(root + "/crashmail.prefs"),
      netmailDir_(root + "/netmail"),
      outboundDir_(root + "/outbound"),
      inboundDir_(root + "/inbound") {
    makeDirectory(root_);
    for (const char* dir : {"inbound", "outbound", "temp", "netmail", "bad"}) makeDirectory(root_ + "/" + dir);

    auto quoted = [](const std::string& s) { return "\"" + s + "\""; };
    std::string c;
    c += "; crashmail configuration of node " + setup.aka + "\n";
    c += "SYSOP " + quoted(setup.sysop) + "\n";
    c += "LOGFILE " + quoted(root_ + "/crashmail.log") + "\n";
    c += "LOGLEVEL 4\n";
    c += "DUPEFILE " + quoted(root_ + "/crashmail.dupes") + " 200\n";
    c += "DUPEMODE IGNORE\n";
    c += "DEFAULTZONE " + std::to_string(zoneOf(setup.aka)) + "\n";
    c += "INBOUND " + quoted(inboundDir_) + "\n";
    c += "OUTBOUND " + quoted(outboundDir_) + "\n";
    c += "TEMPDIR " + quoted(root_ + "/temp") + "\n";
    c += "CREATEPKTDIR " + quoted(root_ + "/temp") + "\n";
    c += "PACKETDIR " + quoted(outboundDir_) + "\n";
    c += "STATSFILE " + quoted(root_ + "/crashmail.stats") + "\n";
    c += "AKA " + setup.aka + "\n";
    for (const std::string& link : setup.links) c += "NODE " + link + " \"\" \"\"\n";
    for (const std::string& line : setup.extra) c += line + "\n";
    c += "NETMAIL \"NETMAIL\" " + setup.aka + " MSG " + quoted(netmailDir_) + "\n";
    if (!setup.imports.empty()) {
        c += "IMPORT";
        for (const std::string& a : setup.imports) c += " " + a;
        c += "\n";
    }
    c += "AREA \"BAD\" " + setup.aka + " MSG " + quoted(root_ + "/bad") + "\n";
    writeWholeFile(configPath_, c);
}

bool TosserNode::receive(const std::string& packetPath) const {
    std::string name = packetPath.substr(packetPath.rfind('/') + 1);
    name = name.substr(0, name.rfind('.')) + ".pkt";
    return writeWholeFile(inboundDir_ + "/" + name, readWholeFile(packetPath));
}

RunResult TosserNode::crashmail(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {kCrashmailPath, "SETTINGS", configPath_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, root_);
}

std::string TosserNode::log() const { return readWholeFile(root_ + "/crashmail.log"); }

std::vector<std::string> TosserNode::outboundPackets() const {
    std::vector<std::string> packets;
    for (const std::string& dir : directoryNames(root_)) {
        // "outbound" for the node's own zone, "outbound.xxx" for the others.
        if (dir.compare(0, 8, "outbound") != 0 || !isDirectory(root_ + "/" + dir)) continue;
        for (const std::string& name : directoryNames(root_ + "/" + dir))
            for (const char* ext : {".out", ".cut", ".dut", ".hut"})
                if (endsWithNoCase(name, ext)) packets.push_back(root_ + "/" + dir + "/" + name);
    }
    std::sort(packets.begin(), packets.end());
    return packets;
}

std::vector<std::string> TosserNode::netmailFiles() const {
    std::vector<std::string> names;
    for (const std::string& name : directoryNames(netmailDir_))
        if (endsWithNoCase(name, ".msg")) names.push_back(name);
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return leadingNumber(a) < leadingNumber(b); });
    return names;
}

bool writeNetmailPacket(const NetmailDraft& draft, const std::string& packetDir, const std::string& scratchDir,
                        std::string& packetPath, std::string* error) {
    static unsigned draftNumber = 0;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::string textPath = scratchDir + "/draft" + std::to_string(++draftNumber) + ".txt";
    if (!writeWholeFile(textPath, draft.text)) return fail("cannot write " + textPath);

    std::vector<std::string> before = directoryNames(packetDir);
    RunResult r = runProgram({kCrashwritePath, "DIR", packetDir, "FROMNAME", draft.fromName, "FROMADDR",
                              draft.fromAddr, "TONAME", draft.toName, "TOADDR", draft.toAddr, "SUBJECT",
                              draft.subject, "TEXT", textPath},
                             scratchDir);
    if (r.exitStatus != 0) return fail("crashwrite: " + describe(r));
    std::vector<std::string> added;
    for (const std::string& name : directoryNames(packetDir))
        if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
    if (added.size() != 1) return fail(std::to_string(added.size()) + " new packets after crashwrite: " + describe(r));
    packetPath = packetDir + "/" + added[0];
    return true;
}

std::vector<std::string> directoryNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tosser
