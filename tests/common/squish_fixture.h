// Test helpers for Squish message bases, written independently of the server's own
// record code (explicit byte offsets), so that tests compare the server's files against a
// second reading of the format:
//   - buildBase: writes a consistent base (.SQD, .SQI, optionally .SQL) from a list of
//     messages, with options for UMSGIDs, lower-case names, blank index records, free
//     frames and the last-read mark;
//   - readBase / BaseImage: every record of the data and index files, frames by offset,
//     chains walked with a bound;
//   - checkBase: the integrity checker, returning a list of problems (empty = sound);
//   - file helpers to damage bytes, truncate files and compare file contents.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fido/kludges.h"
#include "fido/fidodate.h"
#include "common/temp_dir.h"

namespace sqfix {

// Byte offsets of the fields that tests read or damage.
namespace off {
// Base header (256 bytes at offset 0 of the .SQD file).
constexpr uint32_t kNumMsg = 4, kHighMsg = 8, kNextUmsgid = 20, kBaseName = 24, kBeginFrame = 104,
                   kLastFrame = 108, kFreeFrame = 112, kLastFreeFrame = 116, kEndFrame = 120;
// Frame header (28 bytes at a frame's offset).
constexpr uint32_t kFrameId = 0, kNextFrame = 4, kPrevFrame = 8, kFrameLength = 12, kMsgLength = 16,
                   kControlLength = 20, kFrameType = 24;
// Message header (238 bytes right after the frame header); relative to its own start.
constexpr uint32_t kAttr = 0, kFrom = 4, kTo = 40, kSubject = 76, kOrigAddr = 148, kDestAddr = 156,
                   kDateWritten = 164, kDateArrived = 168, kUtcOffset = 172, kReplyLinks = 174, kUmsgid = 214,
                   kDateText = 218;
}  // namespace off

constexpr uint32_t kBaseHeaderSize = 256;
constexpr uint32_t kFrameHeaderSize = 28;
constexpr uint32_t kMsgHeaderSize = 238;
constexpr uint32_t kIndexRecordSize = 12;
constexpr uint32_t kFrameId = 0xAFAE4453u;
constexpr uint32_t kBlankUmsgid = 0xFFFFFFFFu;

// One message to store. Names are stored byte for byte, cut to their field and zero-filled:
// a 36-character name has no zero, and bytes after an embedded zero are kept.
struct Message {
    std::string from = "Sender";
    std::string to = "All";
    std::string subject = "Subject";
    std::string control;  // control information exactly as stored (^A kludges, no line ends)
    std::string text;     // message text as stored; a zero byte is added after it
    uint32_t attr = 0;
    std::string dateText = "05 Jan 07  13:45:30";
    FidoAddr orig;
    FidoAddr dest;
    uint32_t framePadding = 0;  // unused bytes at the end of the frame (frameLength > msgLength)
};

struct BuildOptions {
    uint32_t firstUmsgid = 1;  // message i gets firstUmsgid + i * umsgidStep
    uint32_t umsgidStep = 1;
    uint32_t nextUmsgid = 0;   // 0: one step past the last message's UMSGID
    bool lowerCaseNames = false;
    bool reverseIndex = false;  // index records in descending UMSGID order in the file
    int trailingBlankRecords = 0;
    int freeFrames = 0;  // frames already on the free chain, placed after the messages
    std::optional<uint32_t> lastReadMark;  // writes a .SQL file with this mark in slot 0
    std::string baseName = "TESTBASE";
};

struct BuiltBase {
    std::string basePath;
    std::vector<uint32_t> umsgids;       // per message, in the order given
    std::vector<uint32_t> frameOffsets;  // per message
    std::vector<uint32_t> freeOffsets;   // frames of the free chain
};

// Writes (replacing) the files of a base at basePath (no extension).
BuiltBase buildBase(const std::string& basePath, const std::vector<Message>& messages,
                    const BuildOptions& options = {});

struct BaseHeader {
    uint32_t numMsg = 0, highMsg = 0, nextUmsgid = 0;
    uint32_t beginFrame = 0, lastFrame = 0, freeFrame = 0, lastFreeFrame = 0, endFrame = 0;
};

struct FrameHeader {
    uint32_t frameId = 0, nextFrame = 0, prevFrame = 0, frameLength = 0, msgLength = 0, controlLength = 0;
    uint16_t frameType = 0;
    uint16_t reserved = 0;
};

struct MsgHeader {
    uint32_t attr = 0;
    std::string fromRaw, toRaw, subjectRaw;  // all 36/36/72 stored bytes
    std::string from, to, subject;           // up to the first zero
    FidoAddr orig, dest;
    uint32_t dateWritten = 0, dateArrived = 0;
    uint16_t utcOffset = 0;
    std::string replyLinksRaw;  // the 40 bytes from offset 174 to 213
    uint32_t umsgid = 0;        // offset 214
    std::string dateTextRaw;    // all 20 bytes
};

struct IndexRecord {
    uint32_t frameOffset = 0, umsgid = 0, nameHash = 0;
    bool isBlank() const { return frameOffset == 0 && umsgid == kBlankUmsgid; }
};

struct Frame {
    uint32_t offset = 0;
    FrameHeader header;
    MsgHeader msg;        // valid when the frame holds at least a message header
    std::string control;  // controlLength bytes
    std::string text;     // msgLength - 238 - controlLength bytes, final zero included
};

struct BaseImage {
    std::string sqdPath, sqiPath, sqlPath;  // the names found (sqlPath empty when missing)
    std::vector<uint8_t> sqd, sqi;
    BaseHeader header;
    std::vector<IndexRecord> index;  // file order, whole records only

    // Decodes the frame at offset; false when its headers or used data leave the file.
    bool readFrame(uint32_t offset, Frame& out) const;
    // Offsets along nextFrame from `first` (nothing when first < 256), at most `limit` steps.
    std::vector<uint32_t> chain(uint32_t first, size_t limit = 1000000) const;
    // Non-blank index records.
    std::vector<IndexRecord> messages() const;
};

// Finds the files of the base (upper-case extension first, then lower-case) and reads them.
bool readBase(const std::string& basePath, BaseImage& out);

// Everything that is wrong with the base, one line each; empty when it is consistent:
// both chains linked both ways and ending at their last frame, frame ids, lengths and
// types, numMsg equal to the non-blank index records and to the message chain, the index
// sorted with blank records only at the end and every record naming a frame of the
// message chain (with the right name hash and, when flagged, the UMSGID in the header),
// the frames covering the data without overlap, and endFrame equal to the file's length.
std::vector<std::string> checkBase(const std::string& basePath);

// squishNameHash, computed here on its own for the checks.
uint32_t nameHash(const std::string& name);

// Path of an existing file of the base: ext given in upper case (".SQD"); the lower-case
// name is returned when only that exists, the upper-case name when neither does.
std::string fileOf(const std::string& basePath, const std::string& ext);

// Another writer's lock on the first byte of the base's data file, as a tosser takes it
// (an open-file-description lock, held until the returned descriptor is closed); -1 when
// the file cannot be opened or the byte is locked already.
int lockDataFile(const std::string& basePath);

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void patchBytes(const std::string& path, uint32_t offset, const std::string& bytes);
void patchU32(const std::string& path, uint32_t offset, uint32_t value);
void truncateFile(const std::string& path, uint32_t length);

// Scratch folders are the test kit's own.
using TempDir = ::TempDir;

}  // namespace sqfix
