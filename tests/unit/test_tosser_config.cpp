// The area list as a sysop's real tosser configuration yields it: a file written for the
// tosser, with its comments, include directives, other statements and area kinds, flags
// and link addresses after the path, DOS line endings and an end-of-file mark, gives
// exactly its "EchoArea" and "NetArea" lines, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fixed_field.h"
#include "common/server_process.h"
#include "config/config.h"

namespace {

struct ExpectedArea {
    std::string name;
    std::string path;
    AreaFormat format;
    AreaType type;
};

class TosserConfig : public ::testing::Test {
protected:

    // Writes the configuration ("@" stands for the temporary folder, "\n" becomes CR LF as
    // DOS tools write it) and reads its areas.
    void load(const std::string& text) {
        std::string crlf;
        for (char c : text) {
            if (c == '@') crlf += dir.path();
            else if (c == '\n') crlf += "\r\n";
            else crlf += c;
        }
        dir.write("squish.cfg", crlf);
        loadTosserAreas(dir.file("squish.cfg").c_str(), areaList);
    }

    void expectAreas(const std::vector<ExpectedArea>& expected) {
        ASSERT_EQ(areaList.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("area " + std::to_string(i) + " " + expected[i].name);
            const mArea& a = areaList[i];
            EXPECT_EQ(a.name, expected[i].name);
            EXPECT_EQ(a.path, expected[i].path);
            EXPECT_EQ(a.format, expected[i].format);
            EXPECT_EQ(a.type, expected[i].type);
        }
    }

    TempDir dir;
    std::vector<mArea> areaList;
};

const AreaFormat kMsg = AreaFormat::Msg, kSquish = AreaFormat::Squish;
const AreaType kNet = AreaType::Netmail, kEcho = AreaType::Echomail;

TEST_F(TosserConfig, RealConfigurationYieldsExactlyItsEchoAndNetAreas) {
    // An included file holds areas too; the server reads only the file it is given.
    dir.write("areas.inc", "EchoArea FROM.INCLUDE /fido/msgbase/include -$ 2:5020/100\r\n");
    std::string bigLinks = "EchoArea        BIG.LINKS       /fido/msgbase/big -$";
    for (int node = 1; node <= 40; ++node) bigLinks += " 2:5020/" + std::to_string(1000 + node);
    ASSERT_GT(bigLinks.size(), 255u);

    load(";\n"
         "; Tosser configuration of 2:5020/200\n"
         ";\n"
         "Address         2:5020/200\n"
         "Address         2:5020/200.1\n"
         "Origin          Test station, Moscow\n"
         "Include         @/areas.inc\n"
         "Compress        /fido/compress.cfg\n"
         "Outbound        /fido/outbound\n"
         "NetFile         /fido/inbound\n"
         "LogFile         /fido/log/tosser.log\n"
         "Pack            2:5020/100 Zip\n"
         "Send Crash      2:5020/100\n"
         "\n"
         "NetArea         NETMAIL         /fido/netmail\n"
         "BadArea         BAD_MSGS        /fido/msgbase/bad        -$\n"
         "DupeArea        DUPES           /fido/msgbase/dupes      -$\n"
         "LocalArea       LOCAL.NEWS      /fido/msgbase/local      -$\n"
         "EchoArea        R50.SYSOP       /fido/msgbase/r50sysop   -$ -0 2:5020/100 2:5020/300.1 5030/400\n"
         "EchoArea\tSU.GENERAL\t/fido/msgbase/sugeneral\t-$\t-p2:5020/200.1\t2:5020/100\n"
         "   EchoArea     INDENTED        /fido/msgbase/indented   -$\n"
         "echoarea        LOWER.CASE      /fido/msgbase/lower      -$\n"
         "ECHOAREA        UPPER.CASE      /fido/msgbase/upper      -$\n"
         "netarea         netmail.lower   /fido/netmail.lower\n"
         "; EchoArea      COMMENTED.OUT   /fido/msgbase/commented  -$\n"
         ";EchoArea       COMMENTED.TIGHT /fido/msgbase/commented2 -$\n"
         "EchoArea        NO.PATH\n"
         "EchoArea        A_VERY_LONG_AREA_TAG_OF_FORTY_CHARACTERS /fido/msgbase/longtag -$\n"
         + bigLinks + "\n"
         "EchoArea        PASSTHRU.AREA   /fido/msgbase/passthru   -0 2:5020/100\n"
         "NetArea         NETMAIL.FLAGS   /fido/netmail.flags      -$ 2:5020/100\n"
         "\x1a"
         "EchoArea        AFTER.EOF       /fido/msgbase/after      -$\n");

    expectAreas({
        {"NETMAIL", "/fido/netmail", kMsg, kNet},
        {"R50.SYSOP", "/fido/msgbase/r50sysop", kSquish, kEcho},
        {"SU.GENERAL", "/fido/msgbase/sugeneral", kSquish, kEcho},
        {"INDENTED", "/fido/msgbase/indented", kSquish, kEcho},
        // A tag of 40 characters keeps its first 36.
        {"A_VERY_LONG_AREA_TAG_OF_FORTY_CHARAC", "/fido/msgbase/longtag", kSquish, kEcho},
        // The links beyond the first 255 characters come as a line of their own, which
        // names no area.
        {"BIG.LINKS", "/fido/msgbase/big", kSquish, kEcho},
        // The keyword alone decides the kind: flags after the path change nothing.
        {"PASSTHRU.AREA", "/fido/msgbase/passthru", kSquish, kEcho},
        {"NETMAIL.FLAGS", "/fido/netmail.flags", kMsg, kNet},
    });
}

}  // namespace
