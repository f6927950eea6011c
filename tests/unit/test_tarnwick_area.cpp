#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "areas/tarnwick_area.h"
#include "common/area_calls.h"
#include "common/growth_counting_array.h"
#include "common/msg_fixture.h"
#include "common/test_time.h"
#include "fido/kludges.h"
#include "fido/msgid.h"
#include "protocol/message_layout.h"
#include "support/clock.h"
#include "support/le.h"
#include "support/osfile.h"

using namespace msgfixture;

namespace {

std::vector<uint16_t> numbersOf(const CTarnwickArea& area) {
    const CSortedArray<uint16_t>& n = area.getMsgNumbers();
    return std::vector<uint16_t>(n.getData(), n.getData() + n.getCount());
}

uint32_t crcOf(const std::string& s) { return kludgeHasher.compute(s.data(), s.size()); }

constexpr uint32_t packed(uint32_t day, uint32_t month, uint32_t year, uint32_t h, uint32_t m, uint32_t s) {
    return day | (month << 5) | ((year - 1980) << 9) | ((s / 2) << 16) | (m << 21) | (h << 27);
}

// A fixed field as the server must present it: the text, zero bytes to the end.
std::string zeroFilled(const std::string& text, size_t size) { return text + std::string(size - text.size(), '\0'); }

NewMessage postRecord(const FidoAddr& orig, const FidoAddr& dest) {
    NewMessage r;
    r.fromName = "Alice";
    r.toName = "Bob";
    r.subject = "Greetings";
    r.origAddr = orig;
    r.destAddr = dest;
    return r;
}

// Stores the message with this text, dated the test's time; `stored` receives its number.
bool post(CEchoArea& area, NewMessage r, const std::string& text, uint32_t* stored = nullptr) {
    static MsgIdSerials serials;
    r.text = text;
    r.written = testWallTime();
    r.msgIdSerial = serials.next(r.written.utc);
    uint32_t number = 0;
    bool ok = area.newMessage(r, number).isOk();
    if (stored) *stored = number;
    return ok;
}

// The list as the binary door sends it, and the statistics; true when the area answered ok.
bool listInto(CEchoArea& area, MCArray<pktMsgHeader>& out) {
    out.removeAll();
    AreaResult r = area.getMsgList([&out](const MessageSummary& s) { return out.add(msgHeaderOf(s)) >= 0; });
    return r.isOk();
}
bool statsInto(CEchoArea& area, uint32_t counts[2]) {
    AreaStats s;
    bool ok = area.getAreaStats(s).isOk();
    counts[0] = s.messages;
    counts[1] = s.unread;
    return ok;
}

// Whether `s` matches `pattern`, where '9' stands for a decimal digit, 'X' for an upper-case
// hexadecimal digit, 'M' for the first letter of an English month abbreviation (checked
// with the two after it), and every other character for itself.
bool matchesShape(const std::string& s, const std::string& pattern) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (s.size() != pattern.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        switch (pattern[i]) {
        case '9':
            if (c < '0' || c > '9') return false;
            break;
        case 'X':
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
            break;
        case 'M': {
            bool month = false;
            for (const char* m : months) month = month || s.compare(i, 3, m) == 0;
            if (!month) return false;
            i += 2;
            break;
        }
        default:
            if (c != pattern[i]) return false;
        }
    }
    return true;
}

std::vector<std::string> fetchedLines(const MCArray<char>& out) {
    return splitSentLines(out.getData() + kMessageRecordSize, size_t(out.getCount()) - kMessageRecordSize);
}

// ---------------------------------------------------------------------------------------
// The stored header record

TEST(MsgFileHeader, EveryFieldAtItsOffset) {
    MsgFile m;
    m.fromName = std::string(36, 'F');  // fills the field: no terminating zero
    m.toName = "To";
    m.subject = std::string(72, 'S');
    m.dateTime = "31 Dec 99  23:59:59";
    m.orig = FidoAddr{0x0102, 0x0304, 0x0506, 0x0708};
    m.dest = FidoAddr{0x1112, 0x1314, 0x1516, 0x1718};
    m.timesRead = 0x2122;
    m.cost = 0x2324;
    m.replyTo = 0x2526;
    m.attribute = 0x2728;
    m.nextReply = 0x292A;
    std::string bytes = encodeMsgFile(m).substr(0, kMsgFileHeaderSize);

    msgFileHeader h = decodeMsgFileHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
    EXPECT_EQ(std::string(h.fromUserName, 36), m.fromName);
    EXPECT_EQ(std::string(h.toUserName, 36), zeroFilled("To", 36));
    EXPECT_EQ(std::string(h.subject, 72), m.subject);
    EXPECT_EQ(std::string(h.dateTime, 20), zeroFilled(m.dateTime, 20));
    EXPECT_EQ(h.timesRead, 0x2122);
    EXPECT_EQ(h.cost, 0x2324);
    EXPECT_EQ(h.replyTo, 0x2526);
    EXPECT_EQ(h.attribute, 0x2728);
    EXPECT_EQ(h.nextReply, 0x292A);
    EXPECT_EQ((FidoAddr{h.origZone, h.origNet, h.origNode, h.origPoint}), m.orig);
    EXPECT_EQ((FidoAddr{h.destZone, h.destNet, h.destNode, h.destPoint}), m.dest);

    uint8_t again[kMsgFileHeaderSize];
    encodeMsgFileHeader(h, again);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(again), sizeof again), bytes);
}

// ---------------------------------------------------------------------------------------
// Scanning: numbers from names

struct ScanCase {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> directories;
    std::vector<uint16_t> expected;
};

TEST(TarnwickScan, NumbersFromNames) {
    const ScanCase cases[] = {
        {"leading zeros", {"0005.msg"}, {}, {5}},
        {"no leading digits counts as 0", {"readme.msg"}, {}, {0}},
        {"reduced to 16 bits", {"70000.MSG"}, {}, {4464}},
        {"largest 32-bit number", {"4294967295.msg"}, {}, {65535}},
        {"beyond 32 bits skipped", {"4294967296.msg", "99999999999.msg", "3.msg"}, {}, {3}},
        {"leading blank skipped", {" 7.msg"}, {}, {7}},
        {"digits up to the first other character", {"12abc.msg", "13.x.msg"}, {}, {12, 13}},
        {"any letter case, each number once", {"7.MSG", "7.msg", "7.Msg", "2.mSg", "0007.msg"}, {}, {2, 7}},
        {"other names ignored", {"5.txt", "6.msg.bak", "8", "9.mst", "10.MST", "lastread", "msg"}, {}, {}},
        {"directories are not messages", {"1.msg"}, {"5.msg", "6.MSG"}, {1}},
        {"ascending whatever the creation order", {"300.msg", "2.msg", "1000.msg", "17.MSG", "65535.msg"}, {}, {2, 17, 300, 1000, 65535}},
        {"empty directory", {}, {}, {}},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const std::string& f : c.files) ASSERT_TRUE(writeMsgFile(dir.path(), f, MsgFile{}));
        for (const std::string& d : c.directories) dir.subdir(d);
        CTarnwickArea area(dir.path(), 0);
        area.scanDirectory();
        EXPECT_EQ(numbersOf(area), c.expected);
    }
}

