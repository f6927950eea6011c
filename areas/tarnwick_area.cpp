#include "areas/tarnwick_area.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "fido/attributes.h"
#include "fido/fidodate.h"
#include "fido/kludges.h"
#include "support/le.h"
#include "support/osfile.h"
#include "support/text.h"

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

const char* const kNoUsablePath =
    "the folder has no usable path (none is given, or it is too long or holds a zero byte)";

// Longer texts are treated as unreadable: a fetched message must fit the signed 32-bit
// sizes of replies.
constexpr int64_t kMaxTextLength = 0x7FFFFFFE;
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

AreaResult readFailure(const std::string& path) {
    int error = errno;
    return AreaResult::ioError("cannot read " + path, error);
}

// Whether an open message file can be a message: at least a header long, its text within
// the bound. Damaged, naming the file and what is wrong, when not; `textLength` receives
// the length of what follows the header.
AreaResult checkMessageFile(const OsFile& file, const std::string& path, int64_t& textLength) {
    int64_t length = file.length();
    if (length < 0) return readFailure(path);
    if (length < int64_t(kMsgFileHeaderSize))
        return AreaResult::damaged(path + " is shorter than a message header (" + std::to_string(length) + " of " +
                                   std::to_string(kMsgFileHeaderSize) + " bytes)");
    textLength = length - int64_t(kMsgFileHeaderSize);
    if (textLength > kMaxTextLength) return AreaResult::damaged(path + " is too long to be a message");
    return AreaResult::ok();
}

// Reads the header of an open message file and its text up to the first zero byte or
// the end of the file; `text` receives the text followed by one zero byte. Damaged when
// checkMessageFile says so; an I/O error when fewer bytes arrive than the length
// promises. Memory never exceeds the size of the text actually read. `path` names the
// file in the reason.
AreaResult readMessageFile(const OsFile& file, const std::string& path, msgFileHeader& header,
                           std::vector<char>& text) {
    text.clear();
    int64_t textLength = 0;
    AreaResult checked = checkMessageFile(file, path, textLength);
    if (!checked.isOk()) return checked;

    uint8_t raw[kMsgFileHeaderSize];
    if (file.readAt(0, raw, sizeof raw) != int64_t(sizeof raw)) return readFailure(path);
    header = decodeMsgFileHeader(raw);

    int64_t done = 0;
    while (done < textLength) {
        size_t piece = size_t(std::min<int64_t>(textLength - done, int64_t(kReadChunk)));
        size_t used = text.size();
        if (used + piece + 1 > text.capacity())
            text.reserve(std::min(std::max(text.capacity() * 2, used + piece + 1), size_t(textLength) + 1));
        text.resize(used + piece);
        if (file.readAt(int64_t(kMsgFileHeaderSize) + done, text.data() + used, piece) != int64_t(piece))
            return readFailure(path);
        done += int64_t(piece);
        if (const void* zero = memchr(text.data() + used, 0, piece)) {
            text.resize(size_t(static_cast<const char*>(zero) - text.data()));
            break;
        }
    }
    text.push_back(0);
    return AreaResult::ok();
}


