#include "protocol/handlers.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/desk.h"
#include "protocol/message_layout.h"
#include "protocol/reply.h"
#include "support/le.h"
#include "support/log.h"
#include "support/osfile.h"

namespace {

[[noreturn]] void fail() { throw ClientStepFailure(); }

// A process out of descriptors must not pass for an empty area or a missing message: that
// is reported, and the connection closed.
void failOnDescriptorShortage(const Services& services, int32_t areaNumber, const AreaResult& r) {
    if (r.isOk() || !isDescriptorShortage(r.systemError())) return;
    reportAreaError(services, areaNumber, r.systemError(), "the files of area %d cannot be opened", int(areaNumber));
    fail();
}

// Bit 31 of the announced size marks a compressed block, so plain data must stay below it.
void checkReplySize(size_t size) {
    if (size > 0x7FFFFFFFu) {
        reportError(0, "reply data too large (%zu bytes).\n", size);
        fail();
    }
}

ReplyBytes allocateOrFail(size_t size) {
    checkReplySize(size);
    ReplyBytes b = ReplyBytes::allocate(size);
    if (!b.ok()) throw std::bad_alloc();
    return b;
}

// Header and data; the data is compressed when that makes it shorter.
void queueDataReply(sessionClient& s, uint32_t replyId, ReplyBytes data) {
    checkReplySize(data.size());
    uint32_t announced = uint32_t(data.size());
    ReplyBytes sent = compressReplyData(s.door.compressor, announced, std::move(data));
    queueReply(s, makeReply(replyId, announced, std::move(sent), SendFailure::Sendn));
}

void sendOk(sessionClient& s) { queueReply(s, makeReply(CID_S_OK, 0, ReplyBytes(), SendFailure::Sendn)); }

void sendFail(sessionClient& s) { sendReplyHelper(s, CID_S_FAIL); }

CEchoArea& openOrFail(const Services& services, int32_t number, StepContext& step) {
    openArea(services, number, step.area);
    if (!step.area) fail();
    return *step.area;
}

// After a write that another writer held back (busy): true when it will be tried again in
// a later step. Once the time for that is over, `r` says so and the caller refuses the
// request as any failed write.
bool heldBack(StepContext& step, AreaResult& r) {
    if (r.code() != AreaResult::Code::Busy) return false;
    if (step.mayDefer) {
        step.deferred = true;
        return true;
    }
    r = AreaResult::busy(r.reason() + "; given up once writeRetryTime was over");
    return false;
}

// A command the area refused or that failed: its cause on the console, naming the user,
// and CID_S_FAIL (a process out of descriptors closes the connection instead).
void refuse(sessionClient& s, int32_t areaNumber, const std::string& what, const AreaResult& r) {
    failOnDescriptorShortage(s.door.services, areaNumber, r);
    reportRefusal(s.door.services, *s.user, areaNumber, what.c_str(), r);
    sendFail(s);
}

// The area a request means. The client's numbers are those of the area list it was given
// last, and a reload may have changed the list since: the number is carried over to the
// list in force by the area's tag. False, after the refusal, for an area the reload
// removed; a number that was never in the list stays as it is (and closes the connection).
bool areaInForce(sessionClient& s, int32_t& number) {
    const int32_t current = s.door.services.areaNumbers.current(s.areaGeneration, number);
    if (current == AreaNumbers::kRemoved) {
        const FidoAddr& a = s.user->address;
        reportError(0, "area number %d: user %s, %d:%d/%d.%d: not found: the area was removed from the settings",
                    int(number), std::string(s.user->name, strnlen(s.user->name, sizeof s.user->name)).c_str(), a.zone,
                    a.net, a.node, a.point);
        sendFail(s);
        return false;
    }
    if (current != AreaNumbers::kNoArea) number = current;
    return true;
}

void handleAreaList(sessionClient& s, StepContext& step) {
    const Services& services = s.door.services;
    s.areaGeneration = services.areaNumbers.generation();
    MCArray<pktAreaInfo>& areaInfoList = s.door.areaInfoList;
    areaInfoList.removeAll();
    const int32_t n = int32_t(services.areaList.size());
    for (int32_t i = 0; i < n; ++i) {
        const mArea& area = services.areaList[size_t(i)];
        pktAreaInfo info;
        copyField(info.name, area.name.c_str(), sizeof info.name);
        info.type = int32_t(area.type);
        openArea(services, i, step.area);
        if (!step.area) {
            reportAreaError(services, i, 0, "internal error: unexpected area type.\n");
            fail();
        }
        AreaStats stats;
        AreaResult r = statsFor(services, *s.user, i, *step.area, stats);
        if (r.isOk()) {
            info.msgCount = stats.messages;
            info.unreadCount = stats.unread;
        }
        failOnDescriptorShortage(services, i, r);
        // Counts of 0: an area whose files are not there holds nothing; any other cause
        // is told.
        if (!r.isOk() && r.code() != AreaResult::Code::NotFound)
            reportRefusal(services, *s.user, i, "count the messages", r);
        step.area.reset();
        (void)areaInfoList.add(info);  // an area that finds no room is left out
    }
    size_t count = size_t(areaInfoList.getCount());
    ReplyBytes data = allocateOrFail(count * kAreaInfoSize);
    for (size_t i = 0; i < count; ++i) encodeAreaInfo(*areaInfoList.getAt(int32_t(i)), data.data() + i * kAreaInfoSize);
    queueDataReply(s, CID_S_AREALIST, std::move(data));
}

// Appends bytes to a reply's array, which grows by doubling so that a long list costs a
// few copies, not one per record.
void appendBytes(MCArray<char>& out, const uint8_t* bytes, size_t n) {
    int32_t c = out.getCount();
    int64_t need = int64_t(c) + int64_t(n);
    if (need > INT32_MAX) throw std::bad_alloc();
    if (need > out.getCapacity()) {
        int64_t room = std::min<int64_t>(std::max<int64_t>(need, int64_t(out.getCapacity()) * 2), INT32_MAX);
        if (!out.setSize(int32_t(room)) || !out.setSize(c)) throw std::bad_alloc();
    }
    if (!out.setSize(int32_t(need))) throw std::bad_alloc();
    memcpy(out.getData() + c, bytes, n);
}

void handleMsgList(sessionClient& s, const uint8_t* request, StepContext& step) {
    const Services& services = s.door.services;
    int32_t number = getI32(request);
    if (!areaInForce(s, number)) return;
    CEchoArea& area = openOrFail(services, number, step);
    // The headers are encoded straight into the reply's own buffer as the area lists them.
    auto list = std::make_unique<MCArray<char>>();
    AreaResult r = area.getMsgList([&](const MessageSummary& summary) {
        if (!visibleTo(services, *s.user, number, summary)) return true;
        uint8_t record[kMsgHeaderSize];
        encodeMsgHeader(msgHeaderOf(summary), record);
        appendBytes(*list, record, sizeof record);
        return true;
    });
    failOnDescriptorShortage(services, number, r);
    if (!r.isOk()) {
        reportRefusal(services, *s.user, number, "list the messages", r);
        list->removeAll();  // an unreadable area lists empty
    }
    queueDataReply(s, CID_S_MSGLIST, ReplyBytes(std::move(list)));
}

void handleFetch(sessionClient& s, const uint8_t* request, StepContext& step) {
    const Services& services = s.door.services;
    int32_t number = getI32(request);
    uint32_t msgNumber = getU32(request + 4);
    if (!areaInForce(s, number)) return;
    CEchoArea& area = openOrFail(services, number, step);
    StoredMessage message;
    AreaResult r = area.getMessage(msgNumber, message);
    // A message the user may not see is one the area does not have.
    if (r.isOk() && !visibleTo(services, *s.user, number, message.summary))
        r = AreaResult::notFound("message " + std::to_string(msgNumber) + " is not the user's to read");
    // The reply takes the array over as it is, unless a compressed block replaces it.
    auto data = std::make_unique<MCArray<char>>();
    if (r.isOk()) {
        if (encodeFetchedMessage(message, *data)) {
            queueDataReply(s, CID_S_MESSAGE, ReplyBytes(std::move(data)));
            return;
        }
        r = AreaResult::ioError("no memory to lay the message out for its reply", ENOMEM);
    }
    refuse(s, number, "read message #" + std::to_string(msgNumber), r);
}

// A field of a posted record: up to its first zero byte, at most its size.
std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// `data` holds the record, the text and a NUL byte after the data.
void handlePost(sessionClient& s, const uint8_t* data, StepContext& step) {
    Services& services = s.door.services;
    pktMessage record = decodeMessage(data);
    if (!areaInForce(s, record.areaNumber)) return;
    CEchoArea& area = openOrFail(services, record.areaNumber, step);
    NewMessage message;
    message.fromName = fieldText(record.header.fromName, sizeof record.header.fromName);
    message.toName = fieldText(record.header.toName, sizeof record.header.toName);
    message.subject = fieldText(record.header.subject, sizeof record.header.subject);
    message.destAddr = record.destAddr;
    message.attributes = record.attributes;
    // The text ends at its first zero byte.
    message.text = reinterpret_cast<const char*>(data + kMessageRecordSize);
    uint32_t stored = 0;
    AreaResult r = postMessage(services, *s.user, record.areaNumber, area, std::move(message), step.now.wall, stored);
    if (r.isOk()) {
        sendOk(s);
        return;
    }
    if (heldBack(step, r)) return;
    refuse(s, record.areaNumber, "post", r);
}

void handleDelete(sessionClient& s, const uint8_t* request, StepContext& step) {
    Services& services = s.door.services;
    int32_t number = getI32(request);
    uint32_t msgNumber = getU32(request + 4);
    if (!areaInForce(s, number)) return;
    CEchoArea& area = openOrFail(services, number, step);
    AreaResult r = deleteMessage(services, *s.user, number, area, msgNumber);
    if (r.isOk()) {
        sendOk(s);
        return;
    }
    if (heldBack(step, r)) return;
    refuse(s, number, "delete message #" + std::to_string(msgNumber), r);
}

}  // namespace

