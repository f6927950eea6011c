// The one view of a message area that the command handlers use, whatever the storage
// format, and the two wire records its operations fill or consume.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "support/array.h"
#include "support/clock.h"
#include "wire/packets.h"

class CEchoArea {
public:
    explicit CEchoArea(int32_t number) : areaNumber(number) {}
    virtual ~CEchoArea() = default;
    CEchoArea(const CEchoArea&) = delete;
    CEchoArea& operator=(const CEchoArea&) = delete;

    // One header per readable message, ascending by number. True in every case.
    [[nodiscard]] virtual bool getMsgList(MCArray<pktMsgHeader>& out) = 0;
    // Message count and unread count of the area stored at `areaPath`; both 0 first.
    [[nodiscard]] virtual bool getAreaStats(const char* areaPath, uint32_t counts[2]) = 0;
    // The encoded pktMessage followed by the message's lines (each ended by CR and NUL).
    [[nodiscard]] virtual bool getMessage(uint32_t msgNumber, MCArray<char>& out) = 0;
    // Stores a new message from the record's names, subject and addresses and the text,
    // dated `now`.
    [[nodiscard]] virtual bool newMessage(pktMessage* record, const char* text, const WallTime& now) = 0;
    // Removes a message; without mayDeleteAny only the requester's own unsent messages.
    [[nodiscard]] virtual bool deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) = 0;

    virtual int32_t getAreaNumber() const { return areaNumber; }

    // After a newMessage or deleteMsg that returned false: true when nothing was written
    // because another program is in the middle of writing the area (it holds the base's
    // lock, or its last record is still unfinished). The caller may try again a little
    // later; deferReason() says what held the write back, naming the area's files, for
    // the console line when the caller gives up.
    bool writeDeferred() const { return !deferReason_.empty(); }
    const std::string& deferReason() const { return deferReason_; }
    // After a newMessage or deleteMsg that returned false: why the write was refused when
    // the area's files are damaged where it would have written (a link that does not lead
    // to a frame of the expected kind, a frame that runs past the end of the file...).
    // Nothing was written. Names the area's files and what is wrong, for the console;
    // empty after any other outcome.
    const std::string& refusalReason() const { return refusalReason_; }
    // After a newMessage that returned true: the number the new message is known by (its
    // UMSGID in a Squish base, its file number in a *.MSG directory). 0 after any other
    // outcome.
    uint32_t storedNumber() const { return storedNumber_; }

protected:
    // Forgets the outcome of an earlier write; every write operation starts with it.
    void beginWrite() {
        deferReason_.clear();
        refusalReason_.clear();
        storedNumber_ = 0;
    }
    // Records the number of the message a newMessage has just stored.
    void setStoredNumber(uint32_t number) { storedNumber_ = number; }
    // Marks the current write as put off (see writeDeferred); its operation returns false.
    void deferWrite(std::string reason) { deferReason_ = std::move(reason); }
    // Refuses the current write for damage (see refusalReason); returns false for the
    // operation to return.
    bool refuseWrite(std::string reason) {
        refusalReason_ = std::move(reason);
        return false;
    }

    const int32_t areaNumber;

private:
    std::string deferReason_;
    std::string refusalReason_;
    uint32_t storedNumber_ = 0;
};

// Stands for "no bound" as the maximum length of the two text routines below.
constexpr int32_t kNoLengthBound = 0x7FFFFFFF;

// Appends the lines of a text to `out`, each followed by CR and a zero byte. CR and LF end
// a line; a ^A byte starts a new line unless the line is empty. Walks at most maxLength
// bytes and stops at a zero byte. Returns the address where the following text starts:
// just past the terminating zero with no bound, text + maxLength otherwise. Both area
// formats fetch through it. Throws std::bad_alloc when `out` cannot grow.
const char* textToLines(const char* text, MCArray<char>& out, int32_t maxLength);

// Makes room in `out`, in one step, for `fixedBytes` more bytes followed by the lines
// that textToLines appends for a text of `textLength` bytes: ordinary texts then need no
// further room. (A text of many very short lines may still need more; textToLines then
// grows the array by half again at a time.) The count stays. False when the array cannot
// grow that far.
[[nodiscard]] bool reserveForLines(MCArray<char>& out, int64_t fixedBytes, int64_t textLength);

// Appends only the kludges of a text, one line each, as textToLines does.
const char* extractKludges(const char* text, MCArray<char>& out, int32_t maxLength);

// A list entry from a message's stored header fields: the names and the subject up to
// their first zero byte (other tools leave stray bytes after it), zero-filled; the date
// packed from the date text. The kludge hashes are left 0.
pktMsgHeader storedMsgHeader(uint32_t msgNumber, const char* fromName, const char* toName, const char* subject,
                             const char* dateText);
