#include "fido/kludges.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "support/text.h"

const CCRC32 kludgeHasher;

void formatMsgIdKludge(const FidoAddr& addr, uint32_t serial, char* buffer) {
    snprintf(buffer, kMsgIdKludgeBuffer, "\x01MSGID: %d:%d/%d.%d %08X\r", addr.zone, addr.net, addr.node,
             addr.point, serial);
}

bool findMsgIdAddr(std::string_view text, FidoAddr& addr) {
    addr = FidoAddr{};
    text = text.substr(0, text.find('\0'));
    size_t at = 0;
    for (;;) {
        at = text.find_first_not_of("\r\n", at);
        if (at == std::string_view::npos || text[at] != '\x01') return false;
        size_t end = findAnyOf(text, "\x01\r\n", at + 1);
        std::string_view kludge = text.substr(at + 1, end == std::string_view::npos ? std::string_view::npos : end - at - 1);
        if (kludge.substr(0, 7) == "MSGID: ") return parseFidoAddr(std::string(kludge.substr(7)).c_str(), addr);
        if (end == std::string_view::npos) return false;
        at = end;
    }
}

ThreadKludges hashKludges(std::string_view text) {
    ThreadKludges k;
    text = text.substr(0, text.find('\0'));
    size_t at = 0;
    while (k.msgIdHash == 0 || k.replyHash == 0) {
        at = text.find_first_not_of("\x01\r", at);
        if (at == std::string_view::npos) break;
        size_t end = findAnyOf(text, "\x01\r", at);
        std::string_view piece = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end;
        std::string_view value = piece.size() > 7 ? piece.substr(7) : std::string_view();
        uint32_t hash = value.empty() ? 0 : kludgeHasher.compute(value.data(), value.size());
        if (k.msgIdHash == 0 && piece.substr(0, 6) == "MSGID:") {
            k.msgIdHash = hash;
            k.msgId = value;
        } else if (k.replyHash == 0 && piece.substr(0, 6) == "REPLY:") {
            k.replyHash = hash;
            k.reply = value;
        }
        if (at == std::string_view::npos) break;
    }
    return k;
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
