#include "nntp/article.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "fido/fidoaddr.h"
#include "fido/fidodate.h"
#include "fido/kludges.h"
#include "fido/message_text.h"
#include "nntp/mime.h"
#include "support/clock.h"
#include "support/text.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
// The longest Message-ID a news server takes (RFC 5536).
constexpr size_t kMaxMessageId = 250;
// Header lines are folded to keep within this width where they can, and never exceed the
// longest line RFC 5322 allows.
constexpr size_t kFoldWidth = 78;
constexpr size_t kMaxLineBytes = 998;
// Body lines longer than this make the body format=flowed.
constexpr size_t kFlowWidth = 78;
// Names and subjects are stored in fields of 36 and 72 bytes; whatever a store hands over,
// no more than this of them is shown.
constexpr size_t kMaxFieldBytes = 255;
// An overview keeps this much scratch room between its lines at most.
constexpr size_t kScratchKept = 16 * 1024;
// The longest local part of an address (RFC 5321).
constexpr size_t kMaxLocalLength = 64;

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldCase(x) == foldCase(y); });
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAlnum(char c) { return isLetter(c) || isDigit(c); }
bool isAtext(char c) { return isAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Stored text ends at its first zero byte, as every reader of the bases takes it.
std::string_view upToZero(std::string_view s) { return s.substr(0, s.find('\0')); }

// Calls f(line) for every line of a text whose lines end with CR, LF or CRLF.
template <typename F>
void forEachLine(std::string_view text, F&& f) {
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = findAnyOf(text, "\r\n", start);
        if (stop == std::string_view::npos) {
            f(text.substr(start));
            return;
        }
        f(text.substr(start, stop - start));
        start = stop + (text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n' ? 2 : 1);
    }
}

// ---------------------------------------------------------------------------------------
// Header values

bool isPrintableAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == '\t' || (c >= 0x20 && c < 0x7F); });
}

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Bytes of the message's charset as UTF-8 on one line, appended to `out`: CR, LF and zero
// bytes as spaces. Every charset of the table (fido/charset.h) reads ASCII as ASCII, so
// ASCII needs no converter.
void appendUtf8(std::string& out, std::string_view bytes, const Charset& charset) {
    const size_t start = out.size();
    if (isAscii(bytes))
        out.append(bytes);
    else
        out += decodeToUtf8(bytes, charset.iconvName);
    for (size_t i = start; i < out.size(); ++i)
        if (out[i] == '\r' || out[i] == '\n' || out[i] == '\0') out[i] = ' ';
}

std::string toUtf8(std::string_view bytes, const Charset& charset) {
    std::string out;
    appendUtf8(out, bytes, charset);
    return out;
}

// Printable ASCII folded at blanks so that lines keep within kFoldWidth where a blank
// allows it; a word too long for the longest line is broken with a fold of its own (so a
// reader sees a space there).
std::string foldAscii(std::string_view value, size_t nameLength) {
    std::string out;
    out.reserve(value.size() + value.size() / 32);
    size_t column = nameLength + 2;  // "Name: "
    size_t at = 0;
    while (at < value.size()) {
        size_t wordStart = value.find_first_not_of(" \t", at);
        if (wordStart == std::string_view::npos) wordStart = value.size();
        size_t wordEnd = value.find_first_of(" \t", wordStart);
        if (wordEnd == std::string_view::npos) wordEnd = value.size();
        std::string_view chunk = value.substr(at, wordEnd - at);  // the blanks before a word, and the word
        if (at > 0 && column + chunk.size() > kFoldWidth) {
            out += kCrLf;  // the chunk's blank begins the continuation line
            column = 0;
        }
        while (column + chunk.size() > kMaxLineBytes) {
            size_t room = column < kMaxLineBytes ? kMaxLineBytes - column : 0;
            out += chunk.substr(0, room);
            out += "\r\n ";
            column = 1;
            chunk.remove_prefix(room);
        }
        out += chunk;
        column += chunk.size();
        at = wordEnd;
    }
    return out;
}

bool isControl(char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F; }

