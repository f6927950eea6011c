#include "common/squish_fixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

namespace sqfix {

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}
void putField(std::vector<uint8_t>& b, size_t at, const std::string& s, size_t field) {
    for (size_t i = 0; i < field; ++i) b[at + i] = i < s.size() ? uint8_t(s[i]) : 0;
}
void putAddr(std::vector<uint8_t>& b, size_t at, const FidoAddr& a) {
    put16(b, at, a.zone);
    put16(b, at + 2, a.net);
    put16(b, at + 4, a.node);
    put16(b, at + 6, a.point);
}
FidoAddr getAddr(const std::vector<uint8_t>& b, size_t at) {
    FidoAddr a;
    a.zone = get16(b, at);
    a.net = get16(b, at + 2);
    a.node = get16(b, at + 4);
    a.point = get16(b, at + 6);
    return a;
}
std::string rawField(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}
std::string cutAtZero(const std::string& s) { return s.substr(0, s.find('\0')); }

std::string lowerExt(const std::string& ext) {
    std::string s = ext;
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "0x%X", v);
    return b;
}

}  // namespace

uint32_t nameHash(const std::string& name) {
    uint32_t h = 0;
    for (size_t i = 0; i < name.size() && i < 36 && name[i] != 0; ++i) {
        int32_t c = static_cast<signed char>(name[i]);
        if (c >= 'A' && c <= 'Z') c = c + 32;
        h = (h << 4) + uint32_t(c);
        uint32_t g = h & 0xF0000000u;
        if (g) h |= g | (g >> 24);
    }
    return h & 0x7FFFFFFFu;
}

std::string fileOf(const std::string& basePath, const std::string& ext) {
    std::string upper = basePath + ext;
    if (exists(upper)) return upper;
    std::string lower = basePath + lowerExt(ext);
    return exists(lower) ? lower : upper;
}