CommandData commandData(const pktHeader& h) {
    switch (h.cmd) {
    case CID_C_PING:
    case CID_C_LOGOUT:
    case CID_C_GETAREALIST:
        return {};  // no data is read, whatever the header says
    case CID_C_GETMSGLIST:
        if (h.dataSize != 4) {
            reportError(0, "incoming cmd CID_C_GETMSGLIST: invalid data size = %u, expected %u\n", h.dataSize, 4u);
            fail();
        }
        return {4, 0};
    case CID_C_GETMESSAGE:
        if (h.dataSize != 8) {
            reportError(0, "incoming cmd CID_C_GETMESSAGE: invalid data size = %u, expected %u\n", h.dataSize, 8u);
            fail();
        }
        return {8, 0};
    case CID_C_DELETEMSG:
        if (h.dataSize != 8) {
            reportError(0, "incoming cmd CID_C_DELETEMSG: invalid data size = %u, expected %u\n", h.dataSize, 8u);
            fail();
        }
        return {8, 0};
    case CID_C_NEWMESSAGE:
        if (h.dataSize < kMessageRecordSize) {
            reportError(0, "incoming cmd CID_C_NEWMESSAGE: invalid data size = %u, too small.\n", h.dataSize);
            fail();
        }
        if (h.dataSize > kMaxPostDataSize) {
            reportError(0, "incoming cmd CID_C_NEWMESSAGE: invalid data size = %u, too large.\n", h.dataSize);
            fail();
        }
        return {h.dataSize, 0};
    default:
        // An unknown command gets no reply; the data it announces is dropped so that it is
        // never taken for the next header.
        if (h.dataSize > kMaxPostDataSize) {
            reportError(0, "unknown command (%u) announces %u bytes of data, too large.\n", h.cmd, h.dataSize);
            fail();
        }
        return {0, h.dataSize};
    }
}