// A UTF-8 value ready to follow "Name: ": controls as spaces, blanks around it trimmed,
// ASCII folded, anything else as encoded-words.
std::string headerValue(std::string_view utf8, size_t nameLength) {
    std::string clean;
    if (std::any_of(utf8.begin(), utf8.end(), isControl)) {
        clean.assign(utf8);
        for (char& c : clean)
            if (isControl(c)) c = ' ';
        utf8 = clean;
    }
    std::string_view trimmed = trimBlanks(utf8);
    if (isPrintableAscii(trimmed) && trimmed.find("=?") == std::string_view::npos) {
        // What fits on the field's line is never folded.
        if (nameLength + 2 + trimmed.size() <= kFoldWidth) return std::string(trimmed);
        return foldAscii(trimmed, nameLength);
    }
    return encodeHeaderValue(trimmed, nameLength);
}

// A header value as one line, appended to `out`: folds removed, tabs, CR, LF (and zero
// bytes) as spaces.
void appendUnfolded(std::string& out, std::string_view value) {
    size_t plain = 0;  // the start of the bytes that stay as they are
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c != '\t' && c != '\r' && c != '\n' && c != '\0') continue;
        out.append(value, plain, i - plain);
        plain = i + 1;
        if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n' && i + 2 < value.size() &&
            isBlank(value[i + 2])) {
            ++i;  // the fold's CRLF goes, its blank stays
            plain = i + 1;
            continue;
        }
        out += ' ';
    }
    out.append(value, plain);
}

// ---------------------------------------------------------------------------------------
// Message-IDs

constexpr std::string_view kMsgIdPrefix = "MSGID_";
constexpr std::string_view kNoMsgIdPrefix = "NOMSGID_";

bool keptInMsgIdText(char c) { return isAlnum(c) || c == '.' || c == '-'; }
// An area tag keeps the characters tags are made of; '_' may stay since the number and
// date after it are read from the right.
bool keptInTag(char c) { return isAlnum(c) || c == '.' || c == '-' || c == '_'; }

void appendEscaped(std::string& out, std::string_view bytes, bool (*kept)(char)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t plain = 0;  // the start of the bytes kept as they are
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (kept(bytes[i])) continue;
        out.append(bytes, plain, i - plain);
        plain = i + 1;
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        const char escape[3] = {'=', kHex[b >> 4], kHex[b & 15]};
        out.append(escape, 3);
    }
    out.append(bytes, plain);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The bytes an escaped part stands for; false for a byte that the escaping would not have