int lockDataFile(const std::string& basePath) {
    int fd = ::open(fileOf(basePath, ".SQD").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return fd;
    close(fd);
    return -1;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void patchBytes(const std::string& path, uint32_t offset, const std::string& bytes) {
    std::vector<uint8_t> b = readFileBytes(path);
    if (b.size() < size_t(offset) + bytes.size()) b.resize(size_t(offset) + bytes.size());
    std::copy(bytes.begin(), bytes.end(), b.begin() + offset);
    writeFileBytes(path, b);
}

void patchU32(const std::string& path, uint32_t offset, uint32_t value) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = char(uint8_t(value >> (8 * i)));
    patchBytes(path, offset, s);
}

void truncateFile(const std::string& path, uint32_t length) {
    if (::truncate(path.c_str(), off_t(length)) != 0) throw std::runtime_error("cannot truncate " + path);
}

BuiltBase buildBase(const std::string& basePath, const std::vector<Message>& messages, const BuildOptions& o) {
    for (const char* ext : {".SQD", ".SQI", ".SQL"}) {
        ::unlink((basePath + ext).c_str());
        ::unlink((basePath + lowerExt(ext)).c_str());
    }
    BuiltBase built;
    built.basePath = basePath;
    std::vector<uint8_t> sqd(kBaseHeaderSize, 0);

    uint32_t prev = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        const Message& m = messages[i];
        uint32_t umsgid = o.firstUmsgid + uint32_t(i) * o.umsgidStep;
        uint32_t at = uint32_t(sqd.size());
        uint32_t msgLength = kMsgHeaderSize + uint32_t(m.control.size() + m.text.size() + 1);
        uint32_t frameLength = msgLength + m.framePadding;
        sqd.resize(size_t(at) + kFrameHeaderSize + frameLength, 0);
        put32(sqd, at + off::kFrameId, kFrameId);
        put32(sqd, at + off::kPrevFrame, prev);
        put32(sqd, at + off::kFrameLength, frameLength);
        put32(sqd, at + off::kMsgLength, msgLength);
        put32(sqd, at + off::kControlLength, uint32_t(m.control.size()));
        if (prev) put32(sqd, prev + off::kNextFrame, at);
        size_t h = size_t(at) + kFrameHeaderSize;
        put32(sqd, h + off::kAttr, m.attr);
        putField(sqd, h + off::kFrom, m.from, 36);
        putField(sqd, h + off::kTo, m.to, 36);
        putField(sqd, h + off::kSubject, m.subject, 72);
        putAddr(sqd, h + off::kOrigAddr, m.orig);
        putAddr(sqd, h + off::kDestAddr, m.dest);
        if (m.attr & 0x00020000u) put32(sqd, h + off::kUmsgid, umsgid);
        putField(sqd, h + off::kDateText, m.dateText, 20);
        std::copy(m.control.begin(), m.control.end(), sqd.begin() + long(h + kMsgHeaderSize));
        std::copy(m.text.begin(), m.text.end(), sqd.begin() + long(h + kMsgHeaderSize + m.control.size()));
        built.umsgids.push_back(umsgid);
        built.frameOffsets.push_back(at);
        prev = at;
    }

    uint32_t prevFree = 0;
    for (int i = 0; i < o.freeFrames; ++i) {
        uint32_t at = uint32_t(sqd.size());
        uint32_t length = kMsgHeaderSize + 16;
        sqd.resize(size_t(at) + kFrameHeaderSize + length, 0);
        put32(sqd, at + off::kFrameId, kFrameId);
        put32(sqd, at + off::kPrevFrame, prevFree);
        put32(sqd, at + off::kFrameLength, length);
        put32(sqd, at + off::kMsgLength, length);
        put16(sqd, at + off::kFrameType, 1);
        if (prevFree) put32(sqd, prevFree + off::kNextFrame, at);
        built.freeOffsets.push_back(at);
        prevFree = at;
    }

    uint32_t count = uint32_t(messages.size());
    put16(sqd, 0, uint16_t(kBaseHeaderSize));
    put32(sqd, off::kNumMsg, count);
    put32(sqd, off::kHighMsg, count);
    uint32_t next = o.nextUmsgid ? o.nextUmsgid : (count ? built.umsgids.back() + 1 : o.firstUmsgid);
    put32(sqd, off::kNextUmsgid, next);
    putField(sqd, off::kBaseName, o.baseName, 80);
    put32(sqd, off::kBeginFrame, count ? built.frameOffsets.front() : 0);
    put32(sqd, off::kLastFrame, count ? built.frameOffsets.back() : 0);
    put32(sqd, off::kFreeFrame, built.freeOffsets.empty() ? 0 : built.freeOffsets.front());
    put32(sqd, off::kLastFreeFrame, built.freeOffsets.empty() ? 0 : built.freeOffsets.back());
    put32(sqd, off::kEndFrame, uint32_t(sqd.size()));
    put16(sqd, 130, uint16_t(kFrameHeaderSize));

    std::vector<size_t> order(messages.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = o.reverseIndex ? order.size() - 1 - i : i;
    std::vector<uint8_t> sqi((messages.size() + size_t(o.trailingBlankRecords)) * kIndexRecordSize, 0);
    for (size_t k = 0; k < order.size(); ++k) {
        size_t i = order[k];
        put32(sqi, k * kIndexRecordSize, built.frameOffsets[i]);
        put32(sqi, k * kIndexRecordSize + 4, built.umsgids[i]);
        put32(sqi, k * kIndexRecordSize + 8, nameHash(messages[i].to));
    }
    for (size_t k = order.size(); k < order.size() + size_t(o.trailingBlankRecords); ++k)
        put32(sqi, k * kIndexRecordSize + 4, kBlankUmsgid);

    auto name = [&](const char* ext) { return basePath + (o.lowerCaseNames ? lowerExt(ext) : std::string(ext)); };
    writeFileBytes(name(".SQD"), sqd);
    writeFileBytes(name(".SQI"), sqi);
    if (o.lastReadMark) {
        std::vector<uint8_t> sql(8, 0);
        put32(sql, 0, *o.lastReadMark);
        put32(sql, 4, 0x12345678u);  // another user's slot, never read
        writeFileBytes(name(".SQL"), sql);
    }
    return built;
}

bool readBase(const std::string& basePath, BaseImage& out) {
    out = BaseImage();
    out.sqdPath = fileOf(basePath, ".SQD");
    out.sqiPath = fileOf(basePath, ".SQI");
    std::string sql = fileOf(basePath, ".SQL");
    if (exists(sql)) out.sqlPath = sql;
    if (!exists(out.sqdPath) || !exists(out.sqiPath)) return false;
    out.sqd = readFileBytes(out.sqdPath);
    out.sqi = readFileBytes(out.sqiPath);
    if (out.sqd.size() < kBaseHeaderSize) return false;
    BaseHeader& h = out.header;
    h.numMsg = get32(out.sqd, off::kNumMsg);
    h.highMsg = get32(out.sqd, off::kHighMsg);
    h.nextUmsgid = get32(out.sqd, off::kNextUmsgid);
    h.beginFrame = get32(out.sqd, off::kBeginFrame);
    h.lastFrame = get32(out.sqd, off::kLastFrame);
    h.freeFrame = get32(out.sqd, off::kFreeFrame);
    h.lastFreeFrame = get32(out.sqd, off::kLastFreeFrame);
    h.endFrame = get32(out.sqd, off::kEndFrame);
    for (size_t at = 0; at + kIndexRecordSize <= out.sqi.size(); at += kIndexRecordSize)
        out.index.push_back({get32(out.sqi, at), get32(out.sqi, at + 4), get32(out.sqi, at + 8)});
    return true;
}

bool BaseImage::readFrame(uint32_t offset, Frame& f) const {
    f = Frame();
    f.offset = offset;
    if (offset < kBaseHeaderSize || size_t(offset) + kFrameHeaderSize > sqd.size()) return false;
    FrameHeader& fh = f.header;
    fh.frameId = get32(sqd, offset + off::kFrameId);
    fh.nextFrame = get32(sqd, offset + off::kNextFrame);
    fh.prevFrame = get32(sqd, offset + off::kPrevFrame);
    fh.frameLength = get32(sqd, offset + off::kFrameLength);
    fh.msgLength = get32(sqd, offset + off::kMsgLength);
    fh.controlLength = get32(sqd, offset + off::kControlLength);
    fh.frameType = get16(sqd, offset + off::kFrameType);
    fh.reserved = get16(sqd, offset + 26);
    if (fh.msgLength < kMsgHeaderSize || fh.controlLength > fh.msgLength - kMsgHeaderSize) return false;
    if (uint64_t(offset) + kFrameHeaderSize + fh.msgLength > sqd.size()) return false;
    size_t h = size_t(offset) + kFrameHeaderSize;
    MsgHeader& m = f.msg;
    m.attr = get32(sqd, h + off::kAttr);
    m.fromRaw = rawField(sqd, h + off::kFrom, 36);
    m.toRaw = rawField(sqd, h + off::kTo, 36);
    m.subjectRaw = rawField(sqd, h + off::kSubject, 72);
    m.from = cutAtZero(m.fromRaw);
    m.to = cutAtZero(m.toRaw);
    m.subject = cutAtZero(m.subjectRaw);
    m.orig = getAddr(sqd, h + off::kOrigAddr);
    m.dest = getAddr(sqd, h + off::kDestAddr);
    m.dateWritten = get32(sqd, h + off::kDateWritten);
    m.dateArrived = get32(sqd, h + off::kDateArrived);
    m.utcOffset = get16(sqd, h + off::kUtcOffset);
    m.replyLinksRaw = rawField(sqd, h + off::kReplyLinks, off::kUmsgid - off::kReplyLinks);
    m.umsgid = get32(sqd, h + off::kUmsgid);
    m.dateTextRaw = rawField(sqd, h + off::kDateText, 20);
    f.control = rawField(sqd, h + kMsgHeaderSize, fh.controlLength);
    f.text = rawField(sqd, h + kMsgHeaderSize + fh.controlLength, fh.msgLength - kMsgHeaderSize - fh.controlLength);
    return true;
}

std::vector<uint32_t> BaseImage::chain(uint32_t first, size_t limit) const {
    std::vector<uint32_t> out;
    std::set<uint32_t> seen;
    for (uint32_t at = first; at >= kBaseHeaderSize && out.size() < limit && seen.insert(at).second;) {
        out.push_back(at);
        if (size_t(at) + kFrameHeaderSize > sqd.size()) break;
        at = get32(sqd, at + off::kNextFrame);
    }
    return out;
}

std::vector<IndexRecord> BaseImage::messages() const {
    std::vector<IndexRecord> out;
    for (const IndexRecord& r : index)
        if (!r.isBlank()) out.push_back(r);
    return out;
}

namespace {

// Walks one chain, checking links both ways, frame ids, lengths and types.
std::vector<uint32_t> checkChain(const BaseImage& img, const char* what, uint32_t first, uint32_t last,
                                 uint16_t frameType, std::vector<std::string>& problems) {
    std::vector<uint32_t> offsets;
    std::set<uint32_t> seen;
    uint32_t prev = 0;
    uint32_t at = first >= kBaseHeaderSize ? first : 0;
    while (at != 0) {
        std::string where = std::string(what) + " frame at " + std::to_string(at);
        if (!seen.insert(at).second) {
            problems.push_back(where + ": chain loops");
            break;
        }
        Frame f;
        if (at < kBaseHeaderSize || size_t(at) + kFrameHeaderSize > img.sqd.size()) {
            problems.push_back(where + ": outside the data file");
            break;
        }
        bool whole = img.readFrame(at, f);
        if (f.header.frameId != kFrameId) problems.push_back(where + ": bad frame id " + hex(f.header.frameId));
        if (!whole) problems.push_back(where + ": lengths do not fit");
        if (f.header.msgLength > f.header.frameLength) problems.push_back(where + ": msgLength > frameLength");
        if (uint64_t(at) + kFrameHeaderSize + f.header.frameLength > img.sqd.size())
            problems.push_back(where + ": frame runs past the end of the file");
        if (f.header.frameType != frameType)
            problems.push_back(where + ": frame type " + std::to_string(f.header.frameType));
        if (f.header.prevFrame != prev)
            problems.push_back(where + ": prevFrame " + std::to_string(f.header.prevFrame) + ", expected " +
                               std::to_string(prev));
        offsets.push_back(at);
        prev = at;
        at = f.header.nextFrame;
    }
    uint32_t expectedLast = last >= kBaseHeaderSize ? last : 0;
    if (prev != expectedLast)
        problems.push_back(std::string(what) + " chain ends at " + std::to_string(prev) + ", header says " +
                           std::to_string(last));
    return offsets;
}

}  // namespace

std::vector<std::string> checkBase(const std::string& basePath) {
    std::vector<std::string> problems;
    BaseImage img;
    if (!readBase(basePath, img)) {
        problems.push_back("base files missing or data file shorter than its header");
        return problems;
    }
    const BaseHeader& h = img.header;
    if (h.endFrame != img.sqd.size())
        problems.push_back("endFrame " + std::to_string(h.endFrame) + " differs from the data file length " +
                           std::to_string(img.sqd.size()));
    if (h.highMsg != h.numMsg) problems.push_back("highMsg differs from numMsg");
    if (img.sqi.size() % kIndexRecordSize != 0) problems.push_back("index length is not a multiple of 12");

    std::vector<uint32_t> msgs = checkChain(img, "message", h.beginFrame, h.lastFrame, 0, problems);
    std::vector<uint32_t> frees = checkChain(img, "free", h.freeFrame, h.lastFreeFrame, 1, problems);
    if (msgs.size() != h.numMsg)
        problems.push_back("message chain has " + std::to_string(msgs.size()) + " frames, numMsg is " +
                           std::to_string(h.numMsg));

    // Frames cover the data from the header to the end without overlap.
    std::map<uint32_t, uint64_t> extents;
    for (const auto* list : {&msgs, &frees})
        for (uint32_t at : *list) {
            if (extents.count(at)) problems.push_back("frame " + std::to_string(at) + " is on both chains");
            extents[at] = uint64_t(at) + kFrameHeaderSize + get32(img.sqd, at + off::kFrameLength);
        }
    uint64_t cursor = kBaseHeaderSize;
    for (const auto& [start, end] : extents) {
        if (start < cursor) problems.push_back("frame " + std::to_string(start) + " overlaps the one before");
        if (start > cursor) problems.push_back("gap before frame " + std::to_string(start));
        cursor = std::max<uint64_t>(cursor, end);
    }
    if (cursor != img.sqd.size()) problems.push_back("frames do not end at the end of the data file");

    // Index: non-blank records sorted, each naming a message frame once; blanks only at the end.
    std::set<uint32_t> chainSet(msgs.begin(), msgs.end());
    std::set<uint32_t> named;
    size_t nonBlank = 0;
    bool blankSeen = false;
    uint32_t lastUmsgid = 0;
    for (size_t i = 0; i < img.index.size(); ++i) {
        const IndexRecord& r = img.index[i];
        std::string where = "index record " + std::to_string(i);
        if (r.isBlank()) {
            blankSeen = true;
            continue;
        }
        if (blankSeen) problems.push_back(where + ": follows a blank record");
        if (nonBlank > 0 && r.umsgid <= lastUmsgid) problems.push_back(where + ": UMSGIDs not ascending");
        lastUmsgid = r.umsgid;
        ++nonBlank;
        if (r.umsgid >= h.nextUmsgid) problems.push_back(where + ": UMSGID not below nextUmsgid");
        if (!chainSet.count(r.frameOffset)) {
            problems.push_back(where + ": frame " + std::to_string(r.frameOffset) + " is not in the message chain");
            continue;
        }
        if (!named.insert(r.frameOffset).second) problems.push_back(where + ": frame named twice");
        Frame f;
        if (!img.readFrame(r.frameOffset, f)) continue;
        if (r.nameHash != nameHash(f.msg.toRaw)) problems.push_back(where + ": name hash does not match toName");
        if ((f.msg.attr & 0x00020000u) && f.msg.umsgid != r.umsgid)
            problems.push_back(where + ": UMSGID field of the header is " + std::to_string(f.msg.umsgid));
    }
    if (nonBlank != h.numMsg)
        problems.push_back("index has " + std::to_string(nonBlank) + " records, numMsg is " + std::to_string(h.numMsg));
    return problems;
}

}  // namespace sqfix