TEST(TarnwickScan, RescanReplacesTheList) {
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, MsgFile{}));
    ASSERT_TRUE(writeMsgFile(dir.path(), 2, MsgFile{}));
    CTarnwickArea area(dir.path(), 0);
    area.scanDirectory();
    EXPECT_EQ(numbersOf(area), (std::vector<uint16_t>{1, 2}));
    ASSERT_EQ(unlink(dir.file("1.msg").c_str()), 0);
    area.scanDirectory();
    EXPECT_EQ(numbersOf(area), (std::vector<uint16_t>{2}));
}

TEST(TarnwickArea, MissingOrOverlongDirectory) {
    TempDir dir;
    std::string missing = dir.file("absent");
    CTarnwickArea area(missing, 3);
    EXPECT_EQ(area.getAreaNumber(), 3);
    MCArray<pktMsgHeader> list;
    EXPECT_TRUE(listInto(area, list));
    EXPECT_EQ(list.getCount(), 0);
    uint32_t counts[2] = {7, 7};
    EXPECT_TRUE(statsInto(area, counts));
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 0u);
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    EXPECT_FALSE(post(area, r, "text"));
    EXPECT_FALSE(fileExists(missing));

    // A path that does not fit the directory field leaves the area without a directory:
    // nothing is read from or written to any other place.
    std::string tooLong(300, 'a');
    CTarnwickArea longArea(tooLong, 0);
    EXPECT_STREQ(longArea.getDirectory(), "");
    EXPECT_TRUE(listInto(longArea, list));
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_FALSE(post(longArea, r, "text"));
    MCArray<char> out;
    EXPECT_FALSE(fetch(longArea, 1, out));
    EXPECT_FALSE(deleteAs(longArea, 1, r.origAddr, true).isOk());
}

// ---------------------------------------------------------------------------------------
// Statistics

struct StatsCase {
    const char* name;
    std::vector<uint32_t> messages;
    const char* lastreadName;  // nullptr: no lastread file
    std::string lastreadBytes;
    uint32_t count;
    uint32_t unread;
};

TEST(TarnwickStats, UnreadFromTheLastreadMark) {
    const std::string two("\x02\x00", 2);
    const StatsCase cases[] = {
        {"mark on a message", {1, 2, 5}, "lastread", two, 3, 1},
        {"mark on the last message", {1, 2, 5}, "lastread", std::string("\x05\x00", 2), 3, 0},
        {"mark on the first message", {1, 2, 5}, "lastread", std::string("\x01\x00", 2), 3, 2},
        {"mark on no message", {1, 2, 5}, "lastread", std::string("\x03\x00", 2), 3, 1},
        {"no lastread file", {1, 2, 5}, nullptr, "", 3, 3},
        {"one-byte lastread file", {1, 2, 5}, "lastread", "\x02", 3, 3},
        {"empty lastread file", {1, 2, 5}, "lastread", "", 3, 3},
        {"mark 0xFFFF means no mark", {1, 2, 5}, "lastread", "\xFF\xFF", 3, 3},
        {"only the first two bytes count", {1, 2, 5}, "lastread", std::string("\x02\x00\x05\x00", 4), 3, 1},
        {"upper-case lastread name", {1, 2, 5}, "LASTREAD", two, 3, 1},
        {"mixed-case lastread name", {1, 2, 5}, "LastRead", two, 3, 1},
        {"single message, marked", {1}, "lastread", std::string("\x01\x00", 2), 1, 0},
        {"single message, no mark", {7}, nullptr, "", 1, 1},
        {"empty area", {}, "lastread", two, 0, 0},
        {"large numbers", {40000, 50000, 65535}, "lastread", std::string("\x50\xC3", 2), 3, 1},
    };
    for (const StatsCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (uint32_t n : c.messages) ASSERT_TRUE(writeMsgFile(dir.path(), n, MsgFile{}));
        if (c.lastreadName) {
            ASSERT_TRUE(writeRawFile(dir.file(c.lastreadName), c.lastreadBytes));
        }
        CTarnwickArea area(dir.path(), 0);
        uint32_t counts[2] = {99, 99};
        EXPECT_TRUE(statsInto(area, counts));
        EXPECT_EQ(counts[0], c.count);
        EXPECT_EQ(counts[1], c.unread);
    }
}

TEST(TarnwickStats, CountsWhatTheListShows) {
    // A damaged (short) message is left out of the list, and so of the counts; a
    // directory named like a message is no message, and a lastread directory no mark.
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, MsgFile{}));
    ASSERT_TRUE(writeRawFile(dir.file("2.msg"), "short"));
    ASSERT_TRUE(writeMsgFile(dir.path(), 4, MsgFile{}));
    dir.subdir("3.msg");
    dir.subdir("lastread");
    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> listed;
    ASSERT_TRUE(listInto(area, listed));
    ASSERT_EQ(listed.getCount(), 2);
    uint32_t counts[2];
    EXPECT_TRUE(statsInto(area, counts));
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(counts[1], 2u);
    // With a mark on the damaged message, what is listed above it is unread.
    dir.subdir("marked");
    ASSERT_TRUE(writeMsgFile(dir.file("marked"), 1, MsgFile{}));
    ASSERT_TRUE(writeRawFile(dir.file("marked/2.msg"), "short"));
    ASSERT_TRUE(writeMsgFile(dir.file("marked"), 4, MsgFile{}));
    ASSERT_TRUE(writeLastread(dir.file("marked"), 2));
    CTarnwickArea marked(dir.file("marked"), 0);
    EXPECT_TRUE(statsInto(marked, counts));
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(counts[1], 1u);
}

TEST(TarnwickStats, PathLengthLimit) {
    // The directory plus "/lastread" must fit 260 characters.
    uint32_t counts[2] = {5, 5};
    CTarnwickArea fits(std::string(250, 'x'), 0);
    EXPECT_TRUE(statsInto(fits, counts));
    CTarnwickArea tooLong(std::string(251, 'x'), 0);
    counts[0] = counts[1] = 5;
    EXPECT_FALSE(statsInto(tooLong, counts));
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 0u);
}