// left as it is, a broken escape, or a byte no kludge value holds.
bool unescape(std::string_view part, bool (*kept)(char), std::string& out) {
    out.clear();
    for (size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (c == '=') {
            if (i + 2 >= part.size()) return false;
            int hi = hexValue(part[i + 1]), lo = hexValue(part[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = char(hi * 16 + lo);
            i += 2;
            if (c == '\0' || c == '\x01' || c == '\r' || c == '\n') return false;
        } else if (!kept(c)) {
            return false;
        }
        out += c;
    }
    return true;
}

// "<left@right>": printable ASCII without blanks or further angle brackets, an '@' with
// something on both sides.
bool isBracketedId(std::string_view id) {
    if (id.size() < 5 || id.front() != '<' || id.back() != '>') return false;
    std::string_view inner = id.substr(1, id.size() - 2);
    for (char c : inner)
        if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return false;
    size_t at = inner.rfind('@');
    return at != std::string_view::npos && at > 0 && at + 1 < inner.size();
}

// Decimal digits only, within 32 bits.
bool readNumber(std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t v = 0;
    for (char c : digits) {
        if (!isDigit(c)) return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    value = uint32_t(v);
    return true;
}

bool readHex(std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 8) return false;
    value = 0;
    for (char c : digits) {
        int v = hexValue(c);
        if (v < 0) return false;
        value = value << 4 | uint32_t(v);
    }
    return true;
}

bool parseMsgIdForm(std::string_view left, MessageIdTarget& target) {
    std::string_view rest = left.substr(kMsgIdPrefix.size());
    size_t split = rest.find('_');
    if (split == std::string_view::npos || rest.find('_', split + 1) != std::string_view::npos) return false;
    std::string origin, serial;
    if (!unescape(rest.substr(0, split), keptInMsgIdText, origin) ||
        !unescape(rest.substr(split + 1), keptInMsgIdText, serial))
        return false;
    if (origin.empty() || serial.empty() ||
        std::any_of(serial.begin(), serial.end(), [](char c) { return isBlank(c); }))
        return false;
    target.kind = MessageIdTarget::Kind::MsgId;
    target.msgId = origin + ' ' + serial;
    return true;
}

bool parseNumberedForm(std::string_view left, MessageIdTarget& target) {
    std::string_view rest = left.substr(kNoMsgIdPrefix.size());
    size_t dateSplit = rest.rfind('_');
    if (dateSplit == std::string_view::npos || dateSplit == 0) return false;
    size_t numberSplit = rest.rfind('_', dateSplit - 1);
    if (numberSplit == std::string_view::npos || numberSplit == 0) return false;
    uint32_t number, written;
    std::string tag;
    if (!readNumber(rest.substr(numberSplit + 1, dateSplit - numberSplit - 1), number) ||
        !readHex(rest.substr(dateSplit + 1), written) || !unescape(rest.substr(0, numberSplit), keptInTag, tag))
        return false;
    target.kind = MessageIdTarget::Kind::Numbered;
    target.areaTag = tag;
    target.number = number;
    target.written = written;
    return true;
}

// ---------------------------------------------------------------------------------------
// Addresses

// "zone:net/node[.point][@domain]" and nothing else (blanks around it allowed), each
// number within 16 bits, the zone not 0.
bool readStrictAddress(std::string_view s, FidoAddr& addr) {
    s = trimBlanks(s);
    if (size_t at = s.find('@'); at != std::string_view::npos) {
        std::string_view domain = s.substr(at + 1);
        if (domain.empty() || std::any_of(domain.begin(), domain.end(), [](char c) { return c <= 0x20 || c >= 0x7F; }))
            return false;
        s = s.substr(0, at);
    }
    size_t colon = s.find(':'), slash = s.find('/');
    if (colon == std::string_view::npos || slash == std::string_view::npos || slash < colon) return false;
    size_t dot = std::min(s.find('.', slash), s.size());
    const std::string_view parts[4] = {s.substr(0, colon), s.substr(colon + 1, slash - colon - 1),
                                       s.substr(slash + 1, dot - slash - 1),
                                       dot < s.size() ? s.substr(dot + 1) : std::string_view("0")};
    uint32_t v[4];
    for (int i = 0; i < 4; ++i)
        if (parts[i].size() > 5 || !readNumber(parts[i], v[i]) || v[i] > 0xFFFF) return false;
    if (v[0] == 0) return false;
    addr = FidoAddr{uint16_t(v[0]), uint16_t(v[1]), uint16_t(v[2]), uint16_t(v[3])};
    return true;
}

// The address of an Origin line: the last parenthesised group that holds one.
bool originAddress(std::string_view line, FidoAddr& addr) {
    for (size_t end = line.size(); end > 0;) {
        size_t open = line.rfind('(', end - 1);
        if (open == std::string_view::npos) break;
        std::string_view inside = line.substr(open + 1, 64);  // an address is short
        size_t close = inside.find(')');
        if (close != std::string_view::npos && readStrictAddress(inside.substr(0, close), addr)) return true;
        end = open;
    }
    return false;
}

// "First_Last" of a name: blanks as '_', dots kept between other characters, everything a
// dot-atom cannot hold (and anything not ASCII) left out; "sysop" when nothing is left.
std::string mailboxName(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (isBlank(c) || c == '_') {
            if (!out.empty() && out.back() != '_' && out.back() != '.') out += '_';
        } else if (c == '.') {
            if (!out.empty() && out.back() != '.') {
                if (out.back() == '_') out.back() = '.';
                else out += '.';
            }
        } else if (isAtext(c)) {
            out += c;
        }
        if (out.size() >= kMaxLocalLength) break;
    }
    while (!out.empty() && (out.back() == '_' || out.back() == '.')) out.pop_back();
    return out.empty() ? "sysop" : out;
}

void appendNumber(std::string& out, uint64_t n) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, size_t(end - digits));
}

void appendAddressDomain(std::string& out, const FidoAddr& a, const std::string& domain) {
    if (a.point) {
        out += 'p';
        appendNumber(out, a.point);
        out += '.';
    }
    out += 'f';
    appendNumber(out, a.node);
    out += ".n";
    appendNumber(out, a.net);
    out += ".z";
    appendNumber(out, a.zone);
    out += '.';
    out += domain;
}

