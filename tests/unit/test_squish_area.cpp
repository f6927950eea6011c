// Squish message bases: the records of the three files, and the area operations checked
// byte by byte against the test fixture's own reading of the files.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "areas/squish_area.h"
#include "areas/squish_format.h"
#include "common/area_calls.h"
#include "common/growth_counting_array.h"
#include "common/squish_fixture.h"
#include "common/test_time.h"
#include "fido/fidodate.h"
#include "fido/kludges.h"
#include "fido/msgid.h"
#include "protocol/message_layout.h"
#include "support/clock.h"
#include "support/le.h"

namespace {

using sqfix::BaseImage;
using sqfix::Frame;
namespace off = sqfix::off;

const char kCtrlA = '\x01';

std::string withZero(const char* s, size_t n) { return std::string(s, n); }

// ---------------------------------------------------------------------------------------
// Records

TEST(SquishFormat, RecordsRoundTripEveryByte) {
    std::mt19937 rng(7);
    auto randomBytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = uint8_t(rng());
        return b;
    };
    for (int round = 0; round < 20; ++round) {
        auto base = randomBytes(kSquishBaseHeaderSize);
        std::vector<uint8_t> out(kSquishBaseHeaderSize);
        encodeSquishBaseHeader(decodeSquishBaseHeader(base.data()), out.data());
        EXPECT_EQ(out, base);

        auto frame = randomBytes(kSquishFrameHeaderSize);
        out.assign(kSquishFrameHeaderSize, 0);
        encodeSquishFrameHeader(decodeSquishFrameHeader(frame.data()), out.data());
        EXPECT_EQ(out, frame);

        auto msg = randomBytes(kSquishMsgHeaderSize);
        out.assign(kSquishMsgHeaderSize, 0);
        encodeSquishMsgHeader(decodeSquishMsgHeader(msg.data()), out.data());
        EXPECT_EQ(out, msg);

        auto sqi = randomBytes(kSqiRecordSize);
        out.assign(kSqiRecordSize, 0);
        encodeSqiRecord(decodeSqiRecord(sqi.data()), out.data());
        EXPECT_EQ(out, sqi);
    }
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}

TEST(SquishFormat, FieldsLandAtTheirOffsets) {
    SquishBaseHeader base;
    base.numMsg = 0x11;
    base.highMsg = 0x22;
    base.nextUmsgid = 0x33;
    base.beginFrame = 0x44;
    base.lastFrame = 0x55;
    base.freeFrame = 0x66;
    base.lastFreeFrame = 0x77;
    base.endFrame = 0x88;
    std::vector<uint8_t> b(kSquishBaseHeaderSize);
    encodeSquishBaseHeader(base, b.data());
    EXPECT_EQ(le32(b, off::kNumMsg), 0x11u);
    EXPECT_EQ(le32(b, off::kHighMsg), 0x22u);
    EXPECT_EQ(le32(b, off::kNextUmsgid), 0x33u);
    EXPECT_EQ(le32(b, off::kBeginFrame), 0x44u);
    EXPECT_EQ(le32(b, off::kLastFrame), 0x55u);
    EXPECT_EQ(le32(b, off::kFreeFrame), 0x66u);
    EXPECT_EQ(le32(b, off::kLastFreeFrame), 0x77u);
    EXPECT_EQ(le32(b, off::kEndFrame), 0x88u);

    SquishFrameHeader frame;
    frame.frameId = kSquishFrameId;
    frame.nextFrame = 0x01020304;
    frame.prevFrame = 0x05060708;
    frame.frameLength = 300;
    frame.msgLength = 290;
    frame.controlLength = 20;
    frame.frameType = 1;
    b.assign(kSquishFrameHeaderSize, 0xEE);
    encodeSquishFrameHeader(frame, b.data());
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 8),
              (std::vector<uint8_t>{0x53, 0x44, 0xAE, 0xAF, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(le32(b, off::kPrevFrame), 0x05060708u);
    EXPECT_EQ(le32(b, off::kFrameLength), 300u);
    EXPECT_EQ(le32(b, off::kMsgLength), 290u);
    EXPECT_EQ(le32(b, off::kControlLength), 20u);
    EXPECT_EQ(b[off::kFrameType], 1);
    EXPECT_EQ(b[26], 0);

    SquishMsgHeader msg;
    msg.attr = 0x000A0100;
    msg.umsgid = 0xCAFE;
    msg.origAddr = FidoAddr{2, 5020, 100, 1};
    memcpy(msg.dateText, "05 Jan 07  13:45:30", 20);
    b.assign(kSquishMsgHeaderSize, 0xEE);
    encodeSquishMsgHeader(msg, b.data());
    EXPECT_EQ(le32(b, off::kAttr), 0x000A0100u);
    EXPECT_EQ(le32(b, off::kUmsgid), 0xCAFEu);
    EXPECT_EQ(b[off::kOrigAddr], 2);
    EXPECT_EQ(b[off::kOrigAddr + 2] | (b[off::kOrigAddr + 3] << 8), 5020);
    EXPECT_EQ(b[off::kOrigAddr + 6], 1);
    EXPECT_EQ(std::string(b.begin() + off::kDateText, b.end()), withZero("05 Jan 07  13:45:30", 20));
    for (size_t i = off::kReplyLinks; i < off::kUmsgid; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST(SquishFormat, NameHash) {
    struct Case {
        const char* name;
        std::string text;
        uint32_t hash;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"upper A", "A", 97},
        {"lower a", "a", 97},
        {"two letters", "ab", (97u << 4) + 98},
        // 0xE4 is sign-extended: 0xFFFFFFE4, whose top bits are folded back in and kept.
        {"high byte", "\xE4", 0x7FFFFFF4u},
        {"stops at zero", withZero("ab\0cd", 5), (97u << 4) + 98},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(squishNameHash(c.text.c_str()), c.hash);
        EXPECT_EQ(sqfix::nameHash(c.text), c.hash);
    }
    // Only the first 36 characters count, and the result never has its top bit.
    std::string a(36, 'x'), b(36, 'x');
    a += "tail one";
    b += "another tail";
    EXPECT_EQ(squishNameHash(a.c_str()), squishNameHash(b.c_str()));
    EXPECT_EQ(squishNameHash("Sysop Of The Board"), sqfix::nameHash("Sysop Of The Board"));
    EXPECT_EQ(squishNameHash("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF") & 0x80000000u, 0u);
}

TEST(SquishFormat, MakeStampPacksDosDateAndTime) {
    std::tm t{};
    t.tm_year = 126;  // 2026
    t.tm_mon = 11;    // December
    t.tm_mday = 8;
    t.tm_hour = 20;
    t.tm_min = 38;
    t.tm_sec = 17;
    uint32_t stamp = makeStamp(t);
    EXPECT_EQ(stamp & 0xFFFFu, 23944u);
    EXPECT_EQ(stamp >> 16, 42184u);
    // The same date as FidoNet date text gives the same packed value.
    EXPECT_EQ(parseFidoDate("08 Dec 26  20:38:17"), stamp);
}

TEST(SquishFormat, FrameReadability) {
    SquishFrameHeader good;
    good.frameId = kSquishFrameId;
    good.frameLength = 300;
    good.msgLength = 290;
    good.controlLength = 20;
    struct Case {
        const char* name;
        uint32_t frameId, frameLength, msgLength, controlLength, offset;
        int64_t fileLength;
        bool readable;
    };
    const Case cases[] = {
        {"sound", kSquishFrameId, 300, 290, 20, 256, 256 + 28 + 300, true},
        {"used part ends the file", kSquishFrameId, 300, 290, 20, 256, 256 + 28 + 290, true},
        {"no control information", kSquishFrameId, 238, 238, 0, 256, 1000, true},
        {"control fills the message", kSquishFrameId, 300, 290, 52, 256, 1000, true},
        {"bad frame id", 0xAFAE4454u, 300, 290, 20, 256, 1000, false},
        {"message shorter than its header", kSquishFrameId, 300, 237, 0, 256, 1000, false},
        {"control longer than the message", kSquishFrameId, 300, 290, 53, 256, 1000, false},
        {"message longer than the frame", kSquishFrameId, 280, 290, 20, 256, 1000, false},
        {"message past the end of the file", kSquishFrameId, 300, 290, 20, 256, 256 + 28 + 289, false},
        {"huge lengths", kSquishFrameId, 0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFF00u, 256, 1000, false},
        {"offset 0", kSquishFrameId, 300, 290, 20, 0, 1000, false},
        {"offset inside the base header", kSquishFrameId, 300, 290, 20, 100, 1000, false},
        {"negative offset", kSquishFrameId, 300, 290, 20, 0x80000100u, 0x90000000LL, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SquishFrameHeader f;
        f.frameId = c.frameId;
        f.frameLength = c.frameLength;
        f.msgLength = c.msgLength;
        f.controlLength = c.controlLength;
        EXPECT_EQ(isReadableMessageFrame(f, c.offset, c.fileLength), c.readable);
    }
}

TEST(SquishFormat, IndexRecordsCompareWhole) {
    MCArray<sqifile> a;
    a.add(sqifile{300, 1, 5});
    a.add(sqifile{400, 2, 6});
    a.add(sqifile{400, 2, 7});
    EXPECT_EQ(a.find(0, sqifile{400, 2, 7}), 2);
    EXPECT_EQ(a.find(0, sqifile{400, 2, 8}), -1);
    EXPECT_EQ(a.find(0, sqifile{300, 1, 5}), 0);
}

// ---------------------------------------------------------------------------------------
// Area fixture

std::string msgIdKludge(const char* addrAndSerial) { return std::string(1, kCtrlA) + "MSGID: " + addrAndSerial; }

// A base of three messages: the second and third carry MSGID and REPLY kludges.
std::vector<sqfix::Message> threeMessages() {
    std::vector<sqfix::Message> m(3);
    m[0].from = "Alice";
    m[0].to = "All";
    m[0].subject = "First";
    m[0].text = "Hello\rWorld\r";
    m[0].dateText = "05 Jan 07  13:45:30";
    m[1].from = "Bob";
    m[1].to = "Alice";
    m[1].subject = "Second";
    m[1].control = msgIdKludge("2:5020/100.1 0000ABCD") + kCtrlA + "PID: Test 1";
    m[1].text = "Line one\r";
    m[1].dateText = "31 Dec 99  23:59:59";
    m[2].from = "Carol";
    m[2].to = "Bob";
    m[2].subject = "Third";
    m[2].control = msgIdKludge("2:5020/200.0 00001111") + kCtrlA + "REPLY: 2:5020/100.1 0000ABCD";
    m[2].text = "Reply text\r";
    m[2].dateText = "01 Feb 08  00:00:00";
    return m;
}

class SquishArea : public ::testing::Test {
protected:
    std::string base() const { return dir.file("echo"); }
    sqfix::BuiltBase build(const std::vector<sqfix::Message>& m, const sqfix::BuildOptions& o = {}) {
        return sqfix::buildBase(base(), m, o);
    }
    BaseImage image() {
        BaseImage img;
        EXPECT_TRUE(sqfix::readBase(base(), img));
        return img;
    }
    Frame frameAt(const BaseImage& img, uint32_t offset) {
        Frame f;
        EXPECT_TRUE(img.readFrame(offset, f)) << offset;
        return f;
    }
    void expectSound() {
        auto problems = sqfix::checkBase(base());
        for (const auto& p : problems) ADD_FAILURE() << p;
    }
    // Contents of all the base's files, to prove that nothing was written.
    std::vector<std::vector<uint8_t>> snapshot() {
        std::vector<std::vector<uint8_t>> out;
        for (const char* ext : {".SQD", ".SQI", ".SQL"}) {
            std::string p = sqfix::fileOf(base(), ext);
            out.push_back(access(p.c_str(), F_OK) == 0 ? sqfix::readFileBytes(p) : std::vector<uint8_t>{});
        }
        return out;
    }
    std::vector<pktMsgHeader> list() {
        CSquishArea area(base(), 3);
        return listHeaders(area);
    }
    std::vector<uint32_t> listedNumbers() {
        std::vector<uint32_t> n;
        for (const auto& h : list()) n.push_back(h.msgNumber);
        return n;
    }
    static NewMessage postRecord(const char* to = "All", FidoAddr from = FidoAddr{2, 5020, 100, 0}) {
        NewMessage m;
        m.fromName = "Poster";
        m.toName = to;
        m.subject = "Posted subject";
        m.origAddr = from;
        m.destAddr = FidoAddr{2, 5020, 1, 0};
        m.attributes = 0xFFFF;  // ignored by a Squish area
        return m;
    }
    // A post of `m` with the text, dated the test's time, with the next MSGID serial.
    AreaResult store(CEchoArea& area, NewMessage m, const char* text) {
        m.text = text;
        m.written = testWallTime();
        m.msgIdSerial = serials.next(m.written.utc);
        uint32_t stored = 0;
        return area.newMessage(m, stored);
    }
    bool post(const char* text, const char* to = "All", FidoAddr from = FidoAddr{2, 5020, 100, 0}) {
        CSquishArea area(base(), 3);
        return store(area, postRecord(to, from), text).isOk();
    }
    bool erase(uint32_t number, FidoAddr requester = FidoAddr{}, bool mayDeleteAny = true) {
        CSquishArea area(base(), 3);
        return deleteAs(area, number, requester, mayDeleteAny).isOk();
    }
    std::pair<uint32_t, uint32_t> stats(const std::string& path) {
        CSquishArea area(path, 3);
        AreaStats s{99, 99};
        EXPECT_TRUE(area.getAreaStats(s).isOk());
        return {s.messages, s.unread};
    }

    MsgIdSerials serials;
    sqfix::TempDir dir;
};

// Lines of a fetched message after its 186-byte record, each without its CR and zero.
std::vector<std::string> fetchedLines(const MCArray<char>& out) {
    std::vector<std::string> lines;
    std::string cur;
    for (int32_t i = int32_t(kMessageRecordSize); i < out.getCount(); ++i) {
        char c = *out.getAt(i);
        if (c == 13 && i + 1 < out.getCount() && *out.getAt(i + 1) == 0) {
            lines.push_back(cur);
            cur.clear();
            ++i;
        } else {
            cur += c;
        }
    }
    EXPECT_TRUE(cur.empty()) << "trailing bytes without a line end";
    return lines;
}

// ---------------------------------------------------------------------------------------
// List and fetch

TEST_F(SquishArea, ListReportsEveryMessageInUmsgidOrder) {
    sqfix::BuildOptions o;
    o.firstUmsgid = 10;
    o.umsgidStep = 5;
    o.reverseIndex = true;  // the list does not rely on the file order
    auto built = build(threeMessages(), o);
    auto headers = list();
    ASSERT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers[0].msgNumber, 10u);
    EXPECT_EQ(headers[1].msgNumber, 15u);
    EXPECT_EQ(headers[2].msgNumber, 20u);
    EXPECT_STREQ(headers[1].fromName, "Bob");
    EXPECT_STREQ(headers[1].toName, "Alice");
    EXPECT_STREQ(headers[1].subject, "Second");
    EXPECT_EQ(headers[0].dateWritten, parseFidoDate("05 Jan 07  13:45:30"));
    EXPECT_EQ(headers[1].dateWritten, parseFidoDate("31 Dec 99  23:59:59"));

    // The kludge hashes link the reply to the message it answers.
    const char* value = "2:5020/100.1 0000ABCD";
    EXPECT_EQ(headers[0].msgIdHash, 0u);
    EXPECT_EQ(headers[0].replyHash, 0u);
    EXPECT_EQ(headers[1].msgIdHash, kludgeHasher.compute(value, strlen(value)));
    EXPECT_EQ(headers[1].replyHash, 0u);
    EXPECT_EQ(headers[2].replyHash, headers[1].msgIdHash);
    EXPECT_NE(headers[2].msgIdHash, 0u);
}

TEST_F(SquishArea, ListAndFetchHideBytesAfterTheFirstZeroOfNames) {
    auto m = threeMessages();
    m[0].from = withZero("Alice\0garbage", 13);
    m[0].to = withZero("All\0\x01\x02\x03", 7);
    m[0].subject = withZero("First\0left over from an older subject", 38);
    m[1].from = std::string(36, 'F');  // a full field has no zero: copied whole
    build(m);
    auto headers = list();
    ASSERT_EQ(headers.size(), 3u);
    auto expectField = [](const char* field, size_t size, const std::string& text) {
        EXPECT_EQ(std::string(field, size), text + std::string(size - text.size(), '\0'));
    };
    expectField(headers[0].fromName, 36, "Alice");
    expectField(headers[0].toName, 36, "All");
    expectField(headers[0].subject, 72, "First");
    expectField(headers[1].fromName, 36, std::string(36, 'F'));

    CSquishArea area(base(), 3);
    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 1, out));
    pktMessage got = decodeMessage(reinterpret_cast<const uint8_t*>(out.getData()));
    expectField(got.header.fromName, 36, "Alice");
    expectField(got.header.toName, 36, "All");
    expectField(got.header.subject, 72, "First");
}

