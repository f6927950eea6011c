// Stored messages as news articles: header fields from the kludges, the body in UTF-8, the
// Date, From and Message-ID, the overview line, and well-formed output on any bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fido/charset.h"
#include "fido/message.h"
#include "nntp/article.h"
#include "nntp/mime.h"

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Sample {
    std::string fromName = "Max Kern", toName = "All", subject = "Hello";
    std::string date = "05 Mar 24  19:12:00";
    FidoAddr origAddr{2, 5020, 1, 0};
    std::string control, text;
};

StoredMessage stored(const Sample& s) {
    StoredMessage m;
    m.summary.number = 17;
    m.summary.fromName = s.fromName;
    m.summary.toName = s.toName;
    m.summary.subject = s.subject;
    memcpy(m.summary.dateText, s.date.data(), std::min(s.date.size(), sizeof m.summary.dateText));
    m.summary.origAddr = s.origAddr;
    m.control = s.control;
    m.text = s.text;
    // As the stores do: the thread kludges of the control information, else of the text.
    m.summary.setThreadKludges(s.control.empty() ? s.text : s.control);
    return m;
}

ArticleView echoView() {
    ArticleView v;
    v.groupName = "fido.ru.fidonet";
    v.areaTag = "RU.FIDONET";
    v.number = 42;
    return v;
}

Article render(const Sample& s, const ArticleView& view = echoView()) {
    Article a;
    renderArticle(stored(s), view, a);
    return a;
}

std::string cp866(const std::string& utf8) {
    std::string out;
    ConversionError error;
    EXPECT_TRUE(encodeStrict(utf8, "CP866", out, error));
    return out;
}

std::string wireOf(const Article& a) {
    std::string out;
    for (const auto& [name, value] : a.headers) out += name + ": " + value + "\r\n";
    return out + "\r\n" + a.body;
}

// What any article must be: its size and lines as counted, lines within 998 bytes ended by
// CRLF and nothing else, no zero byte, and a header block that reads back.
void expectWellFormed(const Article& a) {
    const std::string wire = wireOf(a);
    EXPECT_EQ(a.bytes, wire.size());
    size_t lines = 0;
    for (size_t at = 0; (at = a.body.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(a.lines, lines);
    EXPECT_TRUE(a.body.empty() || a.body.ends_with("\r\n"));
    EXPECT_EQ(wire.find('\0'), std::string::npos);
    size_t start = 0;
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != '\r' && wire[i] != '\n') continue;
        ASSERT_TRUE(wire[i] == '\r' && i + 1 < wire.size() && wire[i + 1] == '\n') << "bare line end at " << i;
        EXPECT_LE(i - start, 998u) << "line at " << start;
        start = ++i + 1;
    }
    PostedArticle parsed;
    std::string error;
    ASSERT_TRUE(parseArticle(wire, parsed, error)) << error;
    EXPECT_EQ(parsed.fields.size(), a.headers.size());
    EXPECT_EQ(parsed.body, a.body);
}

// ---------------------------------------------------------------------------------------

const std::string kKludges[] = {"MSGID: 2:5020/1.3 6543abcd", "REPLY: 2:5020/9 12345678", "PID: GoldED+ 1.1.5",
                                "TZUTC: 0300", "CHRS: CP866 2", "REALNAME: Max"};
const std::string kBody[] = {"Hello, All!", "", "Bye.", "--- GoldED+", " * Origin: Somewhere (2:5020/1.3)"};
const std::string kTrailer[] = {"SEEN-BY: 5020/1 2", "SEEN-BY: 5030/3", "\x01PATH: 5020/1", "\x01PATH: 5030/3"};

std::string lines(const std::string* first, size_t n, const std::string& prefix, const std::string& end) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += prefix + first[i] + end;
    return out;
}

