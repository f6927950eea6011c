#include "areas/kludges.h"

#include <cstdio>
#include <ctime>
#include <cstring>
#include <string>

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

namespace {

// A point number of a FMPT or TOPT kludge: decimal digits only, at most 65535.
bool parsePoint(const std::string& value, uint16_t& point) {
    size_t start = value.find_first_not_of(' ');
    if (start == std::string::npos || value[start] < '0' || value[start] > '9') return false;
    bool overflow;
    uint32_t n = readDecimal(value.c_str() + start, overflow);
    if (overflow || n > 0xFFFFu) return false;
    point = uint16_t(n);
    return true;
}

// "INTL dz:dn/df oz:on/of": two addresses without points, separated by blanks.
bool parseIntl(const std::string& value, FidoAddr& dest, FidoAddr& orig) {
    std::string words[2];
    size_t at = 0;
    for (std::string& word : words) {
        at = value.find_first_not_of(' ', at);
        if (at == std::string::npos) return false;
        size_t end = value.find(' ', at);
        word = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? value.size() : end;
    }
    if (!parseFidoAddr(words[0].c_str(), dest) || !parseFidoAddr(words[1].c_str(), orig)) return false;
    dest.point = 0;
    orig.point = 0;
    return true;
}

}  // namespace

RoutingKludges findRoutingKludges(const char* text) {
    RoutingKludges k;
    for (const char* p = strchr(text, '\x01'); p; p = strchr(p, '\x01')) {
        ++p;
        size_t length = strcspn(p, "\x01\r\n");
        std::string kludge(p, length);
        p += length;
        if (!k.hasIntl && kludge.compare(0, 5, "INTL ") == 0)
            k.hasIntl = parseIntl(kludge.substr(5), k.intlDest, k.intlOrig);
        else if (!k.hasFmpt && kludge.compare(0, 5, "FMPT ") == 0)
            k.hasFmpt = parsePoint(kludge.substr(5), k.fmpt);
        else if (!k.hasTopt && kludge.compare(0, 5, "TOPT ") == 0)
            k.hasTopt = parsePoint(kludge.substr(5), k.topt);
    }
    return k;
}