TEST_F(SquishArea, FetchGivesRecordThenControlLinesThenTextLines) {
    auto m = threeMessages();
    m[1].attr = 0x00010108;  // only the low 16 bits are reported
    m[1].orig = FidoAddr{2, 5020, 100, 1};
    m[1].dest = FidoAddr{1, 234, 56, 7};
    m[1].text = "Line one\r\nLine two\r";
    sqfix::BuildOptions o;
    o.firstUmsgid = 7;
    build(m, o);
    CSquishArea area(base(), 3);
    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 8, out));
    ASSERT_GE(out.getCount(), int32_t(kMessageRecordSize));
    pktMessage got = decodeMessage(reinterpret_cast<const uint8_t*>(out.getData()));
    EXPECT_EQ(got.header.msgNumber, 8u);
    EXPECT_STREQ(got.header.fromName, "Bob");
    EXPECT_EQ(got.header.dateWritten, parseFidoDate("31 Dec 99  23:59:59"));
    EXPECT_EQ(got.header.msgIdHash, 0u);
    EXPECT_EQ(got.header.replyHash, 0u);
    EXPECT_EQ(got.origAddr, (FidoAddr{2, 5020, 100, 1}));  // as the message header stores them
    EXPECT_EQ(got.destAddr, (FidoAddr{1, 234, 56, 7}));
    EXPECT_EQ(got.areaNumber, 0);
    EXPECT_EQ(got.attributes, 0x0108);
    std::vector<std::string> expected = {msgIdKludge("2:5020/100.1 0000ABCD"), std::string(1, kCtrlA) + "PID: Test 1",
                                         "Line one", "", "Line two"};
    EXPECT_EQ(fetchedLines(out), expected);

    EXPECT_FALSE(fetch(area, 6, out));
    EXPECT_FALSE(fetch(area, 10, out));
}

