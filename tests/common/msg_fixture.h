// Test helpers for *.MSG directories: build message files byte by byte (header fields,
// kludges, text), read them back field by field, write a lastread file, and a scratch
// directory that removes itself. The 190-byte header is laid out here independently of
// the server's encoder, so tests check the server against the file format itself.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fido/kludges.h"
#include "fido/fidodate.h"
#include "common/temp_dir.h"

namespace msgfixture {

constexpr size_t kHeaderSize = 190;
constexpr uint16_t kAttrPrivate = 0x0001;
constexpr uint16_t kAttrSent = 0x0008;
constexpr uint16_t kAttrLocal = 0x0100;

// One stored message. The text fields are written byte for byte into their fixed fields
// (36, 36, 72 and 20 bytes) and zero-filled after; a string holding a zero byte followed
// by other bytes puts that garbage after the name, as some tools leave it. Longer
// strings are cut to the field.
struct MsgFile {
    std::string fromName = "Sender";
    std::string toName = "Addressee";
    std::string subject = "Subject";
    std::string dateTime = "05 Jan 07  13:45:30";
    FidoAddr orig{2, 5020, 100, 0};
    FidoAddr dest{2, 5020, 200, 0};
    uint16_t timesRead = 0;
    uint16_t cost = 0;
    uint16_t replyTo = 0;
    uint16_t attribute = 0;
    uint16_t nextReply = 0;
    // Kludge lines without their ^A and carriage return: each is written as ^A, the
    // line, CR, before the body.
    std::vector<std::string> kludges;
    // Written as is after the kludges (use "\r" to end lines).
    std::string body = "Hello\r";
    // One zero byte after the text, as the server and most tools write it.
    bool terminatingZero = true;
};

// The whole file: header, kludges, body and the optional zero byte.
std::string encodeMsgFile(const MsgFile& m);

// Writes `bytes` to dir/name (replacing it). False on any failure.
bool writeRawFile(const std::string& path, const std::string& bytes);
// Writes message `m` to dir/name, or to dir/"<number>.msg".
bool writeMsgFile(const std::string& dir, const std::string& name, const MsgFile& m);
bool writeMsgFile(const std::string& dir, uint32_t number, const MsgFile& m);
// A lastread file holding the 16-bit number little-endian, or arbitrary bytes.
bool writeLastread(const std::string& dir, uint16_t number, const std::string& name = "lastread");

// Reads a whole file; false when it cannot be read.
bool readFile(const std::string& path, std::string& bytes);

// A message file read back: every header field decoded from its offset and the raw text
// after the header (everything to the end of the file, zero bytes included).
struct StoredMsg {
    std::string fromField;  // the 36 raw bytes
    std::string toField;    // the 36 raw bytes
    std::string subjectField;  // the 72 raw bytes
    std::string dateField;  // the 20 raw bytes
    uint16_t timesRead = 0, destNode = 0, origNode = 0, cost = 0, origNet = 0, destNet = 0;
    uint16_t destZone = 0, origZone = 0, destPoint = 0, origPoint = 0, replyTo = 0;
    uint16_t attribute = 0, nextReply = 0;
    std::string text;

    FidoAddr origAddr() const { return FidoAddr{origZone, origNet, origNode, origPoint}; }
    FidoAddr destAddr() const { return FidoAddr{destZone, destNet, destNode, destPoint}; }
};
// False when the file cannot be read or is shorter than the header.
bool readMsgFile(const std::string& path, StoredMsg& out);

// A fixed field's text up to its first zero byte.
std::string fieldText(const std::string& field);

// Turns the lines of a fetched message (each line followed by CR and a zero byte) back
// into strings; bytes after the last CR and zero come back marked "<unterminated>".
std::vector<std::string> splitSentLines(const char* data, size_t size);

// Names in a directory, sorted; empty when it cannot be read.
std::vector<std::string> listNames(const std::string& dir);

// Scratch folders are the test kit's own.
using TempDir = ::TempDir;

}  // namespace msgfixture
