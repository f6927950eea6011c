#include "protocol/handlers.h"

#include <errno.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

void readOrFail(int socket, void* buffer, size_t n) {
    errno = 0;
    if (readn(socket, buffer, ssize_t(n)) != ssize_t(n)) {
        reportError(errno, "readn() failed.\n");
        fail();
    }
}

int32_t readAreaNumber(int socket) {
    uint8_t b[4];
    readOrFail(socket, b, 4);
    return getI32(b);
}

uint32_t readMessageNumber(int socket) {
    uint8_t b[4];
    readOrFail(socket, b, 4);
    return getU32(b);
}

// Header and data in one write; the data is compressed when that makes it shorter.
void sendDataReply(ServerContext& server, int socket, uint32_t replyId, uint8_t* data, size_t size) {
    // Bit 31 of the announced size marks a compressed block, so plain data must stay below it.
    if (size > 0x7FFFFFFFu) {
        reportError(0, "reply data too large (%zu bytes).\n", size);
        fail();
    }
    uint32_t announced = uint32_t(size);
    uint32_t n = compressReplyData(server.compressor, announced, data);
    uint8_t header[kPktHeaderSize];
    encodeHeader(pktHeader{replyId, announced}, header);
    errno = 0;
    if (sendTwoBuffers(socket, header, kPktHeaderSize, data, n) != ssize_t(kPktHeaderSize + n)) {
        reportError(errno, "sendn() failed.\n");
        fail();
    }
}

void sendOk(int socket) {
    errno = 0;
    if (!sendEmptyReply(socket, CID_S_OK)) {
        reportError(errno, "sendn() failed.\n");
        fail();
    }
}

void sendFail(int socket) {
    if (!sendReplyHelper(socket, CID_S_FAIL)) fail();
}

CEchoArea& openOrFail(const ServerContext& server, int32_t number, StepContext& step) {
    openArea(server.areaList, number, step.area);
    if (!step.area) fail();
    return *step.area;
}

void handleAreaList(ServerContext& server, int socket, StepContext& step) {
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
            reportError(0, "internal error: unexpected area type.\n");
            fail();
        }
        char path[sizeof area.path + 1];
        memcpy(path, area.path, sizeof area.path);
        path[sizeof area.path] = 0;
        uint32_t counts[2] = {0, 0};
        if (step.area->getAreaStats(path, counts)) {
            info.msgCount = counts[0];
            info.unreadCount = counts[1];
        }
        step.area.reset();
        (void)areaInfoList.add(info);  // an area that finds no room is left out
    }
    uint32_t count = uint32_t(areaInfoList.getCount());
    std::vector<uint8_t> data(size_t(count) * kAreaInfoSize);
    for (uint32_t i = 0; i < count; ++i) encodeAreaInfo(*areaInfoList.getAt(int32_t(i)), data.data() + i * kAreaInfoSize);
    sendDataReply(server, socket, CID_S_AREALIST, data.data(), data.size());
}

void handleMsgList(ServerContext& server, int socket, const pktHeader& h, StepContext& step) {
    if (h.dataSize != 4) {
        reportError(0, "incoming cmd CID_C_GETMSGLIST: invalid data size = %u, expected %u\n", h.dataSize, 4u);
        fail();
    }
    int32_t number = readAreaNumber(socket);
    step.msgList.removeAll();
    (void)openOrFail(server, number, step).getMsgList(step.msgList);  // an unreadable area lists empty
    size_t count = size_t(step.msgList.getCount());
    std::vector<uint8_t> data(count * kMsgHeaderSize);
    for (size_t i = 0; i < count; ++i) encodeMsgHeader(*step.msgList.getAt(int32_t(i)), data.data() + i * kMsgHeaderSize);
    sendDataReply(server, socket, CID_S_MSGLIST, data.data(), data.size());
}

void handleFetch(ServerContext& server, int socket, const pktHeader& h, StepContext& step) {
    if (h.dataSize != 8) {
        reportError(0, "incoming cmd CID_C_GETMESSAGE: invalid data size = %u, expected %u\n", h.dataSize, 8u);
        fail();
    }
    int32_t number = readAreaNumber(socket);
    uint32_t msgNumber = readMessageNumber(socket);
    CEchoArea& area = openOrFail(server, number, step);
    if (area.getMessage(msgNumber, step.msgData)) {
        sendDataReply(server, socket, CID_S_MESSAGE, reinterpret_cast<uint8_t*>(step.msgData.getData()),
                      size_t(step.msgData.getCount()));
        return;
    }
    reportError(0, "fail to read message #%d\n", int(msgNumber));
    sendFail(socket);
}