TEST_F(SquishArea, FetchSizesItsOutputOnce) {
    std::string ordinary, shortLines, kludgeBytes;
    while (ordinary.size() < (1u << 20)) ordinary += "A line of sixty characters, as in any long message body...\r";
    shortLines.assign(200000, '\r');        // every byte an empty line of two output bytes
    kludgeBytes.assign(200000, kCtrlA);     // every byte a line of three output bytes
    struct Case {
        const char* name;
        const std::string& text;
        int maxGrowths;
    };
    const Case cases[] = {{"ordinary lines", ordinary, 1}, {"empty lines", shortLines, 4}, {"^A bytes", kludgeBytes, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<sqfix::Message> m(1);
        m[0].text = c.text;
        build(m);
        CSquishArea area(base(), 3);
        GrowthCountingArray out;
        ASSERT_TRUE(fetch(area, 1, out));
        EXPECT_LE(out.growths, c.maxGrowths) << "the output grew in small steps";
        MCArray<char> expected;
        textToLines(c.text.c_str(), expected, int32_t(c.text.size()));
        ASSERT_EQ(out.getCount(), int32_t(kMessageRecordSize) + expected.getCount());
        EXPECT_EQ(memcmp(out.getData() + kMessageRecordSize, expected.getData(), size_t(expected.getCount())), 0);
    }
}

TEST_F(SquishArea, FetchFindsMessagesInAnIndexOutOfOrder) {
    sqfix::BuildOptions o;
    o.reverseIndex = true;
    o.trailingBlankRecords = 2;
    build(threeMessages(), o);
    CSquishArea area(base(), 3);
    MCArray<char> out;
    for (uint32_t n : {1u, 2u, 3u}) {
        ASSERT_TRUE(fetch(area, n, out)) << n;
        EXPECT_EQ(decodeMessage(reinterpret_cast<const uint8_t*>(out.getData())).header.msgNumber, n);
    }
    EXPECT_FALSE(fetch(area, kSqiBlankUmsgid, out));  // blank records are no messages
    EXPECT_FALSE(fetch(area, 4, out));
}

TEST_F(SquishArea, FetchFindsMessagesInLargeIndexes) {
    // Large enough that the index is searched in pieces rather than read whole.
    struct Case {
        const char* name;
        bool reverseIndex;
        bool skewed;  // the first record's UMSGID far below the others
        int blanks;
    };
    const Case cases[] = {
        {"ascending", false, false, 0},
        {"ascending with blank records", false, false, 40},
        {"descending", true, false, 0},
        {"numbers not evenly spread", false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sqfix::BuildOptions o;
        o.firstUmsgid = 1000;
        o.umsgidStep = 3;
        o.reverseIndex = c.reverseIndex;
        o.trailingBlankRecords = c.blanks;
        auto built = build(std::vector<sqfix::Message>(700), o);
        std::vector<uint32_t> present = built.umsgids;
        if (c.skewed) {
            sqfix::patchU32(sqfix::fileOf(base(), ".SQI"), 4, 1);
            present[0] = 1;
        }
        CSquishArea area(base(), 3);
        MCArray<char> out;
        for (size_t i = 0; i < present.size(); i += 7) {
            ASSERT_TRUE(fetch(area, present[i], out)) << present[i];
            EXPECT_EQ(decodeMessage(reinterpret_cast<const uint8_t*>(out.getData())).header.msgNumber, present[i]);
            EXPECT_FALSE(fetch(area, present[i] + 1, out)) << present[i] + 1;
        }
        EXPECT_TRUE(fetch(area, present.back(), out));
        EXPECT_TRUE(fetch(area, present.front(), out));
        EXPECT_FALSE(fetch(area, 0, out));
        EXPECT_FALSE(fetch(area, kSqiBlankUmsgid, out));
    }
}

TEST_F(SquishArea, EmptyBase) {
    build({});
    EXPECT_TRUE(list().empty());
    CSquishArea area(base(), 3);
    MCArray<char> out;
    EXPECT_FALSE(fetch(area, 1, out));
    EXPECT_FALSE(erase(1));
    EXPECT_EQ(stats(base()), std::make_pair(0u, 0u));
}

TEST_F(SquishArea, MissingFilesAndOverlongPaths) {
    CSquishArea missing(base(), 3);
    size_t listed = 0;
    EXPECT_TRUE(missing.getMsgList([&listed](const MessageSummary&) { return ++listed, true; }).isOk());
    EXPECT_EQ(listed, 0u);
    AreaStats counts{5, 5};
    EXPECT_EQ(missing.getAreaStats(counts).code(), AreaResult::Code::NotFound);
    EXPECT_EQ(counts.messages, 0u);
    EXPECT_EQ(counts.unread, 0u);

    // Data file without an index: nothing can be listed or posted.
    build(threeMessages());
    removeFile(sqfix::fileOf(base(), ".SQI"));
    EXPECT_TRUE(list().empty());
    EXPECT_FALSE(post("text\r"));

    // A base path that leaves no room for the extension cannot be used.
    ASSERT_LT(dir.path().size(), 200u);
    std::string longPath = dir.path() + "/" + std::string(256 - dir.path().size() - 1, 'x');
    ASSERT_EQ(longPath.size(), 256u);
    sqfix::buildBase(longPath, threeMessages());
    CSquishArea tooLong(longPath, 3);
    EXPECT_FALSE(tooLong.openBase().isOk());
    EXPECT_FALSE(tooLong.getAreaStats(counts).isOk());
    MCArray<char> out;
    EXPECT_FALSE(fetch(tooLong, 1, out));
    // One character shorter fits.
    std::string fits = longPath.substr(0, 255);
    sqfix::buildBase(fits, threeMessages());
    CSquishArea shorter(fits, 3);
    EXPECT_TRUE(fetch(shorter, 1, out));
}

// ---------------------------------------------------------------------------------------
// Unread counts

TEST_F(SquishArea, UnreadCounts) {
    struct Case {
        const char* name;
        std::optional<uint32_t> mark;
        bool reverseIndex;
        int blanks;
        uint32_t unread;
    };
    // Five messages with UMSGIDs 3, 5, 7, 9, 11.
    const Case cases[] = {
        {"no last-read file: every message unread", std::nullopt, false, 0, 5},
        {"mark 0", 0u, false, 0, 5},
        {"mark at the third record", 7u, false, 0, 2},
        {"mark between two records", 8u, false, 0, 2},
        {"mark at the last record", 11u, false, 0, 0},
        {"mark past every record", 1000u, false, 0, 0},
        {"blank records are passed over", 0xFFFFFFFFu, false, 3, 0},
        {"blank records with mark 0", 0u, false, 3, 5},
        {"index out of order: counted by UMSGID, as listed", 7u, true, 0, 2},
    };
    std::vector<sqfix::Message> m(5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sqfix::BuildOptions o;
        o.firstUmsgid = 3;
        o.umsgidStep = 2;
        o.lastReadMark = c.mark;
        o.reverseIndex = c.reverseIndex;
        o.trailingBlankRecords = c.blanks;
        build(m, o);
        EXPECT_EQ(stats(base()), std::make_pair(5u, c.unread));
        // Counting writes nothing, a last-read file least of all.
        EXPECT_EQ(access(sqfix::fileOf(base(), ".SQL").c_str(), F_OK) == 0, c.mark.has_value());
    }
}

TEST_F(SquishArea, UnreadCountWithShortLastReadFile) {
    // A last-read file too short to hold a mark is none: every message is unread.
    sqfix::BuildOptions o;
    o.lastReadMark = 2u;
    build(std::vector<sqfix::Message>(4), o);
    const std::string sql = sqfix::fileOf(base(), ".SQL");
    sqfix::truncateFile(sql, 3);
    EXPECT_EQ(stats(base()), std::make_pair(4u, 4u));
    sqfix::truncateFile(sql, 0);
    EXPECT_EQ(stats(base()), std::make_pair(4u, 4u));
    EXPECT_EQ(sqfix::readFileBytes(sql), std::vector<uint8_t>{}) << "nothing is written";
    sqfix::patchU32(sql, 0, 0);
    EXPECT_EQ(stats(base()), std::make_pair(4u, 4u));
    // Without an index nothing is listed, and nothing is counted.
    removeFile(sqfix::fileOf(base(), ".SQI"));
    EXPECT_TRUE(list().empty());
    CSquishArea area(base(), 3);
    AreaStats counts{9, 9};
    EXPECT_EQ(area.getAreaStats(counts).code(), AreaResult::Code::NotFound);
    EXPECT_EQ(counts.messages, 0u);
    EXPECT_EQ(counts.unread, 0u);
}

// ---------------------------------------------------------------------------------------
// New messages

struct SplitCase {
    const char* name;
    std::string text;
    std::string controlAfterMsgId;  // what follows the MSGID kludge in the control information
    std::string storedText;         // the text as stored, final zero included
};

const SplitCase kSplitCases[] = {
    {"body lines", "Body line\rSecond\r", std::string(1, '\0'), withZero("Body line\rSecond\r\0", 18)},
    {"no carriage return", "No CR at all", "", withZero("No CR at all\0", 13)},
    {"two kludges then a body line", "\x01PID: a\r\x01TID: b\rBody\r", std::string("\x01PID: a\x01TID: b") + '\0',
     withZero("Body\r\0", 6)},
    {"kludge after the first body line stays in the text", "Body\r\x01LATE: x\r", std::string(1, '\0'),
     withZero("Body\r\x01LATE: x\r\0", 15)},
    {"empty text", "", "", withZero("\0", 1)},
    {"kludge without a line end is text", "\x01PID: a", "", withZero("\x01PID: a\0", 8)},
    {"kludge then a rest without line end", "\x01K\rtail", "\x01K", withZero("tail\0", 5)},
    {"empty lines and line feeds are text", "\r\nX\r", std::string(1, '\0'), withZero("\r\nX\r\0", 5)},
};

TEST_F(SquishArea, NewMessageSplitsControlInformationAndText) {
    for (const SplitCase& c : kSplitCases) {
        SCOPED_TRACE(c.name);
        build({});
        ASSERT_TRUE(post(c.text.c_str()));
        BaseImage img = image();
        ASSERT_EQ(img.header.numMsg, 1u);
        Frame f = frameAt(img, img.header.beginFrame);
        // ^A "MSGID: 2:5020/100.0 " and eight upper-case hexadecimal digits.
        std::string prefix = msgIdKludge("2:5020/100.0 ");
        ASSERT_GE(f.control.size(), prefix.size() + 8);
        EXPECT_EQ(f.control.substr(0, prefix.size()), prefix);
        std::string serial = f.control.substr(prefix.size(), 8);
        EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos) << serial;
        EXPECT_EQ(f.control.substr(prefix.size() + 8), c.controlAfterMsgId);
        EXPECT_EQ(f.text, c.storedText);
        EXPECT_EQ(f.header.msgLength, 238 + f.control.size() + f.text.size());
        EXPECT_EQ(f.header.frameLength, f.header.msgLength);
        expectSound();
    }
}

TEST_F(SquishArea, NewMessageInAnEmptyBaseWritesEveryField) {
    sqfix::BuildOptions o;
    o.nextUmsgid = 100;
    build({}, o);
    ASSERT_TRUE(post("Hello\r", "Some Body"));

    BaseImage img = image();
    const auto& h = img.header;
    EXPECT_EQ(h.numMsg, 1u);
    EXPECT_EQ(h.highMsg, 1u);
    EXPECT_EQ(h.nextUmsgid, 101u);
    EXPECT_EQ(h.beginFrame, 256u);
    EXPECT_EQ(h.lastFrame, 256u);
    EXPECT_EQ(h.freeFrame, 0u);
    EXPECT_EQ(h.endFrame, img.sqd.size());
    // The fields the server keeps are still there.
    EXPECT_EQ(std::string(img.sqd.begin() + off::kBaseName, img.sqd.begin() + off::kBaseName + 8), "TESTBASE");
    EXPECT_EQ(img.sqd[130], 28);

    Frame f = frameAt(img, 256);
    EXPECT_EQ(f.header.frameId, kSquishFrameId);
    EXPECT_EQ(f.header.nextFrame, 0u);
    EXPECT_EQ(f.header.prevFrame, 0u);
    EXPECT_EQ(f.header.frameType, 0);
    EXPECT_EQ(f.header.reserved, 0);
    EXPECT_EQ(img.sqd.size(), 256u + 28 + f.header.frameLength);

    EXPECT_EQ(f.msg.attr, 0x000A0100u);
    EXPECT_EQ(f.msg.fromRaw, withZero("Poster", 6) + std::string(30, '\0'));
    EXPECT_EQ(f.msg.to, "Some Body");
    EXPECT_EQ(f.msg.subject, "Posted subject");
    EXPECT_EQ(f.msg.orig, (FidoAddr{2, 5020, 100, 0}));
    EXPECT_EQ(f.msg.dest, (FidoAddr{2, 5020, 1, 0}));
    EXPECT_EQ(f.msg.utcOffset, 0);
    EXPECT_EQ(f.msg.replyLinksRaw, std::string(40, '\0'));
    EXPECT_EQ(f.msg.umsgid, 100u);

    // Date text and binary stamps are the local time of posting; the MSGID serial carries
    // the same moment in UTC.
    EXPECT_EQ(f.msg.dateTextRaw, std::string("05 Mar 26  07:08:09") + '\0');
    EXPECT_EQ(f.msg.dateWritten, (5u | 3u << 5 | 46u << 9) | (4u | 8u << 5 | 7u << 11) << 16);
    EXPECT_EQ(f.msg.dateWritten, parseFidoDate(f.msg.dateTextRaw.c_str()));
    EXPECT_EQ(f.msg.dateArrived, f.msg.dateWritten);
    const std::string msgId = msgIdKludge("2:5020/100.0 ");
    ASSERT_EQ(f.control.substr(0, msgId.size()), msgId);
    EXPECT_EQ(f.control.substr(msgId.size() + 1, 7), "248314A") << "09 s, 08 min, 06 h, the 5th, March, 2026";

    ASSERT_EQ(img.index.size(), 1u);
    EXPECT_EQ(img.index[0].frameOffset, 256u);
    EXPECT_EQ(img.index[0].umsgid, 100u);
    EXPECT_EQ(img.index[0].nameHash, sqfix::nameHash("Some Body"));
    expectSound();

    CSquishArea area(base(), 3);
    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 100, out));
    EXPECT_EQ(fetchedLines(out).back(), "Hello");
}

TEST_F(SquishArea, NewMessagesAreChainedAfterTheLastFrame) {
    auto built = build(threeMessages());
    ASSERT_TRUE(post("one\r"));
    ASSERT_TRUE(post("two\r"));
    BaseImage img = image();
    EXPECT_EQ(img.header.numMsg, 5u);
    EXPECT_EQ(img.header.nextUmsgid, 6u);
    EXPECT_EQ(img.header.beginFrame, built.frameOffsets[0]);
    auto chain = img.chain(img.header.beginFrame);
    ASSERT_EQ(chain.size(), 5u);
    EXPECT_EQ(chain[3], built.frameOffsets[2] + 28 + frameAt(img, built.frameOffsets[2]).header.frameLength);
    EXPECT_EQ(frameAt(img, chain[3]).header.prevFrame, built.frameOffsets[2]);
    EXPECT_EQ(frameAt(img, chain[4]).header.prevFrame, chain[3]);
    EXPECT_EQ(img.header.lastFrame, chain[4]);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    expectSound();
}

TEST_F(SquishArea, NewMessageGoesAtTheTrueEndOfTheData) {
    build(threeMessages());
    uint32_t fileEnd = uint32_t(image().sqd.size());
    sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), off::kEndFrame, 256);  // stale endFrame
    ASSERT_TRUE(post("text\r"));
    BaseImage img = image();
    EXPECT_EQ(img.header.lastFrame, fileEnd);
    EXPECT_EQ(img.header.endFrame, img.sqd.size());
    expectSound();
}

TEST_F(SquishArea, NewMessageNamesFillTheirFieldsWithoutTerminator) {
    build({});
    NewMessage m;
    m.fromName.assign(40, 'F');  // longer than the fields: cut to them
    m.toName.assign(36, 'T');
    m.subject.assign(72, 'S');
    CSquishArea area(base(), 3);
    ASSERT_TRUE(store(area, m, "x").isOk());
    BaseImage img = image();
    Frame f = frameAt(img, 256);
    EXPECT_EQ(f.msg.fromRaw, std::string(36, 'F'));
    EXPECT_EQ(f.msg.toRaw, std::string(36, 'T'));
    EXPECT_EQ(f.msg.subjectRaw, std::string(72, 'S'));
    EXPECT_EQ(img.index[0].nameHash, sqfix::nameHash(std::string(36, 'T')));
    expectSound();
}

