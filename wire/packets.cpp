#include "wire/packets.h"

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

void encodeMsgHeader(const pktMsgHeader& h, uint8_t* out) {
    putU32(out, h.msgNumber);
    putBytes(out + 4, h.fromName, 36);
    putBytes(out + 40, h.toName, 36);
    putBytes(out + 76, h.subject, 72);
    putU32(out + 148, h.dateWritten);
    putU32(out + 152, h.msgIdHash);
    putU32(out + 156, h.replyHash);
}

pktMsgHeader decodeMsgHeader(const uint8_t* in) {
    pktMsgHeader h;
    h.msgNumber = getU32(in);
    getBytes(h.fromName, in + 4, 36);
    getBytes(h.toName, in + 40, 36);
    getBytes(h.subject, in + 76, 72);
    h.dateWritten = getU32(in + 148);
    h.msgIdHash = getU32(in + 152);
    h.replyHash = getU32(in + 156);
    return h;
}

void encodeMessage(const pktMessage& m, uint8_t* out) {
    encodeMsgHeader(m.header, out);
    encodeFidoAddr(m.origAddr, out + 160);
    encodeFidoAddr(m.destAddr, out + 168);
    putI32(out + 176, m.areaNumber);
    putU32(out + 180, m.reserved);
    putU16(out + 184, m.attributes);
}

pktMessage decodeMessage(const uint8_t* in) {
    pktMessage m;
    m.header = decodeMsgHeader(in);
    m.origAddr = decodeFidoAddr(in + 160);
    m.destAddr = decodeFidoAddr(in + 168);
    m.areaNumber = getI32(in + 176);
    m.reserved = getU32(in + 180);
    m.attributes = getU16(in + 184);
    return m;
}
