#include "protocol/packets.h"

#include <cstring>

#include "support/le.h"

void encodeHeader(const pktHeader& h, uint8_t* out) {
    putU32(out, h.cmd);
    putU32(out + 4, h.dataSize);
}

pktHeader decodeHeader(const uint8_t* in) {
    pktHeader h;
    h.cmd = getU32(in);
    h.dataSize = getU32(in + 4);
    return h;
}

void encodeAreaInfo(const pktAreaInfo& a, uint8_t* out) {
    putBytes(out, a.name, 36);
    putU32(out + 36, a.msgCount);
    putU32(out + 40, a.unreadCount);
    putI32(out + 44, a.type);
}

pktAreaInfo decodeAreaInfo(const uint8_t* in) {
    pktAreaInfo a;
    getBytes(a.name, in, 36);
    a.msgCount = getU32(in + 36);
    a.unreadCount = getU32(in + 40);
    a.type = getI32(in + 44);
    return a;
}

bool arrayElementEquals(const pktAreaInfo& a, const pktAreaInfo& b) { return strncmp(a.name, b.name, 36) == 0; }
