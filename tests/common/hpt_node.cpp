#include "common/hpt_node.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "common/squish_fixture.h"
#include "common/temp_dir.h"
#include "support/osfile.h"

#ifndef QUORVA_HUSKY_BIN_DIR
#define QUORVA_HUSKY_BIN_DIR ""
#endif

namespace hpt {

namespace {

const char* const kTools[] = {"hpt", "sqpack", "txt2pkt", "pktinfo", "tparser"};

std::string lowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The extension of a file name in lower case, without its dot.
std::string extensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : lowerCase(name.substr(dot + 1));
}

// Packets: unpacked echomail (*.pkt) and netmail in flavoured packets (*.out, *.cut, ...).
bool isPacketName(const std::string& name) {
    std::string ext = extensionOf(name);
    return ext == "pkt" || (ext.size() == 3 && ext[1] == 'u' && ext[2] == 't');
}

// Flow files that list what waits for a link (*.flo, *.clo, ...).
bool isFlowName(const std::string& name) {
    std::string ext = extensionOf(name);
    return ext.size() == 3 && ext[1] == 'l' && ext[2] == 'o';
}

}  // namespace

std::string huskyBinDir() {
    const char* fromEnvironment = getenv("HUSKY_BIN_DIR");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    return QUORVA_HUSKY_BIN_DIR;
}

std::string toolPath(const std::string& name) { return huskyBinDir() + "/" + name; }

RunResult runTool(const std::string& name, const std::vector<std::string>& args, const std::string& workDir) {
    std::vector<std::string> argv = {toolPath(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return tosser::runProgram(argv, workDir, kToolTimeoutMs);
}

std::string missingTools() {
    const std::string dir = huskyBinDir();
    const std::string hint =
        "; set HUSKY_BIN_DIR to the folder holding the husky tools (or keep them in shared/tools/husky/bin "
        "beside the project) to run the hpt interoperability tests";
    if (dir.empty()) return "the husky tools (hpt, sqpack, txt2pkt, pktinfo) were not found" + hint;
    std::string missing;
    for (const char* tool : kTools)
        if (access(toolPath(tool).c_str(), X_OK) != 0) missing += std::string(missing.empty() ? "" : ", ") + tool;
    if (missing.empty()) return missing;
    return missing + " not found in " + dir + hint;
}

AreaLine squishEchoArea(const std::string& tag, const std::string& file, const FidoAddr& link) {
    return {"echoarea", tag, file, "-b squish -dupecheck move " + formatFidoAddr(link)};
}

HptNode::HptNode(const std::string& root, const NodeSetup& setup)
    : root_(root),
      configPath_(root + "/config"),
      basesDir_(root + "/BASES"),
      inboundDir_(root + "/IN"),
      address_(setup.address),
      link_(setup.link) {
    for (const char* dir : {"IN", "IN/insecure", "IN/local", "OUT", "TMP", "TMP/in", "TMP/out", "LOG", "DUPES",
                            "BASES"})
        makeDirectory(root_ + "/" + dir);

    // Addresses without their point, as a sysop writes them.
    using fidopkt::zoneNetNode;
    std::string c;
    c += "name Test Node\n";
    c += "sysop Test Sysop\n";
    c += "address " + zoneNetNode(address_) + "\n";
    c += "inbound " + root_ + "/IN/insecure\n";
    c += "protinbound " + inboundDir_ + "\n";
    c += "localinbound " + root_ + "/IN/local\n";
    c += "outbound " + outboundDir() + "\n";
    c += "tempinbound " + root_ + "/TMP/in\n";
    c += "tempoutbound " + root_ + "/TMP/out\n";
    c += "logfiledir " + root_ + "/LOG\n";
    c += "dupehistorydir " + root_ + "/DUPES\n";
    c += "msgbasedir " + basesDir_ + "\n";
    if (setup.echoTossLog) c += "echotosslog " + echoTossLogPath() + "\n";
    c += "set BASES=" + basesDir_ + "\n";
    c += "\n";
    c += "link Uplink\n";
    c += "aka " + zoneNetNode(link_) + "\n";
    c += "ouraka " + zoneNetNode(address_) + "\n";
    c += "\n";
    c += "route normal " + zoneNetNode(link_) + " *\n";
    c += "\n";
    for (const std::string& line : setup.beforeAreas) c += line + "\n";
    c += "netmailarea NETMAIL " + netmailDir() + " -b msg\n";
    c += "badarea     BAD     " + basePath("bad") + " -b squish\n";
    c += "dupearea    DUPE    " + basePath("dupe") + " -b squish\n";
    for (const AreaLine& a : setup.areas) {
        c += a.keyword + " " + a.tag + " " + (a.file.empty() ? std::string("passthrough") : basePath(a.file));
        if (!a.options.empty()) c += " " + a.options;
        c += "\n";
    }
    for (const std::string& line : setup.extraLines) c += line + "\n";
    writeFile(configPath_, c);
}

std::string HptNode::serverSettings(const std::vector<std::string>& userLines) const {
    std::string s = "fidoConfig " + configPath_ + "\n";
    for (const std::string& u : userLines) s += u + "\n";
    return s;
}

bool HptNode::receive(const fidopkt::Packet& packet, std::string* error) {
    std::string bytes;
    if (!fidopkt::encodePacket(packet, bytes, error)) return false;
    char name[32];
    snprintf(name, sizeof name, "%08x.pkt", 0x51000000u + ++packetSerial_);
    std::string path = inboundDir_ + "/" + name;
    if (writeFile(path, bytes)) return true;
    if (error) *error = "cannot write " + path;
    return false;
}

bool HptNode::receive(const std::vector<fidopkt::PackedMsg>& messages, std::string* error) {
    fidopkt::Packet p;
    p.header.orig = link_;
    p.header.dest = address_;
    p.messages = messages;
    return receive(p, error);
}

RunResult HptNode::hpt(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"-c", configPath_};
    all.insert(all.end(), args.begin(), args.end());
    return runTool("hpt", all, root_);
}

RunResult HptNode::scan(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"scan"};
    all.insert(all.end(), args.begin(), args.end());
    return hpt(all);
}

