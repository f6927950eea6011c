#include "areas/squish_format.h"

#include "support/le.h"
#include "support/text.h"

void encodeSquishBaseHeader(const SquishBaseHeader& h, uint8_t* out) {
    putU16(out + 0, h.headerLength);
    putU16(out + 2, h.reserved1);
    putU32(out + 4, h.numMsg);
    putU32(out + 8, h.highMsg);
    putU32(out + 12, h.skipMsg);
    putU32(out + 16, h.highWater);
    putU32(out + 20, h.nextUmsgid);
    putBytes(out + 24, h.baseName, sizeof h.baseName);
    putU32(out + 104, h.beginFrame);
    putU32(out + 108, h.lastFrame);
    putU32(out + 112, h.freeFrame);
    putU32(out + 116, h.lastFreeFrame);
    putU32(out + 120, h.endFrame);
    putU32(out + 124, h.maxMsg);
    putU16(out + 128, h.keepDays);
    putU16(out + 130, h.frameHeaderSize);
    memcpy(out + 132, h.reserved2, sizeof h.reserved2);
}
static_assert(132 + sizeof(SquishBaseHeader::reserved2) == kSquishBaseHeaderSize);

SquishBaseHeader decodeSquishBaseHeader(const uint8_t* in) {
    SquishBaseHeader h;
    h.headerLength = getU16(in + 0);
    h.reserved1 = getU16(in + 2);
    h.numMsg = getU32(in + 4);
    h.highMsg = getU32(in + 8);
    h.skipMsg = getU32(in + 12);
    h.highWater = getU32(in + 16);
    h.nextUmsgid = getU32(in + 20);
    getBytes(h.baseName, in + 24, sizeof h.baseName);
    h.beginFrame = getU32(in + 104);
    h.lastFrame = getU32(in + 108);
    h.freeFrame = getU32(in + 112);
    h.lastFreeFrame = getU32(in + 116);
    h.endFrame = getU32(in + 120);
    h.maxMsg = getU32(in + 124);
    h.keepDays = getU16(in + 128);
    h.frameHeaderSize = getU16(in + 130);
    memcpy(h.reserved2, in + 132, sizeof h.reserved2);
    return h;
}

void encodeSquishFrameHeader(const SquishFrameHeader& h, uint8_t* out) {
    putU32(out + 0, h.frameId);
    putU32(out + 4, h.nextFrame);
    putU32(out + 8, h.prevFrame);
    putU32(out + 12, h.frameLength);
    putU32(out + 16, h.msgLength);
    putU32(out + 20, h.controlLength);
    putU16(out + 24, h.frameType);
    putU16(out + 26, h.reserved);
}
static_assert(kSquishNextFrameOffset == 4 && kSquishPrevFrameOffset == 8);
static_assert(24 + 2 + 2 == kSquishFrameHeaderSize);

SquishFrameHeader decodeSquishFrameHeader(const uint8_t* in) {
    SquishFrameHeader h;
    h.frameId = getU32(in + 0);
    h.nextFrame = getU32(in + 4);
    h.prevFrame = getU32(in + 8);
    h.frameLength = getU32(in + 12);
    h.msgLength = getU32(in + 16);
    h.controlLength = getU32(in + 20);
    h.frameType = getU16(in + 24);
    h.reserved = getU16(in + 26);
    return h;
}

void encodeSquishMsgHeader(const SquishMsgHeader& h, uint8_t* out) {
    putU32(out + 0, h.attr);
    putBytes(out + 4, h.fromName, 36);
    putBytes(out + 40, h.toName, 36);
    putBytes(out + 76, h.subject, 72);
    encodeFidoAddr(h.origAddr, out + 148);
    encodeFidoAddr(h.destAddr, out + 156);
    putU32(out + 164, h.dateWritten);
    putU32(out + 168, h.dateArrived);
    putU16(out + 172, uint16_t(h.utcOffset));
    putU32(out + 174, h.replyTo);
    for (size_t i = 0; i < 9; ++i) putU32(out + 178 + 4 * i, h.replies[i]);
    putU32(out + kSquishMsgUmsgidOffset, h.umsgid);
    putBytes(out + 218, h.dateText, 20);
}
static_assert(178 + 9 * 4 == kSquishMsgUmsgidOffset);
static_assert(kSquishMsgUmsgidOffset + 4 + 20 == kSquishMsgHeaderSize);

