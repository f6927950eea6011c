// The client library's text logic: output for the terminal's charset and what a message
// may not show there, the reply's quote, subject and destination, and the thread trees
// built from the list's hashes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/lib/charset.h"
#include "client/lib/reply_draft.h"
#include "client/lib/threads.h"
#include "support/le.h"

namespace {

using namespace qclient;

const std::string kA = "\x01";

TEST(ClientCharset, TerminalOutput) {
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "UTF-8"), "Привет, Zoë");
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "ANSI_X3.4-1968"), "??????, Zo?");
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "ISO-8859-1"), "??????, Zo\xeb");
    EXPECT_EQ(encodeForTerminal("Привет", "KOI8-R"), "\xf0\xd2\xc9\xd7\xc5\xd4");
    EXPECT_EQ(encodeForTerminal("a\xc3z", "ISO-8859-1"), "a?z") << "invalid input does not stop the output";
    EXPECT_EQ(encodeForTerminal("Zoë", "NO-SUCH-CHARSET"), "Zo?");

    EXPECT_EQ(displaySafe("a\tb\x1b[31mc\x7f" "d\xc2\x9b" "e\xc2\xa0" "f"), "a\tb?[31mc?d?e\xc2\xa0" "f");
}

TEST(ClientCharset, DisplaySafeEscapesBidiControls) {
    // A message must not reorder what the terminal shows: every bidi control becomes '?',
    // the characters beside them (joiners, spaces, letters of right-to-left scripts) stay.
    struct Case {
        const char* name;
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"U+061C ARABIC LETTER MARK", "a\xD8\x9Cz", "a?z"},
        {"U+200E LEFT-TO-RIGHT MARK", "a\xE2\x80\x8Ez", "a?z"},
        {"U+200F RIGHT-TO-LEFT MARK", "a\xE2\x80\x8Fz", "a?z"},
        {"U+202A LEFT-TO-RIGHT EMBEDDING", "a\xE2\x80\xAAz", "a?z"},
        {"U+202B RIGHT-TO-LEFT EMBEDDING", "a\xE2\x80\xABz", "a?z"},
        {"U+202C POP DIRECTIONAL FORMATTING", "a\xE2\x80\xACz", "a?z"},
        {"U+202D LEFT-TO-RIGHT OVERRIDE", "a\xE2\x80\xADz", "a?z"},
        {"U+202E RIGHT-TO-LEFT OVERRIDE", "a\xE2\x80\xAEz", "a?z"},
        {"U+2066 LEFT-TO-RIGHT ISOLATE", "a\xE2\x81\xA6z", "a?z"},
        {"U+2067 RIGHT-TO-LEFT ISOLATE", "a\xE2\x81\xA7z", "a?z"},
        {"U+2068 FIRST STRONG ISOLATE", "a\xE2\x81\xA8z", "a?z"},
        {"U+2069 POP DIRECTIONAL ISOLATE", "a\xE2\x81\xA9z", "a?z"},
        {"an override in a subject", "Re: \xE2\x80\xAE" "fdp.exe", "Re: ?fdp.exe"},
        {"one after another", "\xE2\x81\xA7\xE2\x80\xAE\xE2\x80\xAC\xE2\x81\xA9", "????"},
        {"U+200D ZERO WIDTH JOINER stays", "a\xE2\x80\x8Dz", "a\xE2\x80\x8Dz"},
        {"U+2010 HYPHEN stays", "a\xE2\x80\x90z", "a\xE2\x80\x90z"},
        {"U+202F NARROW NO-BREAK SPACE stays", "a\xE2\x80\xAFz", "a\xE2\x80\xAFz"},
        {"U+2065 stays", "a\xE2\x81\xA5z", "a\xE2\x81\xA5z"},
        {"U+206A stays", "a\xE2\x81\xAAz", "a\xE2\x81\xAAz"},
        {"Hebrew and Arabic letters stay", "שלום سلام", "שלום سلام"},
        {"a cut sequence is not a control", "a\xE2\x80", "a\xE2\x80"},
        {"a control after a stray lead byte", "\xE2\xE2\x80\x8F", "\xE2?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(displaySafe(c.text), c.shown);
    }
}

TEST(ClientReply, Initials) {
    struct Case {
        const char* name;
        const char* initials;
    };
    const Case cases[] = {
        {"Max Kern", "MK"}, {"Ann Reader", "AR"}, {"Sysop", "S"}, {"  Ivan  Ivanovich   Petrov ", "IP"},
        {"Иван Петров", "ИП"}, {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quoteInitials(c.name), c.initials);
    }
}

