#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fido/fidodate.h"
#include "fido/kludges.h"
#include "fido/msgid.h"
#include "support/clock.h"
#include "support/crc32.h"
#include "support/text.h"

namespace {

std::string addrText(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
           std::to_string(a.point);
}

// Shape of a text: '9' a digit, 'X' an upper-case hexadecimal digit, 'A' an upper-case
// letter, 'a' a lower-case one; anything else stands for itself.
bool hasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char t = text[i];
        switch (shape[i]) {
        case '9': if (t < '0' || t > '9') return false; break;
        case 'X': if (!((t >= '0' && t <= '9') || (t >= 'A' && t <= 'F'))) return false; break;
        case 'A': if (t < 'A' || t > 'Z') return false; break;
        case 'a': if (t < 'a' || t > 'z') return false; break;
        default: if (t != shape[i]) return false;
        }
    }
    return true;
}

std::tm makeTm(int year, int mon, int mday, int hour, int min, int sec) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

// ---- tokenizer -------------------------------------------------------------------------

std::vector<std::string> tokens(std::string text, const char* separators) {
    std::vector<std::string> out;
    char* cursor = text.data();
    while (char* t = nextToken(cursor, separators)) out.emplace_back(t);
    EXPECT_EQ(nextToken(cursor, separators), nullptr) << "stays at the end once exhausted";
    return out;
}