SquishMsgHeader decodeSquishMsgHeader(const uint8_t* in) {
    SquishMsgHeader h;
    h.attr = getU32(in + 0);
    getBytes(h.fromName, in + 4, 36);
    getBytes(h.toName, in + 40, 36);
    getBytes(h.subject, in + 76, 72);
    h.origAddr = decodeFidoAddr(in + 148);
    h.destAddr = decodeFidoAddr(in + 156);
    h.dateWritten = getU32(in + 164);
    h.dateArrived = getU32(in + 168);
    h.utcOffset = int16_t(getU16(in + 172));
    h.replyTo = getU32(in + 174);
    for (size_t i = 0; i < 9; ++i) h.replies[i] = getU32(in + 178 + 4 * i);
    h.umsgid = getU32(in + kSquishMsgUmsgidOffset);
    getBytes(h.dateText, in + 218, 20);
    return h;
}

void encodeSqiRecord(const sqifile& r, uint8_t* out) {
    putU32(out + 0, r.frameOffset);
    putU32(out + 4, r.umsgid);
    putU32(out + 8, r.nameHash);
}
static_assert(4 + 4 + 4 == kSqiRecordSize);

sqifile decodeSqiRecord(const uint8_t* in) {
    sqifile r;
    r.frameOffset = getU32(in + 0);
    r.umsgid = getU32(in + 4);
    r.nameHash = getU32(in + 8);
    return r;
}

uint32_t squishNameHash(const char* name) {
    uint32_t h = 0;
    for (size_t i = 0; i < 36 && name[i] != 0; ++i) {
        int32_t c = static_cast<signed char>(foldCase(name[i]));
        h = (h << 4) + uint32_t(c);
        uint32_t g = h & 0xF0000000u;
        // The top bits are folded back in and kept (the ELF hash would clear them).
        if (g != 0) h = h | g | (g >> 24);
    }
    return h & 0x7FFFFFFFu;
}

bool isReadableMessageFrame(const SquishFrameHeader& frame, uint32_t frameOffset, int64_t fileLength) {
    return messageFrameProblem(frame, frameOffset, fileLength).empty();
}

std::string messageFrameProblem(const SquishFrameHeader& frame, uint32_t frameOffset, int64_t fileLength) {
    if (!isFrameOffset(frameOffset)) return frameOffsetProblem(frameOffset);
    if (frame.frameId != kSquishFrameId) return "has no frame id";
    if (frame.msgLength < kSquishMsgHeaderSize)
        return "holds " + std::to_string(frame.msgLength) + " bytes of message, less than a message header";
    if (frame.msgLength > frame.frameLength)
        return "holds a message of " + std::to_string(frame.msgLength) + " bytes in a frame of " +
               std::to_string(frame.frameLength);
    if (frame.controlLength > frame.msgLength - kSquishMsgHeaderSize)
        return "has " + std::to_string(frame.controlLength) + " bytes of control information in a message of " +
               std::to_string(frame.msgLength);
    // The used part of the frame must lie in the file (and so within the signed 32-bit
    // offsets of the format): every later read of it is bounded by the file.
    int64_t end = int64_t(frameOffset) + int64_t(kSquishFrameHeaderSize) + int64_t(frame.msgLength);
    if (end > fileLength) return "runs past the end of the data file";
    if (end > INT32_MAX) return "runs past the 32-bit offsets of the format";
    return {};
}

std::string frameOffsetProblem(uint32_t frameOffset) {
    if (isFrameOffset(frameOffset)) return {};
    if (frameOffset < kSquishBaseHeaderSize) return "lies inside the base header";
    return "lies past the 32-bit offsets of the format";
}