// ---------------------------------------------------------------------------------------
// Dates

struct CivilTime {
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// 0 for Sunday.
int dayOfWeek(int y, int m, int d) {
    static constexpr int kOffsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) --y;
    return (y + y / 4 - y / 100 + y / 400 + kOffsets[m - 1] + d) % 7;
}

int monthOf(std::string_view word) {
    for (int i = 0; i < 12; ++i)
        if (equalsIgnoringCase(word, kEnglishMonths[i])) return i + 1;
    return 0;
}

// "05 Mar 24  19:12:00", and the SEAdog form "Mon  5 Mar 24 19:12"; blanks between the
// parts may be any in number. Two-digit years 80-99 are 19xx, 00-79 20xx; a three-digit
// one counts from 1900.
bool parseDateText(std::string_view text, CivilTime& t) {
    std::string_view words[6];
    size_t count = 0;
    for (size_t at = 0; count < 6;) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string_view::npos) break;
        size_t end = std::min(text.find(' ', at), text.size());
        words[count++] = text.substr(at, end - at);
        at = end;
    }
    size_t i = 0;
    if (count == 5 && !words[0].empty() && isLetter(words[0][0]) && monthOf(words[0]) == 0) i = 1;
    if (count != i + 4) return false;
    uint32_t day, year, hour, minute, second = 0;
    int month = monthOf(words[i + 1]);
    std::string_view y = words[i + 2], clock = words[i + 3];
    if (!readNumber(words[i], day) || words[i].size() > 2 || month == 0 || y.size() < 2 || y.size() > 4 ||
        !readNumber(y, year))
        return false;
    if (y.size() == 2) year += year >= 80 ? 1900 : 2000;
    else if (y.size() == 3) year += 1900;
    if (clock.size() != 5 && clock.size() != 8) return false;
    if (clock[2] != ':' || !readNumber(clock.substr(0, 2), hour) || !readNumber(clock.substr(3, 2), minute))
        return false;
    if (clock.size() == 8 && (clock[5] != ':' || !readNumber(clock.substr(6, 2), second))) return false;
    if (year < 1900 || day < 1 || int(day) > daysInMonth(int(year), month) || hour > 23 || minute > 59 || second > 59)
        return false;
    t = CivilTime{int(year), month, int(day), int(hour), int(minute), int(second)};
    return true;
}

// A TZUTC value ("0300", "-0500", "+0100") as an RFC 5322 zone; "-0000" (the zone is not
// known) for anything else.
std::string zoneOf(std::string_view tzutc, bool present) {
    tzutc = trimBlanks(tzutc);
    std::string sign = "+";
    if (!tzutc.empty() && (tzutc[0] == '-' || tzutc[0] == '+')) {
        sign = tzutc.substr(0, 1);
        tzutc.remove_prefix(1);
    }
    uint32_t hours, minutes;
    if (!present || tzutc.size() != 4 || !readNumber(tzutc.substr(0, 2), hours) ||
        !readNumber(tzutc.substr(2, 2), minutes) || hours > 23 || minutes > 59)
        return "-0000";
    return sign + std::string(tzutc);
}

// "Tue, 05 Mar 2024 19:12:00 +0300": the parts of a parsed date are in range (a year of
// four digits), so each has its width.
std::string rfcDate(const MessageSummary& s, std::string_view tzutc, bool hasTzutc) {
    CivilTime t;  // the packed dates' first day when the text makes no date
    parseDateText(upToZero(std::string_view(s.dateText, sizeof s.dateText)), t);
    auto two = [](std::string& out, int n) {
        out += char('0' + n / 10);
        out += char('0' + n % 10);
    };
    std::string text;
    text.reserve(32);
    text += kDayNames[dayOfWeek(t.year, t.month, t.day)];
    text += ", ";
    two(text, t.day);
    text += ' ';
    text += kEnglishMonths[t.month - 1];
    text += ' ';
    two(text, t.year / 100);
    two(text, t.year % 100);
    text += ' ';
    two(text, t.hour);
    text += ':';
    two(text, t.minute);
    text += ':';
    two(text, t.second);
    text += ' ';
    text += zoneOf(tzutc, hasTzutc);
    return text;
}