TEST(NextToken, ClassicSplittingRule) {
    struct Case {
        const char* text;
        const char* seps;
        std::vector<std::string> expected;
    } cases[] = {
        {"", " ", {}},
        {"   ", " ", {}},
        {"a", " ", {"a"}},
        {"  a  b\t\tc  ", " \t", {"a", "b", "c"}},
        {"::a::b:", ":", {"a", "b"}},
        {"\x01PID: x\x01MSGID: 1:2/3\r", "\x01\r", {"PID: x", "MSGID: 1:2/3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(tokens(c.text, c.seps), c.expected);
    }
}

TEST(NextToken, SeparatorMayChangeBetweenCallsAndOneSeparatorIsConsumed) {
    std::string text = "1:2/3.4 rest";
    char* cursor = text.data();
    EXPECT_STREQ(nextToken(cursor, ":"), "1");
    EXPECT_STREQ(nextToken(cursor, "/"), "2");
    EXPECT_STREQ(nextToken(cursor, "."), "3");
    EXPECT_STREQ(nextToken(cursor, " "), "4");
    EXPECT_STREQ(cursor, "rest");
}

TEST(NextToken, TwoCutsInterleavedKeepTheirOwnPlace) {
    // The whole point of not using strtok: an inner loop must not disturb the outer one.
    std::string outer = "a b c";
    std::string inner = "1,2";
    char* oc = outer.data();
    std::vector<std::string> seen;
    while (char* o = nextToken(oc, " ")) {
        inner = "1,2";
        char* ic = inner.data();
        while (char* i = nextToken(ic, ",")) seen.push_back(std::string(o) + i);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a1", "a2", "b1", "b2", "c1", "c2"}));
}

// ---- addresses -------------------------------------------------------------------------

TEST(ParseFidoAddr, Table) {
    struct Case {
        const char* text;
        bool ok;
        FidoAddr expected;
    } cases[] = {
        {"1:2/3", true, {1, 2, 3, 0}},
        {"1:2/3.4", true, {1, 2, 3, 4}},
        {"2:5020/100.0", true, {2, 5020, 100, 0}},
        {"65535:65535/65535.65535", true, {65535, 65535, 65535, 65535}},
        {"70000:2/3", true, {4464, 2, 3, 0}},            // zone reduced to 16 bits
        {"99999999999:2/3", true, {65535, 2, 3, 0}},     // beyond 32 bits saturates, not an error
        {"1:2/3.99999999999", false, {}},                 // point beyond 32 bits is an error
        {"1:2/3.4294967295", true, {1, 2, 3, 65535}},    // still inside 32 bits
        {"1:2/3.4294967296", false, {}},
        {" 1: 2/ 3", true, {1, 2, 3, 0}},                // blanks before the numbers
        {"1:2/3.4 0A1B2C3D", true, {1, 2, 3, 4}},        // address followed by a serial
        {"1:2/3 0A1B2C3D", true, {1, 2, 3, 0}},          // no point, serial follows
        {"1:2/3.", true, {1, 2, 3, 0}},
        {"1:2/3.x", true, {1, 2, 3, 0}},
        {"1:2/3.-1", true, {1, 2, 3, 65535}},            // a sign is accepted
        {"a:b/c", true, {0, 0, 0, 0}},                   // tokens without digits read 0
        {"1:2", false, {}},                               // node missing
        {"1:2/", false, {}},
        {"2/3.4", false, {}},                             // zone missing
        {"1:", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FidoAddr a{9, 9, 9, 9};  // must be cleared on every path
        const std::string before = c.text;
        EXPECT_EQ(parseFidoAddr(c.text, a), c.ok);
        EXPECT_EQ(addrText(a), addrText(c.expected));
        EXPECT_EQ(before, c.text) << "input text is not changed";
    }
}

TEST(FidoAddr, EightLittleEndianBytes) {
    const FidoAddr a{0x0102, 0x0304, 0x0506, 0x0708};
    uint8_t b[kFidoAddrSize];
    encodeFidoAddr(a, b);
    const uint8_t expected[kFidoAddrSize] = {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07};
    EXPECT_EQ(0, memcmp(b, expected, sizeof b));
    EXPECT_EQ(decodeFidoAddr(b), a);
}

// ---- MSGID serial numbers and kludge ---------------------------------------------------

TEST(MsgIdSerial, PacksTimeAndCounter) {
    struct Case {
        uint32_t counterBefore;
        std::tm utc;
        uint32_t expected;
    } cases[] = {
        // 2007-01-05 13:45:30 UTC, first serial of a run: counter 1 in the top four bits.
        {0, makeTm(2007, 0, 5, 13, 45, 30), 0x17AD6943u},
        // Leap second, December, counter 16 wraps to 0 in four bits; 2024 & 3 == 0.
        {15, makeTm(2024, 11, 31, 23, 59, 60), (60u << 22) | (59u << 16) | (23u << 11) | (31u << 6) | (11u << 2)},
        // The 32-bit counter itself wraps.
        {0xFFFFFFFFu, makeTm(1970, 0, 1, 0, 0, 0), (1u << 6) | 2u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.counterBefore);
        MsgIdSerials serials(c.counterBefore);
        EXPECT_EQ(serials.next(c.utc), c.expected);
        EXPECT_EQ(serials.counter(), c.counterBefore + 1);
    }
}

TEST(MsgIdSerial, SixteenInOneSecondAreDistinct) {
    const std::tm t = makeTm(2010, 5, 15, 12, 0, 0);
    MsgIdSerials serials;
    std::set<uint32_t> seen;
    uint32_t first = serials.next(t);
    seen.insert(first);
    for (int i = 1; i < 16; ++i) {
        uint32_t s = serials.next(t);
        EXPECT_EQ(s & 0x0FFFFFFFu, first & 0x0FFFFFFFu) << "only the counter bits differ";
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 16u);
}

// The time bits of a serial: everything below the counter's four bits.
constexpr uint32_t kSerialTimeBits = 0x0FFFFFFFu;

uint32_t packedTime(const std::tm& t) {
    MsgIdSerials serials(0xFFFFFFFFu);  // the counter becomes 0: only the time remains
    return serials.next(t);
}

TEST(MsgIdSerial, SeventeenthInOneSecondTakesTheNextSecond) {
    struct Case {
        const char* name;
        std::tm at, next;
    } cases[] = {
        {"within a minute", makeTm(2010, 5, 15, 12, 0, 0), makeTm(2010, 5, 15, 12, 0, 1)},
        {"into the next year", makeTm(2024, 11, 31, 23, 59, 59), makeTm(2025, 0, 1, 0, 0, 0)},
        {"into March of a leap year", makeTm(2024, 1, 29, 23, 59, 59), makeTm(2024, 2, 1, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t atBits = packedTime(c.at), nextBits = packedTime(c.next);
        ASSERT_NE(atBits, nextBits);
        MsgIdSerials serials;
        std::set<uint32_t> seen;
        for (int i = 1; i <= 16; ++i) {
            uint32_t s = serials.next(c.at);
            EXPECT_EQ(s & kSerialTimeBits, atBits) << i;
            EXPECT_EQ(s >> 28, uint32_t(i) & 0xFu) << i;
            seen.insert(s);
        }
        // The counter's four bits come round to those of the first serial again, so the
        // 17th serial carries the next second.
        uint32_t s17 = serials.next(c.at);
        EXPECT_EQ(s17 >> 28, 1u);
        EXPECT_EQ(s17 & kSerialTimeBits, nextBits);
        seen.insert(s17);
        EXPECT_EQ(seen.size(), 17u);
        // When the clock reaches that second, its serials go on from there.
        uint32_t s18 = serials.next(c.next);
        EXPECT_EQ(s18 & kSerialTimeBits, nextBits);
        EXPECT_EQ(s18 >> 28, 2u);
    }
}

TEST(MsgIdSerial, NeverRepeatsWhateverTheClockDoes) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> steps;  // (seconds after the start, serials made then)
    } cases[] = {
        {"a burst in one second", {{0, 500}}},
        {"a burst, then the clock catches up", {{0, 100}, {1, 20}, {3, 20}, {10, 40}}},
        {"the clock goes back a little", {{10, 10}, {5, 30}, {9, 20}, {11, 20}}},
        {"the clock goes back an hour", {{3600, 20}, {0, 40}, {3600, 20}, {3601, 5}}},
        {"the clock goes back a day within a busy second", {{86400, 15}, {0, 1}, {86400, 1}, {0, 3}}},
    };
    const time_t start = 1700000000;  // 14 Nov 2023
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MsgIdSerials serials;
        std::set<uint32_t> seen;
        int made = 0;
        int64_t lastSecond = 0;
        for (auto [offset, count] : c.steps) {
            time_t when = start + offset;
            std::tm utc{};
            ASSERT_NE(gmtime_r(&when, &utc), nullptr);
            for (int i = 0; i < count; ++i) {
                seen.insert(serials.next(utc));
                ++made;
                ASSERT_GE(serials.stampedSecond(), lastSecond) << "the stamped second never goes back";
                ASSERT_LE(serials.usedInSecond(), kMsgIdSerialsPerSecond);
                lastSecond = serials.stampedSecond();
            }
        }
        EXPECT_EQ(seen.size(), size_t(made));
    }
}

TEST(WallTime, OneMomentAsUtcAndLocalTime) {
    // 2025-12-10 07:00:00 UTC.
    const time_t when = 1765350000;
    WallTime t = wallTimeAt(when);
    EXPECT_EQ(t.utc.tm_year, 125);
    EXPECT_EQ(t.utc.tm_mon, 11);
    EXPECT_EQ(t.utc.tm_mday, 10);
    EXPECT_EQ(t.utc.tm_hour, 7);
    EXPECT_EQ(t.utc.tm_min, 0);
    std::tm local{};
    ASSERT_NE(localtime_r(&when, &local), nullptr);
    EXPECT_EQ(mktime(&t.local), when) << "the local half is the same moment";
    EXPECT_EQ(t.local.tm_hour, local.tm_hour);

    WallTime now;
    ASSERT_TRUE(wallTimeNow(now));
    EXPECT_EQ(timegm(&now.utc), mktime(&now.local));
}

TEST(MsgIdKludge, ShapeAndSerial) {
    struct Case {
        FidoAddr addr;
        const char* text;
    } cases[] = {
        {{2, 5020, 100, 0}, "2:5020/100.0"},
        {{65535, 65535, 65535, 65535}, "65535:65535/65535.65535"},  // the longest line fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char buf[kMsgIdKludgeBuffer + 16];
        memset(buf, 0x55, sizeof buf);
        MsgIdSerials serials(6);
        formatMsgIdKludge(c.addr, serials.next(makeTm(2007, 0, 5, 13, 45, 30)), buf);
        const std::string line(buf);
        ASSERT_LT(line.size(), kMsgIdKludgeBuffer);
        for (size_t i = kMsgIdKludgeBuffer; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0x55) << "wrote past 48 bytes";
        const std::string head = std::string("\x01MSGID: ") + c.text + " ";
        ASSERT_EQ(line.substr(0, head.size()), head);
        const std::string rest = line.substr(head.size());
        EXPECT_EQ(rest, "77AD6943\r") << "counter 7, then the time of writing";
        EXPECT_EQ(serials.counter(), 7u);
        // The kludge's own address reads back.
        FidoAddr back;
        ASSERT_TRUE(findMsgIdAddr(line, back));
        EXPECT_EQ(back, c.addr);
    }
}

// ---- FidoNet date text -----------------------------------------------------------------

TEST(FidoDate, FormatsFixedTimeAllMonths) {
    static const char* const names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        SCOPED_TRACE(m);
        char field[kFidoDateSize + 4];
        memset(field, 0x55, sizeof field);
        formatFidoDate(field, makeTm(2007, m, 5, 3, 4, 9));
        EXPECT_EQ(std::string(field), std::string("05 ") + names[m] + " 07  03:04:09");
        EXPECT_EQ(field[19], 0);
        EXPECT_EQ(field[kFidoDateSize], 0x55) << "wrote past the 20-byte field";
    }
    char field[kFidoDateSize];
    formatFidoDate(field, makeTm(1999, 11, 31, 23, 59, 59));
    EXPECT_STREQ(field, "31 Dec 99  23:59:59");
    formatFidoDate(field, makeTm(2000, 1, 29, 0, 0, 0));
    EXPECT_STREQ(field, "29 Feb 00  00:00:00");
}

TEST(FidoDate, CurrentLocalTime) {
    WallTime now;
    ASSERT_TRUE(wallTimeNow(now));
    char field[kFidoDateSize];
    formatFidoDate(field, now.local);
    ASSERT_TRUE(hasShape(field, "99 Aaa 99  99:99:99")) << field;
    EXPECT_EQ(std::string(field + 3, 3), kEnglishMonths[now.local.tm_mon]);
}

TEST(FidoDate, EnglishMonthsWhateverTheLocale) {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8", "es_ES.UTF-8"}) {
        if (setlocale(LC_ALL, name)) {
            found = name;
            break;
        }
    }
    if (!found) GTEST_SKIP() << "no non-English locale installed";
    char field[kFidoDateSize];
    formatFidoDate(field, makeTm(2007, 4, 1, 0, 0, 0));  // "Mai" in German, "mai" in French
    std::string got = field;
    char fieldOct[kFidoDateSize];
    formatFidoDate(fieldOct, makeTm(2007, 9, 1, 0, 0, 0));  // "Okt", "oct."
    setlocale(LC_ALL, "C");
    EXPECT_EQ(got, "01 May 07  00:00:00") << found;
    EXPECT_STREQ(fieldOct, "01 Oct 07  00:00:00") << found;
}

struct DateFields {
    uint32_t day, month, year, hours, minutes, seconds2;
};

DateFields unpack(uint32_t v) {
    return {v & 0x1F, (v >> 5) & 0xF, (v >> 9) & 0x7F, (v >> 27) & 0x1F, (v >> 21) & 0x3F, (v >> 16) & 0x1F};
}

TEST(FidoDate, ParseTable) {
    struct Case {
        const char* text;
        DateFields f;
    } cases[] = {
        {"05 Jan 07  13:45:30", {5, 1, 27, 13, 45, 15}},
        {"31 Dec 99  23:59:59", {31, 12, 19, 23, 59, 29}},
        {"01 Xyz 07  00:00:00", {1, 0, 27, 0, 0, 0}},
        {"01 jan 07  00:00:00", {1, 0, 27, 0, 0, 0}},   // month compared case-sensitively
        {"01 Jan-07  00:00:00", {1, 0, 27, 0, 0, 0}},   // the month must be followed by a space
        {" 5 Feb 80   3:04:06", {5, 2, 0, 3, 4, 3}},    // blank tens of day and hours count 0
        {"05 Mar 79  12: 4:00", {5, 3, 99, 12, 36, 0}}, // ...but not of the minutes: -156 mod 64
        {"05 Apr 00  12:00:01", {5, 4, 20, 12, 0, 0}},
        {"05 May 80  12:00:00", {5, 5, 0, 12, 0, 0}},
        {"05 Jun 79  12:00:00", {5, 6, 99, 12, 0, 0}},
        {"15 Jul 24  01:02:03", {15, 7, 44, 1, 2, 1}},
        {"15 Aug 24  01:02:03", {15, 8, 44, 1, 2, 1}},
        {"15 Sep 24  01:02:03", {15, 9, 44, 1, 2, 1}},
        {"15 Oct 24  01:02:03", {15, 10, 44, 1, 2, 1}},
        {"15 Nov 24  01:02:03", {15, 11, 44, 1, 2, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DateFields got = unpack(parseFidoDate(c.text));
        EXPECT_EQ(got.day, c.f.day);
        EXPECT_EQ(got.month, c.f.month);
        EXPECT_EQ(got.year, c.f.year);
        EXPECT_EQ(got.hours, c.f.hours);
        EXPECT_EQ(got.minutes, c.f.minutes);
        EXPECT_EQ(got.seconds2, c.f.seconds2);
    }
    // The layout itself: DOS date low, DOS time high.
    EXPECT_EQ(parseFidoDate("05 Jan 07  13:45:30"), 0x6DAF3625u);
}

TEST(FidoDate, FormatThenParseRoundTrip) {
    for (int m = 0; m < 12; ++m) {
        char field[kFidoDateSize];
        formatFidoDate(field, makeTm(2001 + m, m, 1 + 2 * m, m, 5 * m, 4 * m + 1));
        DateFields f = unpack(parseFidoDate(field));
        SCOPED_TRACE(field);
        EXPECT_EQ(f.day, uint32_t(1 + 2 * m));
        EXPECT_EQ(f.month, uint32_t(m + 1));
        EXPECT_EQ(f.year, uint32_t(21 + m));
        EXPECT_EQ(f.hours, uint32_t(m));
        EXPECT_EQ(f.minutes, uint32_t(5 * m));
        EXPECT_EQ(f.seconds2, uint32_t((4 * m + 1) / 2));
    }
}

// ---- kludge search and hashes ----------------------------------------------------------

TEST(FindMsgIdAddr, Table) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        FidoAddr expected;
    } cases[] = {
        {"PID then MSGID", "\x01PID: Tool 1.0\x01MSGID: 2:5020/100.1 0A1B2C3D", true, {2, 5020, 100, 1}},
        {"MSGID first", "\x01MSGID: 1:2/3 0A1B2C3D\x01PID: x", true, {1, 2, 3, 0}},
        // Only the kludges at the top of a text say whose it is.
        {"without leading ^A", "MSGID: 1:2/3.4", false, {}},
        {"none", "\x01PID: x\x01REPLY: 1:2/3.4 0A1B2C3D", false, {}},
        {"empty", "", false, {}},
        {"no blank after colon", "\x01MSGID:1:2/3.4 0A1B2C3D", false, {}},
        {"lower case", "\x01msgid: 1:2/3.4 0A1B2C3D", false, {}},
        {"first MSGID decides", "\x01MSGID: bad\x01MSGID: 1:2/3.4 X", false, {}},
        // *.MSG kludge lines, one per line, then the body.
        {"kludge lines", "\x01INTL 2:5020/1 2:5020/2\r\x01MSGID: 2:5020/2.3 0A1B2C3D\rHello\r", true, {2, 5020, 2, 3}},
        {"line feeds between kludges", "\n\x01PID: x\r\n\x01MSGID: 1:2/3 0A1B2C3D\r\n", true, {1, 2, 3, 0}},
        {"body line before the MSGID", "\x01PID: x\rHello\r\x01MSGID: 1:2/3 0A1B2C3D\r", false, {}},
        {"the text ends at a zero byte", std::string("\x01PID: x\0\x01MSGID: 1:2/3 1", 23), false, {}},
        // The kludge ends at its line end: a body after it never gives the address a point.
        {"dot in following text", "\x01MSGID: 2:5020/100 0A1B2C3D\rHello there.7 more", true, {2, 5020, 100, 0}},
        {"dot then word", "\x01MSGID: 2:5020/100 0A1B2C3D\rHello there. More", true, {2, 5020, 100, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FidoAddr a{9, 9, 9, 9};
        EXPECT_EQ(findMsgIdAddr(c.text, a), c.ok);
        EXPECT_EQ(addrText(a), addrText(c.expected));
    }
}

TEST(HashKludges, Table) {
    const CCRC32 crc;
    auto h = [&](const std::string& v) { return crc.compute(v.data(), v.size()); };
    struct Case {
        const char* name;
        std::string text;
        uint32_t msgId, reply;
    } cases[] = {
        {"REPLY only", "\x01PID: x\x01REPLY: 2:5020/100.1 0A1B2C3D", 0, h("2:5020/100.1 0A1B2C3D")},
        {"both, *.MSG form", "\x01MSGID: 1:2/3.4 abcdef01\r\x01REPLY: 2:5020/100.1 0A1B2C3D\rBody text\r",
         h("1:2/3.4 abcdef01"), h("2:5020/100.1 0A1B2C3D")},
        {"both, Squish form", "\x01REPLY: 9:9/9.9 1\x01MSGID: 1:2/3.4 2", h("1:2/3.4 2"), h("9:9/9.9 1")},
        {"empty MSGID value", "\x01MSGID: \x01REPLY: r", 0, h("r")},
        {"MSGID without blank", "\x01MSGID:\r", 0, 0},
        {"empty MSGID, later one counts", "\x01MSGID: \r\x01MSGID: second\r", h("second"), 0},
        {"first MSGID wins", "\x01MSGID: first\r\x01MSGID: second\r", h("first"), 0},
        {"seven characters skipped", "\x01MSGID:x1234", h("1234"), 0},
        {"case-sensitive", "\x01msgid: a\x01Reply: b", 0, 0},
        {"none", "just a body", 0, 0},
        {"empty", "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadKludges k = hashKludges(c.text);
        EXPECT_EQ(k.msgIdHash, c.msgId);
        EXPECT_EQ(k.replyHash, c.reply);
    }
}

TEST(HashKludges, ReplyLinksToTheMessageItAnswers) {
    char original[kMsgIdKludgeBuffer];
    MsgIdSerials serials;
    formatMsgIdKludge({2, 5020, 100, 0}, serials.next(makeTm(2010, 5, 15, 12, 0, 0)), original);
    // The reply repeats the MSGID value as its REPLY value.
    std::string value = std::string(original + 8);
    value.pop_back();  // the carriage return
    std::string reply = std::string("\x01REPLY: ") + value + "\r\x01MSGID: 2:5020/200.0 00000001\r";
    ThreadKludges orig = hashKludges(original);
    ThreadKludges answer = hashKludges(reply);
    EXPECT_NE(orig.msgIdHash, 0u);
    EXPECT_EQ(answer.replyHash, orig.msgIdHash);
    EXPECT_NE(answer.msgIdHash, orig.msgIdHash);
    // The values themselves, as a door that links by text sees them.
    EXPECT_EQ(orig.msgId, value);
    EXPECT_EQ(answer.reply, value);
    EXPECT_EQ(answer.msgId, "2:5020/200.0 00000001");
}

}  // namespace
