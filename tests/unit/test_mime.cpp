// The news door's MIME: transfer encodings, the header block of a posted article and
// Content-Type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nntp/mime.h"

namespace {

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