TEST_F(SquishArea, NewMessageRecordReplacesTheFirstTrailingBlankRecord) {
    sqfix::BuildOptions o;
    o.trailingBlankRecords = 2;
    build(threeMessages(), o);
    ASSERT_TRUE(post("text\r"));
    BaseImage img = image();
    ASSERT_EQ(img.index.size(), 5u);
    EXPECT_EQ(img.index[3].umsgid, 4u);
    EXPECT_EQ(img.index[3].frameOffset, img.header.lastFrame);
    EXPECT_TRUE(img.index[4].isBlank());
    expectSound();

    ASSERT_TRUE(post("again\r"));
    img = image();
    ASSERT_EQ(img.index.size(), 5u);
    EXPECT_EQ(img.index[4].umsgid, 5u);
    ASSERT_TRUE(post("and again\r"));
    img = image();
    ASSERT_EQ(img.index.size(), 6u);
    EXPECT_EQ(img.index[5].umsgid, 6u);
    expectSound();
}

TEST_F(SquishArea, NewMessageRecordFollowsTheLastWholeRecord) {
    build(threeMessages());
    std::string sqi = sqfix::fileOf(base(), ".SQI");
    sqfix::patchBytes(sqi, 36, "x");  // a stray byte after the three records
    ASSERT_TRUE(post("text\r"));
    BaseImage img = image();
    EXPECT_EQ(img.sqi.size(), 48u);
    ASSERT_EQ(img.index.size(), 4u);
    EXPECT_EQ(img.index[3].umsgid, 4u);
    expectSound();
}

TEST_F(SquishArea, NewMessageRefusesABrokenChainWithoutWriting) {
    struct Case {
        const char* name;
        uint32_t offset, value;
    };
    const Case cases[] = {
        {"last frame past the end", off::kLastFrame, 1u << 24},
        {"last frame inside the base header", off::kLastFrame, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(threeMessages());
        sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), c.offset, c.value);
        auto before = snapshot();
        EXPECT_FALSE(post("text\r"));
        EXPECT_EQ(snapshot(), before);
    }
    build(threeMessages());
    sqfix::truncateFile(sqfix::fileOf(base(), ".SQD"), 200);  // shorter than the base header
    auto before = snapshot();
    EXPECT_FALSE(post("text\r"));
    EXPECT_EQ(snapshot(), before);
}

// ---------------------------------------------------------------------------------------
// Delete

TEST_F(SquishArea, DeleteUnlinksTheFrameAndFreesIt) {
    struct Case {
        const char* name;
        int victim;      // 0..2 of three messages
        int freeFrames;  // frames already on the free chain
    };
    const Case cases[] = {
        {"first", 0, 0}, {"middle", 1, 0}, {"last", 2, 0}, {"middle, free chain in use", 1, 2},
        {"first, free chain in use", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sqfix::BuildOptions o;
        o.freeFrames = c.freeFrames;
        o.firstUmsgid = 20;
        auto built = build(threeMessages(), o);
        uint32_t victim = built.frameOffsets[size_t(c.victim)];
        uint32_t number = built.umsgids[size_t(c.victim)];
        ASSERT_TRUE(erase(number));

        BaseImage img = image();
        EXPECT_EQ(img.header.numMsg, 2u);
        EXPECT_EQ(img.header.highMsg, 2u);
        EXPECT_EQ(img.header.nextUmsgid, 23u);  // never lowered
        EXPECT_EQ(img.header.endFrame, img.sqd.size());

        std::vector<uint32_t> remaining;
        for (int i = 0; i < 3; ++i)
            if (i != c.victim) remaining.push_back(built.frameOffsets[size_t(i)]);
        EXPECT_EQ(img.chain(img.header.beginFrame), remaining);
        EXPECT_EQ(img.header.lastFrame, remaining.back());

        std::vector<uint32_t> frees = built.freeOffsets;
        frees.push_back(victim);
        EXPECT_EQ(img.chain(img.header.freeFrame), frees);
        EXPECT_EQ(img.header.lastFreeFrame, victim);
        Frame f = frameAt(img, victim);
        EXPECT_EQ(f.header.frameType, 1);
        EXPECT_EQ(f.header.prevFrame, built.freeOffsets.empty() ? 0u : built.freeOffsets.back());
        EXPECT_EQ(f.header.nextFrame, 0u);
        EXPECT_EQ(f.header.frameId, kSquishFrameId);
        EXPECT_EQ(f.msg.subject, threeMessages()[size_t(c.victim)].subject);  // data stays

        ASSERT_EQ(img.sqi.size(), 24u);
        for (const auto& r : img.index) EXPECT_NE(r.umsgid, number);
        expectSound();
        std::vector<uint32_t> listed = listedNumbers();
        EXPECT_EQ(listed.size(), 2u);
        EXPECT_EQ(std::count(listed.begin(), listed.end(), number), 0);
    }
}

TEST_F(SquishArea, DeleteOfTheOnlyMessageEmptiesTheBase) {
    std::vector<sqfix::Message> one(1);
    auto built = build(one);
    ASSERT_TRUE(erase(1));
    BaseImage img = image();
    EXPECT_EQ(img.header.numMsg, 0u);
    EXPECT_EQ(img.header.beginFrame, 0u);
    EXPECT_EQ(img.header.lastFrame, 0u);
    EXPECT_EQ(img.header.freeFrame, built.frameOffsets[0]);
    EXPECT_EQ(img.header.lastFreeFrame, built.frameOffsets[0]);
    EXPECT_TRUE(img.sqi.empty());
    expectSound();

    // The UMSGID is not given again.
    ASSERT_TRUE(post("after\r"));
    EXPECT_EQ(listedNumbers(), std::vector<uint32_t>{2});
    expectSound();
}

TEST_F(SquishArea, DeleteRewritesTheIndexInPlace) {
    sqfix::BuildOptions o;
    o.trailingBlankRecords = 2;
    o.reverseIndex = true;
    build(threeMessages(), o);
    std::string sqi = sqfix::fileOf(base(), ".SQI");
    struct stat st1, st2;
    ASSERT_EQ(stat(sqi.c_str(), &st1), 0);
    OsFile held = OsFile::openExisting(sqi, OsFile::Mode::ReadOnly);  // another program's handle
    ASSERT_TRUE(erase(2));
    ASSERT_EQ(stat(sqi.c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);
    // Sorted, without the blank records, and seen through the handle held open.
    EXPECT_EQ(held.length(), 24);
    BaseImage img = image();
    ASSERT_EQ(img.index.size(), 2u);
    EXPECT_EQ(img.index[0].umsgid, 1u);
    EXPECT_EQ(img.index[1].umsgid, 3u);
    expectSound();
}

TEST_F(SquishArea, DeleteAllThenPostKeepsTheBaseSound) {
    auto built = build(threeMessages());
    for (uint32_t n : {2u, 3u, 1u}) {
        ASSERT_TRUE(erase(n));
        expectSound();
    }
    EXPECT_EQ(image().chain(image().header.freeFrame),
              (std::vector<uint32_t>{built.frameOffsets[1], built.frameOffsets[2], built.frameOffsets[0]}));
    ASSERT_TRUE(post("fresh\r"));
    ASSERT_TRUE(post("fresher\r"));
    ASSERT_TRUE(erase(4));
    expectSound();
    EXPECT_EQ(listedNumbers(), std::vector<uint32_t>{5});
}

TEST_F(SquishArea, DeleteRights) {
    const FidoAddr owner{2, 5020, 100, 1};
    struct Case {
        const char* name;
        std::string control;
        uint32_t attr;
        FidoAddr requester;
        bool mayDeleteAny;
        const char* refusal;  // nullptr: removed
    };
    const std::string ownMsgId = msgIdKludge("2:5020/100.1 0000ABCD");
    const std::string pid = std::string(1, kCtrlA) + "PID: X";
    const Case cases[] = {
        {"own unsent message", pid + ownMsgId, 0, owner, false, nullptr},
        {"another address", ownMsgId, 0, FidoAddr{2, 5020, 100, 0}, false, "not yours"},
        {"another zone", ownMsgId, 0, FidoAddr{1, 5020, 100, 1}, false, "not yours"},
        {"sent", ownMsgId, 0x0008, owner, false, "already sent"},
        {"no control information", "", 0, owner, false, "no MSGID names its author"},
        {"no MSGID kludge", pid, 0, owner, false, "no MSGID names its author"},
        {"MSGID without an address", std::string(1, kCtrlA) + "MSGID: nothing", 0, owner, false,
         "no MSGID names its author"},
        {"super user: another address, sent", ownMsgId, 0x0008, FidoAddr{9, 9, 9, 9}, true, nullptr},
        {"super user: no control information", "", 0, FidoAddr{}, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = threeMessages();
        m[1].control = c.control;
        m[1].attr = c.attr;
        build(m);
        auto before = snapshot();
        CSquishArea area(base(), 3);
        AreaResult r = deleteAs(area, 2, c.requester, c.mayDeleteAny);
        if (!c.refusal) {
            EXPECT_TRUE(r.isOk()) << r.reason();
            EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 3}));
            expectSound();
        } else {
            EXPECT_EQ(r.code(), AreaResult::Code::Forbidden);
            EXPECT_EQ(r.reason(), c.refusal);
            EXPECT_EQ(snapshot(), before);
        }
    }
}

TEST_F(SquishArea, DeleteRefusesAFrameAlreadyFree) {
    sqfix::BuildOptions o;
    o.freeFrames = 1;
    auto built = build(threeMessages(), o);
    // A stale index record naming the free frame.
    sqfix::patchU32(sqfix::fileOf(base(), ".SQI"), 12, built.freeOffsets[0]);
    auto before = snapshot();
    EXPECT_FALSE(erase(2));
    EXPECT_EQ(snapshot(), before);
}

// ---------------------------------------------------------------------------------------
// Damaged files

TEST_F(SquishArea, DamagedFramesAreUnreadable) {
    enum Where { kFrame, kIndex };
    struct Patch {
        uint32_t field;  // offset within the frame header, or within the index record
        uint32_t value;
    };
    struct Case {
        const char* name;
        Where where;
        std::vector<Patch> patches;
        const char* cause;  // what the fetch of message 2 says is wrong with its frame
    };
    const Case cases[] = {
        {"bad frame id", kFrame, {{off::kFrameId, 0xAFAE4454u}}, "has no frame id"},
        {"message shorter than its header", kFrame, {{off::kMsgLength, 200}}, "less than a message header"},
        {"huge message length", kFrame, {{off::kMsgLength, 0xFFFFFFF0u}}, "in a frame of"},
        {"message longer than the frame", kFrame, {{off::kFrameLength, 238}}, "in a frame of 238"},
        {"control longer than the message", kFrame, {{off::kControlLength, 100000}}, "100000 bytes of control"},
        {"huge control length", kFrame, {{off::kControlLength, 0xFFFFFFFFu}}, "bytes of control information"},
        {"lengths past the end of the file", kFrame, {{off::kFrameLength, 0x7FFFFFF0u}, {off::kMsgLength, 0x7FFFFF00u}},
         "runs past the end of the data file"},
        {"index points past the end", kIndex, {{0, 0x00100000u}}, "(offset 1048576) runs past the end of the data file"},
        {"index points to offset 0", kIndex, {{0, 0}}, nullptr},  // names no frame: no message 2 at all
        {"index points into the base header", kIndex, {{0, 10}}, "(offset 10) lies inside the base header"},
        {"index offset negative as signed", kIndex, {{0, 0x80000200u}}, "lies past the 32-bit offsets"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto built = build(threeMessages());
        for (const Patch& p : c.patches) {
            if (c.where == kFrame)
                sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), built.frameOffsets[1] + p.field, p.value);
            else
                sqfix::patchU32(sqfix::fileOf(base(), ".SQI"), 12 + p.field, p.value);
        }
        EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 3}));
        // The counts are those of the list: no .SQL, so both listed messages are unread.
        EXPECT_EQ(stats(base()), std::make_pair(2u, 2u));
        CSquishArea area(base(), 3);
        StoredMessage unreadable;
        AreaResult r = area.getMessage(2, unreadable);
        if (c.cause) {
            EXPECT_EQ(r.code(), AreaResult::Code::Damaged);
            EXPECT_NE(r.reason().find("Squish base " + base() + ": the frame of message 2 "), std::string::npos)
                << r.reason();
            EXPECT_NE(r.reason().find(c.cause), std::string::npos) << r.reason();
        } else {
            EXPECT_EQ(r.code(), AreaResult::Code::NotFound) << r.reason();
        }
        MCArray<char> out;
        EXPECT_TRUE(fetch(area, 3, out));
        auto before = snapshot();
        EXPECT_FALSE(erase(2));
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(SquishArea, TruncatedFiles) {
    // Data file cut inside the last message: that message is unreadable, the others are not.
    auto built = build(threeMessages());
    std::string sqd = sqfix::fileOf(base(), ".SQD");
    sqfix::truncateFile(sqd, built.frameOffsets[2] + 28 + 240);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2}));
    CSquishArea area(base(), 3);
    MCArray<char> out;
    EXPECT_FALSE(fetch(area, 3, out));
    // Cut inside the headers of the last frame.
    sqfix::truncateFile(sqd, built.frameOffsets[2] + 100);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2}));
    EXPECT_FALSE(fetch(area, 3, out));
    EXPECT_EQ(stats(base()).first, 2u) << "counted as listed";
    // Cut inside the base header: nothing can be read or counted.
    sqfix::truncateFile(sqd, 100);
    EXPECT_TRUE(list().empty());
    AreaStats counts;
    EXPECT_EQ(area.getAreaStats(counts).code(), AreaResult::Code::Damaged);

    // Index of 25 bytes: two whole records, the last byte ignored.
    build(threeMessages());
    sqfix::truncateFile(sqfix::fileOf(base(), ".SQI"), 25);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2}));
    EXPECT_FALSE(fetch(area, 3, out));
    EXPECT_TRUE(fetch(area, 2, out));
}