// ---------------------------------------------------------------------------------------
// The parts of a stored message

struct FtnField {
    const char* name;
    std::string_view value;  // in the message's charset
};

struct MessagePieces {
    std::vector<FtnField> fields;          // the X-FTN-* fields in order
    std::vector<std::string_view> body;    // body lines without their ends
    std::string_view tzutc;
    bool hasTzutc = false;
    std::string_view originLine;  // the last Origin line
    bool hasMsgId = false, hasReply = false, hasPid = false, hasChrs = false;
};

// The value of a kludge after its keyword: a colon, if any, and blanks go.
std::string_view kludgeValue(std::string_view kludge, size_t keywordLength) {
    std::string_view v = kludge.substr(keywordLength);
    if (!v.empty() && v[0] == ':') v.remove_prefix(1);
    return trimBlanks(v);
}

// One kludge, without its ^A.
void takeKludge(std::string_view kludge, MessagePieces& p) {
    kludge = trimBlanks(kludge);
    if (kludge.empty()) return;
    struct Named {
        const char* keyword;
        const char* field;
        bool* once;  // nullptr: every one of them is a field of its own
    };
    const Named named[] = {
        {"MSGID", "X-FTN-MSGID", &p.hasMsgId}, {"REPLY", "X-FTN-REPLY", &p.hasReply},
        {"PID", "X-FTN-PID", &p.hasPid},       {"TZUTC", "X-FTN-TZUTC", &p.hasTzutc},
        {"CHRS", "X-FTN-CHRS", &p.hasChrs},    {"PATH", "X-FTN-PATH", nullptr},
        {"SEEN-BY", "X-FTN-SEEN-BY", nullptr},
    };
    for (const Named& n : named) {
        if (!isKludgeNamed(kludge, n.keyword) || (n.once && *n.once)) continue;
        std::string_view value = kludgeValue(kludge, std::string_view(n.keyword).size());
        if (n.once) *n.once = true;
        if (n.once == &p.hasTzutc) p.tzutc = value;
        p.fields.push_back({n.field, value});
        return;
    }
    p.fields.push_back({"X-FTN-Kludge", kludge});
}

// Calls f(kludge) for every kludge of a line, with its ^A, as kludgesOfLine lists them
// (without a list to hold them); returns what stands before the first ^A.
template <typename F>
std::string_view forEachKludge(std::string_view line, F&& f) {
    size_t mark = line.find('\x01');
    const std::string_view head = line.substr(0, mark);
    while (mark != std::string_view::npos) {
        const size_t next = line.find('\x01', mark + 1);
        f(line.substr(mark, next == std::string_view::npos ? std::string_view::npos : next - mark));
        mark = next;
    }
    return head;
}

MessagePieces splitMessage(const StoredMessage& m) {
    MessagePieces p;
    p.fields.reserve(8);
    p.body.reserve(32);
    // Control information holds kludges only; whatever stands before its first ^A is
    // taken as one too.
    forEachLine(upToZero(m.control), [&](std::string_view line) {
        takeKludge(line.substr(0, line.find('\x01')), p);
        forEachKludge(line, [&](std::string_view kludge) { takeKludge(kludge.substr(1), p); });
    });
    bool leading = true;  // only kludge lines so far
    forEachLine(upToZero(m.text), [&](std::string_view line) {
        bool kludges = false;
        const std::string_view head = forEachKludge(line, [&](std::string_view kludge) {
            kludges = true;
            takeKludge(kludge.substr(1), p);
        });
        bool wasLeading = leading;
        if (!head.empty()) leading = false;
        if (wasLeading && startsWith(head, "AREA:")) return;
        if (startsWith(head, "SEEN-BY:")) {
            p.fields.push_back({"X-FTN-SEEN-BY", trimBlanks(head.substr(8))});
            return;
        }
        if (head.empty() && kludges) return;
        if (isOriginLine(head)) p.originLine = head;
        p.body.push_back(head);
    });
    return p;
}

const Charset& charsetOf(const StoredMessage& m, const ArticleView& view) {
    std::string name = chrsName(upToZero(m.control));
    if (name.empty()) name = chrsName(upToZero(m.text));
    if (const Charset* c = name.empty() ? nullptr : findCharset(name)) return *c;
    return view.charset ? *view.charset : cp437Charset();
}