// ---------------------------------------------------------------------------------------
// Listing

TEST(TarnwickList, HeadersOfReadableMessagesInOrder) {
    TempDir dir;
    MsgFile first;
    first.fromName = std::string("Joe\0garbage", 11);  // garbage after the zero byte
    first.toName = std::string(36, 'T');               // fills its field
    first.subject = std::string("Re: hi\0\x7F\x7F\x7F", 10);
    first.kludges = {"INTL 2:5020/200 2:5020/100", "MSGID: 2:5020/100.0 12345678", "REPLY: 2:5020/1.0 abcdef01"};
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, first));

    ASSERT_TRUE(writeRawFile(dir.file("2.msg"), encodeMsgFile(MsgFile{}).substr(0, 189)));  // one byte short

    MsgFile upper;
    upper.toName = "Max";
    upper.dateTime = "31 Dec 99  23:59:59";
    upper.kludges = {"REPLY: 1:1/1 00000001"};
    ASSERT_TRUE(writeMsgFile(dir.path(), "3.MSG", upper));

    ASSERT_TRUE(writeRawFile(dir.file("4.msg"), encodeMsgFile(MsgFile{}).substr(0, kHeaderSize)));  // header only

    MsgFile noZero;
    noZero.kludges = {"MSGID: 1:2/3.4 00C0FFEE"};
    noZero.terminatingZero = false;
    ASSERT_TRUE(writeMsgFile(dir.path(), "5.Msg", noZero));

    MsgFile hidden;  // kludges after a zero byte are not part of the text
    hidden.body = std::string("Hi\r") + '\0' + "\x01" "MSGID: 1:2/3.4 00000002\r";
    ASSERT_TRUE(writeMsgFile(dir.path(), 6, hidden));

    dir.subdir("7.msg");

    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> list;
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 5);
    const uint32_t expectedNumbers[] = {1, 3, 4, 5, 6};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list.getAt(i)->msgNumber, expectedNumbers[i]);

    const pktMsgHeader& a = *list.getAt(0);
    EXPECT_EQ(std::string(a.fromName, 36), zeroFilled("Joe", 36));
    EXPECT_EQ(std::string(a.toName, 36), std::string(36, 'T'));
    EXPECT_EQ(std::string(a.subject, 72), zeroFilled("Re: hi", 72));
    EXPECT_EQ(a.dateWritten, packed(5, 1, 2007, 13, 45, 30));
    EXPECT_EQ(a.msgIdHash, crcOf("2:5020/100.0 12345678"));
    EXPECT_EQ(a.replyHash, crcOf("2:5020/1.0 abcdef01"));

    const pktMsgHeader& b = *list.getAt(1);
    EXPECT_EQ(std::string(b.toName, 36), zeroFilled("Max", 36));
    EXPECT_EQ(b.dateWritten, packed(31, 12, 1999, 23, 59, 59));
    EXPECT_EQ(b.msgIdHash, 0u);
    EXPECT_EQ(b.replyHash, crcOf("1:1/1 00000001"));

    EXPECT_EQ(list.getAt(2)->msgIdHash, 0u);
    EXPECT_EQ(list.getAt(3)->msgIdHash, crcOf("1:2/3.4 00C0FFEE"));
    EXPECT_EQ(list.getAt(4)->msgIdHash, 0u);
}

TEST(TarnwickList, SameNumberInTwoLetterCasesListedOnce) {
    TempDir dir;
    MsgFile lower, upper;
    lower.subject = "lower";
    upper.subject = "upper";
    ASSERT_TRUE(writeMsgFile(dir.path(), "7.MSG", upper));
    ASSERT_TRUE(writeMsgFile(dir.path(), "7.msg", lower));
    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> list;
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 1);
    EXPECT_STREQ(list.getAt(0)->subject, "lower");
}

TEST(TarnwickList, ReplacesPreviousContentsAndSkipsHugeFiles) {
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, MsgFile{}));
    // A sparse file beyond what a message text may hold: unreadable, and nothing of its
    // size is allocated.
    ASSERT_TRUE(writeRawFile(dir.file("2.msg"), encodeMsgFile(MsgFile{})));
    ASSERT_EQ(truncate(dir.file("2.msg").c_str(), 3LL << 30), 0);
    // A sparse file within the bound: its text ends at the first zero byte.
    ASSERT_TRUE(writeRawFile(dir.file("3.msg"), encodeMsgFile(MsgFile{})));
    ASSERT_EQ(truncate(dir.file("3.msg").c_str(), 256LL << 20), 0);

    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> list;
    pktMsgHeader stale;
    stale.msgNumber = 999;
    list.add(stale);
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 2);
    EXPECT_EQ(list.getAt(0)->msgNumber, 1u);
    EXPECT_EQ(list.getAt(1)->msgNumber, 3u);

    MCArray<char> out;
    EXPECT_FALSE(fetch(area, 2, out));
    ASSERT_TRUE(fetch(area, 3, out));
    EXPECT_EQ(fetchedLines(out), (std::vector<std::string>{"Hello"}));
}

// ---------------------------------------------------------------------------------------
// Fetching

TEST(TarnwickFetch, RecordAndLines) {
    TempDir dir;
    MsgFile m;
    m.fromName = std::string("Joe\0junk", 8);
    m.toName = "Bob";
    m.subject = std::string(72, 's');
    m.orig = FidoAddr{2, 5020, 100, 7};
    m.dest = FidoAddr{1, 234, 56, 3};
    m.attribute = 0x0181;
    m.timesRead = 4;
    m.kludges = {"INTL 1:234/56 2:5020/100", "FMPT 7", "TOPT 3", "MSGID: 2:5020/100.7 0000ABCD"};
    m.body = "Line one\r\nLine two\r\rLast";
    ASSERT_TRUE(writeMsgFile(dir.path(), 42, m));

    CTarnwickArea area(dir.path(), 9);
    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 42, out));
    ASSERT_GE(out.getCount(), int32_t(kMessageRecordSize));
    pktMessage r = decodeMessage(reinterpret_cast<const uint8_t*>(out.getData()));
    EXPECT_EQ(r.header.msgNumber, 42u);
    EXPECT_EQ(std::string(r.header.fromName, 36), zeroFilled("Joe", 36));
    EXPECT_EQ(std::string(r.header.toName, 36), zeroFilled("Bob", 36));
    EXPECT_EQ(std::string(r.header.subject, 72), m.subject);
    EXPECT_EQ(r.header.dateWritten, packed(5, 1, 2007, 13, 45, 30));
    EXPECT_EQ(r.header.msgIdHash, 0u);
    EXPECT_EQ(r.header.replyHash, 0u);
    EXPECT_EQ(r.origAddr, m.orig);
    EXPECT_EQ(r.destAddr, m.dest);
    EXPECT_EQ(r.areaNumber, 0);
    EXPECT_EQ(r.reserved, 0u);
    EXPECT_EQ(r.attributes, 0x0181);
    EXPECT_EQ(fetchedLines(out), (std::vector<std::string>{"\x01" "INTL 1:234/56 2:5020/100", "\x01" "FMPT 7",
                                                           "\x01" "TOPT 3", "\x01" "MSGID: 2:5020/100.7 0000ABCD",
                                                           "Line one", "", "Line two", "", "Last"}));
}

