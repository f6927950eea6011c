// Test helpers for running a real FidoNet tosser beside the server: crashmail (with its
// packet writer crashwrite), one directory tree and configuration file per FidoNet node,
// a bounded runner for the two programs, and a reader for the FTS-0001 packets they
// exchange, so that tests can compare what travelled in a packet with what the server
// reports.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "areas/kludges.h"
#include "wire/fidodate.h"

namespace tosser {

// Where the Debian package installs the two programs.
extern const char* const kCrashmailPath;
extern const char* const kCrashwritePath;
// Empty when both programs are installed; otherwise a sentence naming what is missing.
std::string missingPrograms();

// Upper limit for one run of either program (they finish in well under a second).
constexpr int kRunTimeoutMs = 30000;

struct RunResult {
    int exitStatus = -1;  // -1 when the program was killed or could not be started
    bool timedOut = false;
    std::string output;  // standard output and standard error, interleaved
};
// Runs argv (argv[0] is the program's path) in workDir with its input from /dev/null.
// A program still running after timeoutMs is killed.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& workDir, int timeoutMs = kRunTimeoutMs);
// A run's outcome for failure messages.
std::string describe(const RunResult& r);

// One packed message of an FTS-0001 type-2 packet.
struct PackedMessage {
    uint16_t origNode = 0, destNode = 0, origNet = 0, destNet = 0, attribute = 0, cost = 0;
    std::string dateTime;  // the 20-byte date field up to its first zero byte
    std::string toName, fromName, subject;
    std::string text;  // kludges and body, lines ended by CR
};
// Reads every packed message of a packet. False (with a reason) when the file cannot be
// read or is malformed; every length is checked against what is left of the file.
bool readPacket(const std::string& path, std::vector<PackedMessage>& messages, std::string* error);

// The lines of a message text, split at carriage returns (a final one adds no empty line).
std::vector<std::string> textLines(const std::string& text);
// The value of the first kludge line "^A<name>: <value>" or "^A<name> <value>" among
// lines, or the empty text.
std::string kludgeValue(const std::vector<std::string>& lines, const std::string& name);

// Packed date-time (DOS date low, DOS time high) of a FidoNet date text such as
// "05 Jan 07  13:45:30", computed from its fields; two-digit years 80-99 are 1980-1999,
// the others 2000-2079.
uint32_t packedDate(const std::string& text);

// "zone:net/node.point", the point always written.
std::string addrText(const FidoAddr& a);

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

// The names of a directory sorted; empty when it cannot be read.
std::vector<std::string> directoryNames(const std::string& dir);

}  // namespace tosser
