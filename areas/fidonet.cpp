#include "areas/fidonet.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "support/clock.h"
#include "support/le.h"

uint32_t msgIdCounter = 0;

void encodeFidoAddr(const FidoAddr& a, uint8_t* out) {
    putU16(out, a.zone);
    putU16(out + 2, a.net);
    putU16(out + 4, a.node);
    putU16(out + 6, a.point);
}

FidoAddr decodeFidoAddr(const uint8_t* in) {
    FidoAddr a;
    a.zone = getU16(in);
    a.net = getU16(in + 2);
    a.node = getU16(in + 4);
    a.point = getU16(in + 6);
    return a;
}

char* nextToken(char*& cursor, const char* separators) {
    if (!cursor) return nullptr;
    char* p = cursor + strspn(cursor, separators);
    if (*p == 0) {
        cursor = p;
        return nullptr;
    }
    char* end = p + strcspn(p, separators);
    if (*end) {
        *end = 0;
        cursor = end + 1;
    } else {
        cursor = end;
    }
    return p;
}

namespace {

// Unsigned decimal with the C library's rules: leading white space and a sign, digits up
// to the first other character, 0 without digits. A value beyond 32 bits saturates and
// sets `overflow`; a minus sign negates in unsigned arithmetic.
uint32_t readDecimal(const char* s, bool& overflow) {
    overflow = false;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    uint64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (!overflow) {
            v = v * 10 + uint64_t(*s - '0');
            if (v > 0xFFFFFFFFull) overflow = true;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    uint32_t r = uint32_t(v);
    return negative ? uint32_t(0u - r) : r;
}

}  // namespace

bool parseFidoAddr(const char* text, FidoAddr& addr) {
    addr = FidoAddr{};
    std::string copy(text ? text : "");
    char* cursor = copy.data();
    char* zone = nextToken(cursor, ":");
    char* net = nextToken(cursor, "/");
    char* node = nextToken(cursor, ".");
    if (!zone || !net || !node) return false;
    char* point = nextToken(cursor, " ");
    bool overflow;
    FidoAddr a;
    a.zone = uint16_t(readDecimal(zone, overflow));
    a.net = uint16_t(readDecimal(net, overflow));
    a.node = uint16_t(readDecimal(node, overflow));
    if (point) {
        a.point = uint16_t(readDecimal(point, overflow));
        if (overflow) return false;
    }
    addr = a;
    return true;
}

uint32_t makeMsgIdSerial(const std::tm& utc) {
    ++msgIdCounter;
    return ((msgIdCounter & 0xFu) << 28) | ((uint32_t(utc.tm_sec) & 0x3Fu) << 22) |
           ((uint32_t(utc.tm_min) & 0x3Fu) << 16) | ((uint32_t(utc.tm_hour) & 0x1Fu) << 11) |
           ((uint32_t(utc.tm_mday) & 0x1Fu) << 6) | ((uint32_t(utc.tm_mon) & 0xFu) << 2) |
           (uint32_t(utc.tm_year) & 0x3u);
}

uint32_t makeMsgIdSerial() {
    std::tm utc{};
    utcNow(utc);
    return makeMsgIdSerial(utc);
}

void formatMsgIdKludge(const FidoAddr& addr, char* buffer) {
    snprintf(buffer, kMsgIdKludgeBuffer, "\x01MSGID: %d:%d/%d.%d %08X\r", addr.zone, addr.net, addr.node,
             addr.point, makeMsgIdSerial());
}

void formatFidoDate(char* field, const std::tm& local) {
    memset(field, 0, kFidoDateSize);
    formatTime(field, kFidoDateSize, "%d %b %y  %H:%M:%S", local);
}

void formatFidoDate(char* field) {
    std::tm local{};
    if (!localNow(local)) {
        memset(field, 0, kFidoDateSize);
        return;
    }
    formatFidoDate(field, local);
}

namespace {

int twoDigits(const char* p) { return 10 * (p[0] - '0') + (p[1] - '0'); }

}  // namespace

uint32_t parseFidoDate(const char* t) {
    static const char* const months[12] = {"Jan ", "Feb ", "Mar ", "Apr ", "May ", "Jun ",
                                           "Jul ", "Aug ", "Sep ", "Oct ", "Nov ", "Dec "};
    // Each field is reduced to its width in two's complement, so a blank in the tens
    // place of the day or the hours counts as 0.
    uint32_t day = uint32_t(twoDigits(t)) & 0x1Fu;
    uint32_t month = 0;
    for (int i = 0; i < 12; ++i)
        if (memcmp(t + 3, months[i], 4) == 0) {
            month = uint32_t(i + 1);
            break;
        }
    uint32_t y = uint32_t(twoDigits(t + 7)) & 0x7Fu;
    uint32_t year = (y >= 80 ? y - 80 : y + 20) & 0x7Fu;
    uint32_t hours = uint32_t(twoDigits(t + 11)) & 0x1Fu;
    uint32_t minutes = uint32_t(twoDigits(t + 14)) & 0x3Fu;
    uint32_t seconds = uint32_t(twoDigits(t + 17) / 2) & 0x1Fu;
    return day | (month << 5) | (year << 9) | (seconds << 16) | (minutes << 21) | (hours << 27);
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
