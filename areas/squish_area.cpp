#include "areas/squish_area.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "fido/kludges.h"
#include "support/le.h"
#include "support/text.h"

namespace {

const char* const kNoUsablePath = "the base has no usable path (none is given, or it is too long or holds a zero byte)";

// Records read per block when the index is read piecewise (768 KB): an index padded with
// many records that name no frame is still read in large sequential pieces.
constexpr int64_t kIndexBlockRecords = 65536;
// Records per block where a few are wanted (the tail, a binary search's last step).
constexpr int64_t kSmallIndexBlock = 256;
// Bytes read past the message header while listing: room for the usual control information.
constexpr size_t kListReadAhead = 512;
// Frames whose index records follow one another mostly lie one after another in the data
// file: a walk reads such frames together, one read for as many as fit this many bytes,
// while each lies at most kFrameRunGap after the one before it (so that a run of large
// messages does not read their texts for a list that wants their headers).
constexpr size_t kFrameRunBytes = 64 * 1024;
constexpr size_t kFrameRunGap = 8 * 1024;
// The most of a message's control information a listing reads for its MSGID and REPLY:
// they stand among the first kludges, and a damaged frame must not make a list read
// gigabytes.
constexpr uint32_t kListControlMax = 64 * 1024;

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

// Reads the records [first, end) of the index in blocks, forward or backward, and hands each
// to visit(position, record), which returns false to stop. The first block holds
// `firstBlock` records and each next one four times as many, up to kIndexBlockRecords: a
// search that mostly ends early reads little, a whole index goes in large pieces. False
// when a read fails or memory runs out.
template <typename Visit>
bool scanIndex(const OsFile& index, int64_t first, int64_t end, bool backward, int64_t firstBlock, Visit&& visit) {
    try {
        std::vector<uint8_t> block;
        int64_t blockRecords = std::min(firstBlock, kIndexBlockRecords);
        while (first < end) {
            int64_t count = std::min(end - first, blockRecords);
            int64_t start = backward ? end - count : first;
            size_t bytes = size_t(count) * kSqiRecordSize;
            block.resize(bytes);
            if (index.readAt(start * int64_t(kSqiRecordSize), block.data(), bytes) != int64_t(bytes)) return false;
            for (int64_t k = 0; k < count; ++k) {
                int64_t i = backward ? count - 1 - k : k;
                if (!visit(start + i, decodeSqiRecord(block.data() + size_t(i) * kSqiRecordSize))) return true;
            }
            if (backward)
                end = start;
            else
                first = start + count;
            blockRecords = std::min(blockRecords * 4, kIndexBlockRecords);
        }
        return true;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

int64_t indexRecordCount(const OsFile& index) {
    int64_t length = index.length();
    return length < 0 ? -1 : length / int64_t(kSqiRecordSize);
}

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

// A file of the base that did not open: missing, or refused by the system.
AreaResult openFailure(const std::string& path) {
    int error = errno;
    if (error == ENOENT) return AreaResult::notFound(path + " is missing");
    return AreaResult::ioError("cannot open " + path, error);
}

AreaResult writeFailure(const std::string& path) {
    int error = errno;
    return AreaResult::ioError("cannot write " + path, error);
}

AreaResult readFailure(const std::string& path) {
    int error = errno;
    return AreaResult::ioError("cannot read " + path, error);
}

// Control information and text of a new message, as the data area stores them after the
// message header: the kludges without line ends, one zero byte before the first body line,
// the body lines with their carriage returns, and a final zero byte.
struct NewMessageBody {
    std::vector<char> bytes;
    uint32_t controlLength = 0;
};

bool buildNewMessageBody(const char* msgIdKludge, const std::string& text, NewMessageBody& body) {
    try {
        auto append = [&](const char* p, size_t n) { body.bytes.insert(body.bytes.end(), p, p + n); };
        body.bytes.reserve(kMsgIdKludgeBuffer + text.size() + 2);
        size_t kludgeLength = strlen(msgIdKludge);
        if (kludgeLength > 0 && msgIdKludge[kludgeLength - 1] == '\r') --kludgeLength;
        append(msgIdKludge, kludgeLength);
        size_t control = kludgeLength;
        bool kludgePhase = true;
        // The text ends at its first zero byte, if it has one.
        const char* p = text.c_str();
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

// The parts of a summary that the message header gives.
void fillSummary(MessageSummary& s, uint32_t number, const SquishMsgHeader& msg) {
    s.setStoredFields(number, msg.fromName, msg.toName, msg.subject, msg.dateText);
    s.origAddr = msg.origAddr;
    s.destAddr = msg.destAddr;
}

}  // namespace

std::string squishFilePath(const std::string& base, const char* extension) {
    std::string upper = base + extension;
    if (fileExists(upper)) return upper;
    std::string lower = base;
    for (const char* e = extension; *e; ++e) lower += foldCase(*e);
    return lower;
}

OsFile openSquishFile(const std::string& base, const char* extension, OsFile::Mode mode) {
    return OsFile::openExisting(squishFilePath(base, extension), mode);
}

// ---- the write step ---------------------------------------------------------------------

// A base opened for a write with the writers' lock held, and what every write checks
// before its first byte: that no other writer is in the middle of a write, the base header,
// and the chain pointers in it. Both files are closed when the step ends, which releases
// the lock.
class CSquishArea::LockedBase {
public:
    explicit LockedBase(CSquishArea& area) : area_(area) {}
    ~LockedBase() { area_.closeBase(); }
    LockedBase(const LockedBase&) = delete;
    LockedBase& operator=(const LockedBase&) = delete;

    // Opens the base and takes the lock without waiting (busy when another program holds
    // it), then reads the index tail, the data file's length and the base header.
    AreaResult begin();
    // The header's last frame against the index: some record must name it (the tail's
    // record, or another when the index is not in chain order), or another writer is in
    // the middle of a write (busy: a frame linked whose record is not written yet, or a
    // record written whose frame is not linked yet), or the base is damaged. `index` is
    // the loaded index when the caller has it (nullptr: loaded when needed).
    AreaResult checkLastFrame(const MCArray<sqifile>* index);
    // The free chain's ends, when a write is about to append to it: both or neither set,
    // the last one a free frame that links to no next one.
    AreaResult checkFreeChainEnd();

    SquishBaseHeader base;
    IndexTail tail;
    int64_t fileLength = 0;

private:
    bool readFrameHeader(uint32_t offset, SquishFrameHeader& frame) const;

    CSquishArea& area_;
};

AreaResult CSquishArea::LockedBase::begin() {
    AreaResult opened = area_.openBase();
    if (!opened.isOk()) return opened;
    // Squish writers serialise on a lock of the first byte of the data file; it is held
    // until the base header and the index record are written (closeBase releases it).
    switch (area_.dataFile.tryLockFirstByte()) {
    case OsFile::LockResult::Locked: break;
    case OsFile::LockResult::Busy:
        return AreaResult::busy(area_.baseLabel() + " is locked by another program");
    case OsFile::LockResult::Failed: {
        int error = errno;
        return AreaResult::ioError("cannot lock " + area_.dataPath, error);
    }
    }

    // Everything up to a write's first byte only reads and checks: a base that another
    // writer is in the middle of, or whose chain would be written through at a place that
    // is not what the header says, is left exactly as it is.
    if (!area_.readIndexTail(tail)) return readFailure(area_.indexPath);
    if (tail.unfinished)
        return AreaResult::busy(area_.baseLabel() + ": index record " + std::to_string(tail.unfinishedPosition) +
                                " (UMSGID " + std::to_string(tail.unfinishedRecord.umsgid) +
                                ") has no frame yet: another program is writing that message, or left it "
                                "unfinished (its pack tool repairs the base)");
    fileLength = area_.dataFile.length();
    if (fileLength < 0) return readFailure(area_.dataPath);
    if (fileLength < int64_t(kSquishBaseHeaderSize) || !readBaseHeader(area_.dataFile, base))
        return area_.damaged("the data file is shorter than its base header");
    for (auto [value, name] : {std::pair{base.beginFrame, "first frame"}, std::pair{base.lastFrame, "last frame"},
                               std::pair{base.freeFrame, "first free frame"},
                               std::pair{base.lastFreeFrame, "last free frame"}}) {
        std::string problem = checkHeaderLink(value, fileLength, name);
        if (!problem.empty()) return area_.damaged(problem);
    }
    return AreaResult::ok();
}

bool CSquishArea::LockedBase::readFrameHeader(uint32_t offset, SquishFrameHeader& frame) const {
    uint8_t raw[kSquishFrameHeaderSize];
    if (!isFrameOffset(offset) || int64_t(offset) + int64_t(kSquishFrameHeaderSize) > fileLength ||
        area_.dataFile.readAt(offset, raw, sizeof raw) != int64_t(sizeof raw))
        return false;
    frame = decodeSquishFrameHeader(raw);
    return frame.frameId == kSquishFrameId;
}

AreaResult CSquishArea::LockedBase::checkLastFrame(const MCArray<sqifile>* index) {
    const uint32_t last = base.lastFrame;
    const uint32_t tailFrame = tail.found ? tail.last.frameOffset : 0;
    if (last == tailFrame) return AreaResult::ok();
    const std::string tailText = tail.found ? "index record " + std::to_string(tail.position) + " (UMSGID " +
                                                  std::to_string(tail.last.umsgid) + ", frame " +
                                                  offsetText(tailFrame) + ")"
                                            : std::string("an index that names no frame");
    const std::string unfinished =
        ": another program is writing that message, or left it unfinished (its pack tool repairs the base)";
    SquishFrameHeader frame;
    // A record written for a frame that is not linked after the last frame yet...
    if (tail.found && readFrameHeader(tailFrame, frame) && frame.prevFrame == last && frame.nextFrame == 0)
        return AreaResult::busy(area_.baseLabel() + ": " + tailText +
                                " names a frame that is not linked after the last frame (offset " + offsetText(last) +
                                ") yet" + unfinished);
    // The index may simply not be in chain order: when a record names the last frame,
    // every frame has its record and nobody is in the middle of a write.
    MCArray<sqifile> loaded;
    if (!index && last != 0) {
        if (!area_.loadIndex(loaded)) return readFailure(area_.indexPath);
        index = &loaded;
    }
    if (last != 0)
        for (int32_t i = 0; i < index->getCount(); ++i)
            if (index->getAt(i)->frameOffset == last) return AreaResult::ok();
    // ...or a frame linked after the last indexed one whose record is not written yet.
    if (last != 0 && readFrameHeader(last, frame) && frame.prevFrame == tailFrame)
        return AreaResult::busy(area_.baseLabel() + ": its last frame (offset " + offsetText(last) +
                                ") has no index record yet (" + tailText + " comes last)" + unfinished);
    return area_.damaged("its last frame (offset " + offsetText(last) + ") is not the frame of its last message, " +
                         tailText);
}

AreaResult CSquishArea::LockedBase::checkFreeChainEnd() {
    if ((base.freeFrame == 0) != (base.lastFreeFrame == 0))
        return area_.damaged("the header names a " + std::string(base.freeFrame == 0 ? "last" : "first") +
                             " free frame but no " + (base.freeFrame == 0 ? "first" : "last") + " free frame");
    if (base.lastFreeFrame == 0) return AreaResult::ok();
    SquishFrameHeader frame;
    std::string problem = checkFrameToPatch(area_.dataFile, fileLength, base.lastFreeFrame, kSquishFrameFree,
                                            "the last free frame", frame);
    if (!problem.empty()) return area_.damaged(problem);
    if (frame.nextFrame != 0)
        return area_.damaged("the last free frame (offset " + offsetText(base.lastFreeFrame) +
                             ") links to a next frame (offset " + offsetText(frame.nextFrame) + ")");
    return AreaResult::ok();
}

// ---- the area -------------------------------------------------------------------------

CSquishArea::CSquishArea(const std::string& path, int32_t number) : CEchoArea(number) {
    if (path.size() < kSquishMaxPath && path.find('\0') == std::string::npos)
        copyField(basePath, path.c_str(), kSquishMaxPath);
}

CSquishArea::~CSquishArea() { closeBase(); }

std::string CSquishArea::baseLabel() const { return std::string("Squish base ") + basePath; }

AreaResult CSquishArea::damaged(const std::string& what) const {
    return AreaResult::damaged(baseLabel() + ": " + what + "; nothing was written");
}

AreaResult CSquishArea::openBase(OsFile::Mode mode) {
    size_t length = strnlen(basePath, kSquishMaxPath);
    if (length == 0) return AreaResult::notFound(kNoUsablePath);
    if (length + 5 > kSquishMaxPath) return AreaResult::notFound(baseLabel() + ": the path is too long");
    closeBase();
    dataPath = squishFilePath(basePath, ".SQD");
    dataFile = OsFile::openExisting(dataPath, mode);
    if (!dataFile.isOpen()) return openFailure(dataPath);
    indexPath = squishFilePath(basePath, ".SQI");
    indexFile = OsFile::openExisting(indexPath, mode);
    if (!indexFile.isOpen()) {
        AreaResult r = openFailure(indexPath);
        dataFile.close();
        return r;
    }
    return AreaResult::ok();
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
    bool inFileOrder;
    return loadIndex(index, inFileOrder);
}

bool CSquishArea::loadIndex(MCArray<sqifile>& index, bool& inFileOrder) {
    inFileOrder = false;
    index.removeAll();
    const int64_t n = indexRecordCount(indexFile);
    if (n < 0) return false;
    // The array grows by doubling as records are kept, so that records naming no frame
    // (a long run of zero records, say) cost neither memory nor a frame read later.
    int32_t kept = 0;
    int32_t room = 0;
    bool grew = true;
    bool read = scanIndex(indexFile, 0, n, false, kIndexBlockRecords, [&](int64_t, const sqifile& r) {
        if (!namesFrame(r)) return true;
        if (kept == room) {
            int64_t more = std::min<int64_t>(std::max<int64_t>(int64_t(room) * 2, 1024), n);
            if (more > INT32_MAX || more <= room || !index.setSize(int32_t(more))) {
                grew = false;
                errno = ENOMEM;
                return false;
            }
            room = int32_t(more);
        }
        *index.getAt(kept++) = r;
        return true;
    });
    if (!read || !grew) {
        index.removeAll();
        return false;
    }
    (void)index.setSize(kept);  // shrinking never fails
    sqifile* records = index.getData();
    auto before = [](const sqifile& a, const sqifile& b) { return compareUmsgid(&a, &b) < 0; };
    // Squish writers keep the index in order, so the sort is mostly skipped.
    inFileOrder = std::is_sorted(records, records + kept, before);
    if (!inFileOrder) std::sort(records, records + kept, before);
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

AreaResult CSquishArea::findIndexRecord(uint32_t umsgid, sqifile& record) {
    auto readFailed = [this] { return readFailure(indexPath); };
    const int64_t n = indexRecordCount(indexFile);
    if (n < 0) return readFailed();
    auto matches = [&](const sqifile& r) { return r.umsgid == umsgid && namesFrame(r); };
    bool found = false;
    // Looks for the UMSGID among `count` records from `first`, read in one piece; their
    // first and last UMSGIDs are left in blockFirst and blockLast. False when a read fails.
    uint32_t blockFirst = 0, blockLast = 0;
    auto searchBlock = [&](int64_t first, int64_t count) {
        return scanIndex(indexFile, first, first + count, false, count, [&](int64_t at, const sqifile& r) {
            if (at == first) blockFirst = r.umsgid;
            blockLast = r.umsgid;
            if (!matches(r)) return true;
            record = r;
            found = true;
            return false;
        });
    };
    auto readRecord = [&](int64_t at, sqifile& r) {
        uint8_t raw[kSqiRecordSize];
        if (indexFile.readAt(at * int64_t(kSqiRecordSize), raw, sizeof raw) != int64_t(sizeof raw)) return false;
        r = decodeSqiRecord(raw);
        return true;
    };

    int64_t low = 0;
    int64_t high = n;
    // UMSGIDs mostly follow one another, so the record usually lies where its number
    // suggests between the first and the last one: one block read around that place.
    if (n > kSmallIndexBlock) {
        sqifile first, last;
        if (!readRecord(0, first) || !readRecord(n - 1, last)) return readFailed();
        if (first.umsgid <= umsgid && umsgid <= last.umsgid && first.umsgid < last.umsgid) {
            double place = double(umsgid - first.umsgid) / double(last.umsgid - first.umsgid) * double(n - 1);
            int64_t start = std::clamp<int64_t>(int64_t(place) - kSmallIndexBlock / 2, 0, n - kSmallIndexBlock);
            if (!searchBlock(start, kSmallIndexBlock)) return readFailed();
            if (found) return AreaResult::ok();
            if (blockFirst > umsgid) high = start;
            if (blockLast < umsgid) low = start + kSmallIndexBlock;
        }
    }
    // Halve the range with single reads until it fits one block, then read that block.
    while (high - low > kSmallIndexBlock) {
        int64_t middle = low + (high - low) / 2;
        sqifile r;
        if (!readRecord(middle, r)) return readFailed();
        if (matches(r)) {
            record = r;
            return AreaResult::ok();
        }
        if (r.umsgid < umsgid)
            low = middle + 1;
        else
            high = middle;
    }
    if (high > low && !searchBlock(low, high - low)) return readFailed();
    if (found) return AreaResult::ok();

    // Not found that way: the index may be out of order, so look at every record.
    if (!scanIndex(indexFile, 0, n, false, kIndexBlockRecords, [&](int64_t, const sqifile& r) {
            if (!matches(r)) return true;
            record = r;
            found = true;
            return false;
        }))
        return readFailed();
    if (found) return AreaResult::ok();
    return AreaResult::notFound(baseLabel() + ": no message " + std::to_string(umsgid));
}

bool CSquishArea::writeIndexRecord(int64_t position, const sqifile& record) {
    uint8_t raw[kSqiRecordSize];
    encodeSqiRecord(record, raw);
    return indexFile.writeAt(position * int64_t(kSqiRecordSize), raw, sizeof raw);
}

bool CSquishArea::readIndexTail(IndexTail& tail) {
    tail = IndexTail();
    const int64_t n = indexRecordCount(indexFile);
    if (n < 0) return false;
    // Mostly the last record names its frame and one small read does; records without a
    // frame at the end are read backwards in growing pieces.
    return scanIndex(indexFile, 0, n, true, kSmallIndexBlock, [&](int64_t at, const sqifile& r) {
        if (namesFrame(r)) {
            tail.found = true;
            tail.last = r;
            tail.position = at;
            return false;
        }
        if (!tail.unfinished && isUnfinishedSqiRecord(r)) {
            tail.unfinished = true;
            tail.unfinishedRecord = r;
            tail.unfinishedPosition = at;
        }
        return true;
    });
}

AreaResult CSquishArea::readMessageHeaders(uint32_t umsgid, uint32_t frameOffset, int64_t fileLength,
                                           SquishFrameHeader& frame, SquishMsgHeader& msg) {
    uint8_t raw[kSquishFrameAndMsgHeaderSize] = {};
    int64_t got = 0;  // nothing is read at an offset that names no frame
    if (isFrameOffset(frameOffset)) {
        got = dataFile.readAt(frameOffset, raw, sizeof raw);
        if (got < 0) return readFailure(dataPath);
    }
    return decodeMessageHeaders(umsgid, frameOffset, fileLength, raw, size_t(got), frame, msg);
}

AreaResult CSquishArea::decodeMessageHeaders(uint32_t umsgid, uint32_t frameOffset, int64_t fileLength,
                                             const uint8_t* raw, size_t got, SquishFrameHeader& frame,
                                             SquishMsgHeader& msg) const {
    auto broken = [&](const std::string& problem) {
        return AreaResult::damaged(baseLabel() + ": the frame of message " + std::to_string(umsgid) + " (offset " +
                                   offsetText(frameOffset) + ") " + problem);
    };
    if (!isFrameOffset(frameOffset)) return broken(frameOffsetProblem(frameOffset));
    if (got < kSquishFrameAndMsgHeaderSize) return broken("runs past the end of the data file");
    frame = decodeSquishFrameHeader(raw);
    std::string problem = messageFrameProblem(frame, frameOffset, fileLength);
    if (!problem.empty()) return broken(problem);
    msg = decodeSquishMsgHeader(raw + kSquishFrameHeaderSize);
    return AreaResult::ok();
}

// The frames of a walk, read in runs where they lie one after another.
class CSquishArea::FrameReader {
public:
    FrameReader(const OsFile& data, int64_t fileLength)
        : data_(data),
          fileLength_(fileLength),
          runBuffer_(new (std::nothrow) uint8_t[kFrameRunBytes]),
          buffer_(runBuffer_ ? runBuffer_.get() : single_),
          capacity_(runBuffer_ ? kFrameRunBytes : sizeof single_) {}

    int64_t fileLength() const { return fileLength_; }

    // The bytes from the frame of records[i] on (`got` of them, fewer than the headers
    // where the file ends); nullptr when the read fails. A frame outside the current run
    // starts a new one: it and the frames of the records after it (up to `count`) while
    // each lies a little after the one before it and all fit the buffer.
    const uint8_t* frameAt(const sqifile* records, int32_t i, int32_t count, size_t& got) {
        const int64_t at = records[i].frameOffset;
        const int64_t runEnd = runStart_ + int64_t(runLength_);
        if (runLength_ == 0 || at < runStart_ || (at + int64_t(kFrameRead) > runEnd && !(runAtEnd_ && at < runEnd))) {
            int64_t end = at + int64_t(kFrameRead);
            int64_t previous = at;
            for (int32_t j = i + 1; j < count; ++j) {
                const int64_t next = records[j].frameOffset;
                if (next <= previous || next - previous > int64_t(kFrameRunGap) ||
                    next + int64_t(kFrameRead) - at > int64_t(capacity_))
                    break;
                end = next + int64_t(kFrameRead);
                previous = next;
            }
            const int64_t read = data_.readAt(at, buffer_, size_t(end - at));
            if (read < 0) {
                runLength_ = 0;
                return nullptr;
            }
            runStart_ = at;
            runLength_ = size_t(read);
            runAtEnd_ = read < end - at;
        }
        const size_t offset = size_t(at - runStart_);
        got = offset < runLength_ ? runLength_ - offset : 0;
        return buffer_ + offset;
    }

private:
    // What a frame needs: the headers and, mostly, the whole control information.
    static constexpr size_t kFrameRead = kSquishFrameAndMsgHeaderSize + kListReadAhead;

    const OsFile& data_;
    const int64_t fileLength_;
    // The frames of a run go into one buffer; without memory for it, each frame is read
    // alone.
    uint8_t single_[kFrameRead];
    std::unique_ptr<uint8_t[]> runBuffer_;
    uint8_t* const buffer_;
    const size_t capacity_;
    int64_t runStart_ = 0;   // the file offset of buffer_[0]
    size_t runLength_ = 0;   // the bytes read there
    bool runAtEnd_ = false;  // the read stopped at the end of the file
};

int32_t CSquishArea::visitFrames(const sqifile* records, int32_t count, FrameReader& reader,
                                 const std::function<bool(const ListedFrame&)>& visit) {
    for (int32_t i = 0; i < count; ++i) {
        const sqifile& record = records[i];
        // A frame that cannot be read is no message of the list (its fetch says why).
        if (!isFrameOffset(record.frameOffset)) continue;
        size_t got = 0;
        const uint8_t* raw = reader.frameAt(records, i, count, got);
        if (!raw) continue;
        SquishFrameHeader frame;
        SquishMsgHeader msg;
        if (!decodeMessageHeaders(record.umsgid, record.frameOffset, reader.fileLength(), raw, got, frame, msg).isOk())
            continue;
        if (!visit(ListedFrame{record, frame, msg, raw + kSquishFrameAndMsgHeaderSize,
                               got - kSquishFrameAndMsgHeaderSize}))
            return i;
    }
    return -1;
}

bool CSquishArea::walkFromMark(WalkMark& mark, FrameReader& reader,
                               const std::function<bool(const ListedFrame&)>& visit, uint32_t& resumeFrom) {
    const int64_t n = indexRecordCount(indexFile);
    if (n < 0 || mark.position >= n) return false;
    std::vector<sqifile> records;
    std::vector<int64_t> positions;
    bool first = true;
    uint32_t previous = 0;
    int64_t block = kSmallIndexBlock;
    for (int64_t position = mark.position; position < n;) {
        const int64_t count = std::min(block, n - position);
        records.clear();
        positions.clear();
        // The marked record must be there still; after it, the records that name frames
        // in UMSGID order, as the loaded index would have them.
        bool fits = true;
        const bool read = scanIndex(indexFile, position, position + count, false, count, [&](int64_t at, const sqifile& r) {
            if (first) {
                if (!namesFrame(r) || r.umsgid != mark.number || r.frameOffset != mark.detail) {
                    fits = false;
                    return false;
                }
                first = false;
            } else if (!namesFrame(r)) {
                return true;
            } else if (r.umsgid < previous) {
                fits = false;
                return false;
            }
            previous = r.umsgid;
            records.push_back(r);
            positions.push_back(at);
            return true;
        });
        const int32_t stopped = visitFrames(records.data(), int32_t(records.size()), reader, visit);
        if (stopped >= 0) {
            mark = WalkMark{positions[size_t(stopped)], records[size_t(stopped)].umsgid,
                            records[size_t(stopped)].frameOffset};
            return true;
        }
        if (!records.empty()) {
            // Nothing lies above the highest UMSGID there is.
            if (records.back().umsgid == UINT32_MAX) break;
            resumeFrom = records.back().umsgid + 1;
        }
        if (!read || !fits) return false;
        position += count;
        block = std::min(block * 4, kIndexBlockRecords);
    }
    mark = WalkMark();
    return true;
}

AreaResult CSquishArea::forEachListedFrame(const std::function<bool(const ListedFrame&)>& visit, uint32_t from,
                                           WalkMark* mark) {
    const int64_t fileLength = dataFile.length();
    if (fileLength < 0) return readFailure(dataPath);
    FrameReader reader(dataFile, fileLength);
    if (mark) {
        if (mark->position >= 0 && mark->number == from) {
            uint32_t resumeFrom = from;
            if (walkFromMark(*mark, reader, visit, resumeFrom)) return AreaResult::ok();
            from = resumeFrom;
        }
        *mark = WalkMark();
    }
    MCArray<sqifile> index;
    bool inFileOrder = false;
    if (!loadIndex(index, inFileOrder)) return readFailure(indexPath);
    const sqifile* records = index.getData();
    const int32_t count = index.getCount();
    const int32_t first = int32_t(
        std::lower_bound(records, records + count, from, [](const sqifile& r, uint32_t n) { return r.umsgid < n; }) -
        records);
    const int32_t stopped = visitFrames(records + first, count - first, reader, visit);
    // The mark names the record's place in the file, which is its place in the loaded
    // index when the file holds the records in order (and none before it names no frame;
    // otherwise the next walk finds another record there and does not take the mark).
    if (mark && stopped >= 0 && inFileOrder) {
        const sqifile& r = records[first + stopped];
        *mark = WalkMark{int64_t(first + stopped), r.umsgid, r.frameOffset};
    }
    return AreaResult::ok();
}

AreaResult CSquishArea::getMsgList(const SummaryVisitor& visit) {
    BaseCloser closer(*this);
    AreaResult opened = openBase(OsFile::Mode::ReadOnly);
    // A base whose files are not there lists nothing.
    if (opened.code() == AreaResult::Code::NotFound) return AreaResult::ok();
    if (!opened.isOk()) return opened;
    std::string control;
    MessageSummary summary;
    return forEachListedFrame([&](const ListedFrame& f) {
        fillSummary(summary, f.record.umsgid, f.msg);
        // The control information is bounded by the file (the frame was checked).
        std::string_view kludges;
        if (f.frame.controlLength <= f.extra) {
            kludges = std::string_view(reinterpret_cast<const char*>(f.after), f.frame.controlLength);
        } else {
            const uint32_t wanted = std::min(f.frame.controlLength, kListControlMax);
            control.resize(wanted);
            if (dataFile.readAt(int64_t(f.record.frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize),
                                control.data(), wanted) == int64_t(wanted))
                kludges = control;
        }
        summary.setThreadKludges(kludges);
        return visit(summary);
    });
}

AreaResult CSquishArea::getAreaStats(AreaStats& stats) {
    stats = AreaStats();
    BaseCloser closer(*this);
    AreaResult opened = openBase(OsFile::Mode::ReadOnly);
    if (!opened.isOk()) return opened;
    SquishBaseHeader header;
    const int64_t got = dataFile.length();
    if (got < 0) return readFailure(dataPath);
    if (got < int64_t(kSquishBaseHeaderSize)) return AreaResult::damaged(dataPath + " is shorter than its base header");
    if (!readBaseHeader(dataFile, header)) return readFailure(dataPath);

    // The mark is the UMSGID of the last message read. Without a last-read file (hpt and
    // other tossers write none), or with one too short to hold it, the mark is 0 and every
    // message counts as unread; nothing is written. A process out of descriptors must not
    // pass for that.
    uint32_t mark = 0;
    {
        const std::string sqlPath = squishFilePath(basePath, ".SQL");
        OsFile sql = OsFile::openExisting(sqlPath, OsFile::Mode::ReadOnly);
        if (!sql.isOpen() && isDescriptorShortage(errno)) return openFailure(sqlPath);
        uint8_t raw[4];
        if (sql.isOpen() && sql.readAt(0, raw, sizeof raw) == int64_t(sizeof raw)) {
            mark = getU32(raw);
            stats.hasLastRead = true;
            stats.lastRead = mark;
        }
    }
    // Counted over exactly what the list shows, whatever the header's count says.
    uint32_t messages = 0, unread = 0;
    AreaResult walked = forEachListedFrame([&](const ListedFrame& f) {
        ++messages;
        if (f.record.umsgid > mark) ++unread;
        return true;
    });
    if (!walked.isOk()) return walked;
    stats.messages = messages;
    stats.unread = unread;
    return AreaResult::ok();
}

AreaResult CSquishArea::getMessage(uint32_t msgNumber, StoredMessage& out) {
    BaseCloser closer(*this);
    AreaResult opened = openBase(OsFile::Mode::ReadOnly);
    if (!opened.isOk()) return opened;
    sqifile record;
    AreaResult found = findIndexRecord(msgNumber, record);
    if (!found.isOk()) return found;
    const uint32_t frameOffset = record.frameOffset;
    const int64_t fileLength = dataFile.length();
    if (fileLength < 0) return readFailure(dataPath);

    SquishFrameHeader frame;
    SquishMsgHeader msg;
    AreaResult headers = readMessageHeaders(msgNumber, frameOffset, fileLength, frame, msg);
    if (!headers.isOk()) return headers;

    return readMessageBody(msgNumber, frameOffset, frame, msg, out);
}

AreaResult CSquishArea::readMessageBody(uint32_t umsgid, uint32_t frameOffset, const SquishFrameHeader& frame,
                                        const SquishMsgHeader& msg, StoredMessage& out) {
    // Control information and text; the frame check bounds their length by the file's.
    const uint32_t n = frame.msgLength - uint32_t(kSquishMsgHeaderSize);
    std::string body;
    try {
        body.resize(n);
    } catch (const std::bad_alloc&) {
        return AreaResult::ioError("no memory for the message", ENOMEM);
    }
    if (dataFile.readAt(int64_t(frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize), body.data(), n) != int64_t(n))
        return readFailure(dataPath + " (message " + std::to_string(umsgid) + ")");

    fillSummary(out.summary, umsgid, msg);
    out.attributes = msg.attr;
    out.control.assign(body, 0, frame.controlLength);
    body.erase(0, frame.controlLength);
    out.text = std::move(body);
    out.summary.setThreadKludges(out.control);
    return AreaResult::ok();
}

AreaResult CSquishArea::readMessages(uint32_t from, const MessageVisitor& visit, WalkMark* mark) {
    BaseCloser closer(*this);
    AreaResult opened = openBase(OsFile::Mode::ReadOnly);
    if (!opened.isOk() && mark) *mark = WalkMark();
    if (opened.code() == AreaResult::Code::NotFound) return AreaResult::ok();
    if (!opened.isOk()) return opened;
    StoredMessage message;
    AreaResult failed = AreaResult::ok();
    AreaResult walked = forEachListedFrame(
        [&](const ListedFrame& f) {
            // A short message mostly came whole with its headers: no second read for it.
            const uint32_t n = f.frame.msgLength - uint32_t(kSquishMsgHeaderSize);
            if (n <= f.extra) {
                fillSummary(message.summary, f.record.umsgid, f.msg);
                message.attributes = f.msg.attr;
                message.control.assign(reinterpret_cast<const char*>(f.after), f.frame.controlLength);
                message.text.assign(reinterpret_cast<const char*>(f.after) + f.frame.controlLength,
                                    n - f.frame.controlLength);
                message.summary.setThreadKludges(message.control);
                return visit(message);
            }
            AreaResult read = readMessageBody(f.record.umsgid, f.record.frameOffset, f.frame, f.msg, message);
            // Out of memory or a failing disk ends the walk; the rest is as the list has it.
            if (read.code() == AreaResult::Code::IoError) {
                failed = read;
                return false;
            }
            return !read.isOk() || visit(message);
        },
        from, mark);
    return walked.isOk() ? failed : walked;
}

AreaResult CSquishArea::newMessage(const NewMessage& message, uint32_t& stored) {
    stored = 0;
    LockedBase locked(*this);
    AreaResult ready = locked.begin();
    if (!ready.isOk()) return ready;
    SquishBaseHeader& base = locked.base;
    const int64_t end = locked.fileLength;
    // The new frame goes at the true end of the data, whatever endFrame says.
    if (end > INT32_MAX) return damaged("the data file is too large for the 32-bit offsets of the format");
    const uint32_t frameOffset = uint32_t(end);

    // The chain the new frame is linked to: the last frame ends it, is a message frame and
    // lies wholly in the file (a frame that runs past the end would take the new frame
    // into itself).
    if ((base.beginFrame == 0) != (base.lastFrame == 0))
        return damaged("the header names a " + std::string(base.beginFrame == 0 ? "last" : "first") + " frame but no " +
                       (base.beginFrame == 0 ? "first" : "last") + " frame");
    if (base.lastFrame != 0) {
        SquishFrameHeader lastFrame;
        std::string problem =
            checkFrameToPatch(dataFile, end, base.lastFrame, kSquishFrameNormal, "the last frame", lastFrame);
        if (!problem.empty()) return damaged(problem);
        if (lastFrame.prevFrame == base.lastFrame)
            return damaged("the last frame (offset " + offsetText(base.lastFrame) + ") links to itself");
        if (lastFrame.nextFrame != 0)
            return damaged("the last frame (offset " + offsetText(base.lastFrame) + ") links to a next frame (offset " +
                           offsetText(lastFrame.nextFrame) + ")");
        if (!frameFitsFile(base.lastFrame, lastFrame, end))
            return damaged("the last frame (offset " + offsetText(base.lastFrame) + ") runs past the end of the data file");
    }
    // The same for the ends of the free chain, when they are frames.
    for (auto [value, name] : {std::pair{base.freeFrame, "first free frame"},
                               std::pair{base.lastFreeFrame, "last free frame"}}) {
        SquishFrameHeader freeFrame;
        if (value != 0 && checkFrameToPatch(dataFile, end, value, kSquishFrameFree, name, freeFrame).empty() &&
            !frameFitsFile(value, freeFrame, end))
            return damaged(std::string("the ") + name + " (offset " + offsetText(value) +
                           ") runs past the end of the data file");
    }
    AreaResult last = locked.checkLastFrame(nullptr);
    if (!last.isOk()) return last;

    char msgIdKludge[kMsgIdKludgeBuffer];
    formatMsgIdKludge(message.origAddr, message.msgIdSerial, msgIdKludge);
    NewMessageBody body;
    if (!buildNewMessageBody(msgIdKludge, message.text, body)) return AreaResult::ioError("no memory for the message", ENOMEM);
    const uint64_t msgLength = uint64_t(kSquishMsgHeaderSize) + body.bytes.size();
    if (end + int64_t(kSquishFrameHeaderSize) + int64_t(msgLength) > INT32_MAX)
        return AreaResult::ioError(baseLabel() + ": the message does not fit the 32-bit offsets of the format", EFBIG);
    const uint32_t umsgid = base.nextUmsgid;

    // Control information and text first, the headers of the new frame after them.
    if (!dataFile.writeAt(end + int64_t(kSquishFrameAndMsgHeaderSize), body.bytes.data(), body.bytes.size()))
        return writeFailure(dataPath);

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
    copyField(msg.fromName, message.fromName.c_str(), sizeof msg.fromName);
    copyField(msg.toName, message.toName.c_str(), sizeof msg.toName);
    copyField(msg.subject, message.subject.c_str(), sizeof msg.subject);
    msg.origAddr = message.origAddr;
    msg.destAddr = message.destAddr;
    msg.dateWritten = makeStamp(message.written.local);
    msg.dateArrived = msg.dateWritten;
    msg.umsgid = umsgid;  // announced by kSquishAttrUmsgidSet in attr
    formatFidoDate(msg.dateText, message.written.local);

    uint8_t headers[kSquishFrameAndMsgHeaderSize];
    encodeSquishFrameHeader(frame, headers);
    encodeSquishMsgHeader(msg, headers + kSquishFrameHeaderSize);
    if (!dataFile.writeAt(end, headers, sizeof headers)) return writeFailure(dataPath);

    if (base.lastFrame != 0 && !writeU32At(dataFile, int64_t(base.lastFrame) + kSquishNextFrameOffset, frameOffset))
        return writeFailure(dataPath);

    // The count follows the index: one more, but never more than the records it holds.
    const int64_t position = locked.tail.position + 1;
    const int64_t records = position + 1;
    base.numMsg = uint32_t(std::min<int64_t>(int64_t(base.numMsg) + 1, records));
    base.highMsg = base.numMsg;
    base.nextUmsgid = umsgid + 1;
    if (base.beginFrame == 0) base.beginFrame = frameOffset;
    base.lastFrame = frameOffset;
    // endFrame is the true end of the data: other writers put their new frames there.
    base.endFrame = frameOffset + uint32_t(kSquishFrameHeaderSize) + frame.frameLength;
    if (!writeBaseHeader(dataFile, base)) return writeFailure(dataPath);

    // The record goes right after the last record that names a frame: over the first of
    // the records without one that end the index, or after the last whole record.
    if (!writeIndexRecord(position, sqifile{frameOffset, umsgid, squishNameHash(msg.toName)}))
        return writeFailure(indexPath);
    stored = umsgid;
    return AreaResult::ok();
}

AreaResult CSquishArea::deleteMsg(uint32_t msgNumber, const DeleteCheck& check) {
    LockedBase locked(*this);
    AreaResult ready = locked.begin();
    if (!ready.isOk()) return ready;
    SquishBaseHeader& base = locked.base;
    const int64_t fileLength = locked.fileLength;

    MCArray<sqifile> index;
    if (!loadIndex(index)) return readFailure(indexPath);
    AreaResult last = locked.checkLastFrame(&index);
    if (!last.isOk()) return last;

    int32_t found = findUmsgid(index, msgNumber);
    if (found < 0) return AreaResult::notFound(baseLabel() + ": no message " + std::to_string(msgNumber));
    const uint32_t frameOffset = index.getAt(found)->frameOffset;
    const std::string self = "the frame of message " + std::to_string(msgNumber) + " (offset " +
                             offsetText(frameOffset) + ")";

    SquishFrameHeader frame;
    SquishMsgHeader msg;
    AreaResult readable = readMessageHeaders(msgNumber, frameOffset, fileLength, frame, msg);
    if (readable.code() == AreaResult::Code::Damaged)
        return AreaResult::damaged(readable.reason() + "; nothing was written");
    if (!readable.isOk()) return readable;

    if (check.needsOwnership()) {
        MessageOwnership owner;
        owner.attributes = msg.attr;
        std::string control;
        try {
            control.resize(frame.controlLength);
        } catch (const std::bad_alloc&) {
            return AreaResult::ioError("no memory for the message", ENOMEM);
        }
        if (dataFile.readAt(int64_t(frameOffset) + int64_t(kSquishFrameAndMsgHeaderSize), control.data(),
                            frame.controlLength) != int64_t(frame.controlLength))
            return readFailure(dataPath + " (message " + std::to_string(msgNumber) + ")");
        owner.hasMsgId = findMsgIdAddr(control, owner.msgIdAddress);
        AreaResult allowed = check.allows(owner);
        if (!allowed.isOk()) return allowed;
    }

    // Every frame that will be patched, and the frame itself, checked before the first
    // write: each link must lead to a frame of the expected kind that links back, so that
    // nothing is written into another message's text or cuts a chain.
    // A frame already on the free chain (a stale index record) must not be freed twice:
    // that would tie the free chain into a loop.
    if (frame.frameType != kSquishFrameNormal)
        return damaged(self + " is " + frameTypeName(frame.frameType) + ", not a message frame");
    if (frameOffset == base.freeFrame || frameOffset == base.lastFreeFrame) return damaged(self + " is on the free chain");
    // A frame that links to itself, or whose neighbours are one frame, would leave a loop
    // in the chain once it is unlinked.
    if (frame.prevFrame == frameOffset || frame.nextFrame == frameOffset) return damaged(self + " links to itself");
    if (frame.prevFrame != 0 && frame.prevFrame == frame.nextFrame)
        return damaged(self + " has the same frame (offset " + offsetText(frame.prevFrame) + ") before and after it");
    const bool isFirst = frameOffset == base.beginFrame;
    const bool isLast = frameOffset == base.lastFrame;
    if (isFirst != (frame.prevFrame == 0))
        return damaged(self + (isFirst ? " is the first frame but links to a previous one"
                                       : " is not the first frame but links to no previous one"));
    if (isLast != (frame.nextFrame == 0))
        return damaged(self + (isLast ? " is the last frame but links to a next one"
                                      : " is not the last frame but links to no next one"));
    SquishFrameHeader neighbour;
    if (!isFirst) {
        std::string problem = checkFrameToPatch(dataFile, fileLength, frame.prevFrame, kSquishFrameNormal,
                                                "the frame before " + self, neighbour);
        if (!problem.empty()) return damaged(problem);
        if (neighbour.nextFrame != frameOffset)
            return damaged("the frame before " + self + " (offset " + offsetText(frame.prevFrame) +
                           ") does not link back to it");
        // Its own previous link must lead away from the frame, or the chain comes back to it.
        if (neighbour.prevFrame == frameOffset || neighbour.prevFrame == frame.prevFrame)
            return damaged("the frame before " + self + " (offset " + offsetText(frame.prevFrame) +
                           ") links back into the chain behind it");
    }
    if (!isLast) {
        std::string problem = checkFrameToPatch(dataFile, fileLength, frame.nextFrame, kSquishFrameNormal,
                                                "the frame after " + self, neighbour);
        if (!problem.empty()) return damaged(problem);
        if (neighbour.prevFrame != frameOffset)
            return damaged("the frame after " + self + " (offset " + offsetText(frame.nextFrame) +
                           ") does not link back to it");
        if (neighbour.nextFrame == frameOffset || neighbour.nextFrame == frame.nextFrame)
            return damaged("the frame after " + self + " (offset " + offsetText(frame.nextFrame) +
                           ") links back into the chain before it");
    }
    AreaResult freeEnd = locked.checkFreeChainEnd();
    if (!freeEnd.isOk()) return freeEnd;

    // The index as it will be rewritten, prepared before the first write.
    (void)index.removeAt(found);
    std::vector<uint8_t> indexBytes;
    try {
        indexBytes.resize(size_t(index.getCount()) * kSqiRecordSize);
    } catch (const std::bad_alloc&) {
        return AreaResult::ioError("no memory for the message", ENOMEM);
    }
    for (int32_t i = 0; i < index.getCount(); ++i)
        encodeSqiRecord(*index.getAt(i), indexBytes.data() + size_t(i) * kSqiRecordSize);

    // Unlink the frame from the message chain.
    if (!isFirst && !writeU32At(dataFile, int64_t(frame.prevFrame) + kSquishNextFrameOffset, frame.nextFrame))
        return writeFailure(dataPath);
    if (!isLast && !writeU32At(dataFile, int64_t(frame.nextFrame) + kSquishPrevFrameOffset, frame.prevFrame))
        return writeFailure(dataPath);
    if (isFirst) base.beginFrame = frame.nextFrame;
    if (isLast) base.lastFrame = frame.prevFrame;

    // Append it to the free chain, marked free so that writers that reuse frames take it.
    if (base.lastFreeFrame != 0 &&
        !writeU32At(dataFile, int64_t(base.lastFreeFrame) + kSquishNextFrameOffset, frameOffset))
        return writeFailure(dataPath);
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
    if (!dataFile.writeAt(frameOffset, headers, sizeof headers)) return writeFailure(dataPath);
    if (!writeBaseHeader(dataFile, base)) return writeFailure(dataPath);

    // The index is rewritten in place: other programs may hold it open, and it is never
    // left empty on the way.
    if (!indexBytes.empty() && !indexFile.writeAt(0, indexBytes.data(), indexBytes.size()))
        return writeFailure(indexPath);
    if (!indexFile.truncate(int64_t(indexBytes.size()))) return writeFailure(indexPath);
    return AreaResult::ok();
}
