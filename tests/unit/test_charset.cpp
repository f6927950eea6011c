// FidoNet's charsets: CHRS, settings and MIME names, the CHRS kludge, conversions to and
// from UTF-8 (lenient and strict) on any bytes, and the UTF-8 helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fido/charset.h"

namespace {

const std::string kA = "\x01";
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Charset, NamesAndAliases) {
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

TEST(Charset, EveryKnownCharsetConverts) {
    // A name offered to users and sysops must have a converter on the system, both ways.
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

TEST(Charset, ChrsNameOfAMessage) {
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

TEST(Charset, DecodeReplacesWhatDoesNotConvert) {
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

TEST(Charset, StrictConversionsNameWhereTheyStop) {
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

TEST(Charset, MimeNames) {
    struct Case {
        const char* name;
        const char* chrs;  // nullptr: unknown
    };
    const Case cases[] = {
        {"utf-8", "UTF-8"},          {"UTF-8", "UTF-8"},       {"koi8-r", "KOI8-R"},     {"KOI8-U", "KOI8-U"},
        {"windows-1251", "CP1251"},  {"Windows-1252", "CP1252"}, {"iso-8859-5", "ISO-8859-5"},
        {"us-ascii", "ASCII"},       {"ANSI_X3.4-1968", "ASCII"}, {"ibm866", "CP866"},  {"IBM437", "CP437"},
        {"iso-8859-1", "LATIN-1"},   {"l1", "LATIN-1"},        {"ISO-8859-15", "LATIN-9"}, {"csKOI8R", "KOI8-R"},
        {"cyrillic", "ISO-8859-5"},  {"macintosh", "CP10000"}, {"cp866", "CP866"},      {"cp1251", "CP1251"},
        {"utf8", "UTF-8"},           {"x-unknown", nullptr},   {"", nullptr},           {"utf-16", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Charset* found = findMimeCharset(c.name);
        if (!c.chrs) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->name, c.chrs);
    }
    EXPECT_STREQ(findCharset("CP866")->mimeName, "IBM866");
    EXPECT_STREQ(findCharset("CP1251")->mimeName, "windows-1251");
    EXPECT_STREQ(findCharset("LATIN-1")->mimeName, "ISO-8859-1");
    EXPECT_STREQ(findCharset("ASCII")->mimeName, "US-ASCII");
    // The registry's own aliases are for MIME headers, not for settings or kludges.
    EXPECT_EQ(findCharset("csKOI8R"), nullptr);
    EXPECT_EQ(findCharset("l1"), nullptr);
}

TEST(Charset, EveryCharsetIsFoundByItsMimeName) {
    std::string names = knownCharsetNames() + ", ";
    for (size_t start = 0, comma; (comma = names.find(", ", start)) != std::string::npos; start = comma + 2) {
        const Charset* c = findCharset(names.substr(start, comma - start));
        ASSERT_NE(c, nullptr);
        SCOPED_TRACE(c->name);
        EXPECT_EQ(findMimeCharset(c->mimeName), c);
        EXPECT_EQ(findMimeCharset(c->name), c);
    }
}

TEST(Charset, ChrsNameOfAText) {
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"control information of a Squish base", kA + "MSGID: 1:2/3 1" + kA + "CHRS: CP866 2" + kA + "TZUTC: 0300",
         "CP866"},
        {"kludge lines of a *.MSG file", kA + "MSGID: 1:2/3 1\r" + kA + "CHRS: KOI8-R 2\rtext\r", "KOI8-R"},
        {"LF line ends", kA + "PID: x\n" + kA + "CHARSET: LATIN-1\n", "LATIN-1"},
        {"the value ends at the next kludge", kA + "CHRS:UTF-8" + kA + "PID: x", "UTF-8"},
        {"in the body", "hello\r" + kA + "CHRS: CP437 2\r", "CP437"},
        {"CHRS as text is no kludge", "CHRS: CP866 2\r", ""},
        {"a longer name is another kludge", kA + "CHRSX: CP866 2\r", ""},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chrsName(std::string_view(c.text)), c.expected);
    }
}

TEST(Charset, EncodeReplacing) {
    struct Case {
        const char* name;
        std::string utf8;
        const char* charset;
        std::string expected;
    };
    const Case cases[] = {
        {"CP866", "Привет, Max!", "CP866", "\x8f\xe0\xa8\xa2\xa5\xe2, Max!"},
        {"a letter CP866 lacks", "Zoë", "CP866", "Zo?"},
        {"ASCII", "Привет, Zoë", "ASCII", "??????, Zo?"},
        {"a 4-byte character is one '?'", "a\xF0\x9F\x98\x80z", "ISO-8859-1", "a?z"},
        {"bytes that are not UTF-8", "a\xc3z\xff", "ISO-8859-1", "a?z?"},
        {"no converter: ASCII kept", "Zoë", "NO-SUCH-CHARSET", "Zo?"},
        {"to UTF-8: bad bytes replaced", "Zo\xc3\xab\x80", "UTF-8", "Zoë?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encodeReplacing(c.utf8, c.charset), c.expected);
    }
}

// A message from a damaged base may hold any bytes: every conversion ends, and a lenient
// decode gives valid UTF-8 of at most 4 bytes per input byte.
TEST(Charset, AnyBytesConvertWithinBounds) {
    std::string every;
    for (int b = 0; b < 256; ++b) every += char(b);
    std::string noise;
    uint32_t x = 12345;
    for (int i = 0; i < 65536; ++i) {
        x = x * 1103515245u + 12345u;
        noise += char(x >> 24);
    }
    std::string names = knownCharsetNames() + ", NO-SUCH-CHARSET, ";
    for (size_t start = 0, comma; (comma = names.find(", ", start)) != std::string::npos; start = comma + 2) {
        std::string name = names.substr(start, comma - start);
        const Charset* c = findCharset(name);
        std::string iconvName = c ? c->iconvName : name;
        for (const std::string* bytes : {&every, &noise}) {
            SCOPED_TRACE(name + (bytes == &every ? ": every byte" : ": noise"));
            std::string utf8 = decodeToUtf8(*bytes, iconvName);
            EXPECT_TRUE(isValidUtf8(utf8));
            EXPECT_LE(utf8.size(), 4 * bytes->size());
            EXPECT_LE(encodeReplacing(*bytes, iconvName).size(), 4 * bytes->size());
            std::string out;
            ConversionError e;
            (void)decodeStrict(*bytes, iconvName, out, e);
            (void)encodeStrict(*bytes, iconvName, out, e);
        }
    }
    EXPECT_EQ(decodeToUtf8(std::string(1000, '\xff'), "UTF-8").size(), 3000u) << "3 bytes for each U+FFFD";
    EXPECT_EQ(decodeToUtf8(std::string(1000, '\xff'), "ASCII").size(), 3000u);
}

TEST(Charset, EveryCallStartsFromTheInitialState) {
    // ESC $ B switches ISO-2022-JP to two-byte characters: a later call must not go on in them.
    EXPECT_EQ(decodeToUtf8("\x1b$B", "ISO-2022-JP"), "");
    EXPECT_EQ(decodeToUtf8("AB", "ISO-2022-JP"), "AB");
    std::string out;
    ConversionError e;
    ASSERT_TRUE(encodeStrict("\xE6\x97\xA5", "ISO-2022-JP", out, e));
    EXPECT_EQ(out, "\x1b$BF|\x1b(B") << "the text ends in the initial state";
    ASSERT_TRUE(encodeStrict("AB", "ISO-2022-JP", out, e));
    EXPECT_EQ(out, "AB");

    // A conversion that failed half-way leaves nothing behind for the next one, whichever
    // charsets come between.
    EXPECT_FALSE(encodeStrict("ok \xD0\x96", "ISO-8859-1", out, e));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(decodeToUtf8("\x8f\xe0\xa8\xa2\xa5\xe2", "CP866"), "Привет");
        EXPECT_EQ(decodeToUtf8("\xf0\xd2\xc9\xd7\xc5\xd4", "KOI8-R"), "Привет");
        ASSERT_TRUE(encodeStrict("Zoë", "ISO-8859-1", out, e));
        EXPECT_EQ(out, "Zo\xeb");
    }
}

TEST(Charset, Utf8CodePoint) {
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t codePoint;
        size_t length;  // 0: no valid sequence
    };
    const Case cases[] = {
        {"ASCII", "Az", 'A', 1},
        {"two bytes", "\xD0\x96z", 0x0416, 2},
        {"three bytes", "\xE2\x82\xAC", 0x20AC, 3},
        {"four bytes", "\xF0\x9F\x98\x80", 0x1F600, 4},
        {"the last code point", "\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
        {"past the last code point", "\xF4\x90\x80\x80", 0, 0},
        {"a continuation byte", "\x80", 0, 0},
        {"overlong", "\xC0\xAF", 0, 0},
        {"overlong three bytes", "\xE0\x80\xAF", 0, 0},
        {"a surrogate", "\xED\xA0\x80", 0, 0},
        {"cut", "\xE2\x82", 0, 0},
        {"a lead byte without continuation", "\xD0z", 0, 0},
        {"empty", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t length = 99;
        EXPECT_EQ(utf8CodePoint(c.bytes, length), c.codePoint);
        EXPECT_EQ(length, c.length);
    }
    EXPECT_EQ(utf8Length("Zoë Иван"), 8u);
    EXPECT_EQ(utf8Prefix("abЖ", 3), "ab") << "a character is not cut";
    EXPECT_EQ(utf8Prefix("abЖ", 4), "abЖ");
    EXPECT_EQ(utf8Prefix("ab", 0), "");
}

}  // namespace