TEST_F(SquishArea, FetchCutsAtTheStoredLengths) {
    // Control information without its closing zero and a text without a final zero: the
    // reader keeps to controlLength and msgLength.
    auto m = threeMessages();
    auto built = build(m);
    std::string sqd = sqfix::fileOf(base(), ".SQD");
    BaseImage img = image();
    Frame f = frameAt(img, built.frameOffsets[1]);
    // Overwrite the text's final zero with a letter: the last line still ends at msgLength.
    sqfix::patchBytes(sqd, built.frameOffsets[1] + 28 + f.header.msgLength - 1, "Z");
    CSquishArea area(base(), 3);
    MCArray<char> out;
    ASSERT_TRUE(fetch(area, 2, out));
    auto lines = fetchedLines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Z");
}

// ---------------------------------------------------------------------------------------
// Walks with the texts

void expectSameMessage(const StoredMessage& a, const StoredMessage& b) {
    EXPECT_EQ(a.summary.number, b.summary.number);
    EXPECT_EQ(a.summary.fromName, b.summary.fromName);
    EXPECT_EQ(a.summary.toName, b.summary.toName);
    EXPECT_EQ(a.summary.subject, b.summary.subject);
    EXPECT_EQ(std::string(a.summary.dateText, sizeof a.summary.dateText),
              std::string(b.summary.dateText, sizeof b.summary.dateText));
    EXPECT_EQ(a.summary.origAddr, b.summary.origAddr);
    EXPECT_EQ(a.summary.destAddr, b.summary.destAddr);
    EXPECT_EQ(a.summary.msgId, b.summary.msgId);
    EXPECT_EQ(a.summary.reply, b.summary.reply);
    EXPECT_EQ(a.summary.msgIdHash, b.summary.msgIdHash);
    EXPECT_EQ(a.summary.replyHash, b.summary.replyHash);
    EXPECT_EQ(a.attributes, b.attributes);
    EXPECT_EQ(a.control, b.control);
    EXPECT_EQ(a.text, b.text);
}

// What readMessages hands out from `from` on, at most `most` messages.
std::vector<StoredMessage> walkTexts(CEchoArea& area, uint32_t from, size_t most = SIZE_MAX) {
    std::vector<StoredMessage> out;
    EXPECT_TRUE(area.readMessages(from, [&](const StoredMessage& m) {
                        out.push_back(m);
                        return out.size() < most;
                    }).isOk());
    return out;
}

std::vector<uint32_t> numbersOf(const std::vector<StoredMessage>& messages) {
    std::vector<uint32_t> n;
    for (const StoredMessage& m : messages) n.push_back(m.summary.number);
    return n;
}

// Short messages one after another, and among them a text longer than a list reads
// ahead, control information longer than that, a message of more than 64 KiB and a frame
// with unused bytes at its end.
std::vector<sqfix::Message> mixedMessages() {
    std::vector<sqfix::Message> m = threeMessages();
    for (int i = 0; i < 60; ++i) {
        sqfix::Message x;
        x.from = "Writer " + std::to_string(i);
        x.subject = "Subject " + std::to_string(i);
        x.control = msgIdKludge(("2:5020/" + std::to_string(100 + i) + " 0000000" + std::to_string(i % 10)).c_str());
        x.text = "Text of message " + std::to_string(i) + "\r";
        x.orig = FidoAddr{2, 5020, uint16_t(100 + i), 0};
        x.attr = uint32_t(i);
        if (i == 5) x.text = std::string(3000, 'a') + "\r";
        if (i == 9)
            for (int k = 0; k < 60; ++k) x.control += std::string(1, kCtrlA) + "KLUDGE" + std::to_string(k) + ": value";
        if (i == 13) x.text = std::string(100000, 'b') + "\r";
        if (i == 17) x.framePadding = 500;
        if (i == 40) x.text = std::string(70000, 'c') + "\r";
        m.push_back(x);
    }
    return m;
}

TEST_F(SquishArea, WalkWithTextsGivesWhatFetchGives) {
    const std::vector<sqfix::Message> m = mixedMessages();
    sqfix::BuildOptions o;
    o.firstUmsgid = 5;
    o.umsgidStep = 3;
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "index in descending order" : "index in order");
        o.reverseIndex = reverse;
        build(m, o);
        CSquishArea area(base(), 3);
        const std::vector<StoredMessage> walked = walkTexts(area, 0);
        const std::vector<uint32_t> numbers = numbersOf(walked);
        ASSERT_EQ(numbers, listedNumbers());
        ASSERT_EQ(numbers.size(), m.size());
        for (const StoredMessage& w : walked) {
            StoredMessage fetched;
            ASSERT_TRUE(area.getMessage(w.summary.number, fetched).isOk());
            expectSameMessage(w, fetched);
        }
        // From a number on (one that is there, one between two), and ended early.
        std::vector<uint32_t> rest(numbers.begin() + 20, numbers.end());
        EXPECT_EQ(numbersOf(walkTexts(area, numbers[20])), rest);
        EXPECT_EQ(numbersOf(walkTexts(area, numbers[19] + 1)), rest);
        EXPECT_EQ(numbersOf(walkTexts(area, 0, 3)), std::vector<uint32_t>(numbers.begin(), numbers.begin() + 3));
        EXPECT_TRUE(walkTexts(area, numbers.back() + 1).empty());
    }
}

TEST_F(SquishArea, WalkWithTextsTakesFramesInAnyOrder) {
    // The index names the frames backwards: message 1 lies last in the data file.
    const std::vector<sqfix::Message> m = mixedMessages();
    build(m);
    const std::string sqi = sqfix::fileOf(base(), ".SQI");
    std::vector<uint8_t> index = sqfix::readFileBytes(sqi);
    const size_t records = index.size() / sqfix::kIndexRecordSize;
    for (size_t i = 0; i < records / 2; ++i)
        for (size_t k = 0; k < 4; ++k)
            std::swap(index[i * 12 + k], index[(records - 1 - i) * 12 + k]);
    sqfix::writeFileBytes(sqi, index);
    CSquishArea area(base(), 3);
    const std::vector<StoredMessage> walked = walkTexts(area, 0);
    ASSERT_EQ(numbersOf(walked), listedNumbers());
    ASSERT_EQ(walked.size(), m.size());
    EXPECT_EQ(walked.front().summary.subject, m.back().subject);
    for (const StoredMessage& w : walked) {
        StoredMessage fetched;
        ASSERT_TRUE(area.getMessage(w.summary.number, fetched).isOk());
        expectSameMessage(w, fetched);
    }
}

TEST_F(SquishArea, WalkWithTextsLeavesOutWhatTheListLeavesOut) {
    // A damaged frame among short ones, and a data file cut inside its last message.
    const std::vector<sqfix::Message> m = mixedMessages();
    auto built = build(m);
    const std::string sqd = sqfix::fileOf(base(), ".SQD");
    sqfix::patchU32(sqd, built.frameOffsets[7] + off::kFrameId, 0);
    sqfix::patchU32(sqd, built.frameOffsets[30] + off::kControlLength, 100000);
    sqfix::truncateFile(sqd, built.frameOffsets.back() + 28 + 240);
    CSquishArea area(base(), 3);
    const std::vector<StoredMessage> walked = walkTexts(area, 0);
    const std::vector<uint32_t> numbers = numbersOf(walked);
    EXPECT_EQ(numbers, listedNumbers());
    EXPECT_EQ(numbers.size(), m.size() - 3);
    for (uint32_t gone : {built.umsgids[7], built.umsgids[30], built.umsgids.back()})
        EXPECT_EQ(std::find(numbers.begin(), numbers.end(), gone), numbers.end()) << gone;
    for (const StoredMessage& w : walked) {
        StoredMessage fetched;
        ASSERT_TRUE(area.getMessage(w.summary.number, fetched).isOk());
        expectSameMessage(w, fetched);
    }
}

// The walk in pieces of `size` messages, as the news door makes an overview: each piece a
// walk of its own (the door opens the area anew) that goes on where the last one stopped,
// with the last one's mark. `between(piece)` runs after each piece but the last;
// `marksLeft` counts the pieces that left a mark.
std::vector<StoredMessage> walkInPieces(const std::string& base, size_t size,
                                        const std::function<void(int)>& between = {}, size_t* marksLeft = nullptr) {
    std::vector<StoredMessage> out;
    WalkMark mark;
    uint32_t from = 0;
    for (int piece = 0;; ++piece) {
        CSquishArea area(base, 3);
        bool stopped = false;
        size_t taken = 0;
        EXPECT_TRUE(area.readMessages(
                            from,
                            [&](const StoredMessage& m) {
                                if (taken == size) {
                                    stopped = true;
                                    from = m.summary.number;
                                    return false;
                                }
                                out.push_back(m);
                                ++taken;
                                return true;
                            },
                            &mark)
                        .isOk());
        if (!stopped) {
            EXPECT_EQ(mark.position, -1) << "a walk to the end leaves no mark";
            return out;
        }
        if (mark.position >= 0) {
            EXPECT_EQ(mark.number, from) << "the mark names the message the piece stopped at";
            if (marksLeft) ++*marksLeft;
        }
        if (between) between(piece);
    }
}

void expectSameWalk(const std::vector<StoredMessage>& got, const std::vector<StoredMessage>& expected) {
    ASSERT_EQ(numbersOf(got), numbersOf(expected));
    for (size_t i = 0; i < got.size(); ++i) expectSameMessage(got[i], expected[i]);
}

