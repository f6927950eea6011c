// Records of a Squish message base: the base header at the start of the .SQD file, the
// frame header and the message header of each frame, and the .SQI index record. Each has
// its encoder and decoder side by side; the on-disk sizes are named below and the
// encoders write every byte, little-endian, whatever the host.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "fido/fidoaddr.h"

constexpr size_t kSquishBaseHeaderSize = 256;
constexpr size_t kSquishFrameHeaderSize = 28;
constexpr size_t kSquishMsgHeaderSize = 238;
constexpr size_t kSqiRecordSize = 12;
// Frame header and message header, read and written together.
constexpr size_t kSquishFrameAndMsgHeaderSize = kSquishFrameHeaderSize + kSquishMsgHeaderSize;

constexpr uint32_t kSquishFrameId = 0xAFAE4453u;
constexpr uint16_t kSquishFrameNormal = 0;  // frame of a message
constexpr uint16_t kSquishFrameFree = 1;    // frame on the free chain

// Attribute bits of the message header.
constexpr uint32_t kSquishAttrSent = 0x00000008u;
constexpr uint32_t kSquishAttrLocal = 0x00000100u;
constexpr uint32_t kSquishAttrUmsgidSet = 0x00020000u;  // the message-id field holds the UMSGID
constexpr uint32_t kSquishNewMessageAttr = 0x000A0100u;

// Offsets of a few fields that are patched in place.
constexpr int64_t kSquishNextFrameOffset = 4;  // within a frame header
constexpr int64_t kSquishPrevFrameOffset = 8;
constexpr size_t kSquishMsgUmsgidOffset = 214;  // within a message header

// Blank index record left behind by other Squish tools after a delete.
constexpr uint32_t kSqiBlankUmsgid = 0xFFFFFFFFu;

// Base header, 256 bytes at offset 0 of the .SQD file. Fields this system does not use
// are kept as they are: the header is always read whole and written back whole.
struct SquishBaseHeader {
    uint16_t headerLength = 0;
    uint16_t reserved1 = 0;
    uint32_t numMsg = 0;
    uint32_t highMsg = 0;
    uint32_t skipMsg = 0;
    uint32_t highWater = 0;
    uint32_t nextUmsgid = 0;
    char baseName[80] = {};
    uint32_t beginFrame = 0;
    uint32_t lastFrame = 0;
    uint32_t freeFrame = 0;
    uint32_t lastFreeFrame = 0;
    uint32_t endFrame = 0;
    uint32_t maxMsg = 0;
    uint16_t keepDays = 0;
    uint16_t frameHeaderSize = 0;
    uint8_t reserved2[124] = {};
};
static_assert(kSquishBaseHeaderSize == 2 * 2 + 5 * 4 + sizeof SquishBaseHeader::baseName + 6 * 4 + 2 * 2 +
                                           sizeof SquishBaseHeader::reserved2);
void encodeSquishBaseHeader(const SquishBaseHeader& h, uint8_t* out);
SquishBaseHeader decodeSquishBaseHeader(const uint8_t* in);

// Frame header, 28 bytes; the frame's data area of frameLength bytes follows it.
struct SquishFrameHeader {
    uint32_t frameId = 0;
    uint32_t nextFrame = 0;
    uint32_t prevFrame = 0;
    uint32_t frameLength = 0;
    uint32_t msgLength = 0;      // message header + control information + text
    uint32_t controlLength = 0;  // control information only
    uint16_t frameType = 0;
    uint16_t reserved = 0;
};
static_assert(kSquishFrameHeaderSize == 6 * 4 + 2 * 2);
void encodeSquishFrameHeader(const SquishFrameHeader& h, uint8_t* out);
SquishFrameHeader decodeSquishFrameHeader(const uint8_t* in);

// Message header, 238 bytes at the start of a message frame's data area.
struct SquishMsgHeader {
    uint32_t attr = 0;
    char fromName[36] = {};
    char toName[36] = {};
    char subject[72] = {};
    FidoAddr origAddr;
    FidoAddr destAddr;
    uint32_t dateWritten = 0;  // packed date-time
    uint32_t dateArrived = 0;
    int16_t utcOffset = 0;
    uint32_t replyTo = 0;
    uint32_t replies[9] = {};
    uint32_t umsgid = 0;  // valid when attr has kSquishAttrUmsgidSet
    char dateText[20] = {};
};
static_assert(kSquishMsgHeaderSize == 4 + sizeof SquishMsgHeader::fromName + sizeof SquishMsgHeader::toName +
                                          sizeof SquishMsgHeader::subject + 2 * kFidoAddrSize + 2 * 4 + 2 + 4 +
                                          sizeof SquishMsgHeader::replies + 4 + sizeof SquishMsgHeader::dateText);
void encodeSquishMsgHeader(const SquishMsgHeader& h, uint8_t* out);
SquishMsgHeader decodeSquishMsgHeader(const uint8_t* in);

// Index record, 12 bytes per message in the .SQI file.
struct sqifile {
    uint32_t frameOffset = 0;
    uint32_t umsgid = 0;
    uint32_t nameHash = 0;  // squishNameHash of the addressee
};
static_assert(kSqiRecordSize == 3 * 4);
void encodeSqiRecord(const sqifile& r, uint8_t* out);
sqifile decodeSqiRecord(const uint8_t* in);
inline bool arrayElementEquals(const sqifile& a, const sqifile& b) {
    return a.frameOffset == b.frameOffset && a.umsgid == b.umsgid && a.nameHash == b.nameHash;
}
// A record that stands for no message: other Squish tools pad the index with these.
inline bool isBlankSqiRecord(const sqifile& r) { return r.frameOffset == 0 && r.umsgid == kSqiBlankUmsgid; }
// Whether a record names a frame at all. Blank records, zero padding and a record that
// another writer has reserved but not yet filled have frame offset 0.
inline bool namesFrame(const sqifile& r) { return r.frameOffset != 0; }
// Another writer's record in the making: Squish writers reserve the record of a new
// message (its UMSGID, frame offset 0) before they link its frame, and fill in the frame
// offset last, after they have released the base's lock.
inline bool isUnfinishedSqiRecord(const sqifile& r) {
    return r.frameOffset == 0 && r.umsgid != 0 && r.umsgid != kSqiBlankUmsgid;
}

// Hash of an addressee name for the index: at most 36 characters, letters folded to lower
// case, bytes above 0x7F sign-extended; the top bit of the result is 0.
uint32_t squishNameHash(const char* name);

// A frame offset that can hold a frame: positive as a signed 32-bit number and past the
// base header.
inline bool isFrameOffset(uint32_t offset) {
    return int32_t(offset) > 0 && offset >= kSquishBaseHeaderSize;
}

// Whether a message frame can be split into its parts and read from a data file of
// `fileLength` bytes: the frame id, an offset past the base header, a message length of
// at least the message header and within the frame, control information that fits the
// message, and the used part of the frame inside the file.
bool isReadableMessageFrame(const SquishFrameHeader& frame, uint32_t frameOffset, int64_t fileLength);
// What keeps such a frame from being read ("has no frame id", "runs past the end of the
// data file", ...); empty when it is readable.
std::string messageFrameProblem(const SquishFrameHeader& frame, uint32_t frameOffset, int64_t fileLength);
// What keeps an offset from being a frame's ("lies inside the base header", ...); empty
// for a frame offset.
std::string frameOffsetProblem(uint32_t frameOffset);