// A fetch that cannot be served says why, naming the file; the list and the counts leave
// such a message out alike.
TEST(TarnwickFetch, RefusalsSayWhichCauseAndWhere) {
    struct Case {
        const char* name;
        std::function<void(TempDir&)> setUp;  // message 7 as the case has it; 8 is sound
        AreaResult::Code code;
        std::string reason;  // in the reason, after the folder's path (":" starts with it)
        int systemError;
        bool rootReadsIt;  // the superuser opens it whatever its mode
    };
    const Case cases[] = {
        {"no such file", [](TempDir&) {}, AreaResult::Code::NotFound, ": no message 7", 0, false},
        {"shorter than a header", [](TempDir& d) { ASSERT_TRUE(writeRawFile(d.file("7.msg"), "short")); },
         AreaResult::Code::Damaged, "/7.msg is shorter than a message header (5 of 190 bytes)", 0, false},
        {"a directory", [](TempDir& d) { d.subdir("7.msg"); }, AreaResult::Code::NotFound, ": no message 7", 0, false},
        {"unreadable",
         [](TempDir& d) {
             ASSERT_TRUE(writeMsgFile(d.path(), 7, MsgFile{}));
             ASSERT_EQ(chmod(d.file("7.msg").c_str(), 0), 0);
         },
         AreaResult::Code::IoError, "/7.msg", EACCES, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootReadsIt && geteuid() == 0) continue;  // the superuser reads whatever the modes say
        TempDir dir;
        c.setUp(dir);
        ASSERT_TRUE(writeMsgFile(dir.path(), 8, MsgFile{}));
        CTarnwickArea area(dir.path(), 0);
        StoredMessage m;
        AreaResult r = area.getMessage(7, m);
        EXPECT_EQ(r.code(), c.code);
        EXPECT_NE(r.reason().find(dir.path() + c.reason), std::string::npos) << r.reason();
        EXPECT_EQ(r.systemError(), c.systemError);
        MCArray<pktMsgHeader> listed;
        ASSERT_TRUE(listInto(area, listed));
        ASSERT_EQ(listed.getCount(), 1);
        EXPECT_EQ(listed.getAt(0)->msgNumber, 8u);
        uint32_t counts[2];
        EXPECT_TRUE(statsInto(area, counts));
        EXPECT_EQ(counts[0], 1u);
        EXPECT_EQ(counts[1], 1u);
    }
}