TEST_F(SquishArea, WalkInPiecesGoesOnFromItsMark) {
    const std::vector<sqfix::Message> m = mixedMessages();
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "index in descending order" : "index in order");
        sqfix::BuildOptions o;
        o.reverseIndex = reverse;
        o.trailingBlankRecords = 3;
        build(m, o);
        CSquishArea area(base(), 3);
        const std::vector<StoredMessage> whole = walkTexts(area, 0);
        ASSERT_EQ(whole.size(), m.size());
        for (size_t size : {1, 7, 20, 62}) {
            SCOPED_TRACE("pieces of " + std::to_string(size));
            size_t marks = 0;
            expectSameWalk(walkInPieces(base(), size, {}, &marks), whole);
            // Only an index in order gives the places of its records.
            EXPECT_EQ(marks, reverse ? 0u : (m.size() - 1) / size);
        }
    }
    // Records that name no frame among the others: the first mark, made from the loaded
    // index, does not fit the file; the walk finds its place as usual and goes on.
    build(m);
    const std::string sqi = sqfix::fileOf(base(), ".SQI");
    std::vector<uint8_t> index = sqfix::readFileBytes(sqi);
    const uint8_t blank[12] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    index.insert(index.begin() + 12 * 4, blank, blank + 12);
    index.insert(index.begin() + 12 * 30, blank, blank + 12);
    sqfix::writeFileBytes(sqi, index);
    CSquishArea area(base(), 3);
    const std::vector<StoredMessage> whole = walkTexts(area, 0);
    ASSERT_EQ(whole.size(), m.size());
    for (size_t size : {1, 7, 20}) {
        size_t marks = 0;
        expectSameWalk(walkInPieces(base(), size, {}, &marks), whole);
        EXPECT_GT(marks, 0u);
    }
}

TEST_F(SquishArea, WalkInPiecesSeesWhatChangesBetweenThem) {
    // After the first piece of 10 (the mark is at the 11th message): what a walk from
    // there finds then, whatever was added or deleted.
    struct Case {
        const char* name;
        std::function<void(const std::vector<uint32_t>&)> change;
    };
    const Case cases[] = {
        {"a message added", [this](const std::vector<uint32_t>&) { EXPECT_TRUE(post("New\r")); }},
        {"a message after the mark deleted", [this](const std::vector<uint32_t>& n) { EXPECT_TRUE(erase(n[20])); }},
        {"a message before the mark deleted", [this](const std::vector<uint32_t>& n) { EXPECT_TRUE(erase(n[3])); }},
        {"the marked message deleted", [this](const std::vector<uint32_t>& n) { EXPECT_TRUE(erase(n[10])); }},
        {"the last message deleted, one added",
         [this](const std::vector<uint32_t>& n) {
             EXPECT_TRUE(erase(n.back()));
             EXPECT_TRUE(post("New\r"));
         }},
    };
    const std::vector<sqfix::Message> m = mixedMessages();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(m);
        std::vector<uint32_t> numbers;
        {
            CSquishArea area(base(), 3);
            numbers = numbersOf(walkTexts(area, 0));
        }
        std::vector<StoredMessage> expected;
        const std::vector<StoredMessage> got = walkInPieces(base(), 10, [&](int piece) {
            if (piece != 0) return;
            c.change(numbers);
            CSquishArea area(base(), 3);
            expected = walkTexts(area, numbers[10]);
        });
        ASSERT_GE(got.size(), 10u);
        expectSameWalk(std::vector<StoredMessage>(got.begin() + 10, got.end()), expected);
    }
}

TEST_F(SquishArea, AMarkThatDoesNotFitIsLeftAside) {
    const std::vector<sqfix::Message> m = mixedMessages();
    build(m);
    CSquishArea area(base(), 3);
    const std::vector<StoredMessage> whole = walkTexts(area, 0);
    const uint32_t from = whole[12].summary.number;
    const std::vector<StoredMessage> expected(whole.begin() + 12, whole.end());
    const WalkMark marks[] = {
        WalkMark{5, whole[5].summary.number, 0},          // a mark for another start
        WalkMark{12, from, 1},                            // another frame
        WalkMark{100000, from, 0},                        // past the index
        WalkMark{3, from, 0},                             // another record's place
    };
    for (WalkMark mark : marks) {
        std::vector<StoredMessage> got;
        EXPECT_TRUE(area.readMessages(
                            from,
                            [&](const StoredMessage& msg) {
                                got.push_back(msg);
                                return true;
                            },
                            &mark)
                        .isOk());
        expectSameWalk(got, expected);
        EXPECT_EQ(mark.position, -1);
    }
}

// ---------------------------------------------------------------------------------------
// Base files with lower-case extensions

TEST_F(SquishArea, LowerCaseBaseIsServed) {
    sqfix::BuildOptions o;
    o.lowerCaseNames = true;
    o.lastReadMark = 1u;
    build(threeMessages(), o);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2, 3}));
    CSquishArea area(base(), 3);
    MCArray<char> out;
    EXPECT_TRUE(fetch(area, 2, out));
    EXPECT_EQ(stats(base()), std::make_pair(3u, 2u));
    ASSERT_TRUE(post("text\r"));
    ASSERT_TRUE(erase(1));
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{2, 3, 4}));
    for (const char* ext : {".SQD", ".SQI", ".SQL"}) EXPECT_FALSE(fileExists(base() + ext)) << ext;
    EXPECT_TRUE(fileExists(base() + ".sqd"));
    expectSound();
}

// ---------------------------------------------------------------------------------------
// The writer lock shared with other Squish tools

// A child process that holds the lock on byte 0 of a file (classic record lock) until
// the parent lets it go.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        if (pipe(ready_) != 0 || pipe(release_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready_[0]);
            close(release_[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl;
            memset(&fl, 0, sizeof fl);
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = 0;
            fl.l_len = 1;
            char status = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? '1' : '0';
            if (write(ready_[1], &status, 1) != 1) _exit(2);
            struct pollfd p = {release_[0], POLLIN, 0};
            poll(&p, 1, 60000);  // until the parent closes its end, at most a minute
            _exit(0);
        }
        close(ready_[1]);
        close(release_[0]);
    }
    // Waits (bounded) until the child reports that it holds the lock.
    bool locked() {
        struct pollfd p = {ready_[0], POLLIN, 0};
        char status = 0;
        return pid_ > 0 && poll(&p, 1, 10000) == 1 && read(ready_[0], &status, 1) == 1 && status == '1';
    }
    ~LockHolder() {
        close(release_[1]);
        close(ready_[0]);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

private:
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
};

TEST_F(SquishArea, WritesWhileAnotherProgramHoldsTheLockAreDeferredWithNothingWritten) {
    build(threeMessages());
    {
        LockHolder holder(sqfix::fileOf(base(), ".SQD"));
        ASSERT_TRUE(holder.locked());
        auto before = snapshot();
        CSquishArea area(base(), 3);
        AreaResult r = store(area, postRecord("Some Body"), "text\r");
        EXPECT_EQ(r.code(), AreaResult::Code::Busy) << "no waiting for the lock";
        EXPECT_NE(r.reason().find("locked by another program"), std::string::npos) << r.reason();
        EXPECT_EQ(snapshot(), before);

        // Reading does not need the lock.
        EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2, 3}));

        EXPECT_EQ(deleteAs(area, 2, FidoAddr{}, true).code(), AreaResult::Code::Busy);
        EXPECT_EQ(snapshot(), before);
    }
    // The holder is gone: the lock is free again, and a refusal for another reason is no
    // deferral.
    CSquishArea area(base(), 3);
    EXPECT_TRUE(store(area, postRecord("Some Body"), "text\r").isOk());
    EXPECT_EQ(deleteAs(area, 999, FidoAddr{}, true).code(), AreaResult::Code::NotFound);
    EXPECT_TRUE(erase(2));
    expectSound();
}

// ---------------------------------------------------------------------------------------
// Writes on damaged bases: refused before the first byte is written

// What a damaged-base case does to a sound base of three messages (with one free frame
// when `freeFrame` is set), and the write that must then be refused.
struct DamageCase {
    const char* name;
    bool freeFrame;
    std::function<void(const std::string& sqd, const std::string& sqi, const sqfix::BuiltBase& b)> damage;
    enum Write { kPost, kDelete } write;
    uint32_t victim;           // UMSGID to delete
    const char* reasonPart;    // a piece of the refusal reason
};

TEST_F(SquishArea, WritesOnDamagedBasesAreRefusedWithNothingWritten) {
    using sqfix::patchU32;
    auto textOf = [](const sqfix::BuiltBase& b, int i) { return b.frameOffsets[size_t(i)] + 28 + 238 + 4; };
    const DamageCase cases[] = {
        // The chain a new frame is linked to.
        {"last frame points into a message's text", false,
         [&](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFrame, textOf(b, 1)); }, DamageCase::kPost, 0,
         "is not a frame"},
        {"last frame points at a frame that is not the last", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFrame, b.frameOffsets[0]); }, DamageCase::kPost, 0,
         "links to a next frame"},
        {"last frame points at a free frame", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFrame, b.freeOffsets[0]); }, DamageCase::kPost, 0,
         "is a free frame, not a message frame"},
        {"last frame runs past the end of the file", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[2] + off::kFrameLength, 1u << 20); },
         DamageCase::kPost, 0, "runs past the end of the data file"},
        {"data file cut inside the last frame", false,
         [](auto& sqd, auto&, auto& b) { sqfix::truncateFile(sqd, b.frameOffsets[2] + 28 + 240); }, DamageCase::kPost,
         0, "runs past the end of the data file"},
        {"last free frame runs past the end of the file", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.freeOffsets[0] + off::kFrameLength, 1u << 20); },
         DamageCase::kPost, 0, "runs past the end of the data file"},
        {"last frame past the end of the file", false,
         [](auto& sqd, auto&, auto&) { patchU32(sqd, off::kLastFrame, 1u << 24); }, DamageCase::kPost, 0,
         "points past the end of the data file"},
        {"last frame inside the base header", false,
         [](auto& sqd, auto&, auto&) { patchU32(sqd, off::kLastFrame, 100); }, DamageCase::kPost, 0,
         "does not point past the base header"},
        {"free chain starts past the end of the file", true,
         [](auto& sqd, auto&, auto&) { patchU32(sqd, off::kFreeFrame, 1u << 24); }, DamageCase::kPost, 0,
         "points past the end of the data file"},
        {"a last frame but no first frame", false,
         [](auto& sqd, auto&, auto&) { patchU32(sqd, off::kBeginFrame, 0); }, DamageCase::kPost, 0,
         "names a last frame but no first frame"},
        {"data file shorter than its header", false, [](auto& sqd, auto&, auto&) { sqfix::truncateFile(sqd, 200); },
         DamageCase::kPost, 0, "shorter than its base header"},
        {"last frame is not that of the last index record", false,
         [](auto&, auto& sqi, auto& b) { patchU32(sqi, 24, b.frameOffsets[0]); }, DamageCase::kPost, 0,
         "is not the frame of its last message"},

        // The frames a delete patches.
        {"previous frame points into another message's text", false,
         [&](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[2] + off::kPrevFrame, textOf(b, 1)); },
         DamageCase::kDelete, 3, "is not a frame"},
        {"previous frame does not link back", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[2] + off::kPrevFrame, b.frameOffsets[0]); },
         DamageCase::kDelete, 3, "does not link back"},
        {"next frame points into another message's text", false,
         [&](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[0] + off::kNextFrame, textOf(b, 2)); },
         DamageCase::kDelete, 1, "is not a frame"},
        {"next frame is a free frame", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, b.freeOffsets[0]); },
         DamageCase::kDelete, 2, "is a free frame, not a message frame"},
        {"next frame past the end of the file", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, 1u << 24); },
         DamageCase::kDelete, 2, "lies outside the frames"},
        {"a middle frame that links to no next one", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, 0); },
         DamageCase::kDelete, 2, "is not the last frame but links to no next one"},
        {"the first frame links to a previous one", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[0] + off::kPrevFrame, b.frameOffsets[2]); },
         DamageCase::kDelete, 1, "is the first frame but links to a previous one"},
        {"last free frame points at a live frame", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFreeFrame, b.frameOffsets[1]); },
         DamageCase::kDelete, 3, "is a message frame, not a free frame"},
        {"last free frame points into a message's text", true,
         [&](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFreeFrame, textOf(b, 0)); }, DamageCase::kDelete, 2,
         "is not a frame"},
        {"last free frame links to a next frame", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.freeOffsets[0] + off::kNextFrame, b.frameOffsets[0]); },
         DamageCase::kDelete, 2, "links to a next frame"},
        {"a last free frame but no first free frame", true,
         [](auto& sqd, auto&, auto&) { patchU32(sqd, off::kFreeFrame, 0); }, DamageCase::kDelete, 2,
         "names a last free frame but no first free frame"},
        {"the index names a free frame", true,
         [](auto&, auto& sqi, auto& b) { patchU32(sqi, 12, b.freeOffsets[0]); }, DamageCase::kDelete, 2,
         "is a free frame, not a message frame"},
        {"the message's frame is on the free chain", true,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, off::kLastFreeFrame, b.frameOffsets[1]); },
         DamageCase::kDelete, 2, "is on the free chain"},
        // Links that come back: freeing such a frame would leave the chain in a loop.
        {"the frame links to itself as next and previous", false,
         [](auto& sqd, auto&, auto& b) {
             patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, b.frameOffsets[1]);
             patchU32(sqd, b.frameOffsets[1] + off::kPrevFrame, b.frameOffsets[1]);
         },
         DamageCase::kDelete, 2, "links to itself"},
        {"the frame links to itself as next only", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, b.frameOffsets[1]); },
         DamageCase::kDelete, 2, "links to itself"},
        {"the same frame before and after", false,
         [](auto& sqd, auto&, auto& b) {
             patchU32(sqd, b.frameOffsets[1] + off::kNextFrame, b.frameOffsets[0]);
             patchU32(sqd, b.frameOffsets[0] + off::kPrevFrame, b.frameOffsets[1]);
         },
         DamageCase::kDelete, 2, "before and after it"},
        {"the frame before links back to the frame", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[0] + off::kPrevFrame, b.frameOffsets[1]); },
         DamageCase::kDelete, 2, "links back into the chain behind it"},
        {"the frame after links on to the frame", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[2] + off::kNextFrame, b.frameOffsets[1]); },
         DamageCase::kDelete, 2, "links back into the chain before it"},
        {"the last frame links to itself", false,
         [](auto& sqd, auto&, auto& b) { patchU32(sqd, b.frameOffsets[2] + off::kPrevFrame, b.frameOffsets[2]); },
         DamageCase::kPost, 0, "links to itself"},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        sqfix::BuildOptions o;
        o.freeFrames = c.freeFrame ? 1 : 0;
        auto write = [&](CSquishArea& area) {
            if (c.write == DamageCase::kDelete) return deleteAs(area, c.victim, FidoAddr{}, true);
            return store(area, postRecord(), "text\r");
        };

        // The same write on the sound base goes through.
        build(threeMessages(), o);
        {
            CSquishArea area(base(), 3);
            AreaResult r = write(area);
            EXPECT_TRUE(r.isOk()) << r.reason();
            expectSound();
        }

        auto built = build(threeMessages(), o);
        c.damage(sqfix::fileOf(base(), ".SQD"), sqfix::fileOf(base(), ".SQI"), built);
        auto before = snapshot();
        CSquishArea area(base(), 3);
        AreaResult r = write(area);
        EXPECT_EQ(snapshot(), before) << "a refused write changed the files";
        EXPECT_EQ(r.code(), AreaResult::Code::Damaged) << r.reason();
        EXPECT_NE(r.reason().find("Squish base " + base()), std::string::npos) << r.reason();
        EXPECT_NE(r.reason().find(c.reasonPart), std::string::npos) << r.reason();
    }
}

