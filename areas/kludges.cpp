#include "areas/kludges.h"

#include <cstdio>
#include <cstring>

#include "support/text.h"

CCRC32 kludgeHasher;
uint32_t msgIdCounter = 0;

uint32_t makeMsgIdSerial(const std::tm& utc) {
    ++msgIdCounter;
    return ((msgIdCounter & 0xFu) << 28) | ((uint32_t(utc.tm_sec) & 0x3Fu) << 22) |
           ((uint32_t(utc.tm_min) & 0x3Fu) << 16) | ((uint32_t(utc.tm_hour) & 0x1Fu) << 11) |
           ((uint32_t(utc.tm_mday) & 0x1Fu) << 6) | ((uint32_t(utc.tm_mon) & 0xFu) << 2) |
           (uint32_t(utc.tm_year) & 0x3u);
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