TEST(TarnwickFetch, AddressesFromTheRoutingKludges) {
    // Tossers route by INTL, FMPT and TOPT, and some keep date stamps where the header has
    // its zone and point fields: the kludges win where they are present.
    const FidoAddr stampedOrig{6274, 5020, 1, 9676};   // zone and point are date stamps
    const FidoAddr stampedDest{22562, 5020, 999, 23946};
    struct Case {
        const char* name;
        std::vector<std::string> kludges;
        std::string body;
        FidoAddr orig, dest;
    };
    const Case cases[] = {
        {"INTL without points", {"INTL 2:5020/999 2:5020/1", "MSGID: 2:5020/1 1"}, "", {2, 5020, 1, 0},
         {2, 5020, 999, 0}},
        {"INTL, FMPT and TOPT", {"INTL 1:2/3 4:5/6", "FMPT 7", "TOPT 8"}, "", {4, 5, 6, 7}, {1, 2, 3, 8}},
        {"FMPT without INTL", {"FMPT 7"}, "", {6274, 5020, 1, 7}, {22562, 5020, 999, 23946}},
        {"no kludges: the header", {}, "", stampedOrig, stampedDest},
        {"malformed INTL: the header", {"INTL garbage"}, "", stampedOrig, stampedDest},
        {"malformed FMPT and TOPT", {"INTL 1:2/3 4:5/6", "FMPT x", "TOPT 70000"}, "", {4, 5, 6, 0}, {1, 2, 3, 0}},
        {"first well-formed INTL counts", {"INTL bad", "INTL 1:2/3 4:5/6", "INTL 9:9/9 9:9/9"}, "", {4, 5, 6, 0},
         {1, 2, 3, 0}},
        {"kludge after the body", {}, "Hello\r\x01INTL 1:2/3 4:5/6\r", {4, 5, 6, 0}, {1, 2, 3, 0}},
        {"INTL spelled otherwise is no INTL", {"INTL:1:2/3 4:5/6", "intl 1:2/3 4:5/6"}, "", stampedOrig,
         stampedDest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        MsgFile m;
        m.orig = stampedOrig;
        m.dest = stampedDest;
        m.kludges = c.kludges;
        m.body = c.body;
        ASSERT_TRUE(writeMsgFile(dir.path(), 3, m));
        CTarnwickArea area(dir.path(), 0);
        MCArray<char> out;
        ASSERT_TRUE(fetch(area, 3, out));
        pktMessage r = decodeMessage(reinterpret_cast<const uint8_t*>(out.getData()));
        EXPECT_EQ(r.origAddr, c.orig);
        EXPECT_EQ(r.destAddr, c.dest);
    }
}

TEST(TarnwickFetch, LinesAreThoseOfTheLineRoutine) {
    std::string manyLines;
    for (int i = 0; i < 20000; ++i) manyLines += "line " + std::to_string(i) + (i % 3 ? "\r" : "\r\n");
    const std::string texts[] = {
        "", "\x01\x01\x01", "\r\r\r", "\n\r\x01", "\x01" "a\x01" "b\rc", "no line break", std::string(70000, '\x01'),
        std::string(70000, '\r'), manyLines,
    };
    for (const std::string& body : texts) {
        SCOPED_TRACE(body.substr(0, 20));
        TempDir dir;
        MsgFile m;
        m.body = body;
        ASSERT_TRUE(writeMsgFile(dir.path(), 1, m));
        CTarnwickArea area(dir.path(), 0);
        GrowthCountingArray out;
        ASSERT_TRUE(fetch(area, 1, out));
        // Sized once from the text's length; only texts of very short lines grow further,
        // and then by large steps.
        EXPECT_LE(out.growths, 5) << "the output grew in small steps";
        MCArray<char> expected;
        ASSERT_TRUE(expected.setSize(int32_t(3 * body.size() + 2)) && expected.setSize(0));  // no regrowth
        textToLines(body.c_str(), expected, int32_t(body.size()));
        ASSERT_EQ(out.getCount(), int32_t(kMessageRecordSize) + expected.getCount());
        EXPECT_EQ(memcmp(out.getData() + kMessageRecordSize, expected.getData(), size_t(expected.getCount())), 0);
    }
}

struct FetchCase {
    const char* name;
    std::string fileName;  // empty: no file
    std::string bytes;
    bool asDirectory;
    uint32_t number;
    bool ok;
    std::vector<std::string> lines;
};

TEST(TarnwickFetch, FilesAndNames) {
    MsgFile plain;
    plain.body = "Body\r";
    MsgFile zeroInside;
    zeroInside.body = std::string("Seen\r\0Unseen\r", 13);
    const std::string plainBytes = encodeMsgFile(plain);
    const FetchCase cases[] = {
        {"lower-case name", "9.msg", plainBytes, false, 9, true, {"Body"}},
        {"upper-case name", "9.MSG", plainBytes, false, 9, true, {"Body"}},
        {"mixed-case name", "10.Msg", plainBytes, false, 10, true, {"Body"}},
        {"header only", "9.msg", plainBytes.substr(0, kHeaderSize), false, 9, true, {}},
        {"text ends at a zero byte", "9.msg", encodeMsgFile(zeroInside), false, 9, true, {"Seen"}},
        {"shorter than a header", "9.msg", plainBytes.substr(0, kHeaderSize - 1), false, 9, false, {}},
        {"empty file", "9.msg", "", false, 9, false, {}},
        {"no such message", "9.msg", plainBytes, false, 8, false, {}},
        {"other names do not stand for the number", "0009.msg", plainBytes, false, 9, false, {}},
        {"a directory is not a message", "9.msg", "", true, 9, false, {}},
        {"numbers beyond 16 bits name their own file", "70000.msg", plainBytes, false, 70000, true, {"Body"}},
    };
    for (const FetchCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.asDirectory)
            dir.subdir(c.fileName);
        else
            ASSERT_TRUE(writeRawFile(dir.file(c.fileName), c.bytes));
        CTarnwickArea area(dir.path(), 0);
        MCArray<char> out;
        ASSERT_EQ(fetch(area, c.number, out), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(fetchedLines(out), c.lines);
    }
}

TEST(TarnwickArea, FifosAndDevicesAreNotOpened) {
    // Opening a FIFO for reading would wait for a writer; none of the operations may.
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, MsgFile{}));
    ASSERT_EQ(mkfifo(dir.file("5.msg").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.file("lastread").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("6.msg").c_str()), 0);
    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> list;
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 1);
    uint32_t counts[2];
    ASSERT_TRUE(statsInto(area, counts));
    EXPECT_EQ(counts[0], 1u);
    MCArray<char> out;
    EXPECT_FALSE(fetch(area, 5, out));
    EXPECT_FALSE(fetch(area, 6, out));
    const FidoAddr me{2, 5020, 100, 0};
    EXPECT_FALSE(deleteAs(area, 5, me, false).isOk());
    EXPECT_FALSE(deleteAs(area, 5, me, true).isOk());
    EXPECT_FALSE(deleteAs(area, 6, me, true).isOk());
    EXPECT_TRUE(fileExists(dir.file("5.msg")));
}

TEST(TarnwickArea, LinksAndOtherEntriesAreNoMessages) {
    // A symbolic link is never followed, wherever it points: not to a file outside the
    // area (which any user could otherwise fetch), not to a message of the area, and a
    // dangling one is no message either. Their numbers are still taken for new messages.
    TempDir outside;
    MsgFile secret;
    secret.body = "root:secret-hash:19000:0:99999:7:::\r";
    ASSERT_TRUE(writeMsgFile(outside.path(), "target", secret));

    TempDir dir;
    MsgFile own;
    own.kludges = {"MSGID: 2:5020/100.0 1"};
    ASSERT_TRUE(writeMsgFile(dir.path(), 1, own));
    ASSERT_EQ(symlink(outside.file("target").c_str(), dir.file("50.msg").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("1.msg").c_str(), dir.file("9.msg").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("absent").c_str(), dir.file("6.msg").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("7.msg").c_str(), 0600), 0);
    dir.subdir("8.msg");
    ASSERT_EQ(symlink(outside.file("target").c_str(), dir.file("11.MSG").c_str()), 0);
    const std::vector<std::string> entries = listNames(dir.path());

    CTarnwickArea area(dir.path(), 0);
    MCArray<pktMsgHeader> list;
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 1);
    EXPECT_EQ(list.getAt(0)->msgNumber, 1u);
    uint32_t counts[2];
    ASSERT_TRUE(statsInto(area, counts));
    EXPECT_EQ(counts[0], 1u);

    const FidoAddr me{2, 5020, 100, 0};
    for (uint32_t n : {50u, 9u, 6u, 7u, 8u, 11u}) {
        SCOPED_TRACE(n);
        MCArray<char> out;
        EXPECT_FALSE(fetch(area, n, out));
        EXPECT_FALSE(deleteAs(area, n, me, false).isOk());
        EXPECT_FALSE(deleteAs(area, n, me, true).isOk());
    }
    EXPECT_EQ(listNames(dir.path()), entries);
    StoredMsg target;
    ASSERT_TRUE(readMsgFile(outside.file("target"), target));
    EXPECT_EQ(target.text, secret.body + std::string(1, '\0'));

    // The new message follows the highest number any entry takes.
    NewMessage r = postRecord(me, {2, 5020, 200, 0});
    ASSERT_TRUE(post(area, r, "text"));
    std::vector<std::string> after = entries;
    after.push_back("51.msg");
    std::sort(after.begin(), after.end());
    EXPECT_EQ(listNames(dir.path()), after);
}

