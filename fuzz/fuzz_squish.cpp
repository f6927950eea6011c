// The Squish reader and writer on arbitrary .SQD/.SQI/.SQL bytes: list, statistics,
// fetch and delete must treat anything damaged as unreadable, never crash or hang. With
// bit 0x20 of the action byte the base is instead built sound from a small recipe and
// then damaged by a few patches, so that the writes get past the first checks. Either way
// a write that reports failure must have left every byte of the base as it was.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "areas/squish_area.h"
#include "areas/squish_format.h"
#include "fuzz/fuzzkit.h"
#include "support/le.h"

namespace {

struct Built {
    std::string sqd, sqi;
    std::vector<uint32_t> frames;  // message frames, then free frames
    uint32_t messages = 0;
};

// A sound base: up to 5 messages with short texts, up to 2 free frames, blank records
// after the index.
Built buildSound(InputCutter& recipe) {
    Built b;
    b.messages = recipe.byte() % 6;
    uint32_t frees = recipe.byte() % 3;
    uint32_t blanks = recipe.byte() % 3;
    b.sqd.assign(kSquishBaseHeaderSize, '\0');
    SquishBaseHeader h;
    h.headerLength = uint16_t(kSquishBaseHeaderSize);
    h.frameHeaderSize = uint16_t(kSquishFrameHeaderSize);
    uint32_t prev = 0;
    for (uint32_t i = 0; i < b.messages + frees; ++i) {
        bool free = i >= b.messages;
        std::string control = free ? "" : "\x01MSGID: 2:5020/" + std::to_string(1 + i % 2) + ".0 0000000" +
                                                  std::to_string(i);
        std::string text = "Text " + std::to_string(i) + "\r" + std::string(recipe.byte() % 40, 'x') + '\0';
        SquishFrameHeader f;
        f.frameId = kSquishFrameId;
        f.prevFrame = (free && i == b.messages) ? 0 : prev;
        f.msgLength = uint32_t(kSquishMsgHeaderSize + control.size() + text.size());
        f.frameLength = f.msgLength;
        f.controlLength = uint32_t(control.size());
        f.frameType = free ? kSquishFrameFree : kSquishFrameNormal;
        uint32_t at = uint32_t(b.sqd.size());
        b.sqd.resize(size_t(at) + kSquishFrameHeaderSize + f.frameLength, '\0');
        uint8_t* p = reinterpret_cast<uint8_t*>(b.sqd.data());
        encodeSquishFrameHeader(f, p + at);
        SquishMsgHeader m;
        memcpy(m.fromName, "Sender", 6);
        memcpy(m.toName, "All", 3);
        memcpy(m.dateText, "05 Jan 07  13:45:30", 19);
        encodeSquishMsgHeader(m, p + at + kSquishFrameHeaderSize);
        memcpy(p + at + kSquishFrameAndMsgHeaderSize, control.data(), control.size());
        memcpy(p + at + kSquishFrameAndMsgHeaderSize + control.size(), text.data(), text.size());
        if (f.prevFrame) putU32(p + f.prevFrame + kSquishNextFrameOffset, at);
        if (!free && i == 0) h.beginFrame = at;
        if (!free) h.lastFrame = at;
        if (free && i == b.messages) h.freeFrame = at;
        if (free) h.lastFreeFrame = at;
        b.frames.push_back(at);
        prev = at;
        if (!free) {
            uint8_t rec[kSqiRecordSize];
            encodeSqiRecord(sqifile{at, i + 1, squishNameHash("All")}, rec);
            b.sqi.append(reinterpret_cast<char*>(rec), sizeof rec);
        }
    }
    for (uint32_t i = 0; i < blanks; ++i) {
        uint8_t rec[kSqiRecordSize];
        encodeSqiRecord(sqifile{0, kSqiBlankUmsgid, 0}, rec);
        b.sqi.append(reinterpret_cast<char*>(rec), sizeof rec);
    }
    h.numMsg = h.highMsg = b.messages;
    h.nextUmsgid = b.messages + 1;
    h.endFrame = uint32_t(b.sqd.size());
    encodeSquishBaseHeader(h, reinterpret_cast<uint8_t*>(b.sqd.data()));
    return b;
}

// Patches 32-bit values into the built files: at a frame's field or anywhere, with a
// value that is mostly another frame's offset (a link to the wrong place) or near it, or
// makes a frame link to itself.
void damage(Built& b, InputCutter& patches) {
    while (!patches.empty()) {
        uint8_t how = patches.byte();
        uint32_t where = patches.u32();
        uint32_t value = patches.u32();
        std::string& file = (how & 1) ? b.sqi : b.sqd;
        if (how & 0x80) {
            if (!file.empty()) file.resize(where % file.size());
            continue;
        }
        if ((how & 0x40) && !(how & 1) && !b.frames.empty()) {
            // A frame that links to itself, forwards, backwards or both.
            uint32_t frame = b.frames[where % b.frames.size()];
            for (uint32_t field : {kSquishNextFrameOffset, kSquishPrevFrameOffset})
                if ((value >> field) & 1 && size_t(frame) + field + 4 <= file.size())
                    putU32(reinterpret_cast<uint8_t*>(file.data()) + frame + field, frame);
            continue;
        }
        if ((how & 2) && !b.frames.empty()) value = b.frames[value % b.frames.size()] + (how >> 4) % 4 * 100;
        uint32_t at;
        if ((how & 4) && !b.frames.empty() && !(how & 1))
            at = b.frames[where % b.frames.size()] + (where >> 8) % 7 * 4;  // a frame header field
        else if (how & 8)
            at = 104 + (where % 5) * 4;  // a chain pointer of the base header, or endFrame
        else
            at = file.empty() ? 0 : where % uint32_t(file.size());
        if (size_t(at) + 4 > file.size()) continue;
        putU32(reinterpret_cast<uint8_t*>(file.data()) + at, value);
    }
}

// The frames of a chain of the data file, followed from the header's pointer at
// `headerField` through the frames' link at `linkField`, up to its end or the first frame
// it comes back to.
std::vector<uint32_t> chainOf(const std::string& sqd, size_t headerField, int64_t linkField) {
    auto at = [&sqd](size_t offset) -> uint32_t {
        return offset + 4 <= sqd.size() ? getU32(reinterpret_cast<const uint8_t*>(sqd.data()) + offset) : 0;
    };
    std::vector<uint32_t> seen;
    for (uint32_t frame = at(headerField); frame != 0 && size_t(frame) + 28 <= sqd.size();
         frame = at(frame + size_t(linkField))) {
        if (std::find(seen.begin(), seen.end(), frame) != seen.end()) break;
        seen.push_back(frame);
    }
    return seen;
}

// Whether the base's message chain and free chain share a frame: what no write may make of
// a base where they did not (a delete that frees a frame still linked does).
bool chainsShareAFrame(const std::string& sqd) {
    std::vector<uint32_t> messages = chainOf(sqd, 104, kSquishNextFrameOffset);
    std::vector<uint32_t> backwards = chainOf(sqd, 108, kSquishPrevFrameOffset);
    messages.insert(messages.end(), backwards.begin(), backwards.end());
    for (uint32_t f : chainOf(sqd, 112, kSquishNextFrameOffset))
        if (std::find(messages.begin(), messages.end(), f) != messages.end()) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputCutter in(data, size);
    std::string sqd = in.part();
    std::string sqi = in.part();
    std::string sql = in.part();
    uint8_t actions = in.byte();
    uint32_t number = in.u32();
    if (actions & 0x20) {
        InputCutter recipe(reinterpret_cast<const uint8_t*>(sqd.data()), sqd.size());
        InputCutter patches(reinterpret_cast<const uint8_t*>(sqi.data()), sqi.size());
        Built built = buildSound(recipe);
        damage(built, patches);
        sqd = built.sqd;
        sqi = built.sqi;
        number = built.messages ? number % (built.messages + 2) : number;
    }
    std::string base = scratchDir() + "/base";
    writeBytes(base + ".SQD", reinterpret_cast<const uint8_t*>(sqd.data()), sqd.size());
    writeBytes(base + ".SQI", reinterpret_cast<const uint8_t*>(sqi.data()), sqi.size());
    if (actions & 1) writeBytes(base + ".SQL", reinterpret_cast<const uint8_t*>(sql.data()), sql.size());
    auto files = [&base] { return readBytes(base + ".SQD") + '\0' + readBytes(base + ".SQI"); };

    CSquishArea area(base, 0);
    std::vector<pktMsgHeader> list = listHeaders(area);
    AreaStats stats;
    (void)area.getAreaStats(stats);
    MCArray<char> message;
    for (size_t i = 0; i < list.size() && i < 8; ++i) fetch(area, list[i].msgNumber, message);
    fetch(area, number, message);
    FidoAddr requester{2, 5020, 1, 0};
    // A write that fails leaves every byte as it was; one that succeeds never puts a frame
    // on both chains.
    if (actions & 2) {
        std::string before = files();
        bool shared = chainsShareAFrame(readBytes(base + ".SQD"));
        if (!deleteAs(area, number, requester, (actions & 4) != 0).isOk())
            require(files() == before, "a delete that failed changed the base");
        else
            require(shared || !chainsShareAFrame(readBytes(base + ".SQD")), "a delete left a frame on both chains");
    }
    if (actions & 8) {
        NewMessage record;
        record.origAddr = requester;
        std::string text = in.rest();
        std::string before = files();
        bool shared = chainsShareAFrame(readBytes(base + ".SQD"));
        if (!postText(area, record, text, 0).isOk())
            require(files() == before, "a post that failed changed the base");
        else
            require(shared || !chainsShareAFrame(readBytes(base + ".SQD")), "a post left a frame on both chains");
    }
    if (actions & 0x10) list = listHeaders(area);
    removeTree(base + ".SQL");
    return 0;
}
