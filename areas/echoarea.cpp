#include "areas/echoarea.h"

#include <vector>

AreaResult CEchoArea::readMessages(uint32_t from, const MessageVisitor& visit, WalkMark* mark) {
    if (mark) *mark = WalkMark();
    // The numbers first, then each message: a format that keeps one file per message has
    // nothing to keep open between them.
    std::vector<uint32_t> numbers;
    AreaResult listed = getMsgList([&](const MessageSummary& s) {
        if (s.number >= from) numbers.push_back(s.number);
        return true;
    });
    if (!listed.isOk()) return listed;
    StoredMessage message;
    for (uint32_t number : numbers) {
        // A file gone or made unreadable since the list is left out, as the list would.
        if (getMessage(number, message).isOk() && !visit(message)) break;
    }
    return AreaResult::ok();
}
