// FidoNet mail packets for the tests that run a real tosser (hpt, crashmail) beside the
// server: the type 2+ packet of FTS-0001 with the FSC-0048 extensions (zones and points in
// the header), written and read here independently of the server, so that tests build
// inbound mail of any size (one packet may hold thousands of messages) and read back what
// a tosser exported; and the message texts and dates of the packed messages.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fido/fidoaddr.h"

namespace fidopkt {

// Packet header, 58 bytes at the start of the file.
constexpr size_t kPacketHeaderSize = 58;
// A packed message up to its four text fields: the type word, six words and the date.
constexpr size_t kPackedMsgFixedSize = 2 + 12 + 20;
// The longest texts the three name fields may hold before their zero byte.
constexpr size_t kPackedNameMax = 35;
constexpr size_t kPackedSubjectMax = 71;
constexpr size_t kPackedDateMax = 19;
constexpr uint16_t kPacketType = 2;
constexpr uint16_t kPackedMsgType = 2;
// Capability word of a type 2+ packet, and its byte-swapped copy that validates it.
constexpr uint16_t kCapWord = 0x0001;
constexpr uint16_t kCapWordCopy = 0x0100;

struct PacketHeader {
    FidoAddr orig, dest;
    // Creation time as the header stores it (month counted from 0).
    uint16_t year = 2026, month = 2, day = 5, hour = 7, minute = 8, second = 9;
    std::string password;  // at most 8 bytes
    uint16_t capWord = kCapWord;
};
void encodePacketHeader(const PacketHeader& h, uint8_t out[kPacketHeaderSize]);
void decodePacketHeader(const uint8_t in[kPacketHeaderSize], PacketHeader& h);

// One message of a packet. Names, subject and date are stored up to their zero byte; the
// text holds the message's lines ended by carriage returns (an echomail's first line is
// "AREA:TAG").
struct PackedMsg {
    uint16_t origNode = 0, destNode = 0, origNet = 0, destNet = 0, attribute = 0, cost = 0;
    std::string dateTime = "05 Mar 26  07:08:09";
    std::string toName, fromName, subject;
    std::string text;
};
// Appends the packed message. False when a field is longer than the format allows or
// holds a zero byte.
[[nodiscard]] bool encodePackedMsg(const PackedMsg& m, std::string& out);

struct Packet {
    PacketHeader header;
    std::vector<PackedMsg> messages;
};
// The whole packet file; false (with a reason) when a message cannot be packed.
[[nodiscard]] bool encodePacket(const Packet& p, std::string& bytes, std::string* error = nullptr);
// Reads a packet file's bytes; every length is checked against what is left. False (with
// a reason) when the bytes are not a well-formed type 2 packet with its end mark.
[[nodiscard]] bool decodePacket(const std::string& bytes, Packet& p, std::string* error = nullptr);
// The same for the packet file at `path` (the reason then names the file).
[[nodiscard]] bool readPacketFile(const std::string& path, Packet& p, std::string* error = nullptr);

// The lines of a text ended by carriage returns (a final one adds no empty line).
std::vector<std::string> textLines(const std::string& text);
// The value of the first kludge line ^A NAME ": " value (or ^A NAME " " value), or "".
std::string kludgeValue(const std::vector<std::string>& lines, const std::string& name);

// Packed date-time (DOS date low, DOS time high) of a FidoNet date text such as
// "05 Jan 07  13:45:30", computed from its fields; two-digit years 80-99 are 1980-1999,
// the others 2000-2079.
uint32_t packedDate(const std::string& text);

// "zone:net/node", the point left out, as an INTL kludge and a tosser's configuration
// write an address.
std::string zoneNetNode(const FidoAddr& a);
// The value of the INTL kludge of a netmail: destination, then origin.
std::string intlValue(const FidoAddr& dest, const FidoAddr& orig);

// Echomail as a tosser receives it from its uplink: "AREA:TAG", the kludges (each given
// without its ^A), the body lines, tearline, Origin line naming `origin`, then SEEN-BY and
// PATH of the uplink.
struct EchoDraft {
    std::string area;
    std::string fromName = "John Doe", toName = "All", subject = "Subject";
    std::string dateTime = "05 Mar 26  07:08:09";
    std::vector<std::string> kludges;
    std::vector<std::string> body;
    std::string tearline = "--- test kit";
    std::string origin = "A test uplink (2:5020/1)";
    std::string seenBy = "5020/1";
    std::string path = "5020/1";
};
PackedMsg echoMessage(const EchoDraft& d, const FidoAddr& from, const FidoAddr& to);

// Netmail as a tosser receives it: INTL, FMPT and TOPT for the addresses, then the other
// kludges and the body.
struct NetmailDraft {
    std::string fromName = "John Doe", toName = "Test Sysop", subject = "Subject";
    std::string dateTime = "05 Mar 26  07:08:09";
    FidoAddr from, to;
    std::vector<std::string> kludges;
    std::vector<std::string> body;
    uint16_t attribute = 0x0001;  // private
};
PackedMsg netmailMessage(const NetmailDraft& d);

}  // namespace fidopkt