TEST_F(SquishArea, RefusalsSayWhichCause) {
    build(threeMessages());
    CSquishArea area(base(), 3);
    FidoAddr stranger{9, 9, 9, 9};
    AreaResult r = deleteAs(area, 2, stranger, false);
    EXPECT_EQ(r.code(), AreaResult::Code::Forbidden);  // not the author's message
    EXPECT_EQ(r.reason(), "not yours");
    r = deleteAs(area, 99, stranger, true);
    EXPECT_EQ(r.code(), AreaResult::Code::NotFound);
    EXPECT_NE(r.reason().find("no message 99"), std::string::npos) << r.reason();
    sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), off::kLastFrame, 100);
    EXPECT_EQ(store(area, postRecord(), "x").code(), AreaResult::Code::Damaged);
    build(threeMessages());
    EXPECT_TRUE(store(area, postRecord(), "x").isOk());
    // Files that are not there.
    removeFile(sqfix::fileOf(base(), ".SQI"));
    r = store(area, postRecord(), "x");
    EXPECT_EQ(r.code(), AreaResult::Code::NotFound);
    EXPECT_NE(r.reason().find(".sqi is missing"), std::string::npos) << r.reason();
    // A data file that the system will not open as one: an I/O error naming it, for every
    // operation (a list and the counts too: such an area is not passed off as empty).
    build(threeMessages());
    const std::string sqd = sqfix::fileOf(base(), ".SQD");
    ASSERT_TRUE(removeFile(sqd));
    ASSERT_EQ(mkdir(sqd.c_str(), 0755), 0);
    StoredMessage m;
    AreaStats counts;
    for (AreaResult failed : {area.getMessage(1, m), area.getMsgList([](const MessageSummary&) { return true; }),
                              area.getAreaStats(counts), store(area, postRecord(), "x")}) {
        EXPECT_EQ(failed.code(), AreaResult::Code::IoError);
        EXPECT_EQ(failed.reason(), "cannot open " + sqd);
        EXPECT_EQ(failed.systemError(), EISDIR);
    }
}

TEST_F(SquishArea, CountsNeverWrapNorExceedTheIndex) {
    struct Case {
        const char* name;
        uint32_t numMsg;
        bool post;  // else delete message 2
        uint32_t expected;
    };
    const Case cases[] = {
        {"delete with a count of 0", 0, false, 0},
        {"delete with a count above the index", 1000, false, 2},
        {"delete with a sound count", 3, false, 2},
        {"post with a wrapped count", 0xFFFFFFFFu, true, 4},
        {"post with a count above the index", 1000, true, 4},
        {"post with a count of 0", 0, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        build(threeMessages());
        sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), off::kNumMsg, c.numMsg);
        sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), off::kHighMsg, c.numMsg);
        ASSERT_TRUE(c.post ? post("text\r") : erase(2));
        BaseImage img = image();
        EXPECT_EQ(img.header.numMsg, c.expected);
        EXPECT_EQ(img.header.highMsg, c.expected);
    }
    // The counts follow the index, as the list does, whatever the header says: the unread
    // count does not wrap when the index holds more than the header's count.
    sqfix::BuildOptions o;
    o.lastReadMark = 2u;
    build(threeMessages(), o);
    sqfix::patchU32(sqfix::fileOf(base(), ".SQD"), off::kNumMsg, 1);
    EXPECT_EQ(stats(base()), std::make_pair(3u, 1u));
}

// ---------------------------------------------------------------------------------------
// Index records that name no frame

TEST_F(SquishArea, ZeroRecordsInTheIndexAreNoMessages) {
    // 100,000 zero records after the three messages, as a damaged or padded index has.
    sqfix::BuildOptions o;
    o.lastReadMark = 1u;
    build(threeMessages(), o);
    std::string sqi = sqfix::fileOf(base(), ".SQI");
    std::vector<uint8_t> bytes = sqfix::readFileBytes(sqi);
    bytes.resize(bytes.size() + 100000 * 12, 0);
    sqfix::writeFileBytes(sqi, bytes);

    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(stats(base()), std::make_pair(3u, 2u));
    CSquishArea area(base(), 3);
    MCArray<char> out;
    EXPECT_TRUE(fetch(area, 3, out));
    EXPECT_FALSE(fetch(area, 0, out));
    EXPECT_FALSE(fetch(area, 4, out));

    // A new record goes right after the last one that names a frame.
    ASSERT_TRUE(post("text\r"));
    BaseImage img = image();
    EXPECT_EQ(img.sqi.size(), bytes.size());
    EXPECT_EQ(img.index[3].umsgid, 4u);
    EXPECT_EQ(img.index[3].frameOffset, img.header.lastFrame);
    EXPECT_EQ(img.header.numMsg, 4u);
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 2, 3, 4}));

    // A delete rewrites the index without them.
    ASSERT_TRUE(erase(2));
    EXPECT_EQ(image().sqi.size(), 36u);
    expectSound();
}

// ---------------------------------------------------------------------------------------
// Another writer in the middle of a write

// The end of a write by another Squish writer, the way it leaves the files at one moment.
struct InProgressCase {
    const char* name;
    std::function<void(SquishArea&, const sqfix::BuiltBase&)> make;
    bool deferred;
    const char* reasonPart;
};

// Appends a message frame after the last one (linked or not) to the data file, as a
// writer does; returns its offset.
uint32_t appendFrame(const std::string& sqd, uint32_t prev, bool link, bool updateHeader) {
    std::vector<uint8_t> bytes = sqfix::readFileBytes(sqd);
    uint32_t at = uint32_t(bytes.size());
    const uint32_t length = 238 + 1;
    bytes.resize(size_t(at) + 28 + length, 0);
    auto put = [&](uint32_t o, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[o + uint32_t(i)] = uint8_t(v >> (8 * i));
    };
    put(at + off::kFrameId, sqfix::kFrameId);
    put(at + off::kPrevFrame, prev);
    put(at + off::kFrameLength, length);
    put(at + off::kMsgLength, length);
    memcpy(bytes.data() + at + 28 + off::kDateText, "05 Jan 07  13:45:30", 19);
    if (link) put(prev + off::kNextFrame, at);
    if (updateHeader) {
        put(off::kLastFrame, at);
        put(off::kEndFrame, uint32_t(bytes.size()));
    }
    sqfix::writeFileBytes(sqd, bytes);
    return at;
}

void appendRecord(const std::string& sqi, uint32_t frameOffset, uint32_t umsgid, uint32_t hash) {
    std::vector<uint8_t> bytes = sqfix::readFileBytes(sqi);
    for (uint32_t v : {frameOffset, umsgid, hash})
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
    sqfix::writeFileBytes(sqi, bytes);
}