TEST(Article, SquishAndMsgLayoutsRenderAlike) {
    const std::string body = lines(kBody, 5, "", "\r") + lines(kTrailer, 4, "", "\r");
    struct Case {
        const char* name;
        std::string control, text;
    };
    const Case cases[] = {
        {"Squish: kludges in the control information", lines(kKludges, 6, "\x01", ""), body},
        {"*.MSG: kludge lines, CR", "", lines(kKludges, 6, "\x01", "\r") + body},
        {"*.MSG: AREA line first, LF", "",
         "AREA:RU.FIDONET\n" + lines(kKludges, 6, "\x01", "\n") + lines(kBody, 5, "", "\n") +
             lines(kTrailer, 4, "", "\n")},
        {"*.MSG: CRLF, no end on the last line", "",
         lines(kKludges, 6, "\x01", "\r\n") + lines(kBody, 5, "", "\r\n") + lines(kTrailer, 3, "", "\r\n") +
             kTrailer[3]},
        {"*.MSG: a kludge among the body lines", "",
         lines(kKludges, 5, "\x01", "\r") + "Hello, All!\r\r\x01REALNAME: Max\rBye.\r" + lines(kBody + 3, 2, "", "\r") +
             lines(kTrailer, 4, "", "\r")},
    };
    const Headers expected = {
        {"Path", "fidonet.org!not-for-mail"},
        {"From", "Max Kern <Max_Kern@p3.f1.n5020.z2.fidonet.org>"},
        {"Newsgroups", "fido.ru.fidonet"},
        {"Subject", "Hello"},
        {"Date", "Tue, 05 Mar 2024 19:12:00 +0300"},
        {"Message-ID", "<MSGID_2=3A5020=2F1.3_6543abcd@fidonet.org>"},
        {"References", "<MSGID_2=3A5020=2F9_12345678@fidonet.org>"},
        {"X-Comment-To", "All"},
        {"Xref", "fidonet.org fido.ru.fidonet:42"},
        {"MIME-Version", "1.0"},
        {"Content-Type", "text/plain; charset=UTF-8"},
        {"Content-Transfer-Encoding", "8bit"},
        {"X-FTN-MSGID", "2:5020/1.3 6543abcd"},
        {"X-FTN-REPLY", "2:5020/9 12345678"},
        {"X-FTN-PID", "GoldED+ 1.1.5"},
        {"X-FTN-TZUTC", "0300"},
        {"X-FTN-CHRS", "CP866 2"},
        {"X-FTN-Kludge", "REALNAME: Max"},
        {"X-FTN-SEEN-BY", "5020/1 2"},
        {"X-FTN-SEEN-BY", "5030/3"},
        {"X-FTN-PATH", "5020/1"},
        {"X-FTN-PATH", "5030/3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.control = c.control;
        s.text = c.text;
        Article a = render(s);
        EXPECT_EQ(a.headers, expected);
        EXPECT_EQ(a.body, "Hello, All!\r\n\r\nBye.\r\n--- GoldED+\r\n * Origin: Somewhere (2:5020/1.3)\r\n");
        EXPECT_EQ(a.lines, 5u);
        expectWellFormed(a);
        ASSERT_NE(a.header("content-type"), nullptr);
        EXPECT_EQ(*a.header("CONTENT-TYPE"), "text/plain; charset=UTF-8");
        EXPECT_EQ(a.header("Lines"), nullptr);
    }
}

TEST(Article, CharsetOfTheText) {
    const std::string pe866 = "\x8F", pe1251 = "\xCF", peKoi8 = "\xF0";
    struct Case {
        const char* name;
        std::string control, text;
        const Charset* areaCharset;
        std::string body;
    };
    const Case cases[] = {
        {"CHRS in the control information", "\x01" "CHRS: CP866 2", pe866 + "\r", findCharset("CP1251"), "П\r\n"},
        {"CHRS among the text's kludges", "", "\x01" "CHRS: CP866 2\r" + pe866 + "\r", findCharset("CP1251"), "П\r\n"},
        {"the older CHARSET kludge", "\x01" "CHARSET: KOI8-R", peKoi8 + "\r", nullptr, "П\r\n"},
        {"an unknown CHRS: the area's charset", "\x01" "CHRS: KLINGON 2", pe1251 + "\r", findCharset("CP1251"),
         "П\r\n"},
        {"no CHRS: the area's charset", "", pe1251 + "\r", findCharset("CP1251"), "П\r\n"},
        {"no CHRS, no area charset: CP437", "", "\x81\r", nullptr, "ü\r\n"},
        {"UTF-8; a broken sequence is replaced", "\x01" "CHRS: UTF-8 4", "Ж\xD0\r", nullptr, "Ж\xEF\xBF\xBD\r\n"},
        {"0x8D is a letter, not a line end", "\x01" "CHRS: CP866 2", "\x8D\x8D\r", nullptr, "НН\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.control = c.control;
        s.text = c.text;
        ArticleView view = echoView();
        view.charset = c.areaCharset;
        EXPECT_EQ(render(s, view).body, c.body);
    }

    // Names and subject in CP866: UTF-8 in encoded-words; the address keeps what is ASCII.
    Sample s;
    s.control = "\x01" "CHRS: CP866 2";
    s.fromName = cp866("Иван Petrov");
    s.toName = cp866("Всем");
    s.subject = cp866("Привет, мир");
    s.text = cp866("Как дела?") + "\r";
    Article a = render(s);
    expectWellFormed(a);
    EXPECT_TRUE(a.header("Subject")->starts_with("=?UTF-8?B?"));
    EXPECT_EQ(decodeHeaderValue(*a.header("Subject")), "Привет, мир");
    EXPECT_EQ(decodeHeaderValue(*a.header("X-Comment-To")), "Всем");
    EXPECT_EQ(decodeHeaderValue(*a.header("From")), "Иван Petrov <Petrov@f1.n5020.z2.fidonet.org>");
    EXPECT_EQ(a.body, "Как дела?\r\n");
}

TEST(Article, Date) {
    struct Case {
        const char* name;
        std::string dateText;
        std::string control;
        std::string date;
    };
    const Case cases[] = {
        {"TZUTC east", "05 Mar 24  19:12:00", "\x01TZUTC: 0300", "Tue, 05 Mar 2024 19:12:00 +0300"},
        {"TZUTC west", "05 Mar 24  19:12:00", "\x01TZUTC: -0500", "Tue, 05 Mar 2024 19:12:00 -0500"},
        {"TZUTC with a plus", "05 Mar 24  19:12:00", "\x01TZUTC: +0100", "Tue, 05 Mar 2024 19:12:00 +0100"},
        {"no TZUTC", "05 Mar 24  19:12:00", "", "Tue, 05 Mar 2024 19:12:00 -0000"},
        {"a TZUTC that is no zone", "05 Mar 24  19:12:00", "\x01TZUTC: 3 hours", "Tue, 05 Mar 2024 19:12:00 -0000"},
        {"a TZUTC of three digits", "05 Mar 24  19:12:00", "\x01TZUTC: 300", "Tue, 05 Mar 2024 19:12:00 -0000"},
        {"last century", "31 Dec 99  23:59:58", "", "Fri, 31 Dec 1999 23:59:58 -0000"},
        {"year 00", "29 Feb 00  00:00:00", "", "Tue, 29 Feb 2000 00:00:00 -0000"},
        {"SEAdog style, weekday taken from the date", "Mon  5 Mar 24 19:12", "", "Tue, 05 Mar 2024 19:12:00 -0000"},
        {"a three-digit year", "05 Mar 124 19:12:00", "", "Tue, 05 Mar 2024 19:12:00 -0000"},
        {"no such day: the first packed day", "29 Feb 23  10:00:00", "", "Tue, 01 Jan 1980 00:00:00 -0000"},
        {"no date at all", "", "", "Tue, 01 Jan 1980 00:00:00 -0000"},
        {"garbage", "\xFF\x01 Foo 99 25:61", "", "Tue, 01 Jan 1980 00:00:00 -0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.date = c.dateText;
        s.control = c.control;
        EXPECT_EQ(*render(s).header("Date"), c.date);
    }
}

TEST(Article, FromAddress) {
    struct Case {
        const char* name;
        bool netmail;
        std::string fromName, control, text;
        std::string from;
    };
    const std::string origin = " * Origin: Station (Moscow) (2:5020/9.1@fidonet)\r";
    const Case cases[] = {
        {"echomail: the MSGID's address", false, "Max Kern", "\x01MSGID: 2:5030/2.5 abcd0123", "Hi\r" + origin,
         "Max Kern <Max_Kern@p5.f2.n5030.z2.fidonet.org>"},
        {"echomail: the Origin line without a MSGID", false, "Max Kern", "", "Hi\r" + origin,
         "Max Kern <Max_Kern@p1.f9.n5020.z2.fidonet.org>"},
        {"echomail: a MSGID of an Internet gateway", false, "Max Kern", "\x01MSGID: <a@b.example> 1234abcd",
         "Hi\r" + origin, "Max Kern <Max_Kern@p1.f9.n5020.z2.fidonet.org>"},
        {"echomail: neither, the stored address", false, "Max Kern", "", "Hi\r * Origin: (no address)\r",
         "Max Kern <Max_Kern@f1.n5020.z2.fidonet.org>"},
        {"netmail: INTL and FMPT", true, "Max Kern", "\x01INTL 2:5020/1 2:5030/2\x01" "FMPT 3\x01MSGID: 2:9/9 1",
         "Hi\r", "Max Kern <Max_Kern@p3.f2.n5030.z2.fidonet.org>"},
        {"netmail: INTL among the text's kludges", true, "Max Kern", "", "\x01INTL 2:5020/1 3:100/7\rHi\r",
         "Max Kern <Max_Kern@f7.n100.z3.fidonet.org>"},
        {"netmail: no INTL, the stored address", true, "Max Kern", "", "Hi\r" + origin,
         "Max Kern <Max_Kern@f1.n5020.z2.fidonet.org>"},
        {"a name to quote", false, "J. R. \"Bob\" Smith", "", "",
         "\"J. R. \\\"Bob\\\" Smith\" <J.R.Bob_Smith@f1.n5020.z2.fidonet.org>"},
        {"a name of nothing an address holds", false, "<@> ()", "", "", "\"<@> ()\" <sysop@f1.n5020.z2.fidonet.org>"},
        {"no name", false, "", "", "", "<sysop@f1.n5020.z2.fidonet.org>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.fromName = c.fromName;
        s.control = c.control;
        s.text = c.text;
        ArticleView view = echoView();
        view.netmail = c.netmail;
        EXPECT_EQ(*render(s, view).header("From"), c.from);
    }
}

TEST(Article, MessageIdRoundTrip) {
    const std::string domain = "fidonet.org";
    struct Case {
        const char* msgId;
        const char* messageId;  // "": the value makes none
        const char* readBack;   // the MSGID value parseMessageId gives
    };
    const Case cases[] = {
        {"2:5020/1 6543abcd", "<MSGID_2=3A5020=2F1_6543abcd@fidonet.org>", "2:5020/1 6543abcd"},
        {"2:5020/1.3@fidonet 0BADC0DE", "<MSGID_2=3A5020=2F1.3=40fidonet_0BADC0DE@fidonet.org>",
         "2:5020/1.3@fidonet 0BADC0DE"},
        {"  2:5020/1 6543abcd\r", "<MSGID_2=3A5020=2F1_6543abcd@fidonet.org>", "2:5020/1 6543abcd"},
        {"odd_origin \xE9x 1_2", "<MSGID_odd=5Forigin=20=E9x_1=5F2@fidonet.org>", "odd_origin \xE9x 1_2"},
        {"<abc.def@example.com> 12345678", "<abc.def@example.com>", "<abc.def@example.com>"},
        {"2:5020/1", "", nullptr},
        {"", "", nullptr},
        {"   ", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msgId);
        std::string id = messageIdOfMsgId(c.msgId, domain);
        EXPECT_EQ(id, c.messageId);
        if (!c.readBack) continue;
        MessageIdTarget t = parseMessageId(id, domain);
        EXPECT_EQ(t.kind, MessageIdTarget::Kind::MsgId);
        EXPECT_EQ(t.msgId, c.readBack);
    }

    // Without a MSGID (or with one too long for a Message-ID): the area, number and date.
    for (std::string msgId : {std::string(), "2:5020/1 " + std::string(300, 'x')}) {
        for (std::string tag : {"RU.FIDONET", "MO.FLEA_$ 1"}) {
            MessageSummary s;
            s.number = 4711;
            s.msgId = msgId;
            memcpy(s.dateText, "05 Mar 24  19:12:00", 20);
            std::string id = messageIdOf(s, tag, domain);
            SCOPED_TRACE(id);
            EXPECT_TRUE(id.starts_with("<NOMSGID_"));
            MessageIdTarget t = parseMessageId(id, domain);
            EXPECT_EQ(t.kind, MessageIdTarget::Kind::Numbered);
            EXPECT_EQ(t.areaTag, tag);
            EXPECT_EQ(t.number, 4711u);
            EXPECT_EQ(t.written, s.written());
        }
    }
    MessageSummary s;
    s.number = 3;
    memcpy(s.dateText, "05 Mar 24  19:12:00", 20);
    char written[16];
    snprintf(written, sizeof written, "%08X", unsigned(s.written()));
    EXPECT_EQ(messageIdOf(s, "RU.FIDONET", domain), "<NOMSGID_RU.FIDONET_3_" + std::string(written) + "@fidonet.org>");
}

TEST(Article, ParseMessageId) {
    using Kind = MessageIdTarget::Kind;
    struct Case {
        std::string id;
        Kind kind;
        std::string msgId;
    };
    const Case cases[] = {
        {"<MSGID_2=3a5020=2f1_abc@FidoNet.ORG>", Kind::MsgId, "2:5020/1 abc"},
        {" <MSGID_2=3A5020=2F1_abc@fidonet.org> ", Kind::MsgId, "2:5020/1 abc"},
        {"<foo.bar@example.com>", Kind::MsgId, "<foo.bar@example.com>"},
        {"<MSGID_2=3A5020=2F1_abc@other.org>", Kind::MsgId, "<MSGID_2=3A5020=2F1_abc@other.org>"},
        {"<MSGID_bad=G1_abc@fidonet.org>", Kind::MsgId, "<MSGID_bad=G1_abc@fidonet.org>"},
        {"<MSGID_a_b_c@fidonet.org>", Kind::MsgId, "<MSGID_a_b_c@fidonet.org>"},
        {"<MSGID_a=0D_b@fidonet.org>", Kind::MsgId, "<MSGID_a=0D_b@fidonet.org>"},
        {"<MSGID_a_@fidonet.org>", Kind::MsgId, "<MSGID_a_@fidonet.org>"},
        {"<MSGID_a_b=@fidonet.org>", Kind::MsgId, "<MSGID_a_b=@fidonet.org>"},
        {"<NOMSGID_RU.FIDONET_x_1@fidonet.org>", Kind::MsgId, "<NOMSGID_RU.FIDONET_x_1@fidonet.org>"},
        {"<NOMSGID_RU.FIDONET_1_123456789@fidonet.org>", Kind::MsgId, "<NOMSGID_RU.FIDONET_1_123456789@fidonet.org>"},
        {"<NOMSGID_RU.FIDONET_99999999999_1@fidonet.org>", Kind::MsgId,
         "<NOMSGID_RU.FIDONET_99999999999_1@fidonet.org>"},
        {"<NOMSGID__1_1@fidonet.org>", Kind::MsgId, "<NOMSGID__1_1@fidonet.org>"},
        {"", Kind::None, ""},
        {"foo@bar", Kind::None, ""},
        {"<foo>", Kind::None, ""},
        {"<@bar>", Kind::None, ""},
        {"<foo@>", Kind::None, ""},
        {"<a b@c>", Kind::None, ""},
        {"<a@b>junk", Kind::None, ""},
        {"<a<b@c>", Kind::None, ""},
        {std::string("<a\0b@c>", 7), Kind::None, ""},
        {"<\xD0\x96@c>", Kind::None, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        MessageIdTarget t = parseMessageId(c.id, "fidonet.org");
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.msgId, c.msgId);
    }
}

TEST(Article, OverviewAndHdr) {
    Sample replying;
    replying.subject = "Tab\there";
    replying.control = "\x01MSGID: 2:5020/1 1\x01REPLY: 2:5020/2 2";
    replying.text = "One\rTwo\r";
    Sample plain;
    const std::string longSubject = "Очень длинная тема, которая не поместится в одну строку";
    plain.subject = cp866(std::string(20, ' ') + longSubject);
    plain.control = "\x01" "CHRS: CP866 2";
    plain.text = "Only\r";
    for (const Sample& s : {replying, plain}) {
        Article a = render(s);
        expectWellFormed(a);
        const std::string line = overviewLine(42, a);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        std::vector<std::string> fields;
        for (size_t start = 0;;) {
            size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        ASSERT_EQ(fields.size(), 8u) << line;
        EXPECT_EQ(fields[0], "42");
        EXPECT_EQ(fields[1], headerForHdr(a, "subject"));
        EXPECT_EQ(fields[2], headerForHdr(a, "From"));
        EXPECT_EQ(fields[3], *a.header("Date"));
        EXPECT_EQ(fields[4], *a.header("Message-ID"));
        EXPECT_EQ(fields[5], headerForHdr(a, "References"));
        EXPECT_EQ(fields[6], std::to_string(a.bytes));
        EXPECT_EQ(fields[7], std::to_string(a.lines));
        EXPECT_EQ(headerForHdr(a, ":bytes"), fields[6]);
        EXPECT_EQ(headerForHdr(a, "Bytes"), fields[6]);
        EXPECT_EQ(headerForHdr(a, ":LINES"), fields[7]);
        EXPECT_EQ(headerForHdr(a, "X-No-Such-Field"), "");
    }
    Article a = render(replying);
    EXPECT_EQ(headerForHdr(a, "Subject"), "Tab here");
    EXPECT_EQ(headerForHdr(a, "references"), "<MSGID_2=3A5020=2F2_2@fidonet.org>");
    EXPECT_EQ(a.lines, 2u);
    Article b = render(plain);
    EXPECT_EQ(headerForHdr(b, "References"), "");
    EXPECT_NE(b.header("Subject")->find("\r\n "), std::string::npos);  // folded
    EXPECT_EQ(decodeHeaderValue(headerForHdr(b, "Subject")), longSubject);
}

// The overview line made without keeping the article must be the line of the rendered
// article: the same fields, and the Bytes and Lines that ARTICLE sends.
void expectOverviewOfArticle(const StoredMessage& m, const ArticleView& view) {
    Article a;
    renderArticle(m, view, a);
    std::string expected;
    appendOverviewLine(expected, view.number, a);
    EXPECT_EQ(expected, overviewLine(view.number, a));
    EXPECT_EQ(a.bytes, wireOf(a).size());
    OverviewMaker maker;
    std::string line = "before\t";
    maker.append(line, view.number, m, view);
    EXPECT_EQ(line, "before\t" + expected);
    // The same maker again, as a walk uses it.
    line.clear();
    maker.append(line, view.number, m, view);
    EXPECT_EQ(line, expected);
}

TEST(Article, OverviewWithoutTheArticleHasItsBytesAndLines) {
    const std::string longWords = [] {
        std::string w;
        while (w.size() < 300) w += "word ";
        return w;
    }();
    struct Case {
        const char* name;
        Sample sample;
    };
    std::vector<Case> cases;
    cases.push_back({"plain", Sample()});
    Sample s;
    s.control = "\x01MSGID: 2:5020/1 1\x01REPLY: 2:5020/2 2\x01PID: Test 1\x01TZUTC: 0300";
    s.text = "Hello\r\r.dot line\r--- Test\r * Origin: Test (2:5020/1)\rSEEN-BY: 5020/1 2\r\x01PATH: 5020/1\r";
    cases.push_back({"kludges, SEEN-BY and PATH", s});
    s = Sample();
    s.subject = "A subject long enough that its header line has to be folded somewhere";
    s.toName = "Someone With A Long Name Here";
    cases.push_back({"folded subject", s});
    s = Sample();
    s.control = "\x01" "CHRS: CP866 2";
    s.fromName = cp866("Иван Петров");
    s.toName = cp866("Всем");
    s.subject = cp866("Тема");
    s.text = cp866("Привет всем!\rВторая строка\r");
    cases.push_back({"CP866 names and text", s});
    s = Sample();
    s.subject = "=?utf-8?q?not_an_encoded_word?=";
    s.control = "\x01X-Control: a\x02b\x01TOPT 4";
    cases.push_back({"encoded-word look-alike, a control byte in a kludge", s});
    s = Sample();
    s.control = std::string("\x01PID: ") + std::string(200, 'p') + "\x01" + "PATH: " + longWords;
    cases.push_back({"kludges longer than a line", s});
    s = Sample();
    s.text = "Short\r" + longWords + "\rAfter\r";
    cases.push_back({"a long line: format=flowed", s});
    s = Sample();
    s.control = "\x01" "CHRS: CP866 2";
    s.text = cp866(std::string("Длинная строка ") + longWords) + "\r";
    cases.push_back({"a long converted line", s});
    s = Sample();
    s.control = "\x01" "CHRS: CP866 2";
    s.text = std::string(40, '\xE0') + "\r";  // 40 bytes, 80 in UTF-8
    cases.push_back({"a line long only once converted", s});
    s = Sample();
    s.text = "Caf\xe9\r\tTab\r";
    cases.push_back({"the area's charset", s});
    for (size_t n : {78, 79}) {
        s = Sample();
        s.text = std::string(n, 'x') + "\r";
        cases.push_back({"a line of 78 or 79 bytes", s});
        s = Sample();
        s.control = "\x01" "CHRS: CP866 2";
        s.text = std::string(n - 40, 'x') + std::string(40, '\xE0') + "\r";  // 40 more once converted
        cases.push_back({"a line of 78 or 79 bytes once converted", s});
    }
    s = Sample();
    s.toName = "  Blanks Around  ";
    s.control = "\x01PID:   blanks around   ";
    cases.push_back({"blanks around values", s});
    s = Sample();
    s.text = "";
    s.fromName = "";
    s.toName = "  ";
    s.subject = "";
    s.date = "no date";
    cases.push_back({"nothing", s});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArticleView view = echoView();
        view.charset = findCharset("LATIN-1");
        expectOverviewOfArticle(stored(c.sample), view);
        view.groupName = "fido." + std::string(80, 'g');  // a folded Xref
        view.number = 1234567890123ull;
        view.netmail = true;
        expectOverviewOfArticle(stored(c.sample), view);
    }

    // Any bytes.
    uint32_t seed = 777;
    auto randomBytes = [&seed](size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245u + 12345u;
            char c = char(seed >> 16);
            if ((seed >> 8) % 17 == 0) c = "\r\n\x01 \t=?"[(seed >> 4) % 7];
            out += c;
        }
        return out;
    };
    for (int i = 0; i < 300; ++i) {
        Sample r;
        r.fromName = randomBytes(36);
        r.toName = randomBytes(36);
        r.subject = randomBytes(72);
        r.control = randomBytes(size_t(i % 7) * 40);
        r.text = randomBytes(size_t(i % 11) * 150);
        ArticleView view = echoView();
        view.charset = findCharset(i % 2 ? "CP866" : "UTF-8");
        expectOverviewOfArticle(stored(r), view);
    }
}

TEST(Article, LongLinesAreFlowed) {
    const std::string words = [] {
        std::string w;
        while (w.size() < 200) w += "word ";
        return w + "end";
    }();
    struct Case {
        const char* name;
        std::string line;
        bool flowed;
    };
    const Case cases[] = {
        {"78 bytes", std::string(78, 'x'), false},
        {"79 bytes", std::string(79, 'x'), true},
        {"words", words, true},
        {"one word of 5000 bytes", std::string(5000, 'x'), true},
        {"Cyrillic: bytes count", std::string(40 * 2, '\xE0'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.control = "\x01" "CHRS: CP866 2";
        s.text = "Short\r" + c.line + "\r";
        Article a = render(s);
        expectWellFormed(a);
        const std::string& type = *a.header("Content-Type");
        EXPECT_EQ(type, c.flowed ? "text/plain; charset=UTF-8; format=flowed" : "text/plain; charset=UTF-8");
        std::string original = "Short\r\n" + decodeToUtf8(c.line, "CP866") + "\r\n";
        if (c.line.size() <= 998) {
            EXPECT_EQ(c.flowed ? decodeFlowed(a.body, false) : a.body, original);
        }
    }
}

TEST(Article, AnyBytesGiveAWellFormedArticle) {
    uint32_t seed = 12345;
    auto randomBytes = [&seed](size_t n, bool withLineEnds) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245u + 12345u;
            char c = char(seed >> 16);
            if (withLineEnds && (seed >> 8) % 23 == 0) c = "\r\n\x01 "[(seed >> 4) % 4];
            out += c;
        }
        return out;
    };
    const std::string longPath = [] {
        std::string p = "\x01PATH:";
        for (int i = 0; i < 600; ++i) p += " 5020/" + std::to_string(i);
        return p;
    }();
    std::string kludgeFlood;
    for (int i = 0; i < 20000; ++i) kludgeFlood += "\x01X";
    struct Case {
        const char* name;
        std::string control, text;
    };
    const Case cases[] = {
        {"random bytes", randomBytes(4000, true), randomBytes(60000, true)},
        {"random bytes, no line ends", randomBytes(3000, false), randomBytes(20000, false)},
        {"a flood of kludges", kludgeFlood, kludgeFlood},
        {"a long PATH", longPath, ""},
        {"a long kludge without blanks", "\x01" + std::string(3000, 'k'), ""},
        {"an Origin of parentheses", "", " * Origin: " + std::string(20000, '(') + "\r"},
        {"a zero byte ends the text", "", std::string("before\r\0after\r", 14)},
        {"only line ends", "\r\n\r\r\n\n", "\r\n\r\r\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sample s;
        s.control = c.control;
        s.text = c.text;
        s.fromName = randomBytes(36, true);
        s.toName = randomBytes(36, true);
        s.subject = randomBytes(72, true);
        s.date = randomBytes(20, false);
        Article a = render(s);
        expectWellFormed(a);
        EXPECT_LE(a.bytes, 20 * (c.control.size() + c.text.size()) + 4096);
        EXPECT_NE(a.header("Message-ID"), nullptr);
        EXPECT_NE(parseMessageId(*a.header("Message-ID"), "fidonet.org").kind, MessageIdTarget::Kind::None);
    }
    Sample s;
    s.control = longPath;
    EXPECT_EQ("PATH: " + headerForHdr(render(s), "X-FTN-PATH"), longPath.substr(1));
    s.text = std::string("before\r\0after\r", 14);
    EXPECT_EQ(render(s).body, "before\r\n");
}

}  // namespace
