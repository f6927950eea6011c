// A Squish base written directly in the file format for the benchmarks, whatever its
// size: messages 1..count in one chain of frames that fit them exactly, and the index in
// UMSGID order. Header only: each benchmark is a program of its own.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "areas/squish_format.h"
#include "support/le.h"

namespace bench {

// One message: its header (the UMSGID is set by the writer) and its control information
// and text, each written with a zero byte after it.
struct SquishMessage {
    SquishMsgHeader header;
    std::string control, text;
};

// Writes basePath.SQD and basePath.SQI with the messages make(0) .. make(count - 1),
// UMSGIDs 1..count. False when a file cannot be written.
[[nodiscard]] inline bool writeSquishBase(const std::string& basePath, uint32_t count,
                                          const std::function<SquishMessage(uint32_t)>& make) {
    std::vector<uint8_t> sqd(kSquishBaseHeaderSize), sqi;
    sqi.reserve(size_t(count) * kSqiRecordSize);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        SquishMessage m = make(i);
        m.header.umsgid = i + 1;
        const std::string control = m.control + '\0';
        const std::string text = m.text + '\0';

        SquishFrameHeader frame;
        frame.frameId = kSquishFrameId;
        frame.prevFrame = previous;
        frame.frameLength = frame.msgLength = uint32_t(kSquishMsgHeaderSize + control.size() + text.size());
        frame.controlLength = uint32_t(control.size());

        const uint32_t at = uint32_t(sqd.size());
        sqd.resize(size_t(at) + kSquishFrameHeaderSize + frame.frameLength);
        encodeSquishFrameHeader(frame, sqd.data() + at);
        encodeSquishMsgHeader(m.header, sqd.data() + at + kSquishFrameHeaderSize);
        memcpy(sqd.data() + at + kSquishFrameAndMsgHeaderSize, control.data(), control.size());
        memcpy(sqd.data() + at + kSquishFrameAndMsgHeaderSize + control.size(), text.data(), text.size());
        if (i > 0) putU32(sqd.data() + previous + kSquishNextFrameOffset, at);
        previous = at;

        uint8_t record[kSqiRecordSize];
        encodeSqiRecord(sqifile{at, m.header.umsgid, squishNameHash(m.header.toName)}, record);
        sqi.insert(sqi.end(), record, record + kSqiRecordSize);
    }
    SquishBaseHeader base;
    base.headerLength = uint16_t(kSquishBaseHeaderSize);
    base.numMsg = base.highMsg = count;
    base.nextUmsgid = count + 1;
    base.beginFrame = count ? uint32_t(kSquishBaseHeaderSize) : 0;
    base.lastFrame = previous;
    base.endFrame = uint32_t(sqd.size());
    base.frameHeaderSize = uint16_t(kSquishFrameHeaderSize);
    encodeSquishBaseHeader(base, sqd.data());

    auto save = [](const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return bool(out);
    };
    return save(basePath + ".SQD", sqd) && save(basePath + ".SQI", sqi);
}

}  // namespace bench