TEST(TarnwickPost, DanglingLinksAndLeftoverTemporaryFilesBlockNothing) {
    struct Case {
        const char* name;
        std::vector<std::string> messages;  // regular message files
        const char* danglingLink;           // nullptr: none
        std::vector<std::string> leftovers;  // temporary files of earlier posts
        std::vector<std::string> posted;     // names of three posts in a row
    };
    const Case cases[] = {
        {"dangling link at the next number", {"5.msg"}, "6.msg", {}, {"7.msg", "8.msg", "9.msg"}},
        {"dangling link in upper case", {"5.msg"}, "6.MSG", {}, {"7.msg", "8.msg", "9.msg"}},
        {"leftover at the next number", {"5.msg"}, nullptr, {"6.mst"}, {"6.msg", "7.msg", "8.msg"}},
        {"leftovers at the next numbers", {"5.msg"}, nullptr, {"6.mst", "7.mst", "7.MST"},
         {"6.msg", "7.msg", "8.msg"}},
        {"leftover in an empty area", {}, nullptr, {"2.mst"}, {"2.msg", "3.msg", "4.msg"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const std::string& m : c.messages) ASSERT_TRUE(writeMsgFile(dir.path(), m, MsgFile{}));
        if (c.danglingLink) {
            ASSERT_EQ(symlink("absent.msg", dir.file(c.danglingLink).c_str()), 0);
        }
        for (const std::string& t : c.leftovers) ASSERT_TRUE(writeRawFile(dir.file(t), "half a message"));
        std::vector<std::string> expected = listNames(dir.path());

        CTarnwickArea area(dir.path(), 0);
        NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
        for (const std::string& name : c.posted) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(post(area, r, "text"));
            expected.push_back(name);
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(listNames(dir.path()), expected);  // leftovers untouched, nothing new left
        }
        for (const std::string& t : c.leftovers) {
            std::string bytes;
            ASSERT_TRUE(readFile(dir.file(t), bytes));
            EXPECT_EQ(bytes, "half a message");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Posting

std::string postedFileName(const std::string& dir, const std::vector<std::string>& before) {
    for (const std::string& n : listNames(dir)) {
        bool old = false;
        for (const std::string& b : before) old = old || b == n;
        if (!old) return n;
    }
    return "";
}

struct NumberCase {
    const char* name;
    std::vector<std::string> files;
    const char* expected;
};

TEST(TarnwickPost, NumberIsHighestPlusOne) {
    const NumberCase cases[] = {
        {"empty directory: 1.msg is the tosser's high-water mark", {}, "2.msg"},
        {"gaps are not reused", {"1.msg", "2.msg", "5.msg"}, "6.msg"},
        {"upper-case names count", {"1.MSG", "3.MSG"}, "4.msg"},
        {"leading zeros count", {"0005.msg"}, "6.msg"},
        {"a name without digits is 0", {"readme.msg"}, "2.msg"},
        {"wraps after 65535", {"65535.msg"}, "0.msg"},
        {"reduced names count", {"70000.MSG"}, "4465.msg"},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const std::string& f : c.files) ASSERT_TRUE(writeMsgFile(dir.path(), f, MsgFile{}));
        std::vector<std::string> before = listNames(dir.path());
        CTarnwickArea area(dir.path(), 0);
        NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
        ASSERT_TRUE(post(area, r, "Text\r"));
        std::vector<std::string> after = listNames(dir.path());
        EXPECT_EQ(after.size(), before.size() + 1);  // no temporary file left
        EXPECT_EQ(postedFileName(dir.path(), before), c.expected);
    }
}

TEST(TarnwickPost, AfterTheWrapPostsStepOverNumbersInUse) {
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 65535, MsgFile{}));
    CTarnwickArea area(dir.path(), 0);
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    ASSERT_TRUE(post(area, r, "first"));
    std::string zero;
    ASSERT_TRUE(readFile(dir.file("0.msg"), zero));

    // 0 and 65535 are taken and 1 is the tosser's: the next free number, and never a
    // temporary file left behind.
    ASSERT_TRUE(post(area, r, "second"));
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"0.msg", "2.msg", "65535.msg"}));
    std::string zeroAfter;
    ASSERT_TRUE(readFile(dir.file("0.msg"), zeroAfter));
    EXPECT_EQ(zeroAfter, zero);
    StoredMsg second;
    ASSERT_TRUE(readMsgFile(dir.file("2.msg"), second));
    EXPECT_EQ(second.text.substr(second.text.size() - 7), std::string("second\0", 7));

    ASSERT_TRUE(post(area, r, "third"));
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"0.msg", "2.msg", "3.msg", "65535.msg"}));
}

TEST(TarnwickPost, NeverBesideAMessageFileOfOtherLetterCase) {
    TempDir dir;
    ASSERT_TRUE(writeMsgFile(dir.path(), 65535, MsgFile{}));
    ASSERT_TRUE(writeMsgFile(dir.path(), "0.MSG", MsgFile{}));
    CTarnwickArea area(dir.path(), 0);
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    EXPECT_TRUE(post(area, r, "text"));
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"0.MSG", "2.msg", "65535.msg"}));
}

// Message files that appear between the directory scan and the move to the final name, as
// when a tosser writes the directory at the same moment.
class RacedArea : public CTarnwickArea {
public:
    RacedArea(const std::string& dir, std::vector<std::string> appear)
        : CTarnwickArea(dir, 0), dir_(dir), appear_(std::move(appear)) {}
    void scanDirectory() override {
        CTarnwickArea::scanDirectory();
        for (const std::string& name : appear_) EXPECT_TRUE(writeMsgFile(dir_, name, MsgFile{}));
        appear_.clear();
    }

private:
    std::string dir_;
    std::vector<std::string> appear_;
};

TEST(TarnwickPost, MessagesAppearingMeanwhileAreNotReplaced) {
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    {
        TempDir dir;
        ASSERT_TRUE(writeMsgFile(dir.path(), 5, MsgFile{}));
        RacedArea area(dir.path(), {"6.msg", "7.MSG"});
        ASSERT_TRUE(post(area, r, "mine"));
        EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"5.msg", "6.msg", "7.MSG", "8.msg"}));
        StoredMsg six;
        ASSERT_TRUE(readMsgFile(dir.file("6.msg"), six));
        EXPECT_EQ(six.text, encodeMsgFile(MsgFile{}).substr(kHeaderSize));
    }
    {
        // A directory that keeps filling up: the post gives up, and leaves nothing behind.
        TempDir dir;
        std::vector<std::string> many;
        for (int n = 2; n < 200; ++n) many.push_back(std::to_string(n) + ".msg");
        RacedArea area(dir.path(), many);
        EXPECT_FALSE(post(area, r, "mine"));
        for (const std::string& name : listNames(dir.path())) EXPECT_EQ(name.find(".mst"), std::string::npos) << name;
        EXPECT_EQ(listNames(dir.path()).size(), many.size());
    }
}

