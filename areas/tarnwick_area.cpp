#include "areas/tarnwick_area.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "areas/kludges.h"
#include "support/le.h"
#include "support/osfile.h"
#include "support/text.h"
#include "wire/attributes.h"
#include "wire/fidodate.h"

void encodeMsgFileHeader(const msgFileHeader& h, uint8_t* out) {
    putBytes(out, h.fromUserName, 36);
    putBytes(out + 36, h.toUserName, 36);
    putBytes(out + 72, h.subject, 72);
    putBytes(out + 144, h.dateTime, 20);
    putU16(out + 164, h.timesRead);
    putU16(out + 166, h.destNode);
    putU16(out + 168, h.origNode);
    putU16(out + 170, h.cost);
    putU16(out + 172, h.origNet);
    putU16(out + 174, h.destNet);
    putU16(out + 176, h.destZone);
    putU16(out + 178, h.origZone);
    putU16(out + 180, h.destPoint);
    putU16(out + 182, h.origPoint);
    putU16(out + 184, h.replyTo);
    putU16(out + 186, h.attribute);
    putU16(out + 188, h.nextReply);
}

msgFileHeader decodeMsgFileHeader(const uint8_t* in) {
    msgFileHeader h;
    getBytes(h.fromUserName, in, 36);
    getBytes(h.toUserName, in + 36, 36);
    getBytes(h.subject, in + 72, 72);
    getBytes(h.dateTime, in + 144, 20);
    h.timesRead = getU16(in + 164);
    h.destNode = getU16(in + 166);
    h.origNode = getU16(in + 168);
    h.cost = getU16(in + 170);
    h.origNet = getU16(in + 172);
    h.destNet = getU16(in + 174);
    h.destZone = getU16(in + 176);
    h.origZone = getU16(in + 178);
    h.destPoint = getU16(in + 180);
    h.origPoint = getU16(in + 182);
    h.replyTo = getU16(in + 184);
    h.attribute = getU16(in + 186);
    h.nextReply = getU16(in + 188);
    return h;
}