void openArea(const Services& services, int32_t areaNumber, std::unique_ptr<CEchoArea>& area) {
    if (area) {
        if (area->getAreaNumber() == areaNumber) return;
        area.reset();
    }
    if (!services.hasArea(areaNumber)) {
        reportAreaError(services, areaNumber, 0, "invalid area number.\n");
        return;
    }
    area = openConfiguredArea(services, areaNumber);
    if (!area) reportAreaError(services, areaNumber, 0, "internal error: unexpected area type.\n");
}

void dispatchCommand(sessionClient& s, const pktHeader& h, const uint8_t* data, size_t size, StepContext& step) {
    (void)size;  // checked against the command by commandData before the data was read
    switch (h.cmd) {
    case CID_C_PING: sendReplyHelper(s, CID_S_OK); break;
    case CID_C_LOGOUT: {
        QueuedReply ok = makeReply(CID_S_OK, 0, ReplyBytes(), SendFailure::Quiet);  // closed either way
        ok.closeAfter = true;
        queueReply(s, std::move(ok));
        break;
    }
    case CID_C_GETAREALIST: handleAreaList(s, step); break;
    case CID_C_GETMSGLIST: handleMsgList(s, data, step); break;
    case CID_C_GETMESSAGE: handleFetch(s, data, step); break;
    case CID_C_NEWMESSAGE: handlePost(s, data, step); break;
    case CID_C_DELETEMSG: handleDelete(s, data, step); break;
    default: break;  // no reply; its data was dropped as it arrived
    }
}

void queueReply(sessionClient& s, QueuedReply reply) {
    s.reply = std::move(reply);
    s.replyQueued = true;
}

void sendReplyHelper(sessionClient& s, uint32_t replyId) {
    queueReply(s, makeReply(replyId, 0, ReplyBytes(), SendFailure::Helper));
}
