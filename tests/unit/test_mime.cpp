// The news door's MIME: transfer encodings, encoded-words, format=flowed, the header block
// of a posted article, Content-Type and the From header's display name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fido/charset.h"
#include "nntp/mime.h"

namespace {

// The lines of a CRLF text.
std::vector<std::string> crlfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

TEST(Mime, QuotedPrintable) {
    struct Case {
        const char* name;
        std::string encoded;
        std::string decoded;
    };
    const Case cases[] = {
        {"plain", "plain text", "plain text"},
        {"escapes", "caf=C3=A9 =3D", "café ="},
        {"escapes in lower case", "caf=c3=a9", "café"},
        {"soft break with CRLF", "long=\r\nline\r\n", "longline\r\n"},
        {"soft break with LF", "long=\nline\n", "longline\n"},
        {"soft break at the end", "end=\r\n", "end"},
        {"soft break at the end, no line end", "end=", "end"},
        {"blanks after the soft break's '='", "a= \t\r\nb", "ab"},
        {"blanks before a line end go", "a  \r\nb \t", "a\r\nb"},
        {"an encoded blank stays", "a=20\r\nb=09", "a \r\nb\t"},
        {"a space before the soft break stays", "a =\r\nb", "a b"},
        {"bad escapes are kept", "=G1 =4", "=G1 =4"},
        {"an '=' before an escape", "==41", "=A"},
        {"a cut escape at the end of a line", "a=4\r\nb", "a=4\r\nb"},
        {"line ends as they came", "a\nb\r\nc", "a\nb\r\nc"},
        {"empty lines", "\r\n\r\n", "\r\n\r\n"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeQuotedPrintable(c.encoded), c.decoded);
    }
}

TEST(Mime, Base64) {
    struct Case {
        const char* name;
        std::string encoded;
        bool ok;
        std::string decoded;
    };
    const Case cases[] = {
        {"three bytes", "TWFu", true, "Man"},
        {"one pad", "TWE=", true, "Ma"},
        {"two pads", "TQ==", true, "M"},
        {"padding missing", "TWE", true, "Ma"},
        {"whitespace and line ends", " TW\tFu\r\nTW\nE= ", true, "ManMa"},
        {"stops at the padding", "TQ==garbage!", true, "M"},
        {"empty", "", true, ""},
        {"a character outside the alphabet", "TW*u", false, ""},
        {"a single character left", "TWFuT", false, ""},
        {"URL-safe alphabet is not base64", "TW-_", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes;
        ASSERT_EQ(decodeBase64(c.encoded, bytes), c.ok);
        if (c.ok) {
            EXPECT_EQ(bytes, c.decoded);
        }
    }
    EXPECT_EQ(encodeBase64("Man"), "TWFu");
    EXPECT_EQ(encodeBase64("Ma"), "TWE=");
    EXPECT_EQ(encodeBase64("M"), "TQ==");
    EXPECT_EQ(encodeBase64(""), "");
    std::string every;
    for (int b = 0; b < 256; ++b) every += char(b);
    for (size_t n = 0; n <= every.size(); n += 37) {
        std::string back;
        ASSERT_TRUE(decodeBase64(encodeBase64(every.substr(0, n)), back));
        EXPECT_EQ(back, every.substr(0, n)) << n << " bytes";
    }
}

TEST(Mime, DecodeHeaderValue) {
    struct Case {
        const char* name;
        std::string value;
        std::string decoded;
    };
    const Case cases[] = {
        {"no encoded-word", "Hello, world", "Hello, world"},
        {"B in UTF-8", "=?UTF-8?B?0J/RgNC40LLQtdGC?=", "Привет"},
        {"Q in Latin-1", "=?ISO-8859-1?Q?Caf=E9_au_lait?=", "Café au lait"},
        {"letter case of charset and encoding", "=?utf-8?q?caf=C3=A9?=", "café"},
        {"KOI8-R", "=?koi8-r?B?8NLJ18XU?=", "Привет"},
        {"windows-1251", "=?windows-1251?Q?=CF=F0=E8=E2=E5=F2?=", "Привет"},
        {"text around words stays", "Re: =?UTF-8?Q?caf=C3=A9?= time", "Re: café time"},
        {"adjacent words are joined", "=?UTF-8?Q?a?= =?UTF-8?Q?b?=", "ab"},
        {"a word split across a fold", "=?UTF-8?B?0J/RgNC4?=\r\n =?UTF-8?B?0LLQtdGC?=", "Привет"},
        {"a character split between two words", "=?UTF-8?Q?=D0?= =?UTF-8?Q?=96?=", "Ж"},
        {"words with text between", "=?UTF-8?Q?a?= - =?UTF-8?Q?b?=", "a - b"},
        {"adjacent words of two charsets", "=?ISO-8859-1?Q?=E9?=  =?KOI8-R?Q?=F0?=", "éП"},
        {"a language after the charset", "=?UTF-8*ru?Q?=D0=96?=", "Ж"},
        {"an unknown charset stays", "=?x-klingon?Q?abc?=", "=?x-klingon?Q?abc?="},
        {"broken base64 stays", "=?UTF-8?B?***?=", "=?UTF-8?B?***?="},
        {"a broken Q escape stays", "=?UTF-8?Q?a=G?=", "=?UTF-8?Q?a=G?="},
        {"an unknown encoding stays", "=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
        {"a space inside is no word", "=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
        {"an unknown word between known ones",
         "=?UTF-8?Q?a?= =?x?Q?b?= =?UTF-8?Q?c?=", "a =?x?Q?b?= c"},
        {"a word right after text", "x=?UTF-8?Q?y?=", "xy"},
        {"CR, LF and NUL become spaces", "=?UTF-8?Q?a=0D=0Ab=00c?=", "a  b c"},
        {"an empty word", "a =?UTF-8?B?" "?= b", "a  b"},
        {"a lone start", "a =? b", "a =? b"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeHeaderValue(c.value), c.decoded);
    }
}

TEST(Mime, EncodeHeaderValue) {
    struct Case {
        const char* name;
        std::string utf8;
        std::string encoded;
    };
    const Case cases[] = {
        {"ASCII stays", "Link request", "Link request"},
        {"tabs stay", "a\tb", "a\tb"},
        {"controls become spaces", "a\r\nX-Injected: 1\x01", "a  X-Injected: 1 "},
        {"UTF-8", "Привет", "=?UTF-8?B?0J/RgNC40LLQtdGC?="},
        {"what reads as an encoded-word", "=?x?", "=?UTF-8?B?PT94Pw==?="},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encodeHeaderValue(c.utf8, 7), c.encoded);
    }
}

// Long values fold into words that never cut a character, within the line limits, and
// read back as they were.
TEST(Mime, EncodedWordsFoldAndReadBack) {
    std::string cyrillic;
    for (int i = 0; i < 40; ++i) cyrillic += "Привет ";
    std::string mixed;
    for (int i = 0; i < 30; ++i) mixed += "a\xF0\x9F\x98\x80" "bЖ€";
    const std::string values[] = {cyrillic, mixed, "Re: " + cyrillic + "and some ASCII at the end"};
    for (size_t nameLength : {4, 7, 12}) {
        for (const std::string& value : values) {
            SCOPED_TRACE(value.substr(0, 20) + " after a name of " + std::to_string(nameLength));
            std::string encoded = encodeHeaderValue(value, nameLength);
            std::vector<std::string> lines = crlfLines(encoded);
            ASSERT_GT(lines.size(), 1u);
            for (size_t i = 0; i < lines.size(); ++i) {
                std::string word = i == 0 ? lines[i] : lines[i].substr(1);
                if (i > 0) {
                    EXPECT_EQ(lines[i][0], ' ');
                }
                EXPECT_LE(word.size(), 75u);
                EXPECT_LE((i == 0 ? nameLength + 2 : 0) + lines[i].size(), 76u);
                ASSERT_EQ(word.substr(0, 10), "=?UTF-8?B?");
                ASSERT_EQ(word.substr(word.size() - 2), "?=");
                std::string bytes;
                ASSERT_TRUE(decodeBase64(word.substr(10, word.size() - 12), bytes));
                EXPECT_TRUE(isValidUtf8(bytes)) << "word " << i << " cuts a character";
            }
            EXPECT_EQ(decodeHeaderValue(encoded), value);

            PostedArticle article;
            std::string error;
            ASSERT_TRUE(parseArticle(std::string(nameLength, 'X') + ": " + encoded + "\r\n\r\n", article, error));
            EXPECT_EQ(decodeHeaderValue(article.fields.at(0).value), value) << "unfolded";
        }
    }
}

TEST(Mime, DisplayNamePhrase) {
    struct Case {
        const char* name;
        std::string displayName;
        std::string phrase;
    };
    const Case cases[] = {
        {"atoms", "Max Kern", "Max Kern"},
        {"an apostrophe is an atom's", "Pat O'Brien", "Pat O'Brien"},
        {"a dot", "J. Smith", "\"J. Smith\""},
        {"a comma", "Kern, Max", "\"Kern, Max\""},
        {"quotes and backslashes", "say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
        {"a leading blank", " Max", "\" Max\""},
        {"two blanks", "Max  Kern", "\"Max  Kern\""},
        {"controls", "Max\r\nKern", "\"Max  Kern\""},
        {"not ASCII", "Иван Петров", "=?UTF-8?B?0JjQstCw0L0g0J/QtdGC0YDQvtCy?="},
        {"what reads as an encoded-word", "=?UTF-8?Q?x?=", "=?UTF-8?B?PT9VVEYtOD9RP3g/PQ==?="},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(displayNamePhrase(c.displayName), c.phrase);
    }
    EXPECT_EQ(decodeHeaderValue(displayNamePhrase("=?UTF-8?Q?x?=")), "=?UTF-8?Q?x?=");
}

TEST(Mime, DecodeFlowed) {
    struct Case {
        const char* name;
        std::string body;
        bool delSp;
        std::string text;
    };
    const Case cases[] = {
        {"a soft break joins", "Hello \r\nworld\r\n", false, "Hello world\r\n"},
        {"LF line ends", "Hello \nworld\n", false, "Hello world\r\n"},
        {"three lines", "one \r\ntwo \r\nthree\r\nnext\r\n", false, "one two three\r\nnext\r\n"},
        {"fixed lines stay", "a\r\nb\r\n", false, "a\r\nb\r\n"},
        {"stuffing removed", " From here\r\n  indented\r\n >not a quote\r\n", false,
         "From here\r\n indented\r\n>not a quote\r\n"},
        {"DelSp removes the break's space", "Hello wor \r\nld\r\n", true, "Hello world\r\n"},
        {"the signature separator is not joined", "Bye \r\n-- \r\nMax\r\n", false, "Bye \r\n-- \r\nMax\r\n"},
        {"nor with DelSp", "Bye \r\n-- \r\nMax\r\n", true, "Bye\r\n-- \r\nMax\r\n"},
        {"the separator is no soft break", "-- \r\nMax Kern\r\n", false, "-- \r\nMax Kern\r\n"},
        {"quoted paragraph", "> quoted \r\n> text\r\nreply\r\n", false, "> quoted text\r\nreply\r\n"},
        {"deeper quote", ">> a \r\n>>b\r\n", false, ">> a b\r\n"},
        {"another depth ends the paragraph", "> a \r\n>> b\r\n", false, "> a \r\n>> b\r\n"},
        {"unquoted after quoted", "> a \r\nb\r\n", false, "> a \r\nb\r\n"},
        {"a quoted separator", "> x \r\n> -- \r\n> sig\r\n", false, "> x \r\n> -- \r\n> sig\r\n"},
        {"an empty quoted line", ">\r\n", false, ">\r\n"},
        {"a soft break at the end", "end ", false, "end "},
        {"empty lines", "a\r\n\r\nb", false, "a\r\n\r\nb"},
        {"empty", "", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeFlowed(c.body, c.delSp), c.text);
    }
}

TEST(Mime, EncodeFlowed) {
    struct Case {
        const char* name;
        std::string text;
        size_t width;
        std::string body;
    };
    const Case cases[] = {
        {"short lines", "Hello\nworld", 78, "Hello\r\nworld"},
        {"wrapped at the last space that fits", "aaa bbb ccc ddd\n", 10, "aaa bbb \r\nccc ddd\r\n"},
        {"exactly the width", "aaaa bbbbb\n", 10, "aaaa bbbbb\r\n"},
        {"width counts characters", "Привет мир\n", 10, "Привет мир\r\n"},
        {"stuffing", ">quote\nFrom me\n lead\nFromage\n", 78, " >quote\r\n From me\r\n  lead\r\nFromage\r\n"},
        {"a wrapped line is stuffed too", "aaaaaa >bbbbbb\n", 10, "aaaaaa \r\n >bbbbbb\r\n"},
        {"spaces at the end go", "text   \r\n  \r\n", 78, "text\r\n\r\n"},
        {"the signature separator keeps its space", "-- \nMax\n", 78, "-- \r\nMax\r\n"},
        {"a long word stands alone", "a verylongwordhere b\n", 10, "a \r\nverylongwordhere \r\nb\r\n"},
        {"a FidoNet quote", " MK> the quote goes on\n", 12, "  MK> the \r\nquote goes \r\non\r\n"},
        {"empty", "", 78, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encodeFlowed(c.text, c.width), c.body);
    }
}

TEST(Mime, FlowedRoundTrip) {
    std::string paragraph;
    for (int i = 0; i < 30; ++i) paragraph += "Слово word ";
    paragraph += "end.";
    const std::string texts[] = {
        "Hello,\r\n\r\n" + paragraph + "\r\n\r\n MK> " + paragraph + "\r\n>not a quote " + paragraph +
            "\r\nFrom the start " + paragraph + "\r\n\r\n-- \r\nMax Kern\r\n",
        "  two leading spaces " + paragraph + "\r\nno line end at the end",
        "a   run   of   spaces   " + paragraph + "\r\n",
    };
    for (size_t width : {20, 40, 78}) {
        for (const std::string& text : texts) {
            SCOPED_TRACE(std::to_string(width) + ": " + text.substr(0, 30));
            std::string body = encodeFlowed(text, width);
            for (const std::string& line : crlfLines(body)) EXPECT_LE(utf8Length(line), width) << line;
            EXPECT_EQ(decodeFlowed(body, false), text);
        }
    }
}

// A word longer than a line may be is cut at 998 bytes, on a character boundary.
TEST(Mime, FlowedHardCut) {
    struct Case {
        const char* name;
        std::string text;
    };
    std::string cyrillic;
    for (int i = 0; i < 1500; ++i) cyrillic += "Ж";
    const Case cases[] = {
        {"ASCII", std::string(2500, 'x')},
        {"two-byte characters", cyrillic},
        {"stuffed", ">" + std::string(2000, 'y')},
        {"a space too far", std::string(1200, 'z') + " tail"},
        {"not UTF-8", std::string(3000, '\x80')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = encodeFlowed(c.text, 78);
        std::string joined;
        for (const std::string& line : crlfLines(body)) {
            EXPECT_LE(line.size(), 998u);
            if (isValidUtf8(c.text)) {
                EXPECT_TRUE(isValidUtf8(line));
            }
            joined += line.substr(!line.empty() && line[0] == ' ' ? 1 : 0);  // without the space-stuffing
        }
        EXPECT_EQ(joined, c.text) << "the pieces make the text";
    }
}

TEST(Mime, ParseArticle) {
    const std::string article =
        "From: Max Kern <max@example.org>\r\n"
        "Newsgroups: fido.quorva.talk,\r\n"
        "\tfido.quorva.test\r\n"
        "subject: a folded\r\n"
        "  subject   \r\n"
        "X-Empty:\r\n"
        "Comments : spaced name\r\n"
        "NEWSGROUPS: second\r\n"
        "\r\n"
        "Body line\r\n"
        "\r\n"
        "X-Not-A-Header: in the body\r\n";
    PostedArticle a;
    std::string error;
    ASSERT_TRUE(parseArticle(article, a, error)) << error;
    ASSERT_EQ(a.fields.size(), 6u);
    EXPECT_EQ(a.fields[0].name, "From");
    ASSERT_NE(a.find("FROM"), nullptr);
    EXPECT_EQ(*a.find("from"), "Max Kern <max@example.org>");
    EXPECT_EQ(*a.find("Subject"), "a folded  subject");
    EXPECT_EQ(*a.find("Newsgroups"), "fido.quorva.talk,\tfido.quorva.test");
    EXPECT_EQ(a.all("newsgroups"), (std::vector<std::string_view>{"fido.quorva.talk,\tfido.quorva.test", "second"}));
    EXPECT_EQ(*a.find("X-Empty"), "");
    EXPECT_EQ(*a.find("Comments"), "spaced name");
    EXPECT_EQ(a.find("X-Not-A-Header"), nullptr);
    EXPECT_TRUE(a.all("Path").empty());
    EXPECT_EQ(a.body, "Body line\r\n\r\nX-Not-A-Header: in the body\r\n");

    struct Case {
        const char* name;
        std::string article;
        bool ok;
        size_t fields;
        std::string body;
    };
    const Case cases[] = {
        {"LF line ends", "Subject: x\n\nbody\n", true, 1, "body\n"},
        {"no empty line: all header", "Subject: x\r\nFrom: y\r\n", true, 2, ""},
        {"no body after the empty line", "Subject: x\r\n\r\n", true, 1, ""},
        {"only a body", "\r\nbody", true, 0, "body"},
        {"empty", "", true, 0, ""},
        {"a line without a colon", "Subject: x\r\nno colon here\r\n\r\n", false, 0, ""},
        {"a continuation first", " folded: x\r\n\r\n", false, 0, ""},
        {"an empty name", ": x\r\n\r\n", false, 0, ""},
        {"a name with a space", "Bad Name: x\r\n\r\n", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(parseArticle(c.article, a, error), c.ok);
        if (!c.ok) {
            EXPECT_NE(error.find("line "), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(a.fields.size(), c.fields);
        EXPECT_EQ(a.body, c.body);
    }
}

TEST(Mime, ContentType) {
    struct Case {
        const char* value;
        const char* type;
        const char* subtype;
        const char* charset;
        bool flowed, delSp;
    };
    const Case cases[] = {
        {"", "text", "plain", "us-ascii", false, false},
        {"text/plain; charset=UTF-8; format=flowed", "text", "plain", "UTF-8", true, false},
        {"Text/Plain; Charset=\"koi8-r\"", "text", "plain", "koi8-r", false, false},
        {"text/plain; format=Flowed; DelSp=Yes", "text", "plain", "us-ascii", true, true},
        {"text/plain; format=fixed; delsp=no", "text", "plain", "us-ascii", false, false},
        {"text/plain; charset=\"a \\\"q\\\"\"", "text", "plain", "a \"q\"", false, false},
        {"text/plain (plain text) ; charset=utf-8 (the (nested) charset)", "text", "plain", "utf-8", false, false},
        {"text / plain ; charset = cp866", "text", "plain", "cp866", false, false},
        {"multipart/mixed; boundary=\"--x\"", "multipart", "mixed", "us-ascii", false, false},
        {"text/plain; charset=\"utf-8", "text", "plain", "utf-8", false, false},
        {"text/plain; charset", "text", "plain", "us-ascii", false, false},
        {"text/plain;", "text", "plain", "us-ascii", false, false},
        {"garbage", "text", "plain", "us-ascii", false, false},
        {"text/", "text", "plain", "us-ascii", false, false},
        {"/plain", "text", "plain", "us-ascii", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ContentType ct = parseContentType(c.value);
        EXPECT_EQ(ct.type, c.type);
        EXPECT_EQ(ct.subtype, c.subtype);
        EXPECT_EQ(ct.charset, c.charset);
        EXPECT_EQ(ct.flowed, c.flowed);
        EXPECT_EQ(ct.delSp, c.delSp);
    }
}

TEST(Mime, TransferEncoding) {
    struct Case {
        const char* value;
        TransferEncoding encoding;
    };
    const Case cases[] = {
        {"", TransferEncoding::SevenBit},
        {"7bit", TransferEncoding::SevenBit},
        {"8BIT", TransferEncoding::EightBit},
        {"binary", TransferEncoding::Binary},
        {" Quoted-Printable ", TransferEncoding::QuotedPrintable},
        {"base64 (the usual)", TransferEncoding::Base64},
        {"x-uuencode", TransferEncoding::Unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(parseTransferEncoding(c.value), c.encoding);
    }
}

}  // namespace