// The parts of a summary that the stored header gives.
void fillSummary(MessageSummary& s, uint32_t number, const msgFileHeader& h) {
    s.setStoredFields(number, h.fromUserName, h.toUserName, h.subject, h.dateTime);
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

CTarnwickArea::CTarnwickArea(const std::string& path, int32_t number) : CEchoArea(number), msgNumbers(compareMsgNumbers) {
    size_t n = path.size();
    if (n >= kAreaDirectorySize || path.find('\0') != std::string::npos) n = 0;
    memcpy(directory, path.data(), n);
    memset(directory + n, 0, kAreaDirectorySize - n);
}

std::string CTarnwickArea::folderLabel() const { return std::string("*.MSG folder ") + directory; }

std::string CTarnwickArea::pathOf(const std::string& name) const { return joinPath(directory, name); }

void CTarnwickArea::scanDirectory() { scan(nullptr); }

void CTarnwickArea::scan(std::vector<std::string>* lastreadNames) {
    msgNumbers.removeAll();
    fileForms.clear();
    oddCaseNames.clear();
    highestTaken = -1;
    scanIncomplete = false;
    scanError = 0;
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
        if (!listed) {
            scanError = errno;
            return;
        }
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


AreaResult CTarnwickArea::scanResult() const {
    if (scanIncomplete) return AreaResult::ioError("no memory to list " + folderLabel(), ENOMEM);
    // A folder that is not there holds no messages.
    if (scanError != 0 && scanError != ENOENT && scanError != ENOTDIR)
        return AreaResult::ioError("cannot list " + folderLabel(), scanError);
    return AreaResult::ok();
}

AreaResult CTarnwickArea::forEachListedFile(
    const std::function<bool(uint32_t number, const OsFile& file, const std::string& path)>& visit) {
    for (int32_t i = 0; i < msgNumbers.getCount(); ++i) {
        std::string name = messageFileName(i);
        if (name.empty()) continue;  // no file under the number's own name
        std::string path = pathOf(name);
        OsFile file = OsFile::openExisting(path, OsFile::Mode::ReadOnly, Links::Refuse);
        if (!file.isOpen()) {
            // A file that went away or may not be read is no message of the list (its
            // fetch says why); a process out of descriptors is no empty area.
            int error = errno;
            if (isDescriptorShortage(error)) return AreaResult::ioError("cannot open " + path, error);
            continue;
        }
        int64_t textLength;
        if (!checkMessageFile(file, path, textLength).isOk()) continue;
        if (!visit(*msgNumbers.getAt(i), file, path)) break;
    }
    return AreaResult::ok();
}

AreaResult CTarnwickArea::getMsgList(const SummaryVisitor& visit) {
    scanDirectory();
    AreaResult scanned = scanResult();
    if (!scanned.isOk()) return scanned;
    std::vector<char> text;
    MessageSummary summary;
    return forEachListedFile([&](uint32_t number, const OsFile& file, const std::string& path) {
        msgFileHeader stored;
        // A read that fails now leaves the message out as a file that went away would.
        if (!readMessageFile(file, path, stored, text).isOk()) return true;
        fillSummary(summary, number, stored);
        messageAddresses(stored, text.data(), summary.origAddr, summary.destAddr);
        summary.setThreadKludges(std::string_view(text.data(), text.size() - 1));
        return visit(summary);
    });
}

AreaResult CTarnwickArea::getAreaStats(AreaStats& stats) {
    stats = AreaStats();
    if (directory[0] == 0) return AreaResult::notFound(kNoUsablePath);
    if (strlen(directory) + 10 > kAreaDirectorySize) return AreaResult::notFound(folderLabel() + ": the path is too long");
    std::vector<std::string> lastreadNames;
    scan(&lastreadNames);
    AreaResult scanned = scanResult();
    if (!scanned.isOk()) return scanned;
    // The scan has seen the lastread names of the folder. Without a mark every message
    // counts as unread.
    OsFile lastread = openNoCase(directory, "lastread", nullptr, &lastreadNames);
    uint8_t raw[2];
    if (lastread.isOpen() && lastread.readAt(0, raw, sizeof raw) == int64_t(sizeof raw) && getU16(raw) != kNoLastRead) {
        stats.hasLastRead = true;
        stats.lastRead = getU16(raw);
    }
    // Counted over exactly what the list shows.
    uint32_t messages = 0, unread = 0;
    AreaResult walked = forEachListedFile([&](uint32_t number, const OsFile&, const std::string&) {
        ++messages;
        if (!stats.hasLastRead || number > stats.lastRead) ++unread;
        return true;
    });
    if (!walked.isOk()) return walked;
    stats.messages = messages;
    stats.unread = unread;
    return AreaResult::ok();
}

AreaResult CTarnwickArea::openMessageFile(uint32_t msgNumber, OsFile& file, std::string& path) {
    // Found first and opened after, so that a file that is there but refuses the open is
    // told apart from one that is not there.
    if (!findRegularNoCase(directory, numberedName(msgNumber, "msg"), path, Links::Refuse)) {
        int error = errno;
        if (isDescriptorShortage(error)) return AreaResult::ioError("cannot list " + folderLabel(), error);
        return AreaResult::notFound(folderLabel() + ": no message " + std::to_string(msgNumber));
    }
    file = OsFile::openExisting(path, OsFile::Mode::ReadOnly, Links::Refuse);
    if (file.isOpen()) return AreaResult::ok();
    int error = errno;
    if (error == ENOENT) return AreaResult::notFound(folderLabel() + ": no message " + std::to_string(msgNumber));
    return AreaResult::ioError("cannot open " + path, error);
}

AreaResult CTarnwickArea::getMessage(uint32_t msgNumber, StoredMessage& out) {
    if (directory[0] == 0) return AreaResult::notFound(kNoUsablePath);
    std::string path;
    OsFile file;
    AreaResult opened = openMessageFile(msgNumber, file, path);
    if (!opened.isOk()) return opened;
    msgFileHeader stored;
    std::vector<char> text;
    AreaResult read = readMessageFile(file, path, stored, text);
    if (!read.isOk()) return read;
    file.close();

    fillSummary(out.summary, msgNumber, stored);
    messageAddresses(stored, text.data(), out.summary.origAddr, out.summary.destAddr);
    out.attributes = stored.attribute;
    out.control.clear();
    out.text.assign(text.data(), text.size() - 1);
    out.summary.setThreadKludges(out.text);
    return AreaResult::ok();
}

AreaResult CTarnwickArea::newMessage(const NewMessage& message, uint32_t& stored) {
    stored = 0;
    if (directory[0] == 0) return AreaResult::notFound(kNoUsablePath);
    scanDirectory();
    AreaResult scanned = scanResult();
    if (!scanned.isOk()) return scanned;
    // A folder that is not there holds no messages, but takes none either.
    if (scanError == ENOENT) return AreaResult::notFound(folderLabel() + " is missing");
    if (scanError == ENOTDIR) return AreaResult::notFound(folderLabel() + " is not a folder");
    // After the highest number that any entry takes, in 16 bits; gaps are never reused.
    // Number 1 is left to the tosser: *.MSG tossers keep their high-water mark in 1.msg
    // and never export it, so a netmail stored there would never be sent (or be
    // overwritten by the mark).
    uint16_t first = highestTaken < 0 ? 1 : uint16_t(highestTaken + 1);

    msgFileHeader h;
    copyField(h.fromUserName, message.fromName.c_str(), sizeof h.fromUserName);
    copyField(h.toUserName, message.toName.c_str(), sizeof h.toUserName);
    copyField(h.subject, message.subject.c_str(), sizeof h.subject);
    formatFidoDate(h.dateTime, message.written.local);
    const FidoAddr& o = message.origAddr;
    const FidoAddr& d = message.destAddr;
    h.destNode = d.node;
    h.origNode = o.node;
    h.origNet = o.net;
    h.destNet = d.net;
    h.destZone = d.zone;
    h.origZone = o.zone;
    h.destPoint = d.point;
    h.origPoint = o.point;
    h.attribute = uint16_t(message.attributes);
    uint8_t raw[kMsgFileHeaderSize];
    encodeMsgFileHeader(h, raw);

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
    formatMsgIdKludge(o, message.msgIdSerial, msgId);
    bytes += msgId;
    // The text ends at its first zero byte, which is stored as its end.
    bytes.append(message.text.c_str(), strlen(message.text.c_str()) + 1);
    return storeNewMessage(bytes, first, stored);
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

AreaResult CTarnwickArea::storeNewMessage(const std::string& bytes, uint16_t first, uint32_t& stored) {
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
        if (!file.isOpen() && !taken) {
            int error = errno;
            return AreaResult::ioError("cannot create " + tempPath, error);
        }
    }
    if (!file.isOpen())
        return AreaResult::busy(folderLabel() + ": every temporary name tried is taken by another writer");
    TemporaryFile temp(tempPath);
    if (!file.write(bytes.data(), bytes.size()) || !file.close()) {
        int error = errno;
        return AreaResult::ioError("cannot write " + tempPath, error);
    }

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
                stored = number;
                return AreaResult::ok();
            }
            if (!exists) {
                int error = errno;
                return AreaResult::ioError("cannot rename " + temp.path() + " to " + pathOf(finalName), error);
            }
        }
        if (++collisions > kMaxNameCollisions)
            return AreaResult::busy(folderLabel() + ": every message number tried is taken by another writer");
    }
    return AreaResult::ioError(folderLabel() + ": no message number is free", ENOSPC);
}