FidoAddr senderAddress(const StoredMessage& m, const ArticleView& view, const MessagePieces& parts) {
    FidoAddr a;
    if (view.netmail) {
        RoutingKludges control = findRoutingKludges(m.control.c_str());
        RoutingKludges text = findRoutingKludges(m.text.c_str());
        const RoutingKludges& intl = control.hasIntl ? control : text;
        const RoutingKludges& fmpt = control.hasFmpt ? control : text;
        a = intl.hasIntl ? intl.intlOrig : m.summary.origAddr;
        if (fmpt.hasFmpt) a.point = fmpt.fmpt;
        return a;
    }
    if ((findMsgIdAddr(m.control, a) && a.zone != 0) || (findMsgIdAddr(m.text, a) && a.zone != 0)) return a;
    if (originAddress(parts.originLine, a)) return a;
    return m.summary.origAddr;
}

std::string_view cut(std::string_view field) { return upToZero(field.substr(0, kMaxFieldBytes)); }

}  // namespace

const std::string* Article::header(std::string_view name) const {
    for (const auto& [fieldName, value] : headers)
        if (equalsIgnoringCase(fieldName, name)) return &value;
    return nullptr;
}

std::string messageIdOfMsgId(std::string_view msgId, const std::string& domain) {
    msgId = trimBlanks(msgId.substr(0, findAnyOf(msgId, std::string_view("\0\x01\r\n", 4))));
    size_t split = msgId.size();
    while (split > 0 && !isBlank(msgId[split - 1])) --split;
    split = split == 0 ? std::string_view::npos : split - 1;
    if (split == std::string_view::npos) return {};
    std::string_view origin = trimBlanks(msgId.substr(0, split)), serial = msgId.substr(split + 1);
    if (isBracketedId(origin)) return origin.size() <= kMaxMessageId ? std::string(origin) : std::string();
    std::string id;
    id.reserve(kMsgIdPrefix.size() + origin.size() + serial.size() + domain.size() + 16);
    id += '<';
    id += kMsgIdPrefix;
    appendEscaped(id, origin, keptInMsgIdText);
    id += '_';
    appendEscaped(id, serial, keptInMsgIdText);
    id += '@';
    id += domain;
    id += '>';
    if (id.size() > kMaxMessageId) return {};
    return id;
}

std::string messageIdOf(const MessageSummary& summary, const std::string& areaTag, const std::string& domain) {
    if (!summary.msgId.empty()) {
        std::string id = messageIdOfMsgId(summary.msgId, domain);
        if (!id.empty()) return id;
    }
    char numbers[32];
    snprintf(numbers, sizeof numbers, "_%u_%08X@", unsigned(summary.number), unsigned(summary.written()));
    std::string id = "<";
    id += kNoMsgIdPrefix;
    appendEscaped(id, areaTag, keptInTag);
    id += numbers;
    id += domain;
    id += '>';
    return id;
}

MessageIdTarget parseMessageId(std::string_view messageId, const std::string& domain) {
    MessageIdTarget target;
    messageId = trimBlanks(messageId);
    if (!isBracketedId(messageId)) return target;
    std::string_view inner = messageId.substr(1, messageId.size() - 2);
    size_t at = inner.rfind('@');
    std::string_view left = inner.substr(0, at), right = inner.substr(at + 1);
    if (equalsIgnoringCase(right, domain)) {
        if (startsWith(left, kMsgIdPrefix) && parseMsgIdForm(left, target)) return target;
        if (startsWith(left, kNoMsgIdPrefix) && parseNumberedForm(left, target)) return target;
        target = MessageIdTarget{};
    }
    target.kind = MessageIdTarget::Kind::MsgId;
    target.msgId = std::string(messageId);
    return target;
}