namespace {

// The text of a message is handed to the line routines with a signed 32-bit bound, and
// the largest value stands for "no bound"; longer files are treated as unreadable.
constexpr int64_t kMaxTextLength = int64_t(kNoLengthBound) - 1;
// Text is read in pieces of this size so that a file full of zero bytes (a sparse or
// damaged file) costs no more memory than the text before its first zero byte.
constexpr size_t kReadChunk = 64 * 1024;

int compareMsgNumbers(const uint16_t* key, const uint16_t* element) {
    if (*key < *element) return -1;
    return *key > *element ? 1 : 0;
}

std::string numberedName(uint32_t number, const char* extension) {
    char name[32];
    snprintf(name, sizeof name, "%u.%s", number, extension);
    return name;
}

bool hasMsgExtension(const char* name, size_t length) { return length >= 4 && equalsNoCase(name + length - 4, ".msg"); }

// The number a *.msg name stands for: the part before the first "." read as a decimal.
// False when it does not fit in 32 bits.
bool numberFromName(const char* name, uint32_t& number) {
    bool overflow;
    number = readDecimal(name, overflow);
    return !overflow;
}

// Reads the header of an open message file and its text up to the first zero byte or
// the end of the file; `text` receives the text followed by one zero byte. False when
// the length cannot be found, the file is shorter than a header or longer than the text
// bound, or fewer bytes arrive than the length promises. Memory never exceeds the size
// of the text actually read.
bool readMessageFile(const OsFile& file, msgFileHeader& header, std::vector<char>& text) {
    text.clear();
    int64_t length = file.length();
    if (length < int64_t(kMsgFileHeaderSize)) return false;
    int64_t textLength = length - int64_t(kMsgFileHeaderSize);
    if (textLength > kMaxTextLength) return false;

    uint8_t raw[kMsgFileHeaderSize];
    if (file.readAt(0, raw, sizeof raw) != int64_t(sizeof raw)) return false;
    header = decodeMsgFileHeader(raw);

    int64_t done = 0;
    while (done < textLength) {
        size_t piece = size_t(std::min<int64_t>(textLength - done, int64_t(kReadChunk)));
        size_t used = text.size();
        if (used + piece + 1 > text.capacity())
            text.reserve(std::min(std::max(text.capacity() * 2, used + piece + 1), size_t(textLength) + 1));
        text.resize(used + piece);
        if (file.readAt(int64_t(kMsgFileHeaderSize) + done, text.data() + used, piece) != int64_t(piece)) return false;
        done += int64_t(piece);
        if (const void* zero = memchr(text.data() + used, 0, piece)) {
            text.resize(size_t(static_cast<const char*>(zero) - text.data()));
            break;
        }
    }
    text.push_back(0);
    return true;
}

// The addresses of a stored message. Tossers route by the INTL, FMPT and TOPT kludges and
// some keep other data (date stamps) in the header's zone and point fields, so the
// kludges win where they are present: INTL gives zone, net and node of both ends, and
// then a missing FMPT or TOPT means point 0. Without INTL, net and node come from the
// header and zone from its spare bytes; FMPT and TOPT still give the points.
void messageAddresses(const msgFileHeader& h, const char* text, FidoAddr& orig, FidoAddr& dest) {
    RoutingKludges k = findRoutingKludges(text);
    if (k.hasIntl) {
        orig = k.intlOrig;
        dest = k.intlDest;
    } else {
        orig = FidoAddr{h.origZone, h.origNet, h.origNode, h.origPoint};
        dest = FidoAddr{h.destZone, h.destNet, h.destNode, h.destPoint};
    }
    if (k.hasFmpt) orig.point = k.fmpt;
    if (k.hasTopt) dest.point = k.topt;
}

}  // namespace

CTarnwickArea::CTarnwickArea(const char* path, int32_t number) : CEchoArea(number), msgNumbers(compareMsgNumbers) {
    size_t n = path ? strlen(path) : 0;
    if (n >= kAreaDirectorySize) n = 0;
    memcpy(directory, path ? path : "", n);
    memset(directory + n, 0, kAreaDirectorySize - n);
}

std::string CTarnwickArea::pathOf(const std::string& name) const { return joinPath(directory, name); }

void CTarnwickArea::scanDirectory() { scan(nullptr); }