RunResult HptNode::post(const std::string& area, const std::string& subject, const std::string& text) const {
    static unsigned draftNumber = 0;
    std::string draft = root_ + "/TMP/post" + std::to_string(++draftNumber) + ".txt";
    writeFile(draft, text);
    return hpt({"post", "-e", area, "-s", subject, "-nf", "Test Sysop", "-nt", "All", draft});
}

RunResult HptNode::sqpack(const std::vector<std::string>& areaMasks) const {
    std::vector<std::string> all = {"-c", configPath_};
    all.insert(all.end(), areaMasks.begin(), areaMasks.end());
    return runTool("sqpack", all, root_);
}

std::vector<std::string> HptNode::outboundPackets() const {
    std::vector<std::string> packets;
    for (const std::string& name : directoryNames(outboundDir()))
        if (isPacketName(name)) packets.push_back(outboundDir() + "/" + name);
    return packets;
}

bool HptNode::sendOutboundTo(const HptNode& other) const {
    for (const std::string& path : outboundPackets()) {
        // A mailer stores what it receives under a packet's name.
        std::string name = path.substr(path.rfind('/') + 1);
        name = name.substr(0, name.rfind('.')) + ".pkt";
        if (::rename(path.c_str(), (other.inboundDir_ + "/" + name).c_str()) != 0) return false;
    }
    for (const std::string& name : directoryNames(outboundDir()))
        if (isFlowName(name)) ::unlink((outboundDir() + "/" + name).c_str());
    return true;
}

bool HptNode::takeOutbound(std::vector<fidopkt::Packet>& packets, std::string* error) const {
    packets.clear();
    for (const std::string& path : outboundPackets()) {
        fidopkt::Packet p;
        if (!fidopkt::readPacketFile(path, p, error)) return false;
        packets.push_back(std::move(p));
    }
    for (const std::string& name : directoryNames(outboundDir()))
        if (isPacketName(name) || isFlowName(name)) ::unlink((outboundDir() + "/" + name).c_str());
    return true;
}

