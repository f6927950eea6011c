#include "areas/echoarea.h"

#include <cstring>
#include <new>

#include "support/le.h"

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

namespace {

void emitLine(MCArray<char>& out, const char* line, int32_t n) {
    int32_t c = out.getCount();
    if (int64_t(c) + n + 2 > INT32_MAX || !out.setSize(c + n + 2)) throw std::bad_alloc();
    char* p = out.getData() + c;
    if (n > 0) memcpy(p, line, size_t(n));
    p[n] = 13;
    p[n + 1] = 0;
}

const char* walkResult(const char* text, const char* stop, int32_t maxLength) {
    if (maxLength == kNoLengthBound) return stop;
    return text + maxLength;
}

}  // namespace

const char* textToLines(const char* text, MCArray<char>& out, int32_t maxLength) {
    const char* lineStart = text;
    int32_t lineLength = 0;
    const char* p = text;
    int32_t walked = 0;
    for (; walked < maxLength; ++walked, ++p) {
        char ch = *p;
        if (ch == 0) {
            ++p;  // past the terminating zero
            break;
        }
        if (ch == 13 || ch == 10) {
            emitLine(out, lineStart, lineLength);
            lineStart = p + 1;
            lineLength = 0;
        } else if (ch == 1) {
            if (lineLength != 0) {
                emitLine(out, lineStart, lineLength);
                lineStart = p;
            }
            lineLength = 1;
        } else {
            ++lineLength;
        }
    }
    if (lineLength != 0) emitLine(out, lineStart, lineLength);
    return walkResult(text, p, maxLength);
}

const char* extractKludges(const char* text, MCArray<char>& out, int32_t maxLength) {
    const char* start = nullptr;  // start of the current kludge, nullptr outside one
    int32_t length = 0;
    const char* p = text;
    for (int32_t walked = 0; walked < maxLength; ++walked, ++p) {
        char ch = *p;
        if (ch == 0) {
            ++p;
            break;
        }
        if (!start) {
            if (ch == 1) {
                start = p;
                length = 1;
            }
            continue;
        }
        if (ch == 1 || ch == 13 || ch == 10) {
            if (length > 1) emitLine(out, start, length);
            if (ch == 1) {
                start = p;
                length = 1;
            } else {
                start = nullptr;
                length = 0;
            }
        } else {
            ++length;
        }
    }
    if (start && length > 1) emitLine(out, start, length);
    return walkResult(text, p, maxLength);
}