TEST(TarnwickPost, FailedWriteRemovesTheTemporaryFile) {
    TempDir dir;
    CTarnwickArea area(dir.path(), 0);
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    const std::string big(8192, 'x');

    // A file size limit makes the write of the text come up short.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool posted = post(area, r, big.c_str());
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(posted);
    EXPECT_TRUE(listNames(dir.path()).empty());
    // Nothing blocks the number afterwards.
    EXPECT_TRUE(post(area, r, "small"));
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"2.msg"}));
}

struct PostCase {
    const char* name;
    FidoAddr orig;
    FidoAddr dest;
    std::string kludgesBeforeMsgId;
    std::string msgIdAddr;
};

TEST(TarnwickPost, StoredBytes) {
    const PostCase cases[] = {
        {"to a point", {2, 5020, 100, 0}, {2, 5020, 200, 3},
         "\x01" "INTL 2:5020/200 2:5020/100\r\x01" "TOPT 3\r", "2:5020/100.0"},
        {"from a point", {2, 5020, 100, 7}, {2, 5020, 200, 0},
         "\x01" "INTL 2:5020/200 2:5020/100\r\x01" "FMPT 7\r", "2:5020/100.7"},
        {"point to point", {1, 2, 3, 4}, {5, 6, 7, 8}, "\x01" "INTL 5:6/7 1:2/3\r\x01" "FMPT 4\r\x01" "TOPT 8\r",
         "1:2/3.4"},
        {"node to node", {2, 5020, 100, 0}, {1, 1, 1, 0}, "\x01" "INTL 1:1/1 2:5020/100\r", "2:5020/100.0"},
        {"largest numbers", {65535, 65535, 65535, 65535}, {65535, 65535, 65535, 65535},
         "\x01" "INTL 65535:65535/65535 65535:65535/65535\r\x01" "FMPT 65535\r\x01" "TOPT 65535\r",
         "65535:65535/65535.65535"},
    };
    // The client's text is stored exactly as sent: no line ending conversion, nothing added.
    const std::string text = "Hi\r\nthere\n\x01odd\r\rend";
    for (const PostCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        CTarnwickArea area(dir.path(), 0);
        NewMessage r = postRecord(c.orig, c.dest);
        r.attributes = 0x0181;
        ASSERT_TRUE(post(area, r, text.c_str()));
        ASSERT_EQ(listNames(dir.path()), (std::vector<std::string>{"2.msg"}));

        StoredMsg s;
        ASSERT_TRUE(readMsgFile(dir.file("2.msg"), s));
        EXPECT_EQ(s.fromField, zeroFilled("Alice", 36));
        EXPECT_EQ(s.toField, zeroFilled("Bob", 36));
        EXPECT_EQ(s.subjectField, zeroFilled("Greetings", 72));
        EXPECT_EQ(s.origAddr(), c.orig);
        EXPECT_EQ(s.destAddr(), c.dest);
        EXPECT_EQ(s.timesRead, 0);
        EXPECT_EQ(s.cost, 0);
        EXPECT_EQ(s.replyTo, 0);
        EXPECT_EQ(s.nextReply, 0);
        EXPECT_EQ(s.attribute, 0x0181);

        const std::string msgIdPrefix = "\x01" "MSGID: " + c.msgIdAddr + " ";
        ASSERT_GE(s.text.size(), c.kludgesBeforeMsgId.size() + msgIdPrefix.size() + 9 + text.size() + 1);
        EXPECT_EQ(s.text.substr(0, c.kludgesBeforeMsgId.size()), c.kludgesBeforeMsgId);
        std::string rest = s.text.substr(c.kludgesBeforeMsgId.size());
        EXPECT_EQ(rest.substr(0, msgIdPrefix.size()), msgIdPrefix);
        std::string serial = rest.substr(msgIdPrefix.size(), 8);
        EXPECT_TRUE(matchesShape(serial, "XXXXXXXX")) << serial;
        EXPECT_EQ(rest.substr(msgIdPrefix.size() + 8), "\r" + text + std::string(1, '\0'));
    }
}

TEST(TarnwickPost, HeaderFieldsAndDate) {
    TempDir dir;
    CTarnwickArea area(dir.path(), 0);
    NewMessage r = postRecord({2, 5020, 100, 0}, {2, 5020, 200, 0});
    r.fromName.assign(36, 'F');                  // fills the field
    r.toName.assign("Bob\0garbage", 11);         // garbage after the zero byte
    r.subject.assign(80, 'S');                   // cut to the field
    r.attributes = 0xFFFF;
    ASSERT_TRUE(post(area, r, ""));

    StoredMsg s;
    ASSERT_TRUE(readMsgFile(dir.file("2.msg"), s));
    EXPECT_EQ(s.fromField, std::string(36, 'F'));
    EXPECT_EQ(s.toField, zeroFilled("Bob", 36));
    EXPECT_EQ(s.subjectField, std::string(72, 'S'));
    EXPECT_EQ(s.attribute, 0xFFFF);
    // An empty text still gets its kludges and the terminating zero byte.
    ASSERT_FALSE(s.text.empty());
    EXPECT_EQ(s.text.back(), '\0');
    EXPECT_EQ(s.text.find('\0'), s.text.size() - 1);

    EXPECT_EQ(s.dateField, std::string("05 Mar 26  07:08:09") + '\0') << "the local time of posting";
}

TEST(TarnwickPost, PostedMessageReadsBack) {
    TempDir dir;
    CTarnwickArea area(dir.path(), 0);
    NewMessage r = postRecord({2, 5020, 100, 1}, {2, 5020, 200, 0});
    r.attributes = 0x0101;
    ASSERT_TRUE(post(area, r, "Hello\rWorld\r"));

    MCArray<pktMsgHeader> list;
    ASSERT_TRUE(listInto(area, list));
    ASSERT_EQ(list.getCount(), 1);
    EXPECT_STREQ(list.getAt(0)->fromName, "Alice");
    EXPECT_NE(list.getAt(0)->msgIdHash, 0u);

    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 2, out));
    pktMessage got = decodeMessage(reinterpret_cast<const uint8_t*>(out.getData()));
    EXPECT_EQ(got.origAddr, r.origAddr);
    EXPECT_EQ(got.destAddr, r.destAddr);
    EXPECT_EQ(got.attributes, 0x0101);
    std::vector<std::string> lines = fetchedLines(out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "\x01" "INTL 2:5020/200 2:5020/100");
    EXPECT_EQ(lines[1], "\x01" "FMPT 1");
    EXPECT_EQ(lines[2].substr(0, 21), "\x01" "MSGID: 2:5020/100.1 ");
    EXPECT_EQ(lines[3], "Hello");
    EXPECT_EQ(lines[4], "World");
    EXPECT_EQ(list.getAt(0)->msgIdHash, crcOf(lines[2].substr(8)));

    // The author may delete it while it is unsent.
    EXPECT_TRUE(deleteAs(area, 2, r.origAddr, false).isOk());
    EXPECT_TRUE(listNames(dir.path()).empty());
}

