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

// Records read or written per block when the index is handled piecewise.
constexpr int64_t kIndexBlockRecords = 4096;
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

bool isPositive(uint32_t offset) { return int32_t(offset) > 0; }

// A frame that may be patched in place: a frame offset whose header lies in the file.
bool isPatchableFrame(uint32_t offset, int64_t fileLength) {
    return isFrameOffset(offset) && int64_t(offset) + int64_t(kSquishFrameHeaderSize) <= fileLength;
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
    int64_t n = length / int64_t(kSqiRecordSize);
    if (n > INT32_MAX || !index.setSize(int32_t(n))) {
        index.removeAll();
        return false;
    }
    sqifile* records = index.getData();
    int32_t kept = 0;
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
                if (!isBlankSqiRecord(r)) records[kept++] = r;
            }
        }
    } catch (const std::bad_alloc&) {
        index.removeAll();
        return false;
    }
    (void)index.setSize(kept);  // shrinking never fails
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
    auto matches = [&](const sqifile& r) { return r.umsgid == umsgid && !isBlankSqiRecord(r); };
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

    // Not found that way: the index may be out of order, so look at every record.
    for (int64_t first = 0; first < n; first += kBlock) {
        if (searchBlock(first, std::min(kBlock, n - first))) return true;
        if (failed) return false;
    }
    return false;
}

