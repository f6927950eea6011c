#include "fido/fidoaddr.h"

#include <cstdio>

#include "support/le.h"
#include "support/text.h"

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

std::string formatFidoAddr(const FidoAddr& a) {
    char text[32];
    snprintf(text, sizeof text, "%u:%u/%u.%u", unsigned(a.zone), unsigned(a.net), unsigned(a.node), unsigned(a.point));
    return text;
}