TEST(ClientReply, QuotedAndControlLines) {
    struct Case {
        const char* line;
        bool quoted;
        bool control;
    };
    const Case cases[] = {
        {" AR> text", true, false},      {"MK>text", true, false},         {"> text", true, false},
        {" >> text", true, false},       {"   XY> text", true, false},     {" ИП> текст", true, false},
        {"    XY> four blanks", false, false}, {"ABCDEF> six letters", false, false}, {"a->b", false, false},
        {"plain text", false, false},    {"x < y > z", false, false},      {"---", false, true},
        {"--- GoldED+ 1.1.5", false, true}, {"----------", false, false}, {" * Origin: Somewhere (1:2/3)", false, true},
        {"SEEN-BY: 5020/100", false, true}, {"\x01PATH: 5020/100", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(isQuotedLine(c.line), c.quoted);
        EXPECT_EQ(isControlLine(c.line), c.control);
    }
}

TEST(ClientReply, Quote) {
    std::vector<std::string> lines = {
        kA + "MSGID: 2:5020/100 65e8a5e1",
        kA + "REPLY: 2:5020/1234.5 65e8312e",
        "",
        "Hi Ann.   ",
        "",
        " AR> And the lastread marks?",
        "",
        "",
        "Read only.",
        "",
        "--- GoldED+",
        " * Origin: Uplink (2:5020/100)",
        "SEEN-BY: 5020/100 1234",
        kA + "PATH: 5020/100",
    };
    std::vector<std::string> expected = {
        " MK> Hi Ann.", "", " AR> And the lastread marks?", "", "", " MK> Read only.",
    };
    EXPECT_EQ(quoteLines(lines, "Max Kern"), expected);
    EXPECT_EQ(quoteLines({kA + "MSGID: 1:2/3 4"}, "Max Kern"), std::vector<std::string>{});
}

TEST(ClientReply, Subject) {
    struct Case {
        const char* subject;
        const char* reply;
    };
    const Case cases[] = {
        {"Link request", "Re: Link request"}, {"Re: Link request", "Re: Link request"},
        {"RE: shouting", "RE: shouting"},    {"re:lower", "re:lower"},
        {"  padded", "Re: padded"},          {"Reply needed", "Re: Reply needed"},
        {"", "Re: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subject);
        EXPECT_EQ(replySubject(c.subject), c.reply);
    }
}

TEST(ClientReply, KludgeValueIsTakenByteForByte) {
    std::vector<std::string> lines = {kA + "PID: x", kA + "MSGID: 2:5020/100 65e1a0f3", kA + "MSGID: 9:9/9 1"};
    EXPECT_EQ(kludgeValue(lines, "MSGID"), "2:5020/100 65e1a0f3");
    EXPECT_EQ(kludgeValue({kA + "MSGID: <abc@example.org> 1a2b  "}, "MSGID"), "<abc@example.org> 1a2b  ");
    EXPECT_EQ(kludgeValue({"MSGID: 1:2/3 4", kA + "MSGIDX: 1"}, "MSGID"), "");
}

TEST(ClientReply, NetmailDestination) {
    const FidoAddr header{3, 3, 3, 3};
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        FidoAddr expected;
    };
    const Case cases[] = {
        {"INTL", {kA + "INTL 2:5020/1234 2:5020/100", kA + "MSGID: 9:9/9.9 1"}, {2, 5020, 100, 0}},
        {"INTL and FMPT", {kA + "INTL 2:5020/1234 2:5020/1234", kA + "FMPT 5", kA + "TOPT 7"}, {2, 5020, 1234, 5}},
        {"MSGID when there is no INTL", {kA + "MSGID: 2:5020/1234.5 65e78b20"}, {2, 5020, 1234, 5}},
        {"MSGID with a domain", {kA + "MSGID: 2:5020/100@fidonet 1"}, {2, 5020, 100, 0}},
        {"a broken INTL: MSGID", {kA + "INTL 2:5020/1234", kA + "MSGID: 1:2/3 4"}, {1, 2, 3, 0}},
        {"MSGID that is no address: the header", {kA + "MSGID: <abc@example.org> 1"}, header},
        {"nothing: the header", {"text"}, header},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(replyDestination(c.lines, header), c.expected);
    }
    FidoAddr a;
    for (const char* bad : {"2:5020", "2/5020:1", "2:5020/x", "2:5020/1.", "2:5020/1.2.3", "70000:1/1", "2:5020/1@",
                            " 2:5020/1"})
        EXPECT_FALSE(parseStrictAddress(bad, a)) << bad;
}

// ---------------------------------------------------------------------------------------
// Threads

constexpr uint32_t packedDate(uint32_t day, uint32_t hour) { return day | 3u << 5 | 44u << 9 | hour << 27; }

pktMsgHeader header(uint32_t number, uint32_t day, uint32_t hour, uint32_t msgId, uint32_t reply) {
    pktMsgHeader h;
    h.msgNumber = number;
    h.dateWritten = packedDate(day, hour);
    h.msgIdHash = msgId;
    h.replyHash = reply;
    return h;
}

// "number@depth" per row, with "!" for a missing parent.
std::string shape(const std::vector<pktMsgHeader>& headers, const std::vector<ThreadRow>& rows) {
    std::string s;
    for (const ThreadRow& r : rows)
        s += (s.empty() ? "" : " ") + std::to_string(headers[r.index].msgNumber) + "@" + std::to_string(r.depth) +
             (r.parentMissing ? "!" : "");
    return s;
}

TEST(ClientThreads, Trees) {
    struct Case {
        const char* name;
        std::vector<pktMsgHeader> headers;
        const char* shape;
    };
    const Case cases[] = {
        {"flat", {header(1, 1, 0, 0xA, 0), header(2, 2, 0, 0xB, 0)}, "1@0 2@0"},
        {"three deep",
         {header(1, 1, 0, 0xA, 0), header(2, 2, 0, 0xB, 0xA), header(3, 3, 0, 0xC, 0xB), header(4, 4, 0, 0xD, 0xC)},
         "1@0 2@1 3@2 4@3"},
        {"replies in date order, not number order",
         {header(1, 1, 0, 0xA, 0), header(2, 2, 14, 0xB, 0xA), header(3, 2, 12, 0xC, 0xA), header(4, 3, 0, 0xD, 0xB)},
         "1@0 3@1 2@1 4@2"},
        {"the date half orders before the time half",
         {header(1, 2, 1, 0xA, 0), header(2, 1, 23, 0xB, 0)}, "2@0 1@0"},
        {"same date: by number", {header(7, 1, 0, 0xA, 0), header(5, 1, 0, 0xB, 0)}, "5@0 7@0"},
        {"a lost parent starts a tree", {header(1, 1, 0, 0xA, 0), header(2, 2, 0, 0xB, 0xF), header(3, 3, 0, 0, 0xB)},
         "1@0 2@0! 3@1"},
        {"trees by the date of their first message",
         {header(1, 5, 0, 0xA, 0), header(2, 1, 0, 0xB, 0xA), header(3, 3, 0, 0xC, 0)}, "3@0 1@0 2@1"},
        {"a duplicate MSGID: the first listed is the parent",
         {header(1, 1, 0, 0xA, 0), header(2, 2, 0, 0xA, 0), header(3, 3, 0, 0xC, 0xA)}, "1@0 3@1 2@0"},
        {"an answer to itself", {header(1, 1, 0, 0xA, 0xA)}, "1@0!"},
        {"a loop starts at its earliest message",
         {header(1, 3, 0, 0xA, 0xB), header(2, 2, 0, 0xB, 0xA), header(3, 4, 0, 0xC, 0xA)}, "2@0 1@1 3@2"},
        {"a tail hanging from a loop",
         {header(1, 3, 0, 0xA, 0xB), header(2, 4, 0, 0xB, 0xA), header(3, 1, 0, 0xC, 0xA), header(4, 1, 0, 0xD, 0)},
         "4@0 1@0 3@1 2@1"},
        {"empty", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ThreadRow> rows = threadRows(c.headers);
        EXPECT_EQ(shape(c.headers, rows), c.shape);
        EXPECT_EQ(rows.size(), c.headers.size()) << "every message once";
    }
}

TEST(ClientThreads, OneThread) {
    std::vector<pktMsgHeader> h = {header(1, 1, 0, 0xA, 0), header(2, 2, 0, 0xB, 0xA), header(3, 3, 0, 0xC, 0),
                                   header(4, 4, 0, 0xD, 0xB), header(5, 5, 0, 0xE, 0xC)};
    EXPECT_EQ(shape(h, threadRowsOf(h, 4)), "1@0 2@1 4@2");
    EXPECT_EQ(shape(h, threadRowsOf(h, 1)), "1@0 2@1 4@2");
    EXPECT_EQ(shape(h, threadRowsOf(h, 5)), "3@0 5@1");
    EXPECT_TRUE(threadRowsOf(h, 9).empty());
}

TEST(ClientThreads, ALongChainNeedsNoDeepStack) {
    std::vector<pktMsgHeader> h;
    for (uint32_t i = 0; i < 100000; ++i) h.push_back(header(i + 1, 1, 0, i + 1, i));
    std::vector<ThreadRow> rows = threadRows(h);
    ASSERT_EQ(rows.size(), h.size());
    EXPECT_EQ(rows.back().depth, h.size() - 1);
}

}  // namespace