namespace {

// The size headerValue's value will have, where it is plain to see: printable ASCII
// without controls that fits its field's line is taken as it is, trimmed. Anything else
// is rendered to be measured.
size_t headerValueSize(std::string_view utf8, size_t nameLength) {
    // Controls other than the tab lie inside the trimmed value, where the check of
    // printable ASCII finds them.
    const std::string_view trimmed = trimBlanks(utf8);
    if (nameLength + 2 + trimmed.size() <= kFoldWidth && isPrintableAscii(trimmed) &&
        trimmed.find("=?") == std::string_view::npos)
        return trimmed.size();
    return headerValue(utf8, nameLength).size();
}

// The message rendered into `sink`, field by field in the order they are sent, and the
// body: the one place that says what an article holds, whether it is kept whole
// (ArticleSink) or only measured for its overview (OverviewSink). A sink takes
//   field(name, utf8): a value headerValue makes ready from UTF-8;
//   ftnField(name, bytes, charset): the same from bytes of the message's charset;
//   value(name, value): a value that is ready as it is;
//   body(lines, charset): the body lines; it says whether the body is format=flowed.
template <typename Sink>
void renderTo(const StoredMessage& message, const ArticleView& view, Sink& sink) {
    const MessageSummary& s = message.summary;
    const MessagePieces parts = splitMessage(message);
    const Charset& charset = charsetOf(message, view);

    std::string fromName(trimBlanks(toUtf8(cut(s.fromName), charset)));
    std::string toName = toUtf8(cut(s.toName), charset);
    std::string subject = toUtf8(cut(s.subject), charset);
    std::string from = displayNamePhrase(fromName, 4);
    if (!from.empty()) from += ' ';
    from += '<';
    from += mailboxName(fromName);
    from += '@';
    appendAddressDomain(from, senderAddress(message, view, parts), view.domain);
    from += '>';

    sink.field("Path", view.domain + "!not-for-mail");
    sink.value("From", std::move(from));
    sink.field("Newsgroups", view.groupName);
    sink.field("Subject", subject);
    sink.value("Date", rfcDate(s, parts.tzutc, parts.hasTzutc));
    sink.value("Message-ID", messageIdOf(s, view.areaTag, view.domain));
    if (!s.reply.empty()) {
        std::string references = messageIdOfMsgId(s.reply, view.domain);
        if (!references.empty()) sink.value("References", std::move(references));
    }
    if (!trimBlanks(toName).empty()) sink.field("X-Comment-To", toName);
    std::string xref = view.domain;
    xref += ' ';
    xref += view.groupName;
    xref += ':';
    appendNumber(xref, view.number);
    sink.field("Xref", xref);
    sink.value("MIME-Version", "1.0");
    const bool flowed = sink.body(parts.body, charset);
    sink.value("Content-Type", flowed ? "text/plain; charset=UTF-8; format=flowed" : "text/plain; charset=UTF-8");
    sink.value("Content-Transfer-Encoding", "8bit");
    for (const FtnField& f : parts.fields) sink.ftnField(f.name, f.value, charset);
}

// The whole article.
struct ArticleSink {
    Article& out;

    void value(const char* name, std::string value) { out.headers.emplace_back(name, std::move(value)); }
    void field(const char* name, std::string_view utf8) { value(name, headerValue(utf8, strlen(name))); }
    void ftnField(const char* name, std::string_view bytes, const Charset& charset) {
        value(name, headerValue(toUtf8(bytes, charset), strlen(name)));
    }
    bool body(const std::vector<std::string_view>& lines, const Charset& charset) {
        bool flowed = false;
        std::string& body = out.body;
        for (std::string_view line : lines) {
            const size_t start = body.size();
            appendUtf8(body, line, charset);
            flowed = flowed || body.size() - start > kFlowWidth;
            body += kCrLf;
        }
        if (flowed) body = encodeFlowed(body, kFlowWidth);
        return flowed;
    }
};

// What an overview line needs: its five fields, and the article's size and lines counted.
struct OverviewSink {
    explicit OverviewSink(std::string& room) : scratch(room) {}

    std::string& scratch;  // room for what must be rendered to be measured
    std::string subjectValue, fromValue, dateValue, messageIdValue, referencesValue;
    size_t bytes = 0, lines = 0;

