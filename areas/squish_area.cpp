#include "areas/squish_area.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "areas/kludges.h"
#include "support/le.h"
#include "support/text.h"
#include "wire/fidodate.h"

namespace {

// Records read per block when the index is read piecewise (768 KB): an index padded with
// many records that name no frame is still read in large sequential pieces.
constexpr int64_t kIndexBlockRecords = 65536;
// Bytes read past the message header while listing: room for the usual control information.
constexpr size_t kListReadAhead = 512;

// Closes the base's files when an operation returns, whatever the path.
class BaseCloser {
public:
    explicit BaseCloser(CSquishArea& area) : area_(area) {}
    ~BaseCloser() { area_.closeBase(); }
    BaseCloser(const BaseCloser&) = delete;
    BaseCloser& operator=(const BaseCloser&) = delete;

private:
    CSquishArea& area_;
};

std::string offsetText(uint32_t offset) { return std::to_string(offset); }

const char* frameTypeName(uint16_t type) {
    switch (type) {
    case kSquishFrameNormal: return "a message frame";
    case kSquishFrameFree: return "a free frame";
    default: return "a frame of unknown type";
    }
}

// A chain pointer of the base header: 0 (no frame) or the offset of a frame header that
// lies in the data file past the base header. Empty when it is sound; otherwise what is
// wrong with it.
std::string checkHeaderLink(uint32_t offset, int64_t fileLength, const char* name) {
    if (offset == 0) return {};
    if (!isFrameOffset(offset))
        return std::string("the header's ") + name + " (" + offsetText(offset) + ") does not point past the base header";
    if (int64_t(offset) + int64_t(kSquishFrameHeaderSize) > fileLength)
        return std::string("the header's ") + name + " (" + offsetText(offset) + ") points past the end of the data file";
    return {};
}

// Reads the frame header at `offset` that a write is about to patch or link to, and checks
// that it is one: inside the data file past the base header, carrying the frame id, of
// the type the write expects. Empty when it is; otherwise what `role` names is wrong with.
std::string checkFrameToPatch(const OsFile& data, int64_t fileLength, uint32_t offset, uint16_t type,
                              const std::string& role, SquishFrameHeader& frame) {
    std::string where = role + " (offset " + offsetText(offset) + ")";
    if (!isFrameOffset(offset) || int64_t(offset) + int64_t(kSquishFrameHeaderSize) > fileLength)
        return where + " lies outside the frames of the data file";
    uint8_t raw[kSquishFrameHeaderSize];
    if (data.readAt(offset, raw, sizeof raw) != int64_t(sizeof raw)) return where + " cannot be read";
    frame = decodeSquishFrameHeader(raw);
    if (frame.frameId != kSquishFrameId) return where + " is not a frame (no frame id)";
    if (frame.frameType != type)
        return where + " is " + frameTypeName(frame.frameType) + ", not " + frameTypeName(type);
    return {};
}

// Whether the whole frame (header and frameLength bytes) lies in the file.
bool frameFitsFile(uint32_t offset, const SquishFrameHeader& frame, int64_t fileLength) {
    return int64_t(offset) + int64_t(kSquishFrameHeaderSize) + int64_t(frame.frameLength) <= fileLength;
}

bool readBaseHeader(const OsFile& file, SquishBaseHeader& header) {
    uint8_t raw[kSquishBaseHeaderSize];
    if (file.readAt(0, raw, sizeof raw) != int64_t(sizeof raw)) return false;
    header = decodeSquishBaseHeader(raw);
    return true;
}

bool writeBaseHeader(OsFile& file, const SquishBaseHeader& header) {
    uint8_t raw[kSquishBaseHeaderSize];
    encodeSquishBaseHeader(header, raw);
    return file.writeAt(0, raw, sizeof raw);
}

bool writeU32At(OsFile& file, int64_t offset, uint32_t value) {
    uint8_t raw[4];
    putU32(raw, value);
    return file.writeAt(offset, raw, sizeof raw);
}

// Control information and text of a new message, as the data area stores them after the
// message header: the kludges without line ends, one zero byte before the first body line,
// the body lines with their carriage returns, and a final zero byte.
struct NewMessageBody {
    std::vector<char> bytes;
    uint32_t controlLength = 0;
};

bool buildNewMessageBody(const char* msgIdKludge, const char* text, NewMessageBody& body) {
    try {
        auto append = [&](const char* p, size_t n) { body.bytes.insert(body.bytes.end(), p, p + n); };
        size_t kludgeLength = strlen(msgIdKludge);
        if (kludgeLength > 0 && msgIdKludge[kludgeLength - 1] == '\r') --kludgeLength;
        append(msgIdKludge, kludgeLength);
        size_t control = kludgeLength;
        bool kludgePhase = true;
        const char* p = text;
        while (*p) {
            const char* cr = strchr(p, '\r');
            if (!cr) {
                // The rest has no line end: it is text, also right after the kludges.
                append(p, strlen(p));
                break;
            }
            size_t lineLength = size_t(cr - p) + 1;
            if (kludgePhase && p[0] == 1) {
                append(p, lineLength - 1);
                control += lineLength - 1;
            } else {
                if (kludgePhase) {
                    body.bytes.push_back(0);
                    ++control;
                    kludgePhase = false;
                }
                append(p, lineLength);
            }
            p = cr + 1;
        }
        body.bytes.push_back(0);
        if (body.bytes.size() > size_t(INT32_MAX)) return false;
        body.controlLength = uint32_t(control);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

OsFile openSquishFile(const std::string& base, const char* extension, OsFile::Mode mode) {
    std::string upper = base + extension;
    if (fileExists(upper)) return OsFile::openExisting(upper, mode);
    std::string lower = base;
    for (const char* e = extension; *e; ++e) lower += foldCase(*e);
    return OsFile::openExisting(lower, mode);
}

CSquishArea::CSquishArea(const char* path, int32_t number) : CEchoArea(number) {
    if (path && strnlen(path, kSquishMaxPath) < kSquishMaxPath) copyField(basePath, path, kSquishMaxPath);
}

CSquishArea::~CSquishArea() { closeBase(); }

bool CSquishArea::openBase() {
    size_t length = strnlen(basePath, kSquishMaxPath);
    if (length + 5 > kSquishMaxPath) return false;
    closeBase();
    dataFile = openSquishFile(basePath, ".SQD", OsFile::Mode::ReadWrite);
    if (!dataFile.isOpen()) return false;
    indexFile = openSquishFile(basePath, ".SQI", OsFile::Mode::ReadWrite);
    if (!indexFile.isOpen()) {
        dataFile.close();
        return false;
    }
    return true;
}

void CSquishArea::closeBase() {
    dataFile.close();
    indexFile.close();
}

int CSquishArea::compareUmsgid(const sqifile* a, const sqifile* b) {
    if (a->umsgid < b->umsgid) return -1;
    return a->umsgid > b->umsgid ? 1 : 0;
}

bool CSquishArea::loadIndex(MCArray<sqifile>& index) {
    index.removeAll();
    int64_t length = indexFile.length();
    if (length < 0) return false;
    const int64_t n = length / int64_t(kSqiRecordSize);
    // The array grows by doubling as records are kept, so that records naming no frame
    // (a long run of zero records, say) cost neither memory nor a frame read later.
    int32_t kept = 0;
    int32_t room = 0;
    try {
        std::vector<uint8_t> block(size_t(std::min(n, kIndexBlockRecords)) * kSqiRecordSize);
        for (int64_t first = 0; first < n; first += kIndexBlockRecords) {
            int64_t count = std::min(kIndexBlockRecords, n - first);
            size_t bytes = size_t(count) * kSqiRecordSize;
            if (indexFile.readAt(first * int64_t(kSqiRecordSize), block.data(), bytes) != int64_t(bytes)) {
                index.removeAll();
                return false;
            }
            for (int64_t i = 0; i < count; ++i) {
                sqifile r = decodeSqiRecord(block.data() + size_t(i) * kSqiRecordSize);
                if (!namesFrame(r)) continue;
                if (kept == room) {
                    int64_t more = std::min<int64_t>(std::max<int64_t>(int64_t(room) * 2, 1024), n);
                    if (more > INT32_MAX || more <= room || !index.setSize(int32_t(more))) {
                        index.removeAll();
                        return false;
                    }
                    room = int32_t(more);
                }
                *index.getAt(kept++) = r;
            }
        }
    } catch (const std::bad_alloc&) {
        index.removeAll();
        return false;
    }
    (void)index.setSize(kept);  // shrinking never fails
    sqifile* records = index.getData();
    auto before = [](const sqifile& a, const sqifile& b) { return compareUmsgid(&a, &b) < 0; };
    // Squish writers keep the index in order, so the sort is mostly skipped.
    if (!std::is_sorted(records, records + kept, before)) std::sort(records, records + kept, before);
    return true;
}

int32_t CSquishArea::findUmsgid(const MCArray<sqifile>& index, uint32_t umsgid) {
    sqifile key;
    key.umsgid = umsgid;
    int32_t low = 0;
    int32_t high = index.getCount();
    const sqifile* records = index.getData();
    while (low < high) {
        int32_t middle = low + (high - low) / 2;
        int r = compareUmsgid(&key, records + middle);
        if (r == 0) return middle;
        if (r > 0)
            low = middle + 1;
        else
            high = middle;
    }
    return -1;
}

bool CSquishArea::findIndexRecord(uint32_t umsgid, sqifile& record) {
    int64_t length = indexFile.length();
    if (length < 0) return false;
    const int64_t n = length / int64_t(kSqiRecordSize);
    constexpr int64_t kBlock = 256;
    uint8_t block[kBlock * kSqiRecordSize];
    bool failed = false;
    auto readRecord = [&](int64_t at, sqifile& r) {
        uint8_t raw[kSqiRecordSize];
        if (indexFile.readAt(at * int64_t(kSqiRecordSize), raw, sizeof raw) != int64_t(sizeof raw)) {
            failed = true;
            return false;
        }
        r = decodeSqiRecord(raw);
        return true;
    };
    auto matches = [&](const sqifile& r) { return r.umsgid == umsgid && namesFrame(r); };
    // Reads `count` records from `first` in one piece and looks for the UMSGID among them;
    // their first and last UMSGIDs are left in blockFirst and blockLast.
    uint32_t blockFirst = 0, blockLast = 0;
    auto searchBlock = [&](int64_t first, int64_t count) {
        size_t bytes = size_t(count) * kSqiRecordSize;
        if (indexFile.readAt(first * int64_t(kSqiRecordSize), block, bytes) != int64_t(bytes)) {
            failed = true;
            return false;
        }
        for (int64_t i = 0; i < count; ++i) {
            sqifile r = decodeSqiRecord(block + size_t(i) * kSqiRecordSize);
            if (i == 0) blockFirst = r.umsgid;
            blockLast = r.umsgid;
            if (matches(r)) {
                record = r;
                return true;
            }
        }
        return false;
    };

    int64_t low = 0;
    int64_t high = n;
    // UMSGIDs mostly follow one another, so the record usually lies where its number
    // suggests between the first and the last one: one block read around that place.
    if (n > kBlock) {
        sqifile first, last;
        if (!readRecord(0, first) || !readRecord(n - 1, last)) return false;
        if (first.umsgid <= umsgid && umsgid <= last.umsgid && first.umsgid < last.umsgid) {
            double place = double(umsgid - first.umsgid) / double(last.umsgid - first.umsgid) * double(n - 1);
            int64_t start = std::clamp<int64_t>(int64_t(place) - kBlock / 2, 0, n - kBlock);
            if (searchBlock(start, kBlock)) return true;
            if (failed) return false;
            if (blockFirst > umsgid) high = start;
            if (blockLast < umsgid) low = start + kBlock;
        }
    }
    // Halve the range with single reads until it fits one block, then read that block.
    while (high - low > kBlock) {
        int64_t middle = low + (high - low) / 2;
        sqifile r;
        if (!readRecord(middle, r)) return false;
        if (matches(r)) {
            record = r;
            return true;
        }
        if (r.umsgid < umsgid)
            low = middle + 1;
        else
            high = middle;
    }
    if (high > low && searchBlock(low, high - low)) return true;
    if (failed) return false;

    // Not found that way: the index may be out of order, so look at every record, in
    // large sequential pieces.
    try {
        std::vector<uint8_t> big(size_t(std::min(n, kIndexBlockRecords)) * kSqiRecordSize);
        for (int64_t first = 0; first < n; first += kIndexBlockRecords) {
            int64_t count = std::min(kIndexBlockRecords, n - first);
            size_t bytes = size_t(count) * kSqiRecordSize;
            if (indexFile.readAt(first * int64_t(kSqiRecordSize), big.data(), bytes) != int64_t(bytes)) return false;
            for (int64_t i = 0; i < count; ++i) {
                sqifile r = decodeSqiRecord(big.data() + size_t(i) * kSqiRecordSize);
                if (matches(r)) {
                    record = r;
                    return true;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return false;
}

bool CSquishArea::appendIndexRecord(uint32_t frameOffset, uint32_t umsgid, const char* toName) {
    IndexTail tail;
    if (!readIndexTail(tail)) return false;
    sqifile record{frameOffset, umsgid, squishNameHash(toName)};
    return writeIndexRecord(tail.position + 1, record);
}

bool CSquishArea::writeIndexRecord(int64_t position, const sqifile& record) {
    uint8_t raw[kSqiRecordSize];
    encodeSqiRecord(record, raw);
    return indexFile.writeAt(position * int64_t(kSqiRecordSize), raw, sizeof raw);
}

bool CSquishArea::readIndexTail(IndexTail& tail) {
    tail = IndexTail();
    int64_t length = indexFile.length();
    if (length < 0) return false;
    int64_t position = length / int64_t(kSqiRecordSize);
    // Mostly the last record names its frame and one small read does; records without a
    // frame at the end are read backwards in growing pieces.
    int64_t blockRecords = 256;
    std::vector<uint8_t> block;
    try {
        while (position > 0) {
            int64_t count = std::min(position, blockRecords);
            int64_t first = position - count;
            size_t bytes = size_t(count) * kSqiRecordSize;
            block.resize(bytes);
            if (indexFile.readAt(first * int64_t(kSqiRecordSize), block.data(), bytes) != int64_t(bytes)) return false;
            for (int64_t i = count - 1; i >= 0; --i) {
                sqifile r = decodeSqiRecord(block.data() + size_t(i) * kSqiRecordSize);
                if (namesFrame(r)) {
                    tail.found = true;
                    tail.last = r;
                    tail.position = first + i;
                    return true;
                }
                if (!tail.unfinished && isUnfinishedSqiRecord(r)) {
                    tail.unfinished = true;
                    tail.unfinishedRecord = r;
                    tail.unfinishedPosition = first + i;
                }
            }
            position = first;
            blockRecords = std::min<int64_t>(blockRecords * 4, kIndexBlockRecords);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::string CSquishArea::baseLabel() const { return std::string("Squish base ") + basePath; }

bool CSquishArea::refuseDamaged(const std::string& what) {
    return refuseWrite(baseLabel() + ": " + what + "; nothing was written");
}

bool CSquishArea::deferForUnfinishedRecord(const IndexTail& tail) {
    if (!tail.unfinished) return true;
    deferWrite(baseLabel() + ": index record " + std::to_string(tail.unfinishedPosition) + " (UMSGID " +
               std::to_string(tail.unfinishedRecord.umsgid) +
               ") has no frame yet: another program is writing that message, or left it unfinished "
               "(its pack tool repairs the base)");
    return false;
}

bool CSquishArea::checkLastFrameAgainstIndex(const SquishBaseHeader& base, const IndexTail& tail,
                                             int64_t fileLength, const sqifile* maxRecord) {
    const uint32_t last = base.lastFrame;
    const uint32_t tailFrame = tail.found ? tail.last.frameOffset : 0;
    if (last == tailFrame) return true;
    // The index may simply not be in file order: the message with the highest UMSGID is
    // the one at the end of the chain.
    MCArray<sqifile> index;
    if (!maxRecord && tail.found) {
        if (!loadIndex(index)) return false;
        if (index.getCount() > 0) maxRecord = index.getAt(index.getCount() - 1);
    }
    if (maxRecord && maxRecord->frameOffset == last) return true;

    const std::string tailText = tail.found ? "index record " + std::to_string(tail.position) + " (UMSGID " +
                                                  std::to_string(tail.last.umsgid) + ", frame " +
                                                  offsetText(tailFrame) + ")"
                                            : std::string("an index that names no frame");
    auto frameAt = [&](uint32_t offset, SquishFrameHeader& frame) {
        uint8_t raw[kSquishFrameHeaderSize];
        if (!isFrameOffset(offset) || int64_t(offset) + int64_t(kSquishFrameHeaderSize) > fileLength ||
            dataFile.readAt(offset, raw, sizeof raw) != int64_t(sizeof raw))
            return false;
        frame = decodeSquishFrameHeader(raw);
        return frame.frameId == kSquishFrameId;
    };
    SquishFrameHeader frame;
    // A frame linked after the last indexed one whose record is not written yet...
    if (last != 0 && frameAt(last, frame) && frame.prevFrame == tailFrame) {
        deferWrite(baseLabel() + ": its last frame (offset " + offsetText(last) + ") has no index record yet (" +
                   tailText + " comes last): another program is writing that message, or left it unfinished "
                   "(its pack tool repairs the base)");
        return false;
    }
    // ...or a record written for a frame that is not linked yet.
    if (tail.found && frameAt(tailFrame, frame) && frame.prevFrame == last && frame.nextFrame == 0) {
        deferWrite(baseLabel() + ": " + tailText + " names a frame that is not linked after the last frame (offset " +
                   offsetText(last) + ") yet: another program is writing that message, or left it unfinished "
                   "(its pack tool repairs the base)");
        return false;
    }
    return refuseDamaged("its last frame (offset " + offsetText(last) + ") is not the frame of its last message, " +
                         tailText);
}

bool CSquishArea::readMessageHeaders(uint32_t frameOffset, int64_t fileLength, SquishFrameHeader& frame,
                                     SquishMsgHeader& msg) {
    uint8_t raw[kSquishFrameAndMsgHeaderSize];
    size_t extra;
    return readMessageHeaders(frameOffset, fileLength, frame, msg, raw, sizeof raw, extra);
}

bool CSquishArea::readMessageHeaders(uint32_t frameOffset, int64_t fileLength, SquishFrameHeader& frame,
                                     SquishMsgHeader& msg, uint8_t* raw, size_t rawSize, size_t& extra) {
    extra = 0;
    if (!isFrameOffset(frameOffset)) return false;
    int64_t got = dataFile.readAt(frameOffset, raw, rawSize);
    if (got < int64_t(kSquishFrameAndMsgHeaderSize)) return false;
    frame = decodeSquishFrameHeader(raw);
    if (!isReadableMessageFrame(frame, frameOffset, fileLength)) return false;
    msg = decodeSquishMsgHeader(raw + kSquishFrameHeaderSize);
    extra = size_t(got) - kSquishFrameAndMsgHeaderSize;
    return true;
}

bool CSquishArea::openBaseForWriting() {
    if (!openBase()) return false;
    // Squish writers serialise on a lock of the first byte of the data file; it is held
    // until the base header and the index record are written (closeBase releases it).
    switch (dataFile.tryLockFirstByte()) {
    case OsFile::LockResult::Locked: return true;
    case OsFile::LockResult::Busy: deferWrite(std::string("base ") + basePath + " is locked by another program"); break;
    case OsFile::LockResult::Failed: break;
    }
    return false;
}

bool CSquishArea::getMsgList(MCArray<pktMsgHeader>& out) {
    out.removeAll();
    BaseCloser closer(*this);
    MCArray<sqifile> index;
    if (!openBase() || !loadIndex(index)) return true;
    int64_t fileLength = dataFile.length();
    // Room for every message at once, so that the list does not grow 64 entries at a time.
    if (out.setSize(index.getCount())) out.removeAll();

    // The headers and, mostly, the whole control information arrive in one read.
    uint8_t raw[kSquishFrameAndMsgHeaderSize + kListReadAhead];
    std::vector<char> control;
    for (int32_t i = 0; i < index.getCount(); ++i) {
        const sqifile& record = *index.getAt(i);
        SquishFrameHeader frame;
        SquishMsgHeader msg;
        size_t extra;
        if (!readMessageHeaders(record.frameOffset, fileLength, frame, msg, raw, sizeof raw, extra)) continue;

        pktMsgHeader h = storedMsgHeader(record.umsgid, msg.fromName, msg.toName, msg.subject, msg.dateText);

        // The control information is bounded by the file (the frame was checked).
        try {
            control.resize(size_t(frame.controlLength) + 1);
            bool whole = true;
            if (frame.controlLength <= extra)
                memcpy(control.data(), raw + kSquishFrameAndMsgHeaderSize, frame.controlLength);
            else
                whole = dataFile.readAt(int64_t(record.frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize),
                                        control.data(), frame.controlLength) == int64_t(frame.controlLength);
            if (whole) {
                control[frame.controlLength] = 0;
                hashKludges(control.data(), h.msgIdHash, h.replyHash);
            }
        } catch (const std::bad_alloc&) {
            h.msgIdHash = 0;
            h.replyHash = 0;
        }
        if (out.add(h) < 0) break;
    }
    return true;
}

bool CSquishArea::getAreaStats(const char* areaPath, uint32_t counts[2]) {
    counts[0] = 0;
    counts[1] = 0;
    if (!areaPath || strnlen(areaPath, kSquishMaxPath) + 5 > kSquishMaxPath) return false;

    uint32_t numMsg;
    {
        OsFile sqd = openSquishFile(areaPath, ".SQD", OsFile::Mode::ReadOnly);
        SquishBaseHeader header;
        if (!sqd.isOpen() || !readBaseHeader(sqd, header)) return false;
        numMsg = header.numMsg;
        counts[0] = numMsg;
    }

    uint32_t lastReadMark;
    {
        OsFile sql = openSquishFile(areaPath, ".SQL", OsFile::Mode::ReadOnly);
        uint8_t raw[4];
        if (!sql.isOpen() || sql.readAt(0, raw, sizeof raw) != int64_t(sizeof raw)) return true;
        lastReadMark = getU32(raw);
    }

    OsFile sqi = openSquishFile(areaPath, ".SQI", OsFile::Mode::ReadOnly);
    if (!sqi.isOpen()) return true;
    // Records in file order up to the one that carries the mark; records that name no
    // frame are no messages and are passed over.
    uint32_t seen = 0;
    std::vector<uint8_t> block;
    try {
        block.resize(4096 * kSqiRecordSize);
    } catch (const std::bad_alloc&) {
        return true;
    }
    int64_t offset = 0;
    bool done = false;
    while (!done) {
        int64_t got = sqi.readAt(offset, block.data(), block.size());
        int64_t records = got < 0 ? 0 : got / int64_t(kSqiRecordSize);
        for (int64_t i = 0; i < records && !done; ++i) {
            sqifile r = decodeSqiRecord(block.data() + size_t(i) * kSqiRecordSize);
            if (!namesFrame(r)) continue;
            if (lastReadMark < r.umsgid) {
                done = true;
            } else {
                ++seen;
                if (r.umsgid == lastReadMark) done = true;
            }
        }
        if (got < int64_t(block.size())) break;
        offset += got;
    }
    // More records read than the header counts leaves nothing unread, rather than a count
    // wrapped round to four thousand million.
    counts[1] = seen < numMsg ? numMsg - seen : 0;
    return true;
}

bool CSquishArea::getMessage(uint32_t msgNumber, MCArray<char>& out) {
    out.removeAll();
    BaseCloser closer(*this);
    if (!openBase()) return false;
    sqifile record;
    if (!findIndexRecord(msgNumber, record)) return false;
    uint32_t frameOffset = record.frameOffset;

    SquishFrameHeader frame;
    SquishMsgHeader msg;
    if (!readMessageHeaders(frameOffset, dataFile.length(), frame, msg)) return false;

    // Control information and text; the frame check bounds n by the file's length.
    uint32_t n = frame.msgLength - uint32_t(kSquishMsgHeaderSize);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size_t(n) + 1]);
    if (!buffer) return false;
    if (dataFile.readAt(int64_t(frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize), buffer.get(), n) !=
        int64_t(n))
        return false;
    buffer[n] = 0;

    pktMessage m;
    m.header = storedMsgHeader(msgNumber, msg.fromName, msg.toName, msg.subject, msg.dateText);
    m.origAddr = msg.origAddr;
    m.destAddr = msg.destAddr;
    m.attributes = uint16_t(msg.attr & 0xFFFFu);

    // The output is sized once, from the lengths, for the record and the lines, so that
    // the lines are then appended without growing the array step by step.
    const int32_t controlLength = int32_t(frame.controlLength);
    const int32_t textLength = int32_t(n - frame.controlLength);
    if (!reserveForLines(out, int64_t(kMessageRecordSize), int64_t(n)) || !out.setSize(int32_t(kMessageRecordSize)))
        return false;
    encodeMessage(m, reinterpret_cast<uint8_t*>(out.getData()));

    try {
        const char* text = textToLines(buffer.get(), out, controlLength);
        textToLines(text, out, textLength);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CSquishArea::newMessage(pktMessage* record, const char* text, const WallTime& now) {
    beginWrite();
    if (!record || !text) return false;
    BaseCloser closer(*this);
    if (!openBaseForWriting()) return false;

    // Everything below up to the first write only reads and checks: a base that another
    // writer is in the middle of, or whose chain would be written through at a place that
    // is not what the header says, is left exactly as it is.
    IndexTail tail;
    if (!readIndexTail(tail)) return false;
    if (!deferForUnfinishedRecord(tail)) return false;
    int64_t end = dataFile.length();
    if (end < 0) return false;
    SquishBaseHeader base;
    if (end < int64_t(kSquishBaseHeaderSize) || !readBaseHeader(dataFile, base))
        return refuseDamaged("the data file is shorter than its base header");
    // The new frame goes at the true end of the data, whatever endFrame says.
    if (end > INT32_MAX) return refuseDamaged("the data file is too large for the 32-bit offsets of the format");
    const uint32_t frameOffset = uint32_t(end);

    for (auto [value, name] : {std::pair{base.beginFrame, "first frame"}, std::pair{base.lastFrame, "last frame"},
                               std::pair{base.freeFrame, "first free frame"},
                               std::pair{base.lastFreeFrame, "last free frame"}}) {
        std::string problem = checkHeaderLink(value, end, name);
        if (!problem.empty()) return refuseDamaged(problem);
    }

    // The chain the new frame is linked to: the last frame ends it, is a message frame and
    // lies wholly in the file (a frame that runs past the end would take the new frame
    // into itself).
    if ((base.beginFrame == 0) != (base.lastFrame == 0))
        return refuseDamaged("the header names a " + std::string(base.beginFrame == 0 ? "last" : "first") +
                             " frame but no " + (base.beginFrame == 0 ? "first" : "last") + " frame");
    SquishFrameHeader lastFrame;
    if (base.lastFrame != 0) {
        std::string problem =
            checkFrameToPatch(dataFile, end, base.lastFrame, kSquishFrameNormal, "the last frame", lastFrame);
        if (!problem.empty()) return refuseDamaged(problem);
        if (lastFrame.nextFrame != 0)
            return refuseDamaged("the last frame (offset " + offsetText(base.lastFrame) +
                                 ") links to a next frame (offset " + offsetText(lastFrame.nextFrame) + ")");
        if (!frameFitsFile(base.lastFrame, lastFrame, end))
            return refuseDamaged("the last frame (offset " + offsetText(base.lastFrame) +
                                 ") runs past the end of the data file");
    }
    // The same for the end of the free chain, when it is a frame.
    for (auto [value, name] : {std::pair{base.freeFrame, "first free frame"},
                               std::pair{base.lastFreeFrame, "last free frame"}}) {
        SquishFrameHeader freeFrame;
        if (value != 0 && checkFrameToPatch(dataFile, end, value, kSquishFrameFree, name, freeFrame).empty() &&
            !frameFitsFile(value, freeFrame, end))
            return refuseDamaged(std::string("the ") + name + " (offset " + offsetText(value) +
                                 ") runs past the end of the data file");
    }
    if (!checkLastFrameAgainstIndex(base, tail, end, nullptr)) return false;

    char msgIdKludge[kMsgIdKludgeBuffer];
    formatMsgIdKludge(record->origAddr, now.utc, msgIdKludge);
    NewMessageBody body;
    if (!buildNewMessageBody(msgIdKludge, text, body)) return false;
    uint64_t msgLength = uint64_t(kSquishMsgHeaderSize) + body.bytes.size();
    if (end + int64_t(kSquishFrameHeaderSize) + int64_t(msgLength) > INT32_MAX) return false;
    uint32_t umsgid = base.nextUmsgid;

    // Control information and text first, the headers of the new frame after them.
    if (!dataFile.writeAt(end + int64_t(kSquishFrameAndMsgHeaderSize), body.bytes.data(), body.bytes.size()))
        return false;

    SquishFrameHeader frame;
    frame.frameId = kSquishFrameId;
    frame.nextFrame = 0;
    frame.prevFrame = base.lastFrame;
    frame.msgLength = uint32_t(msgLength);
    frame.frameLength = frame.msgLength;
    frame.controlLength = body.controlLength;
    frame.frameType = kSquishFrameNormal;

    SquishMsgHeader msg;
    msg.attr = kSquishNewMessageAttr;
    copyField(msg.fromName, record->header.fromName, sizeof msg.fromName);
    copyField(msg.toName, record->header.toName, sizeof msg.toName);
    copyField(msg.subject, record->header.subject, sizeof msg.subject);
    msg.origAddr = record->origAddr;
    msg.destAddr = record->destAddr;
    msg.dateWritten = makeStamp(now.local);
    msg.dateArrived = msg.dateWritten;
    msg.umsgid = umsgid;  // announced by kSquishAttrUmsgidSet in attr
    formatFidoDate(msg.dateText, now.local);

    uint8_t headers[kSquishFrameAndMsgHeaderSize];
    encodeSquishFrameHeader(frame, headers);
    encodeSquishMsgHeader(msg, headers + kSquishFrameHeaderSize);
    if (!dataFile.writeAt(end, headers, sizeof headers)) return false;

    if (base.lastFrame != 0 &&
        !writeU32At(dataFile, int64_t(base.lastFrame) + kSquishNextFrameOffset, frameOffset))
        return false;

    // The count follows the index: one more, but never more than the records it holds.
    const int64_t position = tail.position + 1;
    const int64_t records = position + 1;
    base.numMsg = uint32_t(std::min<int64_t>(int64_t(base.numMsg) + 1, records));
    base.highMsg = base.numMsg;
    base.nextUmsgid = umsgid + 1;
    if (base.beginFrame == 0) base.beginFrame = frameOffset;
    base.lastFrame = frameOffset;
    // endFrame is the true end of the data: other writers put their new frames there.
    base.endFrame = frameOffset + uint32_t(kSquishFrameHeaderSize) + frame.frameLength;
    if (!writeBaseHeader(dataFile, base)) return false;

    if (!writeIndexRecord(position, sqifile{frameOffset, umsgid, squishNameHash(record->header.toName)}))
        return false;
    setStoredNumber(umsgid);
    return true;
}

bool CSquishArea::deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) {
    beginWrite();
    if (!mayDeleteAny && !requester) return false;
    BaseCloser closer(*this);
    if (!openBaseForWriting()) return false;

    // Everything below up to the first write only reads and checks (see newMessage).
    IndexTail tail;
    if (!readIndexTail(tail)) return false;
    if (!deferForUnfinishedRecord(tail)) return false;
    int64_t fileLength = dataFile.length();
    if (fileLength < 0) return false;
    SquishBaseHeader base;
    if (fileLength < int64_t(kSquishBaseHeaderSize) || !readBaseHeader(dataFile, base))
        return refuseDamaged("the data file is shorter than its base header");
    for (auto [value, name] : {std::pair{base.beginFrame, "first frame"}, std::pair{base.lastFrame, "last frame"},
                               std::pair{base.freeFrame, "first free frame"},
                               std::pair{base.lastFreeFrame, "last free frame"}}) {
        std::string problem = checkHeaderLink(value, fileLength, name);
        if (!problem.empty()) return refuseDamaged(problem);
    }

    MCArray<sqifile> index;
    if (!loadIndex(index)) return false;
    const sqifile* maxRecord = index.getCount() > 0 ? index.getAt(index.getCount() - 1) : nullptr;
    if (!checkLastFrameAgainstIndex(base, tail, fileLength, maxRecord)) return false;

    int32_t found = findUmsgid(index, msgNumber);
    if (found < 0) return false;
    const uint32_t frameOffset = index.getAt(found)->frameOffset;

    SquishFrameHeader frame;
    SquishMsgHeader msg;
    if (!readMessageHeaders(frameOffset, fileLength, frame, msg)) return false;

    if (!mayDeleteAny) {
        if (msg.attr & kSquishAttrSent) return false;
        if (frame.controlLength == 0) return false;
        std::unique_ptr<char[]> control(new (std::nothrow) char[size_t(frame.controlLength) + 1]);
        if (!control) return false;
        if (dataFile.readAt(int64_t(frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize), control.get(),
                            frame.controlLength) != int64_t(frame.controlLength))
            return false;
        control[frame.controlLength] = 0;
        FidoAddr owner;
        if (!findMsgIdAddr(control.get(), owner)) return false;
        if (!(owner == *requester)) return false;
    }

    // Every frame that will be patched, and the frame itself, checked before the first
    // write: each link must lead to a frame of the expected kind that links back, so that
    // nothing is written into another message's text or cuts a chain.
    const std::string self = "the frame of message " + std::to_string(msgNumber) + " (offset " +
                             offsetText(frameOffset) + ")";
    // A frame already on the free chain (a stale index record) must not be freed twice:
    // that would tie the free chain into a loop.
    if (frame.frameType != kSquishFrameNormal)
        return refuseDamaged(self + " is " + frameTypeName(frame.frameType) + ", not a message frame");
    if (frameOffset == base.freeFrame || frameOffset == base.lastFreeFrame)
        return refuseDamaged(self + " is on the free chain");
    const bool isFirst = frameOffset == base.beginFrame;
    const bool isLast = frameOffset == base.lastFrame;
    if (isFirst != (frame.prevFrame == 0))
        return refuseDamaged(self + (isFirst ? " is the first frame but links to a previous one"
                                             : " is not the first frame but links to no previous one"));
    if (isLast != (frame.nextFrame == 0))
        return refuseDamaged(self + (isLast ? " is the last frame but links to a next one"
                                            : " is not the last frame but links to no next one"));
    SquishFrameHeader neighbour;
    if (!isFirst) {
        std::string problem = checkFrameToPatch(dataFile, fileLength, frame.prevFrame, kSquishFrameNormal,
                                                "the frame before " + self, neighbour);
        if (!problem.empty()) return refuseDamaged(problem);
        if (neighbour.nextFrame != frameOffset)
            return refuseDamaged("the frame before " + self + " (offset " + offsetText(frame.prevFrame) +
                                 ") does not link back to it");
    }
    if (!isLast) {
        std::string problem = checkFrameToPatch(dataFile, fileLength, frame.nextFrame, kSquishFrameNormal,
                                                "the frame after " + self, neighbour);
        if (!problem.empty()) return refuseDamaged(problem);
        if (neighbour.prevFrame != frameOffset)
            return refuseDamaged("the frame after " + self + " (offset " + offsetText(frame.nextFrame) +
                                 ") does not link back to it");
    }
    if ((base.freeFrame == 0) != (base.lastFreeFrame == 0))
        return refuseDamaged("the header names a " + std::string(base.freeFrame == 0 ? "last" : "first") +
                             " free frame but no " + (base.freeFrame == 0 ? "first" : "last") + " free frame");
    if (base.lastFreeFrame != 0) {
        std::string problem = checkFrameToPatch(dataFile, fileLength, base.lastFreeFrame, kSquishFrameFree,
                                                "the last free frame", neighbour);
        if (!problem.empty()) return refuseDamaged(problem);
        if (neighbour.nextFrame != 0)
            return refuseDamaged("the last free frame (offset " + offsetText(base.lastFreeFrame) +
                                 ") links to a next frame (offset " + offsetText(neighbour.nextFrame) + ")");
    }

    // The index as it will be rewritten, prepared before the first write.
    (void)index.removeAt(found);
    std::vector<uint8_t> indexBytes;
    try {
        indexBytes.resize(size_t(index.getCount()) * kSqiRecordSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int32_t i = 0; i < index.getCount(); ++i)
        encodeSqiRecord(*index.getAt(i), indexBytes.data() + size_t(i) * kSqiRecordSize);

    // Unlink the frame from the message chain.
    if (!isFirst && !writeU32At(dataFile, int64_t(frame.prevFrame) + kSquishNextFrameOffset, frame.nextFrame))
        return false;
    if (!isLast && !writeU32At(dataFile, int64_t(frame.nextFrame) + kSquishPrevFrameOffset, frame.prevFrame))
        return false;
    if (isFirst) base.beginFrame = frame.nextFrame;
    if (isLast) base.lastFrame = frame.prevFrame;

    // Append it to the free chain, marked free so that writers that reuse frames take it.
    if (base.lastFreeFrame != 0 &&
        !writeU32At(dataFile, int64_t(base.lastFreeFrame) + kSquishNextFrameOffset, frameOffset))
        return false;
    frame.prevFrame = base.lastFreeFrame;
    frame.nextFrame = 0;
    frame.frameType = kSquishFrameFree;
    // The count follows the index: one less, never below zero, never more than the
    // records that remain.
    base.numMsg = std::min<uint32_t>(base.numMsg == 0 ? 0 : base.numMsg - 1, uint32_t(index.getCount()));
    base.highMsg = base.numMsg;
    base.lastFreeFrame = frameOffset;
    if (base.freeFrame == 0) base.freeFrame = frameOffset;

    uint8_t headers[kSquishFrameAndMsgHeaderSize];
    encodeSquishFrameHeader(frame, headers);
    encodeSquishMsgHeader(msg, headers + kSquishFrameHeaderSize);
    if (!dataFile.writeAt(frameOffset, headers, sizeof headers)) return false;
    if (!writeBaseHeader(dataFile, base)) return false;

    // The index is rewritten in place: other programs may hold it open, and it is never
    // left empty on the way.
    if (!indexBytes.empty() && !indexFile.writeAt(0, indexBytes.data(), indexBytes.size())) return false;
    return indexFile.truncate(int64_t(indexBytes.size()));
}
