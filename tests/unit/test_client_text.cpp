// The client library's text logic: charset names and conversions, the reply's quote,
// subject and destination, and the thread trees built from the list's hashes.
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
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(ClientCharset, NamesAndAliases) {
    struct Case {
        const char* name;
        const char* canonical;  // nullptr: unknown
        int level;
    };
    const Case cases[] = {
        {"CP866", "CP866", 2},     {"cp866", "CP866", 2},     {"+7_FIDO", "CP866", 2},  {"IBM866", "CP866", 2},
        {"CP437", "CP437", 2},     {"IBMPC", "CP437", 2},     {"LATIN-1", "LATIN-1", 2}, {"iso-8859-1", "LATIN-1", 2},
        {"UTF-8", "UTF-8", 4},     {"utf8", "UTF-8", 4},      {"ASCII", "ASCII", 1},    {"KOI8-R", "KOI8-R", 2},
        {"MAC", "CP10000", 2},     {"KLINGON", nullptr, 0},   {"", nullptr, 0},         {"CP8666", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Charset* found = findCharset(c.name);
        if (!c.canonical) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->name, c.canonical);
        EXPECT_EQ(found->level, c.level);
    }
    EXPECT_EQ(chrsKludge(*findCharset("cp866")), kA + "CHRS: CP866 2");
    EXPECT_EQ(chrsKludge(utf8Charset()), kA + "CHRS: UTF-8 4");
}

TEST(ClientCharset, EveryKnownCharsetConverts) {
    // A name the client offers must have a converter on the system, both ways.
    std::string names = knownCharsetNames() + ", ";
    for (size_t start = 0, comma; (comma = names.find(", ", start)) != std::string::npos; start = comma + 2) {
        std::string name = names.substr(start, comma - start);
        SCOPED_TRACE(name);
        const Charset* c = findCharset(name);
        ASSERT_NE(c, nullptr);
        std::string out;
        ConversionError e;
        EXPECT_TRUE(encodeStrict("Hello", c->iconvName, out, e));
        EXPECT_EQ(out, "Hello");
        EXPECT_EQ(decodeToUtf8("Hello", c->iconvName), "Hello");
    }
}

TEST(ClientCharset, ChrsNameOfAMessage) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        const char* expected;
    };
    const Case cases[] = {
        {"CHRS with level", {kA + "MSGID: 1:2/3 1", kA + "CHRS: CP866 2", "text"}, "CP866"},
        {"no blank after the colon", {kA + "CHRS:LATIN-1 2"}, "LATIN-1"},
        {"the older CHARSET", {kA + "CHARSET: KOI8-R"}, "KOI8-R"},
        {"the first one counts", {kA + "CHRS: UTF-8 4", kA + "CHRS: CP437 2"}, "UTF-8"},
        {"not a kludge", {"CHRS: CP866 2"}, ""},
        {"none", {kA + "MSGID: 1:2/3 1", "hello"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chrsName(c.lines), c.expected);
    }
}

TEST(ClientCharset, DecodeReplacesWhatDoesNotConvert) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* charset;
        std::string expected;
    };
    const Case cases[] = {
        {"CP866", "\x8f\xe0\xa8\xa2\xa5\xe2", "CP866", "Привет"},
        {"CP437", "caf\x82 \xb0\xdb", "CP437", "café ░█"},
        {"LATIN-1", "Zo\xeb", "ISO-8859-1", "Zoë"},
        {"valid UTF-8", "Zo\xc3\xab", "UTF-8", "Zoë"},
        {"a stray continuation byte", "a\x80z", "UTF-8", "a" + kReplacement + "z"},
        {"a cut sequence inside", "a\xc3z", "UTF-8", "a" + kReplacement + "z"},
        {"a cut sequence at the end", "ab\xe2\x82", "UTF-8", "ab" + kReplacement + kReplacement},
        {"an overlong form", "\xc0\xaf", "UTF-8", kReplacement + kReplacement},
        {"a surrogate", "\xed\xa0\x80", "UTF-8", kReplacement + kReplacement + kReplacement},
        {"8-bit bytes in ASCII", "A\xe9Z", "ASCII", "A" + kReplacement + "Z"},
        {"no converter: ASCII kept", "A\xe9Z", "NO-SUCH-CHARSET", "A" + kReplacement + "Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeToUtf8(c.bytes, c.charset), c.expected);
    }
    EXPECT_TRUE(isValidUtf8("Zo\xc3\xab"));
    EXPECT_FALSE(isValidUtf8("Zo\xc3"));
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));
}