void CTarnwickArea::scan(std::vector<std::string>* lastreadNames) {
    msgNumbers.removeAll();
    fileForms.clear();
    oddCaseNames.clear();
    highestTaken = -1;
    scanIncomplete = false;
    if (lastreadNames) lastreadNames->clear();
    // Without a directory there is nothing to scan (and no current directory to fall to).
    if (directory[0] == 0) return;
    try {
        takenNumbers.assign(size_t(0x10000), false);
        struct Found {
            uint16_t number;
            int32_t form;  // FileForm; kOddCaseName + k for oddCaseNames[k]; kNoOwnName last
        };
        std::vector<Found> found;
        bool listed = forEachEntry(directory, [&](const char* name, EntryKind kind) {
            size_t length = strlen(name);
            if (lastreadNames && equalsNoCase(name, "lastread")) lastreadNames->emplace_back(name);
            uint32_t value;
            if (!hasMsgExtension(name, length) || !numberFromName(name, value)) return;
            uint16_t number = uint16_t(value);
            // Any entry takes its number, so that a new message never lands beside it.
            takenNumbers[number] = true;
            highestTaken = std::max<int32_t>(highestTaken, number);
            // Only regular files are messages: a symbolic link is none, whatever it points
            // at. The kind comes from the directory itself where the file system gives it,
            // which spares a stat of every message file on each scan.
            bool regular = kind == EntryKind::Regular ||
                           (kind == EntryKind::Unknown && isRegularFile(pathOf(name), Links::Refuse));
            if (!regular) return;

            char lower[16], upper[16];
            snprintf(lower, sizeof lower, "%u.msg", unsigned(number));
            snprintf(upper, sizeof upper, "%u.MSG", unsigned(number));
            int32_t form = kNoOwnName;
            if (strcmp(name, lower) == 0) {
                form = kLowerName;
            } else if (strcmp(name, upper) == 0) {
                form = kUpperName;
            } else if (equalsNoCase(name, lower)) {
                form = kOddCaseName + int32_t(oddCaseNames.size());
                oddCaseNames.emplace_back(name);
            }
            found.push_back({number, form});
        });
        if (!listed) return;
        // Sorted first, so that every number is appended at the end of msgNumbers: the scan
        // stays O(n log n) whatever order the directory lists its entries in. Of several
        // names for one number the lower-case one is preferred, then the upper-case one.
        auto rank = [this](int32_t form) -> std::pair<uint32_t, const std::string*> {
            if (form >= kOddCaseName) return {2, &oddCaseNames[size_t(form - kOddCaseName)]};
            return {form == kNoOwnName ? 3u : uint32_t(form), nullptr};
        };
        std::sort(found.begin(), found.end(), [&rank](const Found& a, const Found& b) {
            if (a.number != b.number) return a.number < b.number;
            auto ra = rank(a.form), rb = rank(b.form);
            if (ra.first != rb.first) return ra.first < rb.first;
            return ra.second && rb.second && *ra.second < *rb.second;
        });
        fileForms.reserve(found.size());
        for (size_t i = 0; i < found.size(); ++i) {
            if (i > 0 && found[i].number == found[i - 1].number) continue;
            if (msgNumbers.add(found[i].number) < 0) {
                scanIncomplete = true;
                return;
            }
            fileForms.push_back(found[i].form);
        }
    } catch (const std::bad_alloc&) {
        scanIncomplete = true;
    }
}

std::string CTarnwickArea::messageFileName(int32_t index) const {
    int32_t form = fileForms[size_t(index)];
    uint16_t number = *msgNumbers.getAt(index);
    if (form == kLowerName) return numberedName(number, "msg");
    if (form == kUpperName) return numberedName(number, "MSG");
    if (form >= kOddCaseName) return oddCaseNames[size_t(form - kOddCaseName)];
    return std::string();
}

bool CTarnwickArea::getMsgList(MCArray<pktMsgHeader>& out) {
    out.removeAll();
    scanDirectory();
    if (scanIncomplete) return false;
    // Room for every header at once: appending one by one would copy the array again at
    // every step of 64, which grows with the square of the area's size.
    if (!out.setSize(msgNumbers.getCount())) return false;
    int32_t filled = 0;
    try {
        std::vector<char> text;
        for (int32_t i = 0; i < msgNumbers.getCount(); ++i) {
            std::string name = messageFileName(i);
            if (name.empty()) continue;  // no file under the number's own name
            OsFile file = OsFile::openExisting(pathOf(name), OsFile::Mode::ReadOnly, Links::Refuse);
            if (!file.isOpen()) continue;
            msgFileHeader stored;
            if (!readMessageFile(file, stored, text)) continue;
            file.close();

            pktMsgHeader h = storedMsgHeader(*msgNumbers.getAt(i), stored.fromUserName, stored.toUserName,
                                             stored.subject, stored.dateTime);
            hashKludges(text.data(), h.msgIdHash, h.replyHash);
            *out.getAt(filled++) = h;
        }
    } catch (const std::bad_alloc&) {
        out.removeAll();
        return false;
    }
    return out.setSize(filled);
}

