// A complete node of the husky tosser hpt in a scratch folder, for the tests that run the
// real tosser beside the server: its folders and configuration file (the minimal node of
// the husky tools' README), bounded runs of hpt, sqpack and pktinfo, inbound packets
// written from messages, the packets hpt exported read back, and settings that point the
// server at the very configuration file hpt uses.
//
// The husky tools are found through HUSKY_BIN_DIR at run time, or else in the folder the
// build found (tests/common/hpt_husky_dir.sh); tests skip, naming HUSKY_BIN_DIR, when
// neither holds them.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fido_packet.h"
#include "common/tosser_interop.h"

namespace hpt {

// The folder of the husky tools: HUSKY_BIN_DIR when it is set, otherwise the folder the
// build found; empty when neither is known.
std::string huskyBinDir();
// Empty when hpt, sqpack, txt2pkt, pktinfo and tparser are all there; otherwise one sentence
// saying what is missing and how to point the tests at the tools.
std::string missingTools();
// The path of one of the tools.
std::string toolPath(const std::string& name);

// Upper limit for one run of a tool; a run still going then is killed.
constexpr int kToolTimeoutMs = 30000;

using tosser::RunResult;
using tosser::describe;

// Runs one of the tools (hpt, sqpack, txt2pkt, pktinfo, tparser) with these arguments in
// workDir, its input from /dev/null, killed if still running after kToolTimeoutMs.
RunResult runTool(const std::string& name, const std::vector<std::string>& args, const std::string& workDir);

// The node's own address and its one link, the uplink all echo areas are shared with.
inline const FidoAddr kNodeAddr{2, 5020, 999, 0};
inline const FidoAddr kUplinkAddr{2, 5020, 1, 0};

// One area line of the configuration: KEYWORD TAG PATH OPTIONS. The path is FILE under
// the node's BASES folder, or the word "passthrough" when `file` is empty.
struct AreaLine {
    std::string keyword;
    std::string tag;
    std::string file;
    std::string options;
};
// "echoarea TAG <BASES>/FILE -b squish -dupecheck move <link>".
AreaLine squishEchoArea(const std::string& tag, const std::string& file, const FidoAddr& link = kUplinkAddr);

struct NodeSetup {
    // The node's address and its one link (a second node takes the first's uplink address
    // and the first node as its link).
    FidoAddr address = kNodeAddr;
    FidoAddr link = kUplinkAddr;
    // Written after the node's links and routes and before its areas, as they are.
    std::vector<std::string> beforeAreas;
    // Written after the netmail, bad and dupe areas.
    std::vector<AreaLine> areas = {squishEchoArea("TEST.ONE", "testone")};
    // Written after the areas, as they are (may use the variable [BASES], which names the
    // node's message base folder).
    std::vector<std::string> extraLines;
    // Adds "echotosslog <root>/echotoss.log".
    bool echoTossLog = false;
};

class HptNode {
public:
    // Makes the folders and writes the configuration file under root (which must exist).
    explicit HptNode(const std::string& root, const NodeSetup& setup = NodeSetup());

    const std::string& root() const { return root_; }
    const std::string& configPath() const { return configPath_; }
    // Where the configuration puts an area's FILE, and the netmail directory.
    std::string basePath(const std::string& file) const { return basesDir_ + "/" + file; }
    std::string netmailDir() const { return basesDir_ + "/netmail"; }
    std::string echoTossLogPath() const { return root_ + "/echotoss.log"; }
    std::string outboundDir() const { return root_ + "/OUT"; }

    // Settings for the server: fidoConfig naming this node's configuration file, then the
    // user lines.
    std::string serverSettings(const std::vector<std::string>& userLines) const;

    // Writes a packet into the protected inbound, where `toss` takes it. The one-argument
    // form sends the messages in one packet from the link to this node.
    [[nodiscard]] bool receive(const fidopkt::Packet& packet, std::string* error = nullptr);
    [[nodiscard]] bool receive(const std::vector<fidopkt::PackedMsg>& messages, std::string* error = nullptr);

    // hpt -c CONFIG args..., and its common commands.
    RunResult hpt(const std::vector<std::string>& args) const;
    RunResult toss() const { return hpt({"toss"}); }
    RunResult scan(const std::vector<std::string>& args = {}) const;
    // hpt post: a message written by the tosser itself (a local area's first message).
    RunResult post(const std::string& area, const std::string& subject, const std::string& text) const;
    // sqpack -c CONFIG masks...
    RunResult sqpack(const std::vector<std::string>& areaMasks) const;

    // Packets waiting in the outbound folder (*.pkt left unpacked, netmail *.?ut), sorted.
    std::vector<std::string> outboundPackets() const;
    // Moves the packets waiting in this node's outbound into another node's protected
    // inbound, as a mailer would carry them; false when one cannot be moved.
    [[nodiscard]] bool sendOutboundTo(const HptNode& other) const;
    // Reads every waiting packet, then removes the packets and their flow files, so that
    // the next scan's packets are seen alone. False (with a reason) when one is malformed.
    [[nodiscard]] bool takeOutbound(std::vector<fidopkt::Packet>& packets, std::string* error = nullptr) const;

    // tparser CONFIG: how the husky library reads this node's configuration.
    RunResult tparser() const;

    // hpt's and sqpack's log files (for failure messages and checks).
    std::string log() const;
    std::string sqpackLog() const;

    const FidoAddr& address() const { return address_; }

private:
    std::string root_, configPath_, basesDir_, inboundDir_;
    FidoAddr address_, link_;
    unsigned packetSerial_ = 0;
};

// A tool's run ended with status 0; otherwise its outcome and hpt's log.
::testing::AssertionResult ranCleanly(const RunResult& r, const HptNode& node);
// The messages, in one packet from the node's link, tossed by hpt.
::testing::AssertionResult receivedAndTossed(HptNode& node, const std::vector<fidopkt::PackedMsg>& messages);

// The sum of one of the counts in the statistics hpt logs after each run ("echoMail",
// "netMail", "dupe", "bad", "saved", "exported"...): every " NAME:" of the log followed by
// blanks and a number. -1 when the log has no such count.
long statisticsTotal(const std::string& log, const std::string& name);

// The log lines that contain `needle`, each with its line end.
std::string linesWith(const std::string& log, const std::string& needle);

// One area as tparser prints it: its section ("EchoAreas", "LocalAreas", "NetMailAreas",
// "BadMailArea", "DupeMailArea"), tag, path and base format ("Squish", "Jam", "SDM" for
// *.MSG, "Passthrough").
struct ParsedArea {
    std::string section, tag, path, format;
};
std::vector<ParsedArea> parsedAreas(const std::string& tparserOutput);

// Everything wrong with a Squish base: the checks of the Squish test fixture (both chains
// linked both ways, frame ids, lengths, counts, the index sorted and naming frames of the
// message chain) and, beyond them, the message chain running in the index's order.
std::vector<std::string> squishProblems(const std::string& basePath);

}  // namespace hpt
