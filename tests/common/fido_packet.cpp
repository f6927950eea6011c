#include "common/fido_packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/temp_dir.h"

#include "support/le.h"

namespace fidopkt {

namespace {

// Packet header fields (byte offsets).
namespace hdr {
constexpr size_t kOrigNode = 0, kDestNode = 2, kYear = 4, kMonth = 6, kDay = 8, kHour = 10, kMinute = 12,
                 kSecond = 14, kBaud = 16, kPacketType = 18, kOrigNet = 20, kDestNet = 22, kProdCodeLow = 24,
                 kRevisionMajor = 25, kPassword = 26, kQOrigZone = 34, kQDestZone = 36, kAuxNet = 38,
                 kCapWordCopy = 40, kProdCodeHigh = 42, kRevisionMinor = 43, kCapWord = 44, kOrigZone = 46,
                 kDestZone = 48, kOrigPoint = 50, kDestPoint = 52, kProductData = 54;
constexpr size_t kPasswordSize = 8;
static_assert(kProductData + 4 == kPacketHeaderSize);
}  // namespace hdr

// Packed message fields, relative to the type word.
namespace msg {
constexpr size_t kType = 0, kOrigNode = 2, kDestNode = 4, kOrigNet = 6, kDestNet = 8, kAttribute = 10,
                 kCost = 12, kDateTime = 14;
constexpr size_t kDateTimeSize = 20;
static_assert(kDateTime + kDateTimeSize == kPackedMsgFixedSize);
}  // namespace msg

// "No product code assigned yet" in the FTSC product list.
constexpr uint8_t kProductCode = 0xFE;

}  // namespace

void encodePacketHeader(const PacketHeader& h, uint8_t out[kPacketHeaderSize]) {
    memset(out, 0, kPacketHeaderSize);
    putU16(out + hdr::kOrigNode, h.orig.node);
    putU16(out + hdr::kDestNode, h.dest.node);
    putU16(out + hdr::kYear, h.year);
    putU16(out + hdr::kMonth, h.month);
    putU16(out + hdr::kDay, h.day);
    putU16(out + hdr::kHour, h.hour);
    putU16(out + hdr::kMinute, h.minute);
    putU16(out + hdr::kSecond, h.second);
    putU16(out + hdr::kBaud, 0);
    putU16(out + hdr::kPacketType, kPacketType);
    putU16(out + hdr::kOrigNet, h.orig.net);
    putU16(out + hdr::kDestNet, h.dest.net);
    out[hdr::kProdCodeLow] = kProductCode;
    out[hdr::kRevisionMajor] = 1;
    memcpy(out + hdr::kPassword, h.password.data(), std::min(h.password.size(), hdr::kPasswordSize));
    putU16(out + hdr::kQOrigZone, h.orig.zone);
    putU16(out + hdr::kQDestZone, h.dest.zone);
    putU16(out + hdr::kAuxNet, 0);
    putU16(out + hdr::kCapWordCopy, uint16_t((h.capWord >> 8) | (h.capWord << 8)));
    out[hdr::kProdCodeHigh] = 0;
    out[hdr::kRevisionMinor] = 0;
    putU16(out + hdr::kCapWord, h.capWord);
    putU16(out + hdr::kOrigZone, h.orig.zone);
    putU16(out + hdr::kDestZone, h.dest.zone);
    putU16(out + hdr::kOrigPoint, h.orig.point);
    putU16(out + hdr::kDestPoint, h.dest.point);
}

void decodePacketHeader(const uint8_t in[kPacketHeaderSize], PacketHeader& h) {
    h = PacketHeader();
    h.orig.node = getU16(in + hdr::kOrigNode);
    h.dest.node = getU16(in + hdr::kDestNode);
    h.year = getU16(in + hdr::kYear);
    h.month = getU16(in + hdr::kMonth);
    h.day = getU16(in + hdr::kDay);
    h.hour = getU16(in + hdr::kHour);
    h.minute = getU16(in + hdr::kMinute);
    h.second = getU16(in + hdr::kSecond);
    h.orig.net = getU16(in + hdr::kOrigNet);
    h.dest.net = getU16(in + hdr::kDestNet);
    const char* password = reinterpret_cast<const char*>(in + hdr::kPassword);
    h.password.assign(password, strnlen(password, hdr::kPasswordSize));
    h.capWord = getU16(in + hdr::kCapWord);
    // Zones and points come from the type 2+ part only when its capability word is
    // confirmed by the byte-swapped copy; otherwise the zones of the older layout.
    uint16_t copy = getU16(in + hdr::kCapWordCopy);
    if ((h.capWord & kCapWord) && copy == uint16_t((h.capWord >> 8) | (h.capWord << 8))) {
        h.orig.zone = getU16(in + hdr::kOrigZone);
        h.dest.zone = getU16(in + hdr::kDestZone);
        h.orig.point = getU16(in + hdr::kOrigPoint);
        h.dest.point = getU16(in + hdr::kDestPoint);
    } else {
        h.orig.zone = getU16(in + hdr::kQOrigZone);
        h.dest.zone = getU16(in + hdr::kQDestZone);
    }
}

bool encodePackedMsg(const PackedMsg& m, std::string& out) {
    auto fits = [](const std::string& s, size_t max) { return s.size() <= max && s.find('\0') == std::string::npos; };
    if (!fits(m.dateTime, kPackedDateMax) || !fits(m.toName, kPackedNameMax) || !fits(m.fromName, kPackedNameMax) ||
        !fits(m.subject, kPackedSubjectMax) || m.text.find('\0') != std::string::npos)
        return false;
    uint8_t fixed[kPackedMsgFixedSize] = {};
    putU16(fixed + msg::kType, kPackedMsgType);
    putU16(fixed + msg::kOrigNode, m.origNode);
    putU16(fixed + msg::kDestNode, m.destNode);
    putU16(fixed + msg::kOrigNet, m.origNet);
    putU16(fixed + msg::kDestNet, m.destNet);
    putU16(fixed + msg::kAttribute, m.attribute);
    putU16(fixed + msg::kCost, m.cost);
    memcpy(fixed + msg::kDateTime, m.dateTime.data(), m.dateTime.size());
    out.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
    for (const std::string* s : {&m.toName, &m.fromName, &m.subject, &m.text}) {
        out += *s;
        out += '\0';
    }
    return true;
}

bool encodePacket(const Packet& p, std::string& bytes, std::string* error) {
    uint8_t header[kPacketHeaderSize];
    encodePacketHeader(p.header, header);
    bytes.assign(reinterpret_cast<const char*>(header), sizeof header);
    for (size_t i = 0; i < p.messages.size(); ++i)
        if (!encodePackedMsg(p.messages[i], bytes)) {
            if (error) *error = "message " + std::to_string(i + 1) + " has a field the packet format cannot hold";
            return false;
        }
    bytes.append(2, '\0');  // end of packet
    return true;
}

bool decodePacket(const std::string& bytes, Packet& p, std::string* error) {
    p = Packet();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t size = bytes.size();
    if (size < kPacketHeaderSize) return fail("shorter than a packet header");
    if (getU16(data + hdr::kPacketType) != kPacketType)
        return fail("packet type " + std::to_string(getU16(data + hdr::kPacketType)) + ", not 2");
    decodePacketHeader(data, p.header);

    size_t pos = kPacketHeaderSize;
    // A zero-terminated text of at most `limit` bytes (0: any length) before its zero.
    auto takeText = [&](size_t limit, std::string& s) {
        const void* zero = memchr(data + pos, 0, size - pos);
        if (!zero) return false;
        size_t n = size_t(static_cast<const uint8_t*>(zero) - (data + pos));
        if (limit != 0 && n > limit) return false;
        s.assign(bytes, pos, n);
        pos += n + 1;
        return true;
    };
    for (;;) {
        if (size - pos < 2) return fail("packet ends without its end mark");
        uint16_t type = getU16(data + pos);
        if (type == 0) {
            if (size - pos != 2) return fail(std::to_string(size - pos - 2) + " bytes after the end mark");
            return true;
        }
        std::string which = "packed message " + std::to_string(p.messages.size() + 1);
        if (type != kPackedMsgType) return fail(which + " has type " + std::to_string(type));
        if (size - pos < kPackedMsgFixedSize) return fail(which + " is cut short");
        PackedMsg m;
        m.origNode = getU16(data + pos + msg::kOrigNode);
        m.destNode = getU16(data + pos + msg::kDestNode);
        m.origNet = getU16(data + pos + msg::kOrigNet);
        m.destNet = getU16(data + pos + msg::kDestNet);
        m.attribute = getU16(data + pos + msg::kAttribute);
        m.cost = getU16(data + pos + msg::kCost);
        const char* date = bytes.data() + pos + msg::kDateTime;
        m.dateTime.assign(date, strnlen(date, msg::kDateTimeSize));
        pos += kPackedMsgFixedSize;
        if (!takeText(kPackedNameMax, m.toName) || !takeText(kPackedNameMax, m.fromName) ||
            !takeText(kPackedSubjectMax, m.subject) || !takeText(0, m.text))
            return fail(which + " has a malformed text field");
        p.messages.push_back(std::move(m));
    }
}

bool readPacketFile(const std::string& path, Packet& p, std::string* error) {
    std::string why;
    if (decodePacket(readFile(path), p, &why)) return true;
    if (error) *error = path + ": " + why;
    return false;
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') continue;
        lines.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string kludgeValue(const std::vector<std::string>& lines, const std::string& name) {
    const std::string mark = "\x01" + name;
    for (const std::string& line : lines) {
        if (line.compare(0, mark.size(), mark) != 0 || line.size() == mark.size()) continue;
        size_t pos = mark.size();
        if (line[pos] == ':') ++pos;
        if (pos >= line.size() || line[pos] != ' ') continue;
        return line.substr(pos + 1);
    }
    return std::string();
}

uint32_t packedDate(const std::string& text) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int day = 0, year = 0, hours = 0, minutes = 0, seconds = 0;
    char month[4] = {};
    if (sscanf(text.c_str(), "%d %3s %d %d:%d:%d", &day, month, &year, &hours, &minutes, &seconds) != 6) return 0;
    uint32_t monthNumber = 0;
    for (uint32_t i = 0; i < 12; ++i)
        if (strcmp(month, kMonths[i]) == 0) monthNumber = i + 1;
    uint32_t years = uint32_t(year >= 80 ? year - 80 : year + 20);
    return uint32_t(day) | (monthNumber << 5) | (years << 9) | (uint32_t(seconds / 2) << 16) |
           (uint32_t(minutes) << 21) | (uint32_t(hours) << 27);
}

std::string zoneNetNode(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node);
}