AreaResult CTarnwickArea::deleteMsg(uint32_t msgNumber, const DeleteCheck& check) {
    if (directory[0] == 0) return AreaResult::notFound(kNoUsablePath);
    const AreaResult missing = AreaResult::notFound(folderLabel() + ": no message " + std::to_string(msgNumber));
    std::string path;
    // A delete that needs to know nothing of the message reads nothing: the file only has
    // to be there, as a regular file (a symbolic link or any other entry is no message).
    if (!check.needsOwnership()) {
        if (!findRegularNoCase(directory, numberedName(msgNumber, "msg"), path, Links::Refuse)) return missing;
    } else {
        OsFile file;
        AreaResult opened = openMessageFile(msgNumber, file, path);
        if (!opened.isOk()) return opened;
        msgFileHeader stored;
        std::vector<char> text;
        AreaResult read = readMessageFile(file, path, stored, text);
        if (!read.isOk()) return read;
        file.close();
        MessageOwnership owner;
        owner.attributes = stored.attribute;
        owner.hasMsgId = findMsgIdAddr(std::string_view(text.data(), text.size() - 1), owner.msgIdAddress);
        AreaResult allowed = check.allows(owner);
        if (!allowed.isOk()) return allowed;
    }
    if (!removeFile(path)) {
        int error = errno;
        if (error == ENOENT) return missing;
        return AreaResult::ioError("cannot remove " + path, error);
    }
    return AreaResult::ok();
}