void handlePost(ServerContext& server, sessionClient& s, const pktHeader& h, StepContext& step) {
    if (h.dataSize < kMessageRecordSize) {
        reportError(0, "incoming cmd CID_C_NEWMESSAGE: invalid data size = %u, too small.\n", h.dataSize);
        fail();
    }
    if (h.dataSize > kMaxPostDataSize) {
        reportError(0, "incoming cmd CID_C_NEWMESSAGE: invalid data size = %u, too large.\n", h.dataSize);
        fail();
    }
    uint8_t raw[kMessageRecordSize];
    readOrFail(s.socket, raw, kMessageRecordSize);
    size_t textLength = h.dataSize - kMessageRecordSize;
    std::unique_ptr<char[]> text(new (std::nothrow) char[textLength + 1]);
    if (!text) {
        reportError(0, "readn() failed.\n");
        fail();
    }
    readOrFail(s.socket, text.get(), textLength);
    text[textLength] = 0;

    pktMessage record = decodeMessage(raw);
    CEchoArea& area = openOrFail(server, record.areaNumber, step);
    static const ServerSettings kDefaultSettings;
    const ServerSettings& settings = server.settings ? *server.settings : kDefaultSettings;
    const mArea& target = *server.areaList.getAt(record.areaNumber);
    WallTime now;
    bool stored = false;
    if (wallTimeNow(now)) {
        // The user's address, name and rights, and what echomail needs to travel.
        PreparedPost post = preparePost(record, text.get(), *s.user, target.type, now, settings);
        stored = area.newMessage(&post.record, post.text.c_str(), now);
    }
    if (stored && target.type == AREA_TYPE_ECHOMAIL && !settings.echoTossLog.empty()) {
        // Before the reply, so that a client that then has the tosser scan finds the tag.
        std::string tag(target.name, strnlen(target.name, sizeof target.name));
        if (!noteEchoToss(settings.echoTossLog, tag))
            reportError(errno, "cannot list %s in the echo toss log %s", tag.c_str(), settings.echoTossLog.c_str());
    }
    if (stored)
        sendOk(s.socket);
    else
        sendFail(s.socket);
}

void handleDelete(ServerContext& server, sessionClient& s, const pktHeader& h, StepContext& step) {
    if (h.dataSize != 8) {
        reportError(0, "incoming cmd CID_C_DELETEMSG: invalid data size = %u, expected %u\n", h.dataSize, 8u);
        fail();
    }
    int32_t number = readAreaNumber(s.socket);
    uint32_t msgNumber = readMessageNumber(s.socket);
    CEchoArea& area = openOrFail(server, number, step);
    if (area.deleteMsg(msgNumber, &s.user->address, s.user->superUser != 0)) {
        sendOk(s.socket);
        return;
    }
    reportError(0, "fail to delete message #%d\n", int(msgNumber));
    sendFail(s.socket);
}

// An unknown command gets no reply; the data it announces is read and dropped so that it
// is never taken for the next header.
void discardUnknown(int socket, const pktHeader& h) {
    if (h.dataSize > kMaxPostDataSize) {
        reportError(0, "unknown command (%u) announces %u bytes of data, too large.\n", h.cmd, h.dataSize);
        fail();
    }
    char scratch[4096];
    uint32_t left = h.dataSize;
    while (left > 0) {
        uint32_t chunk = left < sizeof scratch ? left : uint32_t(sizeof scratch);
        readOrFail(socket, scratch, chunk);
        left -= chunk;
    }
}

}  // namespace

void openArea(const MCArray<mArea>& areaList, int32_t areaNumber, std::unique_ptr<CEchoArea>& area) {
    if (area) {
        if (area->getAreaNumber() == areaNumber) return;
        area.reset();
    }
    if (areaNumber < 0 || areaNumber >= areaList.getCount()) {
        reportError(0, "invalid area number.\n");
        return;
    }
    const mArea& a = *areaList.getAt(areaNumber);
    char path[sizeof a.path + 1];
    memcpy(path, a.path, sizeof a.path);
    path[sizeof a.path] = 0;
    switch (a.format) {
    case AREA_FORMAT_MSG: area.reset(new (std::nothrow) CTarnwickArea(path, areaNumber)); break;
    case AREA_FORMAT_SQUISH: area.reset(new (std::nothrow) CSquishArea(path, areaNumber)); break;
    default: reportError(0, "internal error: unexpected area type.\n"); break;
    }
}

void dispatchCommand(ServerContext& server, sessionClient& s, const pktHeader& h, StepContext& step) {
    switch (h.cmd) {
    case CID_C_PING:
        if (!sendReplyHelper(s.socket, CID_S_OK)) fail();
        break;
    case CID_C_LOGOUT:
        (void)sendReplyHelper(s.socket, CID_S_OK);  // the connection closes either way
        fail();
    case CID_C_GETAREALIST: handleAreaList(server, s.socket, step); break;
    case CID_C_GETMSGLIST: handleMsgList(server, s.socket, h, step); break;
    case CID_C_GETMESSAGE: handleFetch(server, s.socket, h, step); break;
    case CID_C_NEWMESSAGE: handlePost(server, s, h, step); break;
    case CID_C_DELETEMSG: handleDelete(server, s, h, step); break;
    default: discardUnknown(s.socket, h); break;
    }
}