bool CSquishArea::appendIndexRecord(uint32_t frameOffset, uint32_t umsgid, const char* toName) {
    sqifile record;
    record.frameOffset = frameOffset;
    record.umsgid = umsgid;
    record.nameHash = squishNameHash(toName);

    int64_t length = indexFile.length();
    if (length < 0) return false;
    // The record goes after the last whole record, or over the first of the blank records
    // that end the index, so that tools reading the index by position find it in its place.
    int64_t position = length / int64_t(kSqiRecordSize);
    uint8_t block[256 * kSqiRecordSize];
    bool searching = true;
    while (searching && position > 0) {
        int64_t count = std::min<int64_t>(position, 256);
        int64_t first = position - count;
        size_t bytes = size_t(count) * kSqiRecordSize;
        if (indexFile.readAt(first * int64_t(kSqiRecordSize), block, bytes) != int64_t(bytes)) return false;
        for (int64_t i = count - 1; i >= 0; --i) {
            if (!isBlankSqiRecord(decodeSqiRecord(block + size_t(i) * kSqiRecordSize))) {
                searching = false;
                break;
            }
            --position;
        }
    }
    uint8_t raw[kSqiRecordSize];
    encodeSqiRecord(record, raw);
    return indexFile.writeAt(position * int64_t(kSqiRecordSize), raw, sizeof raw);
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
    // Records in file order up to the one that carries the mark; blank records are no
    // messages and are passed over.
    uint32_t seen = 0;
    uint8_t block[256 * kSqiRecordSize];
    int64_t offset = 0;
    bool done = false;
    while (!done) {
        int64_t got = sqi.readAt(offset, block, sizeof block);
        int64_t records = got < 0 ? 0 : got / int64_t(kSqiRecordSize);
        for (int64_t i = 0; i < records && !done; ++i) {
            sqifile r = decodeSqiRecord(block + size_t(i) * kSqiRecordSize);
            if (isBlankSqiRecord(r)) continue;
            if (lastReadMark < r.umsgid) {
                done = true;
            } else {
                ++seen;
                if (r.umsgid == lastReadMark) done = true;
            }
        }
        if (got < int64_t(sizeof block)) break;
        offset += got;
    }
    counts[1] = numMsg - seen;
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
    m.attributes = uint16_t(msg.attr & 0xFFFFu);
    if (!out.setSize(int32_t(kMessageRecordSize))) return false;
    encodeMessage(m, reinterpret_cast<uint8_t*>(out.getData()));

    try {
        const char* text = textToLines(buffer.get(), out, int32_t(frame.controlLength));
        textToLines(text, out, int32_t(n - frame.controlLength));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CSquishArea::newMessage(pktMessage* record, const char* text, const WallTime& now) {
    clearDeferral();
    if (!record || !text) return false;
    BaseCloser closer(*this);
    if (!openBaseForWriting()) return false;

    SquishBaseHeader base;
    if (!readBaseHeader(dataFile, base)) return false;
    // The new frame goes at the true end of the data, whatever endFrame says.
    int64_t end = dataFile.length();
    if (end < int64_t(kSquishBaseHeaderSize) || end > INT32_MAX) return false;
    uint32_t frameOffset = uint32_t(end);

    char msgIdKludge[kMsgIdKludgeBuffer];
    formatMsgIdKludge(record->origAddr, now.utc, msgIdKludge);
    NewMessageBody body;
    if (!buildNewMessageBody(msgIdKludge, text, body)) return false;
    uint64_t msgLength = uint64_t(kSquishMsgHeaderSize) + body.bytes.size();
    if (end + int64_t(kSquishFrameHeaderSize) + int64_t(msgLength) > INT32_MAX) return false;

    // The previous last frame is read before anything is written, so that a chain that
    // cannot be extended leaves the base untouched.
    uint8_t lastFrameRaw[kSquishFrameHeaderSize];
    bool linkLast = isPositive(base.lastFrame);
    if (linkLast) {
        if (!isPatchableFrame(base.lastFrame, end)) return false;
        if (dataFile.readAt(base.lastFrame, lastFrameRaw, sizeof lastFrameRaw) != int64_t(sizeof lastFrameRaw))
            return false;
    }
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

    if (linkLast) {
        SquishFrameHeader last = decodeSquishFrameHeader(lastFrameRaw);
        last.nextFrame = frameOffset;
        encodeSquishFrameHeader(last, lastFrameRaw);
        if (!dataFile.writeAt(base.lastFrame, lastFrameRaw, sizeof lastFrameRaw)) return false;
    }

    base.numMsg += 1;
    base.highMsg = base.numMsg;
    base.nextUmsgid = umsgid + 1;
    if (int32_t(base.beginFrame) < int32_t(kSquishBaseHeaderSize)) base.beginFrame = frameOffset;
    base.lastFrame = frameOffset;
    // endFrame is the true end of the data: other writers put their new frames there.
    base.endFrame = frameOffset + uint32_t(kSquishFrameHeaderSize) + frame.frameLength;
    if (!writeBaseHeader(dataFile, base)) return false;

    return appendIndexRecord(frameOffset, umsgid, record->header.toName);
}

bool CSquishArea::deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) {
    clearDeferral();
    if (!mayDeleteAny && !requester) return false;
    BaseCloser closer(*this);
    if (!openBaseForWriting()) return false;

    SquishBaseHeader base;
    if (!readBaseHeader(dataFile, base)) return false;
    MCArray<sqifile> index;
    if (!loadIndex(index)) return false;
    int32_t found = findUmsgid(index, msgNumber);
    if (found < 0) return false;
    uint32_t frameOffset = index.getAt(found)->frameOffset;

    int64_t fileLength = dataFile.length();
    SquishFrameHeader frame;
    SquishMsgHeader msg;
    if (!readMessageHeaders(frameOffset, fileLength, frame, msg)) return false;
    // A frame already on the free chain (a stale index record) must not be freed twice:
    // that would tie the free chain into a loop.
    if (frame.frameType == kSquishFrameFree || frameOffset == base.freeFrame || frameOffset == base.lastFreeFrame)
        return false;

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

    // What must be patched, checked before the first write: a link that points outside the
    // data would otherwise be written through.
    bool patchPrev = frameOffset != base.beginFrame && isPositive(frame.prevFrame);
    bool patchNext = isPositive(base.lastFrame) && frameOffset != base.lastFrame && isPositive(frame.nextFrame);
    bool patchFree = isPositive(base.lastFreeFrame);
    if ((patchPrev && !isPatchableFrame(frame.prevFrame, fileLength)) ||
        (patchNext && !isPatchableFrame(frame.nextFrame, fileLength)) ||
        (patchFree && !isPatchableFrame(base.lastFreeFrame, fileLength)))
        return false;

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
    if (patchPrev && !writeU32At(dataFile, int64_t(frame.prevFrame) + kSquishNextFrameOffset, frame.nextFrame))
        return false;
    if (patchNext && !writeU32At(dataFile, int64_t(frame.nextFrame) + kSquishPrevFrameOffset, frame.prevFrame))
        return false;
    if (base.beginFrame == frameOffset) base.beginFrame = frame.nextFrame;
    if (base.lastFrame == frameOffset) base.lastFrame = frame.prevFrame;

    // Append it to the free chain, marked free so that writers that reuse frames take it.
    if (patchFree && !writeU32At(dataFile, int64_t(base.lastFreeFrame) + kSquishNextFrameOffset, frameOffset))
        return false;
    frame.prevFrame = base.lastFreeFrame;
    frame.nextFrame = 0;
    frame.frameType = kSquishFrameFree;
    base.numMsg -= 1;
    base.highMsg = base.numMsg;
    base.lastFreeFrame = frameOffset;
    if (int32_t(base.freeFrame) < int32_t(kSquishBaseHeaderSize)) base.freeFrame = frameOffset;

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
