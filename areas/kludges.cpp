#include "areas/kludges.h"

#include <cstdio>
#include <ctime>
#include <cstring>

#include "support/text.h"

CCRC32 kludgeHasher;
uint32_t msgIdCounter = 0;

MsgIdStamp msgIdStamp;

void resetMsgIdSerials(uint32_t counter) {
    msgIdCounter = counter;
    msgIdStamp = MsgIdStamp{};
}

uint32_t makeMsgIdSerial(const std::tm& utc) {
    std::tm copy = utc;
    const int64_t now = int64_t(timegm(&copy));
    int64_t second = now;
    if (msgIdStamp.started && second <= msgIdStamp.second) {
        // The same second again, or a clock that went back: stay on the last stamped
        // second while it has counter values left, then take the next one.
        second = msgIdStamp.second;
        if (msgIdStamp.used >= kMsgIdSerialsPerSecond) second = msgIdStamp.second + 1;
    }
    if (!msgIdStamp.started || second != msgIdStamp.second) msgIdStamp = MsgIdStamp{true, second, 0};
    ++msgIdStamp.used;
    ++msgIdCounter;

    // The caller's broken-down time as it is (a leap second keeps its 60) unless the
    // serial carries another second.
    std::tm t = utc;
    if (second != now) {
        time_t carried = time_t(second);
        gmtime_r(&carried, &t);
    }
    return ((msgIdCounter & 0xFu) << 28) | ((uint32_t(t.tm_sec) & 0x3Fu) << 22) |
           ((uint32_t(t.tm_min) & 0x3Fu) << 16) | ((uint32_t(t.tm_hour) & 0x1Fu) << 11) |
           ((uint32_t(t.tm_mday) & 0x1Fu) << 6) | ((uint32_t(t.tm_mon) & 0xFu) << 2) |
           (uint32_t(t.tm_year) & 0x3u);
}

void formatMsgIdKludge(const FidoAddr& addr, const std::tm& utc, char* buffer) {
    snprintf(buffer, kMsgIdKludgeBuffer, "\x01MSGID: %d:%d/%d.%d %08X\r", addr.zone, addr.net, addr.node,
             addr.point, makeMsgIdSerial(utc));
}

bool findMsgIdAddr(char* text, FidoAddr& addr) {
    char* cursor = text;
    while (char* piece = nextToken(cursor, "\x01")) {
        if (strncmp(piece, "MSGID: ", 7) == 0) return parseFidoAddr(piece + 7, addr);
    }
    addr = FidoAddr{};
    return false;
}

void hashKludges(char* text, uint32_t& msgIdHash, uint32_t& replyHash) {
    msgIdHash = 0;
    replyHash = 0;
    char* cursor = text;
    while ((msgIdHash == 0 || replyHash == 0)) {
        char* piece = nextToken(cursor, "\x01\r");
        if (!piece) break;
        size_t len = strlen(piece);
        uint32_t value = len > 7 ? kludgeHasher.compute(piece + 7, len - 7) : 0;
        if (msgIdHash == 0 && strncmp(piece, "MSGID:", 6) == 0)
            msgIdHash = value;
        else if (replyHash == 0 && strncmp(piece, "REPLY:", 6) == 0)
            replyHash = value;
    }
}