TEST_F(SquishArea, WritesWaitForAnotherWriterInTheMiddleOfAWrite) {
    auto sqd = [this] { return sqfix::fileOf(base(), ".SQD"); };
    auto sqi = [this] { return sqfix::fileOf(base(), ".SQI"); };
    const InProgressCase cases[] = {
        {"index record reserved, frame not linked yet",
         [&](SquishArea&, auto&) {
             appendRecord(sqi(), 0, 4, 0xFFFFFFFFu);
             sqfix::patchU32(sqd(), off::kNumMsg, 4);
             sqfix::patchU32(sqd(), off::kNextUmsgid, 5);
         },
         true, "index record 3 (UMSGID 4) has no frame yet"},
        {"index record reserved, frame linked, record not filled",
         [&](SquishArea&, auto& b) {
             appendRecord(sqi(), 0, 4, 0xFFFFFFFFu);
             appendFrame(sqd(), b.frameOffsets[2], true, true);
         },
         true, "index record 3 (UMSGID 4) has no frame yet"},
        {"reserved record followed by blank records",
         [&](SquishArea&, auto&) {
             appendRecord(sqi(), 0, 4, 0xFFFFFFFFu);
             appendRecord(sqi(), 0, 0xFFFFFFFFu, 0);
         },
         true, "UMSGID 4"},
        {"frame linked, no record written yet",
         [&](SquishArea&, auto& b) { appendFrame(sqd(), b.frameOffsets[2], true, true); }, true,
         "has no index record yet"},
        {"record written, frame not linked yet",
         [&](SquishArea&, auto& b) {
             uint32_t at = appendFrame(sqd(), b.frameOffsets[2], false, false);
             appendRecord(sqi(), at, 4, 0);
         },
         true, "is not linked after the last frame"},
        // Not another writer's.
        {"an index not in chain order: the last frame's record is not the last one",
         [&](SquishArea&, auto&) {
             std::vector<uint8_t> bytes = sqfix::readFileBytes(sqi());
             std::rotate(bytes.begin(), bytes.begin() + 24, bytes.end());  // the third record first
             sqfix::writeFileBytes(sqi(), bytes);
         },
         false, ""},
        {"blank records at the end",
         [&](SquishArea&, auto&) { appendRecord(sqi(), 0, 0xFFFFFFFFu, 0); }, false, ""},
        {"zero records at the end", [&](SquishArea&, auto&) { appendRecord(sqi(), 0, 0, 0); }, false, ""},
        {"an old unfinished record before the last one",
         [&](SquishArea&, auto&) {
             std::vector<uint8_t> bytes = sqfix::readFileBytes(sqi());
             bytes.insert(bytes.begin() + 24, 12, 0);
             bytes[24 + 4] = 9;  // UMSGID 9, no frame, before the third message's record
             sqfix::writeFileBytes(sqi(), bytes);
         },
         false, ""},
    };
    for (const InProgressCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool posting : {true, false}) {
            SCOPED_TRACE(posting ? "post" : "delete");
            auto built = build(threeMessages());
            c.make(*this, built);
            auto before = snapshot();
            CSquishArea area(base(), 3);
            AreaResult r = posting ? store(area, postRecord(), "text\r") : deleteAs(area, 1, FidoAddr{}, true);
            if (c.deferred) {
                EXPECT_EQ(r.code(), AreaResult::Code::Busy) << r.reason();
                EXPECT_NE(r.reason().find("Squish base " + base()), std::string::npos) << r.reason();
                EXPECT_NE(r.reason().find(c.reasonPart), std::string::npos) << r.reason();
                EXPECT_EQ(snapshot(), before);
            } else {
                EXPECT_TRUE(r.isOk()) << r.reason();
            }
        }
    }
}

// A writer process that writes new messages the way Squish tossers do: under the base's
// lock it reserves the index record (frame offset 0, the new UMSGID) and counts the
// message; under the lock again it links a new frame at the end of the data; then, with
// the lock released, it writes the message header and text and fills in the index record.
// In step-by-step mode it waits for the parent after each of the three steps; otherwise it
// only tells the parent once that it has begun.
class TosserLikeWriter {
public:
    TosserLikeWriter(const std::string& sqd, const std::string& sqi, int messages, bool stepwise) {
        if (pipe(toChild_) != 0 || pipe(toParent_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild_[1]);
            close(toParent_[0]);
            int status = run(sqd, sqi, messages, stepwise) ? 0 : 3;
            _exit(status);
        }
        close(toChild_[0]);
        close(toParent_[1]);
    }
    ~TosserLikeWriter() { finish(); }
    // Waits (bounded) until the writer reports the end of its next step.
    bool stepDone() {
        struct pollfd p = {toParent_[0], POLLIN, 0};
        char c = 0;
        return poll(&p, 1, 10000) == 1 && read(toParent_[0], &c, 1) == 1 && c == 's';
    }
    void next() {
        char c = 'n';
        if (write(toChild_[1], &c, 1) != 1) ADD_FAILURE() << "writer gone";
    }
    // Waits for the writer to end; true when it wrote every message.
    bool finish() {
        if (pid_ <= 0) return exited_;
        close(toChild_[1]);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        close(toParent_[0]);
        exited_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return exited_;
    }

private:
    static uint32_t get32(int fd, off_t at) {
        uint8_t b[4] = {};
        if (pread(fd, b, 4, at) != 4) return 0;
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    static bool put32(int fd, off_t at, uint32_t v) {
        uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        return pwrite(fd, b, 4, at) == 4;
    }
    static bool lock(int fd, short type) {
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_len = 1;
        while (fcntl(fd, F_SETLKW, &fl) != 0)
            if (errno != EINTR) return false;
        return true;
    }
    bool pause(bool stepwise) {
        if (!stepwise) return true;
        char c = 's';
        if (write(toParent_[1], &c, 1) != 1) return false;
        return read(toChild_[0], &c, 1) == 1;
    }
    bool run(const std::string& sqdPath, const std::string& sqiPath, int messages, bool stepwise) {
        int sqd = open(sqdPath.c_str(), O_RDWR);
        int sqi = open(sqiPath.c_str(), O_RDWR);
        if (sqd < 0 || sqi < 0) return false;
        for (int k = 0; k < messages; ++k) {
            // 1. Reserve the index record and count the message.
            if (!lock(sqd, F_WRLCK)) return false;
            uint32_t numMsg = get32(sqd, off::kNumMsg);
            uint32_t umsgid = get32(sqd, off::kNextUmsgid);
            off_t slot = off_t(numMsg) * 12;
            if (!put32(sqi, slot, 0) || !put32(sqi, slot + 4, umsgid) || !put32(sqi, slot + 8, 0xFFFFFFFFu)) return false;
            if (!put32(sqd, off::kNumMsg, numMsg + 1) || !put32(sqd, off::kHighMsg, numMsg + 1) ||
                !put32(sqd, off::kNextUmsgid, umsgid + 1))
                return false;
            if (!lock(sqd, F_UNLCK) || !pause(stepwise)) return false;
            if (!stepwise && k == 0) {
                char c = 's';
                if (write(toParent_[1], &c, 1) != 1) return false;
            }

            // 2. Link a new frame at the end of the data.
            if (!lock(sqd, F_WRLCK)) return false;
            uint32_t last = get32(sqd, off::kLastFrame);
            struct stat st;
            if (fstat(sqd, &st) != 0) return false;
            uint32_t at = uint32_t(st.st_size);
            std::string text = "Tossed message " + std::to_string(umsgid) + "\r";
            uint32_t length = 238 + uint32_t(text.size()) + 1;
            char zero = 0;
            if (pwrite(sqd, &zero, 1, off_t(at) + 28 + length - 1) != 1) return false;
            uint8_t frame[28] = {};
            auto set = [&frame](int o, uint32_t v) {
                for (int i = 0; i < 4; ++i) frame[o + i] = uint8_t(v >> (8 * i));
            };
            set(off::kFrameId, sqfix::kFrameId);
            set(off::kPrevFrame, last);
            set(off::kFrameLength, length);
            set(off::kMsgLength, length);
            if (pwrite(sqd, frame, 28, at) != 28) return false;
            if (last != 0 && !put32(sqd, last + off::kNextFrame, at)) return false;
            if (get32(sqd, off::kBeginFrame) == 0 && !put32(sqd, off::kBeginFrame, at)) return false;
            if (!put32(sqd, off::kLastFrame, at) || !put32(sqd, off::kEndFrame, at + 28 + length)) return false;
            if (!lock(sqd, F_UNLCK) || !pause(stepwise)) return false;

            // 3. Without the lock: the message itself, then the index record.
            std::vector<uint8_t> msg(238, 0);
            msg[off::kAttr + 2] = 0x02;  // the header holds the UMSGID
            memcpy(msg.data() + off::kFrom, "Tosser", 6);
            memcpy(msg.data() + off::kTo, "All", 3);
            memcpy(msg.data() + off::kSubject, "Tossed", 6);
            for (int i = 0; i < 4; ++i) msg[off::kUmsgid + uint32_t(i)] = uint8_t(umsgid >> (8 * i));
            memcpy(msg.data() + off::kDateText, "05 Jan 07  13:45:30", 19);
            msg.insert(msg.end(), text.begin(), text.end());
            if (pwrite(sqd, msg.data(), msg.size(), off_t(at) + 28) != ssize_t(msg.size())) return false;
            // The whole record in one write, as the last thing done for the message.
            uint8_t record[12];
            for (int i = 0; i < 4; ++i) {
                record[i] = uint8_t(at >> (8 * i));
                record[4 + i] = uint8_t(umsgid >> (8 * i));
                record[8 + i] = uint8_t(sqfix::nameHash("All") >> (8 * i));
            }
            if (pwrite(sqi, record, sizeof record, slot) != ssize_t(sizeof record)) return false;
            if (!pause(stepwise)) return false;
        }
        close(sqd);
        close(sqi);
        return true;
    }

    int toChild_[2] = {-1, -1};
    int toParent_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool exited_ = false;
};

// The messages of the chain in chain order, named by the UMSGID each header holds; the
// index must list the same messages in the same order.
void expectChainInIndexOrder(const BaseImage& img) {
    std::vector<uint32_t> chained, indexed;
    for (uint32_t at : img.chain(img.header.beginFrame)) {
        Frame f;
        if (img.readFrame(at, f)) chained.push_back(f.msg.umsgid);
    }
    for (const auto& r : img.messages()) {
        Frame f;
        if (img.readFrame(r.frameOffset, f)) indexed.push_back(f.msg.umsgid);
    }
    EXPECT_EQ(chained, indexed);
}

TEST_F(SquishArea, WritesNeverInterleaveWithATosserFillingItsRecordAfterTheLock) {
    // Messages that carry their UMSGID in the header, so that chain and index order can be
    // compared.
    auto messages = threeMessages();
    for (auto& m : messages) m.attr = 0x00020000u;
    build(messages);
    const std::string sqd = sqfix::fileOf(base(), ".SQD"), sqi = sqfix::fileOf(base(), ".SQI");
    {
        TosserLikeWriter writer(sqd, sqi, 1, true);
        for (int step = 0; step < 3; ++step) {
            SCOPED_TRACE(step);
            ASSERT_TRUE(writer.stepDone());
            auto before = snapshot();
            CSquishArea area(base(), 3);
            if (step < 2) {
                // Between the writer's steps: nothing is written, and the write waits.
                EXPECT_EQ(store(area, postRecord(), "mine\r").code(), AreaResult::Code::Busy);
                AreaResult r = deleteAs(area, 1, FidoAddr{}, true);
                EXPECT_EQ(r.code(), AreaResult::Code::Busy);
                EXPECT_NE(r.reason().find("UMSGID 4"), std::string::npos) << r.reason();
                EXPECT_EQ(snapshot(), before);
            }
            writer.next();
        }
        ASSERT_TRUE(writer.finish());
    }
    // The writer is done: writes go through, and the base is sound.
    ASSERT_TRUE(post("mine\r"));
    ASSERT_TRUE(erase(2));
    expectSound();
    expectChainInIndexOrder(image());
    EXPECT_EQ(listedNumbers(), (std::vector<uint32_t>{1, 3, 4, 5}));

    // The same with the writer running freely while posts and deletes are retried whenever
    // they are put off: however the two meet, the base stays sound and in order.
    {
        TosserLikeWriter writer(sqd, sqi, 300, false);
        ASSERT_TRUE(writer.stepDone());  // it has begun
        int posted = 0, deleted = 0;
        uint32_t nextVictim = 1;
        for (int attempt = 0; attempt < 200000 && (posted < 40 || deleted < 10); ++attempt) {
            CSquishArea area(base(), 3);
            AreaResult r;
            if (posted <= 4 * deleted || deleted >= 10) {
                if (posted < 40 && (r = store(area, postRecord(), "mine\r")).isOk()) ++posted;
            } else {
                r = deleteAs(area, nextVictim, FidoAddr{}, true);
                if (r.isOk())
                    ++deleted, ++nextVictim;
                else if (r.code() == AreaResult::Code::NotFound)
                    ++nextVictim;  // already gone
            }
            ASSERT_TRUE(r.isOk() || r.code() == AreaResult::Code::Busy || r.code() == AreaResult::Code::NotFound)
                << r.reason();
        }
        ASSERT_TRUE(writer.finish());
        EXPECT_EQ(posted, 40);
        EXPECT_EQ(deleted, 10);
    }
    expectSound();
    expectChainInIndexOrder(image());
    EXPECT_EQ(list().size(), 4u + 300 + 40 - 10);
}

}  // namespace
