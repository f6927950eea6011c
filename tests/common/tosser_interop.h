// Test helpers for running a real FidoNet tosser beside the server: crashmail (with its
// packet writer crashwrite), one directory tree and configuration file per FidoNet node,
// and a bounded runner for programs; the FTS-0001 packets they exchange are read with
// common/fido_packet.h, so that tests can compare what travelled in a packet with what the
// server reports.
#pragma once
#include <string>
#include <vector>

#include "common/child_process.h"

namespace tosser {

// Where the Debian package installs the two programs.
extern const char* const kCrashmailPath;
extern const char* const kCrashwritePath;
// Empty when both programs are installed; otherwise a sentence naming what is missing.
std::string missingPrograms();

// Upper limit for one run of either program (they finish in well under a second).
constexpr int kRunTimeoutMs = 30000;

// exitStatus (-1 when the program was killed or could not be started), timedOut, and in
// `out` its standard output and standard error, interleaved.
using RunResult = child::Result;
// Runs argv (argv[0] is the program's path) in workDir with its input from /dev/null.
// A program still running after timeoutMs is killed.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& workDir, int timeoutMs = kRunTimeoutMs);
// A run's outcome for failure messages.
std::string describe(const RunResult& r);

// One FidoNet node whose mail crashmail handles: a directory tree (inbound, outbound,
// netmail area as a *.msg directory, bad area, temporary folders) and a configuration
// file, made at construction.
struct NodeSetup {
    std::string aka;                   // the node's own address, e.g. "2:5020/200.0"
    std::string sysop = "Test Sysop";
    std::vector<std::string> links;    // nodes it exchanges mail with (NODE lines)
    std::vector<std::string> imports;  // further addresses whose netmail it imports
    std::vector<std::string> extra;    // more configuration lines (switches, ROUTE)
};

class TosserNode {
public:
    TosserNode(const std::string& root, const NodeSetup& setup);

    const std::string& root() const { return root_; }
    const std::string& configPath() const { return configPath_; }
    const std::string& netmailDir() const { return netmailDir_; }
    const std::string& outboundDir() const { return outboundDir_; }

    // Puts a copy of a packet from another node's outbound into the inbound directory
    // under the name a mailer gives it on arrival (the same name, extension ".pkt").
    bool receive(const std::string& packetPath) const;
    // crashmail SETTINGS <configuration> args...
    RunResult crashmail(const std::vector<std::string>& args) const;
    // The log file crashmail keeps for this node (for failure messages).
    std::string log() const;

    // Packets waiting in the outbound directories of every zone (*.out, *.cut, *.dut,
    // *.hut), full paths, sorted.
    std::vector<std::string> outboundPackets() const;
    // The *.msg names of the netmail directory, any letter case, sorted by number.
    std::vector<std::string> netmailFiles() const;

private:
    std::string root_, configPath_, netmailDir_, outboundDir_, inboundDir_;
};

// A netmail as crashwrite is asked to write it.
struct NetmailDraft {
    std::string fromName, fromAddr, toName, toAddr, subject;
    std::string text;  // lines ended by "\n"; crashwrite turns them into CRs
};
// Writes the draft's text to a file in scratchDir and has crashwrite put a packet for it
// into packetDir; `packetPath` receives the new packet's path. False (with a reason in
// `error`) when crashwrite fails or no single new packet appears.
bool writeNetmailPacket(const NetmailDraft& draft, const std::string& packetDir, const std::string& scratchDir,
                        std::string& packetPath, std::string* error);

}  // namespace tosser