std::string intlValue(const FidoAddr& dest, const FidoAddr& orig) {
    return zoneNetNode(dest) + " " + zoneNetNode(orig);
}

namespace {

void appendLines(std::string& text, const std::vector<std::string>& lines, const char* prefix) {
    for (const std::string& line : lines) text += prefix + line + "\r";
}

}  // namespace

PackedMsg echoMessage(const EchoDraft& d, const FidoAddr& from, const FidoAddr& to) {
    PackedMsg m;
    m.origNode = from.node;
    m.origNet = from.net;
    m.destNode = to.node;
    m.destNet = to.net;
    m.dateTime = d.dateTime;
    m.fromName = d.fromName;
    m.toName = d.toName;
    m.subject = d.subject;
    m.text = "AREA:" + d.area + "\r";
    appendLines(m.text, d.kludges, "\x01");
    appendLines(m.text, d.body, "");
    if (!d.tearline.empty()) m.text += d.tearline + "\r";
    if (!d.origin.empty()) m.text += " * Origin: " + d.origin + "\r";
    if (!d.seenBy.empty()) m.text += "SEEN-BY: " + d.seenBy + "\r";
    if (!d.path.empty()) m.text += "\x01PATH: " + d.path + "\r";
    return m;
}

PackedMsg netmailMessage(const NetmailDraft& d) {
    PackedMsg m;
    m.origNode = d.from.node;
    m.origNet = d.from.net;
    m.destNode = d.to.node;
    m.destNet = d.to.net;
    m.attribute = d.attribute;
    m.dateTime = d.dateTime;
    m.fromName = d.fromName;
    m.toName = d.toName;
    m.subject = d.subject;
    m.text = "\x01INTL " + intlValue(d.to, d.from) + "\r";
    if (d.from.point) m.text += "\x01" "FMPT " + std::to_string(d.from.point) + "\r";
    if (d.to.point) m.text += "\x01TOPT " + std::to_string(d.to.point) + "\r";
    appendLines(m.text, d.kludges, "\x01");
    appendLines(m.text, d.body, "");
    return m;
}

}  // namespace fidopkt
