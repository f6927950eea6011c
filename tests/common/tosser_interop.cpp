#include "common/tosser_interop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/temp_dir.h"
#include "support/osfile.h"
#include "fido/fidoaddr.h"

namespace tosser {

const char* const kCrashmailPath = "/usr/bin/crashmail";
const char* const kCrashwritePath = "/usr/bin/crashwrite";

namespace {

bool isExecutable(const char* path) { return access(path, X_OK) == 0; }

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
    child::Options o;
    o.workDir = workDir;
    o.mergeErrors = true;
    o.timeoutMs = timeoutMs;
    return child::run(argv, o);
}

std::string describe(const RunResult& r) {
    std::string s = r.timedOut ? "timed out" : "exit status " + std::to_string(r.exitStatus);
    return s + ", output:\n" + r.out;
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
    writeFile(configPath_, c);
}

bool TosserNode::receive(const std::string& packetPath) const {
    std::string name = packetPath.substr(packetPath.rfind('/') + 1);
    name = name.substr(0, name.rfind('.')) + ".pkt";
    return writeFile(inboundDir_ + "/" + name, readFile(packetPath));
}

RunResult TosserNode::crashmail(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {kCrashmailPath, "SETTINGS", configPath_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, root_);
}

std::string TosserNode::log() const { return readFile(root_ + "/crashmail.log"); }

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
    if (!writeFile(textPath, draft.text)) return fail("cannot write " + textPath);

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

}  // namespace tosser
