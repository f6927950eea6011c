#include "client/message_text.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "client/failure.h"
#include "client/lib/charset.h"
#include "client/terminal.h"
#include "support/clock.h"
#include "support/le.h"
#include "fido/attributes.h"
#include "fido/fidodate.h"

namespace qclient::cli {

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

bool isZero(const FidoAddr& a) { return a == FidoAddr{}; }

std::string fieldText(const char* field, size_t size) { return std::string(field, fieldLength(field, size)); }

std::string headerText(const std::string& bytes, const Charset* given) {
    if (given) return decodeToUtf8(bytes, given->iconvName);
    if (isValidUtf8(bytes)) return bytes;
    return decodeToUtf8(bytes, cp437Charset().iconvName);
}

const Charset& messageCharset(const std::vector<std::string>& lines, const Charset* given, std::string& unknownName) {
    const Charset& fallback = given ? *given : cp437Charset();
    unknownName.clear();
    std::string name = chrsName(lines);
    if (name.empty()) return fallback;
    // IBMPC names the IBM PC code page of the writer's machine: the area's own, when that
    // is a code page.
    if (strcasecmp(name.c_str(), "IBMPC") == 0 && given && strncmp(given->name, "CP", 2) == 0) return *given;
    const Charset* named = findCharset(name);
    if (named) return *named;
    unknownName = name;
    return fallback;
}

std::string packedDateText(uint32_t v) {
    PackedDate d = unpackDate(v);
    char buf[48];
    const char* monthName = d.month >= 1 && d.month <= 12 ? kEnglishMonths[d.month - 1] : "???";
    snprintf(buf, sizeof buf, "%02u %s %04u %02u:%02u", d.day, monthName, d.year, d.hour, d.minute);
    return buf;
}

std::string attrText(uint16_t attr) {
    char hex[8];
    snprintf(hex, sizeof hex, "0x%04X", attr);
    std::string names;
    for (const AttributeName& a : kAttributeNames)
        if (attr & a.bit) names += std::string(names.empty() ? "" : ", ") + a.name;
    return names.empty() ? hex : std::string(hex) + " (" + names + ")";
}

std::string utf8ToCharset(const std::string& utf8, const Charset& to, const std::string& what, bool multiLine) {
    std::string out;
    ConversionError e;
    if (encodeStrict(utf8, to.iconvName, out, e)) return out;
    if (e.kind == ConversionError::Kind::NoConverter)
        fail(kExitUsage, std::string("no conversion from UTF-8 to ") + to.name + " on this system");
    std::string where = multiLine ? " on line " + std::to_string(e.line) + ", column " + std::to_string(e.column)
                                  : " at character " + std::to_string(e.column);
    if (e.kind == ConversionError::Kind::BadInput) fail(kExitUsage, what + " is not valid text" + where);
    fail(kExitUsage, what + " has the character '" + qclient::encodeForTerminal(e.character, terminalCodeset()) +
                         "' (" + codePointText(e.codePoint) + ")" + where + ", which " + to.name +
                         " cannot represent (choose another --charset)");
}

std::string headerField(const std::string& localeText, const Charset& to, const std::string& what, size_t size) {
    std::string out = utf8ToCharset(localeToUtf8(localeText, what, false), to, what, false);
    if (out.size() > size)
        fail(kExitUsage, what + " is longer than " + std::to_string(size) + " bytes in " + to.name);
    return out;
}

std::string cutField(const std::string& bytes, const Charset& charset, size_t size) {
    if (bytes.size() <= size) return bytes;
    if (charset.level == 4) return std::string(utf8Prefix(bytes, size));
    return bytes.substr(0, size);
}

std::string withCrLineEnds(const std::string& in) {
    std::string text;
    text.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') continue;  // the LF makes the CR
        text += in[i] == '\n' ? '\r' : in[i];
    }
    return text;
}

}  // namespace qclient::cli