TEST(ClientCharset, TerminalOutput) {
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "UTF-8"), "Привет, Zoë");
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "ANSI_X3.4-1968"), "??????, Zo?");
    EXPECT_EQ(encodeForTerminal("Привет, Zoë", "ISO-8859-1"), "??????, Zo\xeb");
    EXPECT_EQ(encodeForTerminal("Привет", "KOI8-R"), "\xf0\xd2\xc9\xd7\xc5\xd4");
    EXPECT_EQ(encodeForTerminal("a\xc3z", "ISO-8859-1"), "a?z") << "invalid input does not stop the output";
    EXPECT_EQ(encodeForTerminal("Zoë", "NO-SUCH-CHARSET"), "Zo?");

    EXPECT_EQ(displaySafe("a\tb\x1b[31mc\x7f" "d\xc2\x9b" "e\xc2\xa0" "f"), "a\tb?[31mc?d?e\xc2\xa0" "f");
    EXPECT_EQ(utf8Length("Zoë Иван"), 8u);
    EXPECT_EQ(utf8Prefix("abЖ", 3), "ab") << "a character is not cut";
    EXPECT_EQ(utf8Prefix("abЖ", 4), "abЖ");
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

TEST(ClientCharset, StrictConversionsNameWhereTheyStop) {
    std::string out;
    ConversionError e;
    ASSERT_TRUE(encodeStrict("Привет, Max!", "CP866", out, e));
    EXPECT_EQ(out, "\x8f\xe0\xa8\xa2\xa5\xe2, Max!");

    EXPECT_FALSE(encodeStrict("ok\nfine Жук", "ISO-8859-1", out, e));
    EXPECT_EQ(e.kind, ConversionError::Kind::Unrepresentable);
    EXPECT_EQ(e.character, "Ж");
    EXPECT_EQ(e.codePoint, 0x0416u);
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 6u);
    EXPECT_EQ(codePointText(e.codePoint), "U+0416");

    EXPECT_FALSE(encodeStrict("ë \xF0\x9F\x98\x80", "CP866", out, e)) << "CP866 has no ë";
    EXPECT_EQ(e.character, "ë");
    EXPECT_FALSE(encodeStrict("x \xF0\x9F\x98\x80", "ISO-8859-1", out, e));
    EXPECT_EQ(e.codePoint, 0x1F600u);
    EXPECT_EQ(e.column, 3u);

    EXPECT_FALSE(encodeStrict("a\xffz", "UTF-8", out, e));
    EXPECT_EQ(e.kind, ConversionError::Kind::BadInput);
    EXPECT_FALSE(encodeStrict("a", "NO-SUCH-CHARSET", out, e));
    EXPECT_EQ(e.kind, ConversionError::Kind::NoConverter);

    std::string utf8;
    ASSERT_TRUE(decodeStrict("caf\xe9", "ISO-8859-1", utf8, e));
    EXPECT_EQ(utf8, "café");
    EXPECT_FALSE(decodeStrict("one\r\ntwo\nth\xffree", "UTF-8", utf8, e));
    EXPECT_EQ(e.kind, ConversionError::Kind::BadInput);
    EXPECT_EQ(e.offset, 11u);
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(e.column, 3u);
    EXPECT_EQ(e.character, "\xff");
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