    void count(const char* name, size_t valueSize) { bytes += strlen(name) + 2 + valueSize + kCrLf.size(); }
    void value(const char* name, std::string value) {
        count(name, value.size());
        if (strcmp(name, "From") == 0) fromValue = std::move(value);
        else if (strcmp(name, "Date") == 0) dateValue = std::move(value);
        else if (strcmp(name, "Message-ID") == 0) messageIdValue = std::move(value);
        else if (strcmp(name, "References") == 0) referencesValue = std::move(value);
    }
    void field(const char* name, std::string_view utf8) {
        if (strcmp(name, "Subject") == 0) {
            subjectValue = headerValue(utf8, strlen(name));
            count(name, subjectValue.size());
            return;
        }
        count(name, headerValueSize(utf8, strlen(name)));
    }
    void ftnField(const char* name, std::string_view bytes, const Charset& charset) {
        // ASCII is its own UTF-8 here: a field's bytes hold no line end and no zero byte.
        if (isAscii(bytes)) return count(name, headerValueSize(bytes, strlen(name)));
        count(name, headerValueSize(toUtf8(bytes, charset), strlen(name)));
    }
    bool body(const std::vector<std::string_view>& bodyLines, const Charset& charset) {
        // A line converts to as many bytes as it has when it is ASCII; a body with a long
        // line is format=flowed, and only then rendered to be measured.
        bool flowed = false;
        size_t size = 0;
        for (std::string_view line : bodyLines) {
            size_t converted = line.size();
            if (!isAscii(line)) {
                scratch.clear();
                appendUtf8(scratch, line, charset);
                converted = scratch.size();
            }
            flowed = flowed || converted > kFlowWidth;
            size += converted + kCrLf.size();
        }
        if (!flowed) {
            bytes += kCrLf.size() + size;
            lines = bodyLines.size();
            return false;
        }
        scratch.clear();
        for (std::string_view line : bodyLines) {
            appendUtf8(scratch, line, charset);
            scratch += kCrLf;
        }
        const std::string flowedBody = encodeFlowed(scratch, kFlowWidth);
        bytes += kCrLf.size() + flowedBody.size();
        for (size_t at = 0; (at = flowedBody.find(kCrLf, at)) != std::string::npos; at += kCrLf.size()) ++lines;
        return true;
    }
};

}  // namespace

void renderArticle(const StoredMessage& message, const ArticleView& view, Article& out) {
    // What `out` held goes; the room it had is used again (an overview renders thousands).
    out.headers.clear();
    out.headers.reserve(16);
    out.body.clear();
    out.bytes = out.lines = 0;
    ArticleSink sink{out};
    renderTo(message, view, sink);
    out.bytes = kCrLf.size() + out.body.size();
    for (const auto& [name, value] : out.headers) out.bytes += name.size() + 2 + value.size() + kCrLf.size();
    for (size_t at = 0; (at = out.body.find(kCrLf, at)) != std::string::npos; at += kCrLf.size()) ++out.lines;
}

void OverviewMaker::append(std::string& out, uint64_t number, const StoredMessage& message, const ArticleView& view) {
    OverviewSink sink(scratch_);
    renderTo(message, view, sink);
    appendNumber(out, number);
    for (const std::string* value :
         {&sink.subjectValue, &sink.fromValue, &sink.dateValue, &sink.messageIdValue, &sink.referencesValue}) {
        out += '\t';
        appendUnfolded(out, *value);
    }
    out += '\t';
    appendNumber(out, sink.bytes);
    out += '\t';
    appendNumber(out, sink.lines);
    // The room a large body took is not kept between lines.
    if (scratch_.capacity() > kScratchKept) std::string().swap(scratch_);
}

std::string overviewLine(uint64_t number, const Article& article) {
    std::string line;
    line.reserve(256);
    appendOverviewLine(line, number, article);
    return line;
}

void appendOverviewLine(std::string& out, uint64_t number, const Article& article) {
    appendNumber(out, number);
    for (const char* name : {"Subject", "From", "Date", "Message-ID", "References"}) {
        out += '\t';
        if (const std::string* value = article.header(name)) appendUnfolded(out, *value);
    }
    out += '\t';
    appendNumber(out, article.bytes);
    out += '\t';
    appendNumber(out, article.lines);
}

std::string headerForHdr(const Article& article, std::string_view field) {
    if (equalsIgnoringCase(field, ":bytes") || equalsIgnoringCase(field, "Bytes")) return std::to_string(article.bytes);
    if (equalsIgnoringCase(field, ":lines") || equalsIgnoringCase(field, "Lines")) return std::to_string(article.lines);
    std::string out;
    if (const std::string* value = article.header(field)) appendUnfolded(out, *value);
    return out;
}
