// The one view of a message area, whatever the storage format: list, statistics, fetch,
// store and delete, in the message model of fido/message.h. Every operation says what it
// came to (AreaResult); nothing here prints.
#pragma once
#include <cstdint>
#include <functional>

#include "areas/area_result.h"
#include "fido/message.h"

// The number of messages in an area and how many of them lie after its last-read mark,
// and the mark itself (the number of the last message read; hasLastRead false without one,
// and then every message is unread).
struct AreaStats {
    uint32_t messages = 0;
    uint32_t unread = 0;
    bool hasLastRead = false;
    uint32_t lastRead = 0;
};

// Where a walk with texts stopped: the message whose visit ended it. A walk that goes on
// from that message (from = number) takes the mark to find its place without looking for
// it from the start of the area, when the area's files still hold the message there;
// otherwise it finds its place as usual. Only the area that left a mark reads it; a fresh
// mark holds nothing.
struct WalkMark {
    int64_t position = -1;  // where the format keeps the message (-1: no mark)
    uint32_t number = 0;
    uint32_t detail = 0;    // what else tells the message there apart, as the format has it
};

// Asked by a delete before anything is written: whether this message may go.
class DeleteCheck {
public:
    virtual ~DeleteCheck() = default;
    // False when any message may go: the area then reads nothing of it to ask.
    virtual bool needsOwnership() const = 0;
    // Given whose the message is; anything but ok refuses the delete with that result.
    virtual AreaResult allows(const MessageOwnership& owner) const = 0;
};

class CEchoArea {
public:
    // Receives each summary in turn; returns false to end the listing early. The summary
    // lives until the call returns.
    using SummaryVisitor = std::function<bool(const MessageSummary&)>;

    explicit CEchoArea(int32_t number) : areaNumber(number) {}
    virtual ~CEchoArea() = default;
    CEchoArea(const CEchoArea&) = delete;
    CEchoArea& operator=(const CEchoArea&) = delete;

    // Hands every readable message to `visit`, ascending by number, without building a
    // list; messages whose stored header cannot be read are left out. Ok also for an area
    // whose files are missing (it lists nothing then); an error when the files are there
    // but cannot be opened or read.
    virtual AreaResult getMsgList(const SummaryVisitor& visit) = 0;
    // The message count and the unread count (both 0 first), counted over exactly the
    // messages getMsgList hands out: unread are those numbered above the last-read mark.
    virtual AreaResult getAreaStats(AreaStats& stats) = 0;
    // The message with the given number; `out` is filled only when the result is ok.
    virtual AreaResult getMessage(uint32_t msgNumber, StoredMessage& out) = 0;
    // Hands every readable message numbered `from` or above to `visit`, with its text,
    // ascending by number, one at a time (the message lives until the call returns);
    // false from `visit` ends the walk. A message that cannot be read is left out, as the
    // list leaves it out. The area's files stay open for the walk where the format allows,
    // so that reading thousands of messages does not open them thousands of times.
    // With `mark`, the walk starts from it where it can and leaves its own there (an area
    // that keeps none clears it).
    using MessageVisitor = std::function<bool(const StoredMessage&)>;
    virtual AreaResult readMessages(uint32_t from, const MessageVisitor& visit, WalkMark* mark = nullptr);
    // Stores a new message; `stored` receives the number it is known by.
    virtual AreaResult newMessage(const NewMessage& message, uint32_t& stored) = 0;
    // Removes a message once `check` allows it; nothing is written when it does not.
    virtual AreaResult deleteMsg(uint32_t msgNumber, const DeleteCheck& check) = 0;

    int32_t getAreaNumber() const { return areaNumber; }

protected:
    const int32_t areaNumber;
};
