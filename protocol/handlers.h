// The command handlers of a logged-in session of the binary door.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "areas/echoarea.h"
#include "core/connection.h"
#include "protocol/session.h"
#include "wire/packets.h"

// What lives for one step of a session: the open area, the time, and whether a write held
// back by another writer may wait for a later try.
struct StepContext {
    std::unique_ptr<CEchoArea> area;
    Now now;
    bool mayDefer = false;  // in: a held-back write may be tried again later
    bool deferred = false;  // out: it was held back and will be
};

// What a logged-in session's packet brings after its header: data bytes to keep for the
// handler, or to drop as they arrive (an unknown command's).
struct CommandData {
    uint32_t keep = 0;
    uint32_t drop = 0;
};
// Checks the header's dataSize against the command before any data is read. A size that
// does not suit is reported and throws ClientStepFailure.
CommandData commandData(const pktHeader& header);

// Makes `area` hold the object for areaNumber (keeping a matching one). Leaves it empty,
// after an error line, for a number out of range or an unknown format.
void openArea(const Services& services, int32_t areaNumber, std::unique_ptr<CEchoArea>& area);

// Handles one whole packet of a logged-in session (the data its header announced, followed
// by a NUL byte not counted in size) and queues its reply; throws ClientStepFailure to close.
void dispatchCommand(sessionClient& session, const pktHeader& header, const uint8_t* data, size_t size,
                     StepContext& step);

// Queues a reply on the session; the step sends it as the socket takes it.
void queueReply(sessionClient& session, QueuedReply reply);
// Queues a reply without data that, when it cannot be sent, is reported as
// "sendReplyHelper(%u) failed".
void sendReplyHelper(sessionClient& session, uint32_t replyId);