// ---------------------------------------------------------------------------------------
// Deleting

struct DeleteCase {
    const char* name;
    uint16_t attribute;
    std::vector<std::string> kludges;
    std::string body;
    FidoAddr requester;
    bool mayDeleteAny;
    const char* refusal;  // why it is refused; nullptr: deleted
};

TEST(TarnwickDelete, Rights) {
    const FidoAddr me{2, 5020, 100, 7};
    const std::string mine = "MSGID: 2:5020/100.7 1234abcd";
    const char* kNotYours = "not yours";
    const char* kNoMsgId = "no MSGID names its author";
    const DeleteCase cases[] = {
        {"own unsent message", 0, {mine}, "Hi\r", me, false, nullptr},
        {"MSGID after other kludges", kAttrLocal, {"INTL 2:5020/200 2:5020/100", "FMPT 7", mine}, "Hi\r", me, false,
         nullptr},
        {"blank lines between kludges", 0, {}, "\r\r\x01PID: x\r\r\x01" + mine + "\rHi\r", me, false, nullptr},
        {"marked sent", kAttrSent | kAttrLocal, {mine}, "Hi\r", me, false, "already sent"},
        {"other point", 0, {"MSGID: 2:5020/100.8 1"}, "", me, false, kNotYours},
        {"other zone", 0, {"MSGID: 1:5020/100.7 1"}, "", me, false, kNotYours},
        {"other node without point", 0, {"MSGID: 2:5020/101 1"}, "", me, false, kNotYours},
        {"MSGID without point names point 0", 0, {"MSGID: 2:5020/100 1"}, "", {2, 5020, 100, 0}, false, nullptr},
        {"no MSGID among the kludges", 0, {"INTL 2:5020/200 2:5020/100", "PID: x"}, "MSGID: 2:5020/100.7 1\r", me,
         false, kNoMsgId},
        {"non-kludge line before the MSGID", 0, {"PID: x"}, "Hello\r\x01" + mine + "\r", me, false, kNoMsgId},
        {"first MSGID decides", 0, {"MSGID: 2:5020/1.0 1", mine}, "", me, false, kNotYours},
        {"unparsable MSGID", 0, {"MSGID: nonsense"}, "", me, false, kNoMsgId},
        {"MSGID spelled without the blank", 0, {"MSGID:2:5020/100.7 1"}, "", me, false, kNoMsgId},
        {"MSGID after the end of the text", 0, {"PID: x"}, std::string("\0\x01", 2) + mine + "\r", me, false,
         kNoMsgId},
        {"empty text", 0, {}, "", me, false, kNoMsgId},
        {"super user deletes a sent message", kAttrSent, {"MSGID: 1:1/1.0 1"}, "", me, true, nullptr},
        {"super user deletes without MSGID", 0, {}, "Hi\r", me, true, nullptr},
    };
    for (const DeleteCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        MsgFile m;
        m.attribute = c.attribute;
        m.kludges = c.kludges;
        m.body = c.body;
        ASSERT_TRUE(writeMsgFile(dir.path(), 3, m));
        ASSERT_TRUE(writeMsgFile(dir.path(), 4, MsgFile{}));
        CTarnwickArea area(dir.path(), 0);
        AreaResult r = deleteAs(area, 3, c.requester, c.mayDeleteAny);
        if (c.refusal) {
            EXPECT_EQ(r.code(), AreaResult::Code::Forbidden);
            EXPECT_EQ(r.reason(), c.refusal);
        } else {
            EXPECT_TRUE(r.isOk()) << r.reason();
        }
        EXPECT_EQ(fileExists(dir.file("3.msg")), c.refusal != nullptr);
        EXPECT_TRUE(fileExists(dir.file("4.msg")));  // other messages keep their files and numbers
    }
}

TEST(TarnwickDelete, FilesAndNames) {
    const FidoAddr me{2, 5020, 100, 0};
    MsgFile own;
    own.kludges = {"MSGID: 2:5020/100.0 1"};
    const std::string ownBytes = encodeMsgFile(own);

    TempDir dir;
    CTarnwickArea area(dir.path(), 0);
    // No such message, either right.
    EXPECT_EQ(deleteAs(area, 1, me, false).code(), AreaResult::Code::NotFound);
    EXPECT_EQ(deleteAs(area, 1, me, true).code(), AreaResult::Code::NotFound);

    // Names in other letter case are found.
    ASSERT_TRUE(writeRawFile(dir.file("12.MSG"), ownBytes));
    ASSERT_TRUE(writeRawFile(dir.file("13.Msg"), ownBytes));
    EXPECT_TRUE(deleteAs(area, 12, me, false).isOk());
    EXPECT_TRUE(deleteAs(area, 13, me, true).isOk());

    // A short file cannot be checked, so only a super user removes it.
    ASSERT_TRUE(writeRawFile(dir.file("14.msg"), ownBytes.substr(0, kHeaderSize - 1)));
    EXPECT_EQ(deleteAs(area, 14, me, false).code(), AreaResult::Code::Damaged);
    EXPECT_TRUE(fileExists(dir.file("14.msg")));
    EXPECT_TRUE(deleteAs(area, 14, me, true).isOk());

    // A directory is not a message.
    dir.subdir("15.msg");
    EXPECT_EQ(deleteAs(area, 15, me, true).code(), AreaResult::Code::NotFound);
    EXPECT_TRUE(fileExists(dir.file("15.msg")));

    // Deleting leaves a gap: the next post still follows the highest number.
    ASSERT_TRUE(writeRawFile(dir.file("20.msg"), ownBytes));
    ASSERT_TRUE(writeRawFile(dir.file("21.msg"), ownBytes));
    EXPECT_TRUE(deleteAs(area, 20, me, false).isOk());
    NewMessage r = postRecord(me, {2, 5020, 200, 0});
    ASSERT_TRUE(post(area, r, "x"));
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"15.msg", "21.msg", "22.msg"}));
}

}  // namespace
