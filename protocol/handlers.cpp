#include "protocol/handlers.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "areas/squish_area.h"
#include "areas/tarnwick_area.h"
#include "config/config.h"
#include "protocol/post_rules.h"
#include "protocol/reply.h"
#include "support/clock.h"
#include "support/le.h"
#include "support/log.h"
#include "support/socket.h"

namespace {

[[noreturn]] void fail() { throw ClientStepFailure(); }

// An error line about an area names it before the text: "area TAG: " for a configured
// area, "area number N: " for a number that names none.
void reportAreaError(const MCArray<mArea>& areaList, int32_t areaNumber, int systemError, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void reportAreaError(const MCArray<mArea>& areaList, int32_t areaNumber, int systemError, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (areaNumber >= 0 && areaNumber < areaList.getCount()) {
        const mArea& a = *areaList.getAt(areaNumber);
        reportError(systemError, "area %.*s: %s", int(strnlen(a.name, sizeof a.name)), a.name, text);
    } else {
        reportError(systemError, "area number %d: %s", int(areaNumber), text);
    }
}

// The user as the post and delete lines name them: name and address.
struct UserLabel {
    explicit UserLabel(const rClientInfo& u) {
        size_t n = strnlen(u.name, sizeof u.name);
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(u.name[i]);
            name[i] = (c < 0x20 || c == 0x7F) ? '?' : char(c);
        }
        name[n] = 0;
        const FidoAddr& a = u.address;
        snprintf(address, sizeof address, "%u:%u/%u.%u", a.zone, a.net, a.node, a.point);
    }
    char name[37];
    char address[32];
};

// "post: user NAME, ADDRESS, area TAG, message #N" and the same for a delete.
void logAreaWrite(const char* what, const rClientInfo& user, const mArea& area, uint32_t msgNumber) {
    UserLabel u(user);
    logLine("%s: user %s, %s, area %.*s, message #%u\n", what, u.name, u.address,
            int(strnlen(area.name, sizeof area.name)), area.name, unsigned(msgNumber));
}

// Area operations say nothing about why they failed. A process out of descriptors must not
// pass for an empty area or a missing message: that is reported, and the connection closed.
// errno is cleared before the operation, so only a failure inside it is seen here.
void failOnDescriptorShortage(const ServerContext& server, int32_t areaNumber) {
    int error = errno;
    if (!isDescriptorShortage(error)) return;
    reportAreaError(server.areaList, areaNumber, error, "the files of area %d cannot be opened", int(areaNumber));
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
void queueDataReply(ServerContext& server, sessionClient& s, uint32_t replyId, ReplyBytes data) {
    checkReplySize(data.size());
    uint32_t announced = uint32_t(data.size());
    ReplyBytes sent = compressReplyData(server.compressor, announced, std::move(data));
    queueReply(s, makeReply(replyId, announced, std::move(sent), SendFailure::Sendn));
}

void sendOk(sessionClient& s) { queueReply(s, makeReply(CID_S_OK, 0, ReplyBytes(), SendFailure::Sendn)); }

void sendFail(sessionClient& s) { sendReplyHelper(s, CID_S_FAIL); }

CEchoArea& openOrFail(const ServerContext& server, int32_t number, StepContext& step) {
    openArea(server.areaList, number, step.area);
    if (!step.area) fail();
    return *step.area;
}

// After a write that returned false: true when another writer held it back and it will be
// tried again in a later step. Once the time for that is over, the reason is reported and
// the caller refuses the request as any failed write.
bool heldBack(const ServerContext& server, StepContext& step, const CEchoArea& area) {
    if (!area.writeDeferred()) return false;
    if (step.mayDefer) {
        step.deferred = true;
        return true;
    }
    reportAreaError(server.areaList, area.getAreaNumber(), 0, "write to area %d given up: %s",
                    int(area.getAreaNumber()), area.deferReason().c_str());
    return false;
}

// A write the area refused because its files are damaged: the console learns which base and
// why (nothing was written).
void reportRefusal(const ServerContext& server, const CEchoArea& area) {
    if (!area.refusalReason().empty())
        reportAreaError(server.areaList, area.getAreaNumber(), 0, "%s", area.refusalReason().c_str());
}

void handleAreaList(ServerContext& server, sessionClient& s, StepContext& step) {
    MCArray<pktAreaInfo>& areaInfoList = server.areaInfoList;
    areaInfoList.removeAll();
    int32_t n = server.areaList.getCount();
    for (int32_t i = 0; i < n; ++i) {
        const mArea& area = *server.areaList.getAt(i);
        pktAreaInfo info;
        copyField(info.name, area.name, sizeof info.name);
        info.type = area.type;
        openArea(server.areaList, i, step.area);
        if (!step.area) {
            reportAreaError(server.areaList, i, 0, "internal error: unexpected area type.\n");
            fail();
        }
        char path[sizeof area.path + 1];
        memcpy(path, area.path, sizeof area.path);
        path[sizeof area.path] = 0;
        uint32_t counts[2] = {0, 0};
        errno = 0;
        if (step.area->getAreaStats(path, counts)) {
            info.msgCount = counts[0];
            info.unreadCount = counts[1];
        }
        failOnDescriptorShortage(server, i);
        step.area.reset();
        (void)areaInfoList.add(info);  // an area that finds no room is left out
    }
    size_t count = size_t(areaInfoList.getCount());
    ReplyBytes data = allocateOrFail(count * kAreaInfoSize);
    for (size_t i = 0; i < count; ++i) encodeAreaInfo(*areaInfoList.getAt(int32_t(i)), data.data() + i * kAreaInfoSize);
    queueDataReply(server, s, CID_S_AREALIST, std::move(data));
}

void handleMsgList(ServerContext& server, sessionClient& s, const uint8_t* request, StepContext& step) {
    int32_t number = getI32(request);
    step.msgList.removeAll();
    CEchoArea& area = openOrFail(server, number, step);
    errno = 0;
    (void)area.getMsgList(step.msgList);  // an unreadable area lists empty
    failOnDescriptorShortage(server, number);
    // The headers are encoded straight into the reply's own buffer.
    size_t count = size_t(step.msgList.getCount());
    ReplyBytes data = allocateOrFail(count * kMsgHeaderSize);
    for (size_t i = 0; i < count; ++i) encodeMsgHeader(*step.msgList.getAt(int32_t(i)), data.data() + i * kMsgHeaderSize);
    queueDataReply(server, s, CID_S_MSGLIST, std::move(data));
}

void handleFetch(ServerContext& server, sessionClient& s, const uint8_t* request, StepContext& step) {
    int32_t number = getI32(request);
    uint32_t msgNumber = getU32(request + 4);
    CEchoArea& area = openOrFail(server, number, step);
    // The reply takes the array over as it is, unless a compressed block replaces it.
    auto message = std::make_unique<MCArray<char>>();
    errno = 0;
    if (area.getMessage(msgNumber, *message)) {
        queueDataReply(server, s, CID_S_MESSAGE, ReplyBytes(std::move(message)));
        return;
    }
    failOnDescriptorShortage(server, number);
    reportAreaError(server.areaList, number, 0, "fail to read message #%d\n", int(msgNumber));
    sendFail(s);
}

// `data` holds the record, the text and a NUL byte after the data.
void handlePost(ServerContext& server, sessionClient& s, const uint8_t* data, StepContext& step) {
    pktMessage record = decodeMessage(data);
    const char* text = reinterpret_cast<const char*>(data + kMessageRecordSize);
    CEchoArea& area = openOrFail(server, record.areaNumber, step);
    static const ServerSettings kDefaultSettings;
    const ServerSettings& settings = server.settings ? *server.settings : kDefaultSettings;
    const mArea& target = *server.areaList.getAt(record.areaNumber);
    WallTime now;
    errno = 0;
    bool stored = false;
    if (wallTimeNow(now)) {
        // The user's address, name and rights, and what echomail needs to travel.
        PreparedPost post = preparePost(record, text, *s.user, target.type, now, settings);
        stored = area.newMessage(&post.record, post.text.c_str(), now);
    }
    if (stored) {
        if (target.type == AREA_TYPE_ECHOMAIL && !settings.echoTossLog.empty()) {
            // Before the reply, so that a client that then has the tosser scan finds the tag.
            std::string tag(target.name, strnlen(target.name, sizeof target.name));
            if (!noteEchoToss(settings.echoTossLog, tag))
                reportError(errno, "cannot list %s in the echo toss log %s", tag.c_str(),
                            settings.echoTossLog.c_str());
        }
        logAreaWrite("post", *s.user, target, area.storedNumber());
        sendOk(s);
        return;
    }
    if (heldBack(server, step, area)) return;
    failOnDescriptorShortage(server, record.areaNumber);
    reportRefusal(server, area);
    sendFail(s);
}

void handleDelete(ServerContext& server, sessionClient& s, const uint8_t* request, StepContext& step) {
    int32_t number = getI32(request);
    uint32_t msgNumber = getU32(request + 4);
    CEchoArea& area = openOrFail(server, number, step);
    errno = 0;
    if (area.deleteMsg(msgNumber, &s.user->address, s.user->superUser != 0)) {
        logAreaWrite("delete", *s.user, *server.areaList.getAt(number), msgNumber);
        sendOk(s);
        return;
    }
    if (heldBack(server, step, area)) return;
    failOnDescriptorShortage(server, number);
    reportRefusal(server, area);
    reportAreaError(server.areaList, number, 0, "fail to delete message #%d\n", int(msgNumber));
    sendFail(s);
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

void openArea(const MCArray<mArea>& areaList, int32_t areaNumber, std::unique_ptr<CEchoArea>& area) {
    if (area) {
        if (area->getAreaNumber() == areaNumber) return;
        area.reset();
    }
    if (areaNumber < 0 || areaNumber >= areaList.getCount()) {
        reportAreaError(areaList, areaNumber, 0, "invalid area number.\n");
        return;
    }
    const mArea& a = *areaList.getAt(areaNumber);
    char path[sizeof a.path + 1];
    memcpy(path, a.path, sizeof a.path);
    path[sizeof a.path] = 0;
    switch (a.format) {
    case AREA_FORMAT_MSG: area.reset(new (std::nothrow) CTarnwickArea(path, areaNumber)); break;
    case AREA_FORMAT_SQUISH: area.reset(new (std::nothrow) CSquishArea(path, areaNumber)); break;
    default: reportAreaError(areaList, areaNumber, 0, "internal error: unexpected area type.\n"); break;
    }
}

void dispatchCommand(ServerContext& server, sessionClient& s, const pktHeader& h, const uint8_t* data, size_t size,
                     StepContext& step) {
    (void)size;  // checked against the command by commandData before the data was read
    switch (h.cmd) {
    case CID_C_PING: sendReplyHelper(s, CID_S_OK); break;
    case CID_C_LOGOUT: {
        QueuedReply ok = makeReply(CID_S_OK, 0, ReplyBytes(), SendFailure::Quiet);  // closed either way
        ok.closeAfter = true;
        queueReply(s, std::move(ok));
        break;
    }
    case CID_C_GETAREALIST: handleAreaList(server, s, step); break;
    case CID_C_GETMSGLIST: handleMsgList(server, s, data, step); break;
    case CID_C_GETMESSAGE: handleFetch(server, s, data, step); break;
    case CID_C_NEWMESSAGE: handlePost(server, s, data, step); break;
    case CID_C_DELETEMSG: handleDelete(server, s, data, step); break;
    default: break;  // no reply; its data was dropped as it arrived
    }
}

void queueReply(sessionClient& s, QueuedReply reply) {
    s.io->reply = std::move(reply);
    s.io->replyQueued = true;
}

void sendReplyHelper(sessionClient& s, uint32_t replyId) {
    queueReply(s, makeReply(replyId, 0, ReplyBytes(), SendFailure::Helper));
}