bool CTarnwickArea::getAreaStats(const char* areaPath, uint32_t counts[2]) {
    counts[0] = 0;
    counts[1] = 0;
    uint16_t mark = kNoLastRead;
    if (!areaPath || strlen(areaPath) + 10 > kAreaDirectorySize) return false;
    try {
        std::vector<std::string> lastreadNames;
        scan(&lastreadNames);
        if (scanIncomplete) return false;
        if (areaPath[0] != 0) {
            // The scan has seen the lastread names of the area's own directory.
            bool ownDirectory = strcmp(areaPath, directory) == 0;
            OsFile lastread = openNoCase(areaPath, "lastread", nullptr, ownDirectory ? &lastreadNames : nullptr);
            uint8_t raw[2];
            if (lastread.isOpen() && lastread.readAt(0, raw, sizeof raw) == int64_t(sizeof raw)) mark = getU16(raw);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }

    counts[0] = uint32_t(msgNumbers.getCount());
    if (counts[0] < 2 || mark == kNoLastRead) {
        counts[1] = counts[0];
        return true;
    }
    int32_t pos;
    if (msgNumbers.search(mark, pos)) counts[1] = counts[0] - uint32_t(pos) - 1;
    return true;
}

bool CTarnwickArea::getMessage(uint32_t msgNumber, MCArray<char>& out) {
    out.removeAll();
    if (directory[0] == 0) return false;
    try {
        OsFile file = openNoCase(directory, numberedName(msgNumber, "msg"), nullptr, nullptr, Links::Refuse);
        if (!file.isOpen()) return false;
        msgFileHeader stored;
        std::vector<char> text;
        if (!readMessageFile(file, stored, text)) return false;
        file.close();

        pktMessage m;
        m.header = storedMsgHeader(msgNumber, stored.fromUserName, stored.toUserName, stored.subject, stored.dateTime);
        messageAddresses(stored, text.data(), m.origAddr, m.destAddr);
        m.attributes = stored.attribute;

        // The output is sized once, from the text's length, so that the lines are then
        // appended without growing the array step by step.
        int32_t textLength = int32_t(text.size() - 1);
        if (!reserveForLines(out, int64_t(kMessageRecordSize), textLength) ||
            !out.setSize(int32_t(kMessageRecordSize)))
            return false;
        encodeMessage(m, reinterpret_cast<uint8_t*>(out.getData()));
        textToLines(text.data(), out, textLength);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CTarnwickArea::newMessage(pktMessage* record, const char* text, const WallTime& now) {
    beginWrite();
    if (!record || !text || directory[0] == 0) return false;
    try {
        scanDirectory();
        if (scanIncomplete) return false;
        // After the highest number that any entry takes, in 16 bits; gaps are never reused.
        // Number 1 is left to the tosser: *.MSG tossers keep their high-water mark in 1.msg
        // and never export it, so a netmail stored there would never be sent (or be
        // overwritten by the mark).
        uint16_t first = highestTaken < 0 ? 1 : uint16_t(highestTaken + 1);

        msgFileHeader h;
        copyField(h.fromUserName, record->header.fromName, sizeof h.fromUserName);
        copyField(h.toUserName, record->header.toName, sizeof h.toUserName);
        copyField(h.subject, record->header.subject, sizeof h.subject);
        formatFidoDate(h.dateTime, now.local);
        h.destNode = record->destAddr.node;
        h.origNode = record->origAddr.node;
        h.origNet = record->origAddr.net;
        h.destNet = record->destAddr.net;
        h.destZone = record->destAddr.zone;
        h.origZone = record->origAddr.zone;
        h.destPoint = record->destAddr.point;
        h.origPoint = record->origAddr.point;
        h.attribute = record->attributes;
        uint8_t raw[kMsgFileHeaderSize];
        encodeMsgFileHeader(h, raw);

        const FidoAddr& o = record->origAddr;
        const FidoAddr& d = record->destAddr;
        std::string bytes(reinterpret_cast<const char*>(raw), sizeof raw);
        char line[64];
        snprintf(line, sizeof line, "\x01" "INTL %d:%d/%d %d:%d/%d\r", d.zone, d.net, d.node, o.zone, o.net, o.node);
        bytes += line;
        if (o.point != 0) {
            snprintf(line, sizeof line, "\x01" "FMPT %d\r", o.point);
            bytes += line;
        }
        if (d.point != 0) {
            snprintf(line, sizeof line, "\x01" "TOPT %d\r", d.point);
            bytes += line;
        }
        char msgId[kMsgIdKludgeBuffer];
        formatMsgIdKludge(o, now.utc, msgId);
        bytes += msgId;
        bytes.append(text, strlen(text) + 1);
        return storeNewMessage(bytes, first);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// Removes a temporary file unless it was moved to its final name.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) removeFile(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

// Names tried before a post gives up: other programs writing the directory at the same
// moment may take a few numbers first; more than this many means something is wrong.
constexpr int kMaxNameCollisions = 64;

}  // namespace

bool CTarnwickArea::storeNewMessage(const std::string& bytes, uint16_t first) {
    // The temporary name: a .mst left by a crashed writer, or one that another program is
    // writing right now, is never touched; the next number's name is tried instead. Only
    // the name is borrowed from the number: the message goes to the first free number
    // below, whatever its temporary name was.
    OsFile file;
    std::string tempPath;
    for (int attempt = 0; attempt <= kMaxNameCollisions && !file.isOpen(); ++attempt) {
        tempPath = pathOf(numberedName(uint16_t(first + attempt), "mst"));
        bool taken = false;
        file = OsFile::createExclusive(tempPath, &taken);
        if (!file.isOpen() && !taken) return false;
    }
    if (!file.isOpen()) return false;
    TemporaryFile temp(tempPath);
    if (!file.write(bytes.data(), bytes.size())) return false;
    if (!file.close()) return false;

    // The message number: the first from `first` on that no entry takes (after the wrap
    // at 65535 this steps over the numbers still in use), never 1, and never beside a
    // message file of the same number in other letter case. A message file appearing
    // under the name meanwhile makes the rename fail; the next number is tried then.
    int collisions = 0;
    uint16_t number = first;
    for (uint32_t tried = 0; tried < 0x10000u; ++tried, number = uint16_t(number + 1)) {
        if (number == 1 || takenNumbers[number]) continue;
        std::string finalName = numberedName(number, "msg");
        bool exists = existsNoCase(directory, finalName);
        if (!exists) {
            if (renameNoReplace(temp.path(), pathOf(finalName), &exists)) {
                temp.keep();
                setStoredNumber(number);
                return true;
            }
            if (!exists) return false;
        }
        if (++collisions > kMaxNameCollisions) return false;
    }
    return false;
}

bool CTarnwickArea::deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) {
    beginWrite();
    if (directory[0] == 0) return false;
    try {
        std::string path;
        // A super user's delete reads nothing: the file only has to be there, as a regular
        // file (a symbolic link or any other entry is no message).
        if (mayDeleteAny)
            return findRegularNoCase(directory, numberedName(msgNumber, "msg"), path, Links::Refuse) &&
                   removeFile(path);
        if (!requester) return false;
        OsFile file = openNoCase(directory, numberedName(msgNumber, "msg"), &path, nullptr, Links::Refuse);
        if (!file.isOpen()) return false;

        msgFileHeader stored;
        std::vector<char> text;
        if (!readMessageFile(file, stored, text)) return false;
        file.close();
        if (stored.attribute & kAttrSent) return false;

        // Only the kludge lines at the top of the text count; the first MSGID decides.
        char* cursor = text.data();
        while (char* line = nextToken(cursor, "\r")) {
            if (line[0] != 1) return false;
            if (strncmp(line, "\x01" "MSGID: ", 8) != 0) continue;
            FidoAddr owner;
            if (!parseFidoAddr(line + 8, owner) || !(owner == *requester)) return false;
            return removeFile(path);
        }
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