RunResult HptNode::tparser() const { return runTool("tparser", {configPath_}, root_); }

std::string HptNode::log() const { return readFile(root_ + "/LOG/hpt.log"); }
std::string HptNode::sqpackLog() const { return readFile(root_ + "/LOG/sqpack.log"); }

::testing::AssertionResult ranCleanly(const RunResult& r, const HptNode& node) {
    if (r.exitStatus == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describe(r) << node.log();
}

::testing::AssertionResult receivedAndTossed(HptNode& node, const std::vector<fidopkt::PackedMsg>& messages) {
    std::string error;
    if (!node.receive(messages, &error)) return ::testing::AssertionFailure() << error;
    return ranCleanly(node.toss(), node);
}

long statisticsTotal(const std::string& log, const std::string& name) {
    const std::string key = " " + name + ":";
    auto isDigit = [&](size_t at) { return at < log.size() && log[at] >= '0' && log[at] <= '9'; };
    long total = -1;
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + key.size())) {
        size_t digit = log.find_first_not_of(' ', at + key.size());
        if (digit == at + key.size() || !isDigit(digit)) continue;
        long value = 0;
        for (; isDigit(digit) && value < 100000000; ++digit) value = value * 10 + (log[digit] - '0');
        total = (total < 0 ? 0 : total) + value;
    }
    return total;
}

std::string linesWith(const std::string& log, const std::string& needle) {
    std::string lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos) lines += line + "\n";
    return lines;
}

std::vector<ParsedArea> parsedAreas(const std::string& tparserOutput) {
    // A section starts with "=== NAME ===". In it, each area starts with its tag alone on
    // a line, has a line "-> PATH<tab>FORMAT<tab>..." and ends with "-------".
    std::vector<ParsedArea> areas;
    std::istringstream in(tparserOutput);
    std::string line, section, tag;
    bool expectTag = false;
    while (std::getline(in, line)) {
        if (line.size() > 8 && line.compare(0, 4, "=== ") == 0 && line.compare(line.size() - 4, 4, " ===") == 0) {
            section = line.substr(4, line.size() - 8);
            expectTag = true;
        } else if (line == "-------") {
            expectTag = true;
        } else if (expectTag && !line.empty()) {
            tag = line.substr(0, line.find_last_not_of(' ') + 1);
            expectTag = false;
        } else if (line.compare(0, 3, "-> ") == 0 && !tag.empty()) {
            std::string rest = line.substr(3);
            size_t tab = rest.find('\t');
            size_t tab2 = tab == std::string::npos ? tab : rest.find('\t', tab + 1);
            if (tab2 != std::string::npos)
                areas.push_back({section, tag, rest.substr(0, tab), rest.substr(tab + 1, tab2 - tab - 1)});
            tag.clear();
        }
    }
    return areas;
}

std::vector<std::string> squishProblems(const std::string& basePath) {
    std::vector<std::string> problems = sqfix::checkBase(basePath);
    sqfix::BaseImage img;
    if (!sqfix::readBase(basePath, img)) return problems;
    // Walking the message chain meets the messages in ascending UMSGID order, the order
    // of the index.
    std::map<uint32_t, uint32_t> umsgidAt;
    for (const sqfix::IndexRecord& r : img.messages()) umsgidAt[r.frameOffset] = r.umsgid;
    bool first = true;
    uint32_t previous = 0;
    for (uint32_t at : img.chain(img.header.beginFrame)) {
        auto it = umsgidAt.find(at);
        if (it == umsgidAt.end()) continue;  // reported by the checks above
        if (!first && it->second <= previous)
            problems.push_back("message chain has UMSGID " + std::to_string(it->second) + " (frame " +
                               std::to_string(at) + ") after UMSGID " + std::to_string(previous));
        first = false;
        previous = it->second;
    }
    return problems;
}

}  // namespace hpt
