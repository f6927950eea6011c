// The husky tosser's own configuration read for its areas: the language (letter case,
// comments, continuations, variables, conditions, defaults, include), which areas are
// served and which are skipped with their reason, the error lines, and the same file read
// by the husky library's own parser (tparser) for comparison.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/fixed_field.h"
#include "common/hpt_node.h"
#include "common/temp_dir.h"
#include "common/tosser_interop.h"
#include "config/config.h"
#include "config/fido_config.h"

namespace {

const AreaFormat kMsg = AreaFormat::Msg, kSquish = AreaFormat::Squish;

struct Served {
    std::string tag;
    std::string path;
    AreaFormat format;  // the type follows: *.MSG is netmail, Squish is echomail
};

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

class FidoConfig : public ::testing::Test {
protected:

    std::string expand(const std::string& s) const {
        std::string r;
        for (char ch : s) r += ch == '@' ? dir.path() : std::string(1, ch);
        return r;
    }

    // Writes the files ("@" stands for the temporary folder) and reads "fidoconfig".
    void load(const std::string& text, const std::vector<std::pair<std::string, std::string>>& files = {}) {
        areaList.clear();
        for (const auto& [name, content] : files) dir.write(name, expand(content));
        dir.write("fidoconfig", expand(text));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        loadFidoConfig(mainFile().c_str(), areaList);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    std::string mainFile() const { return dir.file("fidoconfig"); }

    void expectServed(const std::vector<Served>& expected) {
        ASSERT_EQ(areaList.size(), expected.size()) << out << err;
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("area " + std::to_string(i) + " " + expected[i].tag);
            const mArea& a = areaList[i];
            EXPECT_EQ(a.name, expected[i].tag.substr(0, kAreaTagSize));
            EXPECT_EQ(a.path, expand(expected[i].path).substr(0, kAreaPathSize));
            EXPECT_EQ(a.format, expected[i].format);
            EXPECT_EQ(a.type, expected[i].format == kMsg ? AreaType::Netmail : AreaType::Echomail);
        }
    }

    // The skipped lines, "TAG (reason)" each.
    static std::string skipped(const std::vector<std::string>& lines) {
        std::string s;
        for (const std::string& l : lines) s += "-> skipped area " + l + "\n";
        return s;
    }

    TempDir dir;
    std::string out, err;
    // What the readers fill.
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
    char settingsPath[260] = {};
};

const char kJam[] = "(JAM message base)";
const char kPass[] = "(passthrough area, no message base)";
const char kMsgEcho[] = "(echomail in *.MSG format)";
const char kSquishNet[] = "(netmail in a Squish base)";

TEST_F(FidoConfig, Language) {
    const std::string x300(300, 'x');
    struct Case {
        const char* name;
        std::string text;
        std::vector<Served> served;
        std::vector<std::string> skipped;  // "TAG (reason)"
    } cases[] = {
        {"keywords in any letter case",
         "echoarea E1 /b/e1\nECHOAREA E2 /b/e2\nNetmailArea N1 /b/n1 -b msg\nnetarea N2 /b/n2 -b MSG\n"
         "localArea L1 /b/l1\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}, {"N1", "/b/n1", kMsg}, {"N2", "/b/n2", kMsg},
          {"L1", "/b/l1", kSquish}},
         {}},
        {"tags keep their letter case", "EchoArea Mixed.Case /b/mixed\n", {{"Mixed.Case", "/b/mixed", kSquish}}, {}},
        {"an area without -b is a Squish base",
         "EchoArea E1 /b/e1\nLocalArea L1 /b/l1\nNetmailArea N1 /b/n1\n",
         {{"E1", "/b/e1", kSquish}, {"L1", "/b/l1", kSquish}},
         {std::string("N1 ") + kSquishNet}},
        {"-b in any letter case, the last one counts",
         "EchoArea E1 /b/e1 -B Squish\nEchoArea E2 /b/e2 -b SQUISH\nEchoArea E3 /b/e3 -b jam -b squish\n"
         "EchoArea E4 /b/e4 -b squish -b Jam\nEchoArea E5 /b/e5 -b MsG\nLocalArea L1 /b/l1 -b msg\n"
         "NetmailArea N1 /b/n1 -b jam\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}, {"E3", "/b/e3", kSquish}},
         {std::string("E4 ") + kJam, std::string("E5 ") + kMsgEcho, std::string("L1 ") + kMsgEcho,
          std::string("N1 ") + kJam}},
        {"comments",
         "# EchoArea C1 /b/c1\n   #EchoArea C2 /b/c2\nEchoArea E1 /b/e1 # -b jam\nEchoArea E2 /b/e2#x -b squish\n"
         "EchoArea E3 /b/e3 -d #1 -b jam\nEchoArea E4 /b/e4 -b jam\t#\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2#x", kSquish}},
         {std::string("E3 ") + kJam, std::string("E4 ") + kJam}},
        {"another comment character",
         "commentChar ;\n; EchoArea C1 /b/c1\nEchoArea E1 /b/e1 ; -b jam\nEchoArea E2 /b/e2;x\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2;x", kSquish}},
         {}},
        {"blank lines, blanks and CR LF",
         "\r\n   \r\n\t\r\n\t EchoArea\tE1 \t/b/e1\t\r\nEchoArea E2 /b/e2\r\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}},
         {}},
        {"variables",
         "set BASE=/b\nEchoArea E1 [BASE]/e1\nEchoArea E2 [base]/e2\nSET Base = /c \nEchoArea E3 [BASE]/e3\n"
         "EchoArea E4 /b/[NOPE]e4\n",
         {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}, {"E3", "/c/e3", kSquish}, {"E4", "/b/e4", kSquish}},
         {}},
        {"variables anywhere on the line",
         "set K=EchoArea\nset T=TAG.ONE\nset F=-b jam\n[K] [T] /b/t1\nEchoArea T2 /b/t2 [F]\n",
         {{"TAG.ONE", "/b/t1", kSquish}},
         {std::string("T2 ") + kJam}},
        {"values: quotes, unsetting, expanded when set, not again when used",
         "set Q=\"/q\"junk\nEchoArea E1 [Q]/e1\nset X=/x\nset X=\nEchoArea E2 /b/[X]e2\n"
         "set A=/a\nset B=[A]/b\nset A=/z\nEchoArea E3 [B]/e3\nset C=[C]c\nset C=[C]c\nEchoArea E4 /b/[C]\n"
         "set L=[M]\nset M=m\nEchoArea E5 /b/[L]e5\n",
         {{"E1", "/q/e1", kSquish}, {"E2", "/b/e2", kSquish}, {"E3", "/a/b/e3", kSquish}, {"E4", "/b/cc", kSquish},
          {"E5", "/b/e5", kSquish}},
         {}},
        {"brackets without a variable",
         "set A=a\nEchoArea E1 /b/[[A]]e1\nEchoArea E2 /b/[e2\nEchoArea E3 /b/[]e3\n",
         {{"E1", "/b/]e1", kSquish}, {"E2", "/b/[e2", kSquish}, {"E3", "/b/e3", kSquish}},
         {}},
        {"the module is hpt",
         "if \"[module]\" == \"hpt\"\nEchoArea E1 /b/e1\nelse\nEchoArea E2 /b/e2\nendif\n",
         {{"E1", "/b/e1", kSquish}},
         {}},
        {"EchoAreaDefaults",
         "EchoAreaDefaults -b jam\nEchoArea J1 /b/j1\nEchoArea S1 /b/s1 -b squish\nLocalArea L1 /b/l1\n"
         "NetmailArea N1 /b/n1 -b msg\nEchoAreaDefaults off\nEchoArea M1 /b/m1\nEchoAreaDefaults -b squish\n"
         "EchoArea S2 /b/s2\nEchoAreaDefaults\nEchoArea M2 /b/m2\nEchoAreaDefaults -d \"desc\"\nEchoArea M3 /b/m3\n"
         "EchoAreaDefaults -pass\nEchoArea P1 /b/p1 -b squish\nEchoAreaDefaults -d x passthrough\n"
         "EchoArea P2 /b/p2\nechoareadefaults -B Squish\nEchoArea S3 /b/s3\n",
         {{"S1", "/b/s1", kSquish}, {"L1", "/b/l1", kSquish}, {"N1", "/b/n1", kMsg}, {"S2", "/b/s2", kSquish},
          {"S3", "/b/s3", kSquish}},
         {std::string("J1 ") + kJam, std::string("M1 ") + kMsgEcho, std::string("M2 ") + kMsgEcho,
          std::string("M3 ") + kMsgEcho, std::string("P1 ") + kPass, std::string("P2 ") + kPass}},
        {"passthrough areas",
         "EchoArea P1 passthrough\nEchoArea P2 PassThrough -b squish\nEchoArea P3 /b/p3 -pass\n"
         "EchoArea P4 /b/p4 -PASS -b squish\nNetmailArea P5 /b/p5 -b msg -pass\nLocalArea P6 /b/p6 -pass\n",
         {},
         {std::string("P1 ") + kPass, std::string("P2 ") + kPass, std::string("P3 ") + kPass,
          std::string("P4 ") + kPass, std::string("P5 ") + kPass, std::string("P6 ") + kPass}},
        {"quotes",
         "EchoArea \"Q1\" /b/q1\nEchoArea Q2 /b/q2 -d \"a -b jam\"\nEchoArea Q3 /b/q3 -d \"say -pass\" -b squish\n"
         "EchoArea \"Q4 /b/q4\nEchoArea Q5 \"/b/q5\"\nEchoArea \"Q6\"x /b/q6\nEchoArea Q7 /b/q7 -d \"a b\" -b jam\n",
         {{"Q1", "/b/q1", kSquish}, {"Q2", "/b/q2", kSquish}, {"Q3", "/b/q3", kSquish}, {"\"Q4", "/b/q4", kSquish},
          {"Q5", "\"/b/q5\"", kSquish}, {"\"Q6\"x", "/b/q6", kSquish}},
         {std::string("Q7 ") + kJam}},
        {"lines longer than 255 characters are read whole",
         "EchoArea LONG /b/long -d \"" + x300 + "\" -b jam\nNetmailArea NET /b/net -d \"" + x300 + "\" -b msg\n" +
             "EchoArea E" + std::string(300, 'T') + " /b/" + x300 + "\n",
         {{"NET", "/b/net", kMsg}, {"E" + std::string(35, 'T'), "/b/" + x300, kSquish}},
         {std::string("LONG ") + kJam}},
        {"a space and a backslash continue the line",
         "EchoArea C1 /b/c1 \\\n  -b \\\n jam\nEchoArea C2 /b/c2\\\nEchoArea C3 /b/c3\t\\\n"
         "EchoArea C4 /b/c4 \\\n\\\n-b jam\n",
         {{"C2", "/b/c2\\", kSquish}, {"C3", "/b/c3", kSquish}, {"C4", "/b/c4", kSquish}},
         {std::string("C1 ") + kJam}},
        {"conditions",
         "set X=b\nifdef X\nEchoArea I1 /b/i1\nelse\nEchoArea I2 /b/i2\nendif\nifndef X\nEchoArea I3 /b/i3\nendif\n"
         "if [X]==a\nEchoArea I4 /b/i4\nelseif [X] == B\nEchoArea I5 /b/i5\nelif [X]==b\nEchoArea I6 /b/i6\n"
         "else\nEchoArea I7 /b/i7\nendif\n"
         "ifdef NOPE\nifdef X\nEchoArea I8 /b/i8\nelse\nEchoArea I9 /b/i9\nendif\ninclude /nonexistent\nset X=c\n"
         "else\nEchoArea I10 /b/i10\nendif\n"
         "if [X]!=c\nEchoArea I11 /b/i11\nendif\nIF \"a b\" == \"A B\"\nEchoArea I12 /b/i12\nENDIF\n"
         "if a==a==a\nEchoArea I13 /b/i13\nendif\nif \" a\"==a\nEchoArea I14 /b/i14\nendif\n"
         "set E=\nifdef E\nEchoArea I15 /b/i15\nendif\nifdef x\nEchoArea I16 /b/i16\nendif\n",
         {{"I1", "/b/i1", kSquish}, {"I5", "/b/i5", kSquish}, {"I10", "/b/i10", kSquish}, {"I11", "/b/i11", kSquish},
          {"I12", "/b/i12", kSquish}, {"I16", "/b/i16", kSquish}},
         {}},
        {"wildcard conditions read as the tosser reads them",
         "if hpt =~ h?t\nEchoArea W1 /b/w1\nendif\nif hpt !~ H*\nEchoArea W2 /b/w2\nendif\n"
         "if hpt =~ x*\nEchoArea W3 /b/w3\nendif\nif hpt !~ x*\nEchoArea W4 /b/w4\nendif\n",
         {{"W2", "/b/w2", kSquish}, {"W3", "/b/w3", kSquish}},
         {}},
        {"a tag used before is skipped",
         "EchoArea D1 /b/d1\nEchoArea d1 /b/d2\nNetmailArea D1 /b/d3 -b msg\n",
         {{"D1", "/b/d1", kSquish}},
         {"d1 (its tag names an earlier area)", "D1 (its tag names an earlier area)"}},
        {"bounded copies of tag and path",
         "EchoArea " + std::string(40, 'T') + " /" + std::string(300, 'p') + "\n",
         {{std::string(40, 'T'), "/" + std::string(300, 'p'), kSquish}},
         {}},
        {"other statements are ignored",
         "address 2:5020/999\nsysop Test Sysop\nlink Uplink\naka 2:5020/1\nroute normal 2:5020/1 *\n"
         "EchoAreaX E1 /b/e1\nFileArea F1 /b/f1\nSquishArea S1 /b/s1\n",
         {},
         {}},
        {"Ctrl-Z ends the file", "EchoArea E1 /b/e1\n\x1A" "EchoArea E2 /b/e2\n", {{"E1", "/b/e1", kSquish}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.text);
        expectServed(c.served);
        EXPECT_EQ(out, skipped(c.skipped));
        EXPECT_EQ(err, "");
    }
}

TEST_F(FidoConfig, EnvironmentVariables) {
    // Taken from the environment by their exact name, unless the file sets them.
    ASSERT_EQ(0, setenv("QUORVA_FIDO_TEST_BASE", "/env", 1));
    load("EchoArea E1 [QUORVA_FIDO_TEST_BASE]/e1\nEchoArea E2 /b/[quorva_fido_test_base]e2\n"
         "ifdef QUORVA_FIDO_TEST_BASE\nEchoArea E3 /b/e3\nendif\n"
         "set quorva_fido_test_base=/set\nEchoArea E4 [QUORVA_FIDO_TEST_BASE]/e4\n");
    unsetenv("QUORVA_FIDO_TEST_BASE");
    expectServed({{"E1", "/env/e1", kSquish}, {"E2", "/b/e2", kSquish}, {"E3", "/b/e3", kSquish},
                  {"E4", "/set/e4", kSquish}});
    EXPECT_EQ(err, "");
}

TEST_F(FidoConfig, EverySkippedAreaIsListedWithItsReason) {
    load("BadArea BAD /b/bad -b squish\n"
         "DupeArea DUPE /b/dupe\n"
         "EchoArea JAM.ECHO /b/jam -b jam\n"
         "EchoArea PASS.ECHO passthrough\n"
         "EchoArea MSG.ECHO /b/msgecho -b msg\n"
         "LocalArea JAM.LOCAL /b/jamlocal -b jam\n"
         "NetmailArea NETMAIL.SQ /b/netsq -b squish\n"
         "NetmailArea NETMAIL.JAM /b/netjam -b jam\n"
         "NetmailArea NETMAIL /b/netmail -b msg\n"
         "EchoArea SERVED /b/served -b squish\n");
    expectServed({{"NETMAIL", "/b/netmail", kMsg}, {"SERVED", "/b/served", kSquish}});
    EXPECT_EQ(out,
              "-> skipped area BAD (bad mail area)\n"
              "-> skipped area DUPE (dupe mail area)\n"
              "-> skipped area JAM.ECHO (JAM message base)\n"
              "-> skipped area PASS.ECHO (passthrough area, no message base)\n"
              "-> skipped area MSG.ECHO (echomail in *.MSG format)\n"
              "-> skipped area JAM.LOCAL (JAM message base)\n"
              "-> skipped area NETMAIL.SQ (netmail in a Squish base)\n"
              "-> skipped area NETMAIL.JAM (JAM message base)\n");
    EXPECT_EQ(err, "");
}

TEST_F(FidoConfig, ErrorsNameFileAndLineAndReadingGoesOn) {
    struct Case {
        const char* name;
        std::string text;
        std::string error;  // the one error line expected, after "error: <file>:"
        std::vector<Served> served;
        std::vector<std::string> skipped;
    } cases[] = {
        {"area without tag", "EchoArea\nEchoArea E2 /b/e2\n", "1: EchoArea without an area tag", {{"E2", "/b/e2", kSquish}}, {}},
        {"area without path", "EchoArea E1\nEchoArea E2 /b/e2\n", "1: EchoArea E1 has no path", {{"E2", "/b/e2", kSquish}}, {}},
        {"options where the path should be", "\nechoarea E1 -b squish\n", "2: echoarea E1 has no path", {}, {}},
        {"-b without a format", "EchoArea E1 /b/e1 -b\n", "1: -b without a message base format", {}, {}},
        {"-b with an unknown format", "EchoArea E1 /b/e1 -b sdm\n", "1: -b takes squish, msg or jam, not sdm", {}, {}},
        {"-b passthrough is no format", "EchoArea E1 /b/e1 -b passthrough\n",
         "1: -b takes squish, msg or jam, not passthrough", {}, {}},
        {"quoted tag with blanks", "EchoArea \"A B\" /b/ab\n", "1: EchoArea: an area tag cannot hold blanks: \"A B\"", {}, {}},
        {"empty tag", "EchoArea \"\" /b/e\n", "1: EchoArea with an empty area tag", {}, {}},
        {"bad EchoAreaDefaults keeps the earlier defaults",
         "EchoAreaDefaults -b jam\nEchoAreaDefaults -b bogus\nEchoArea J1 /b/j1\n",
         "2: -b takes squish, msg or jam, not bogus", {}, {std::string("J1 ") + kJam}},
        {"set without a value", "set X\nEchoArea E1 /b/[X]e1\n", "1: set takes NAME=VALUE", {{"E1", "/b/e1", kSquish}}, {}},
        {"endif without if", "EchoArea E1 /b/e1\nendif\n", "2: endif without its if; ignored", {{"E1", "/b/e1", kSquish}}, {}},
        {"else without if", "else\nEchoArea E1 /b/e1\n", "1: else without its if; ignored", {{"E1", "/b/e1", kSquish}}, {}},
        {"second else", "ifdef NOPE\nelse\nEchoArea E1 /b/e1\nelse\nEchoArea E2 /b/e2\nendif\n",
         "4: else without its if; ignored", {{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}}, {}},
        {"bad if expression is false", "if bogus\nEchoArea E1 /b/e1\nendif\nEchoArea E2 /b/e2\n",
         "1: bad if expression: bogus", {{"E2", "/b/e2", kSquish}}, {}},
        {"ifdef without a name", "ifdef\nEchoArea E1 /b/e1\nendif\n", "1: ifdef and ifndef take a variable name", {}, {}},
        {"include without a file", "include\nEchoArea E1 /b/e1\n", "1: include takes one file name", {{"E1", "/b/e1", kSquish}}, {}},
        {"include with two files", "include a b\n", "1: include takes one file name", {}, {}},
        {"commentChar without a character", "commentChar\n", "1: commentChar without a character", {}, {}},
        {"commands in backquotes are not run", "EchoArea E1 /b/`touch @/ran`\nEchoArea E2 /b/e2\n",
         "1: commands in backquotes are not run by the server; line left out: EchoArea E1 /b/`touch @/ran`",
         {{"E2", "/b/e2", kSquish}}, {}},
        {"a line too long", "EchoArea E1 /b/e1\nEchoArea E2 /b/" + std::string(kFidoLineMax, 'x') + "\nEchoArea E3 /b/e3\n",
         "2: line longer than 65536 characters left out", {{"E1", "/b/e1", kSquish}, {"E3", "/b/e3", kSquish}}, {}},
        {"a line too long once expanded",
         "set X=" + std::string(40000, 'x') + "\nEchoArea E2 /b/[X][X]\nEchoArea E3 /b/e3\n",
         "2: line longer than 65536 characters once its variables are filled in; left out",
         {{"E3", "/b/e3", kSquish}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        load(c.text);
        expectServed(c.served);
        EXPECT_EQ(out, skipped(c.skipped));
        EXPECT_EQ(err, expand("error: " + mainFile() + ":" + c.error + "\n"));
    }
    EXPECT_NE(0, access(dir.file("ran").c_str(), F_OK)) << "a command in backquotes was run";
}

TEST_F(FidoConfig, IfWithoutEndifIsReportedAtTheEnd) {
    load("ifdef NOPE\nEchoArea E1 /b/e1\nifdef X\n");
    expectServed({});
    EXPECT_EQ(err, "error: " + mainFile() + ": 2 if block(s) without endif at the end of the configuration\n");
}

TEST_F(FidoConfig, MissingMainFileIsAnError) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    loadFidoConfig(dir.file("absent").c_str(), areaList);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(areaList.empty());
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("error: cannot open " + dir.file("absent") + ": ", 0), 0u) << err;
}

TEST_F(FidoConfig, IncludesNestInPlaceAndShareVariablesAndDefaults) {
    dir.mkdir("sub");
    load("EchoArea M0 /b/m0\n"
         "Include @/a.inc\n"
         "EchoArea M9 [V]/m9\n",
         {{"a.inc", "EchoArea A1 /b/a1\nINCLUDE @/sub/b.inc\nEchoArea A3 /b/a3\n"},
          {"sub/b.inc", "set V=/v\nEchoArea B2 [V]/b2\nEchoAreaDefaults -b jam\n"}});
    expectServed({{"M0", "/b/m0", kSquish}, {"A1", "/b/a1", kSquish}, {"B2", "/v/b2", kSquish}});
    EXPECT_EQ(out, skipped({std::string("A3 ") + kJam, std::string("M9 ") + kJam}));
    EXPECT_EQ(err, "");
}

TEST_F(FidoConfig, IncludeCyclesAreRefusedWithoutLooping) {
    // main includes itself (under another spelling) and a.inc; a.inc includes b.inc,
    // which includes a.inc again.
    load("EchoArea M1 /b/m1\ninclude @/./fidoconfig\ninclude @/a.inc\nEchoArea M2 /b/m2\n",
         {{"a.inc", "EchoArea A1 /b/a1\ninclude @/b.inc\nEchoArea A2 /b/a2\n"},
          {"b.inc", "EchoArea B1 /b/b1\ninclude @/a.inc\nEchoArea B2 /b/b2\n"}});
    expectServed({{"M1", "/b/m1", kSquish},
                  {"A1", "/b/a1", kSquish},
                  {"B1", "/b/b1", kSquish},
                  {"B2", "/b/b2", kSquish},
                  {"A2", "/b/a2", kSquish},
                  {"M2", "/b/m2", kSquish}});
    EXPECT_EQ(err, expand("error: @/fidoconfig:2: @/./fidoconfig includes itself (directly or through other files); "
                          "include refused\n"
                          "error: @/b.inc:2: @/a.inc includes itself (directly or through other files); "
                          "include refused\n"));
    EXPECT_EQ(out, "");
}

TEST_F(FidoConfig, IncludeTheSameFileTwiceIsNoCycle) {
    load("include @/a.inc\nEchoAreaDefaults -b jam\ninclude @/a.inc\n", {{"a.inc", "EchoArea A[N] /b/a[N]\nset N=[N]1\n"}});
    expectServed({{"A", "/b/a", kSquish}});
    EXPECT_EQ(out, skipped({std::string("A1 ") + kJam}));
    EXPECT_EQ(err, "");
}

TEST_F(FidoConfig, MissingIncludeIsReportedAndReadingGoesOn) {
    load("EchoArea E1 /b/e1\ninclude @/absent.inc\nEchoArea E2 /b/e2\n");
    expectServed({{"E1", "/b/e1", kSquish}, {"E2", "/b/e2", kSquish}});
    EXPECT_EQ(err.rfind(expand("error: @/fidoconfig:2: cannot open the included file @/absent.inc: "), 0), 0u) << err;
    EXPECT_EQ(countOf(err, "\n"), 1u) << err;
}

TEST_F(FidoConfig, IncludeDepthIsBounded) {
    // f0 includes f1, ... f19 includes f20: the files beyond the limit are not read.
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i <= 20; ++i)
        files.push_back({"f" + std::to_string(i), "EchoArea F" + std::to_string(i) + " /b/f" + std::to_string(i) +
                                                      "\ninclude @/f" + std::to_string(i + 1) + "\n"});
    load("include @/f0\n", files);
    std::vector<Served> expected;
    for (int i = 0; i < kFidoIncludeDepthMax - 1; ++i)
        expected.push_back({"F" + std::to_string(i), "/b/f" + std::to_string(i), kSquish});
    expectServed(expected);
    const int last = kFidoIncludeDepthMax - 2;
    EXPECT_EQ(err, expand("error: @/f" + std::to_string(last) + ":2: includes nested deeper than 16 files; @/f" +
                          std::to_string(last + 1) + " not read\n"));
}

TEST_F(FidoConfig, SettingsKeyAnnouncesAndAppendsInLineOrder) {
    struct Case {
        const char* name;
        std::string settings;
        std::string out;
        std::vector<Served> served;
        int warnings = 0;  // lines the settings do not take
    } cases[] = {
        {"fidoConfig and squishCfg in line order",
         "squishCfg @/squish.cfg\nfidoConfig @/fido.cfg\n",
         "-> reading @/squish.cfg and areas...\n-> reading @/fido.cfg and areas...\n"
         "-> skipped area JAM.ONE (JAM message base)\n",
         {{"SQ.CFG", "/b/sqcfg", kSquish}, {"NETMAIL", "/b/net", kMsg}, {"FIDO.ONE", "/b/fidoone", kSquish}}},
        {"the keyword as written", "fidoconfig @/fido.cfg\nFidoConfig @/fido.cfg\n", "", {}, 2},
        {"exactly two words", "fidoConfig @/fido.cfg extra\nfidoConfig\n", "", {}, 2},
        {"indented", " \tfidoConfig\t@/fido.cfg\n",
         "-> reading @/fido.cfg and areas...\n-> skipped area JAM.ONE (JAM message base)\n",
         {{"NETMAIL", "/b/net", kMsg}, {"FIDO.ONE", "/b/fidoone", kSquish}}},
    };
    dir.write("squish.cfg", "EchoArea SQ.CFG /b/sqcfg\n");
    dir.write("fido.cfg", "NetmailArea NETMAIL /b/net -b msg\nechoarea FIDO.ONE /b/fidoone\nEchoArea JAM.ONE /b/jam -b jam\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        areaList.clear();
        userList.removeAll();
        dir.write("quorva.INI", expand(c.settings) + "user Name,pw,2:5020/1\n");
        chmod(dir.file("quorva.INI").c_str(), 0600);
        snprintf(settingsPath, sizeof settingsPath, "%s", dir.file("quorva.INI").c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ServerSettings settings;
        EXPECT_TRUE(loadSettings(settingsPath, settings, areaList, userList));
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, expand(c.out));
        EXPECT_EQ(settings.findings.warnings, c.warnings) << err;
        EXPECT_EQ(settings.findings.errors, 0) << err;
        if (c.warnings == 0) {
            EXPECT_EQ(err, "");
        }
        expectServed(c.served);
    }
}

// The tosser's EchoTossLog is the server's echo toss log unless the settings name one.
TEST_F(FidoConfig, EchoTossLogOfTheTosserIsTheDefault) {
    dir.write("fido.cfg", "EchoTossLog /var/log/echotoss.log\nEchoArea E1 /b/e1\n");
    struct Case {
        std::string settings;
        std::string echoTossLog;
    } cases[] = {
        {"fidoConfig @/fido.cfg\n", "/var/log/echotoss.log"},
        {"echoTossLog /own/log\nfidoConfig @/fido.cfg\n", "/own/log"},
        {"fidoConfig @/fido.cfg\nechoTossLog /own/log\n", "/own/log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        areaList.clear();
        userList.removeAll();
        dir.write("quorva.INI", expand(c.settings) + "user Name,pw,2:5020/1\n");
        chmod(dir.file("quorva.INI").c_str(), 0600);
        snprintf(settingsPath, sizeof settingsPath, "%s", dir.file("quorva.INI").c_str());
        testing::internal::CaptureStdout();
        ServerSettings settings;
        EXPECT_TRUE(loadSettings(settingsPath, settings, areaList, userList));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(settings.echoTossLog, c.echoTossLog);
    }
}

// ---- the husky library's own reading ---------------------------------------------------

// An area as served, on either side of the comparison: netmail or echomail, tag, path
// and base format.
struct ComparedArea {
    std::string kind, tag, path, format;
    bool operator<(const ComparedArea& o) const {
        return std::tie(kind, tag, path, format) < std::tie(o.kind, o.tag, o.path, o.format);
    }
};

TEST_F(FidoConfig, AgreesWithTheHuskyLibrary) {
    const std::string tparser = hpt::toolPath("tparser");
    if (hpt::huskyBinDir().empty() || access(tparser.c_str(), X_OK) != 0)
        GTEST_SKIP() << "tparser (husky tools) not found: set HUSKY_BIN_DIR to the folder that holds it; "
                        "the comparison with the husky library was not run";

    ASSERT_EQ(0, setenv("QUORVA_FIDO_TEST_ENV", (dir.path() + "/env").c_str(), 1));
    const std::string text =
        "address 2:5020/999\n"
        "sysop Test Sysop\n"
        "# the node's areas\n"
        "NetmailArea NETMAIL @/netmail -b msg\n"
        "netarea NET.SQUISH @/netsq\n"
        "BadArea BAD @/bad -b squish\n"
        "DupeArea DUPE @/dupe\n"
        "set BASES=@/bases\n"
        "EchoArea SQ.ONE [BASES]/sqone -b Squish -d \"first -b jam\"\n"
        "echoarea Sq.Two [bases]/sqtwo # -b jam\n"
        "EchoArea HASH [BASES]/hash#1 -d #1 -b squish\n"
        "EchoArea JAM.ONE [BASES]/jamone -b jam\n"
        "EchoArea MSG.ONE [BASES]/msgone -b msg\n"
        "EchoArea PASS.ONE passthrough\n"
        "EchoArea PASS.TWO [BASES]/passtwo -pass -b squish\n"
        "LocalArea LOCAL.ONE [BASES]/localone\n"
        "LocalArea LOCAL.JAM [BASES]/localjam -b JAM\n"
        "EchoArea \"QUOTED\" [BASES]/quoted\n"
        "EchoArea ENV.AREA [QUORVA_FIDO_TEST_ENV]/envarea\n"
        "EchoArea LONG.ONE [BASES]/longone -d \"" + std::string(300, 'x') + "\" -b jam\n"
        "EchoArea CONT.ONE [BASES]/contone \\\n"
        "   -b msg\n"
        "include @/areas.inc\n"
        "EchoArea AFTER.INC [SUB]/afterinc\n"
        "EchoAreaDefaults -b jam\n"
        "EchoArea DEF.JAM [BASES]/defjam\n"
        "LocalArea DEF.LOCAL [BASES]/deflocal\n"
        "EchoAreaDefaults off\n"
        "EchoArea DEF.MSG [BASES]/defmsg\n"
        "EchoAreaDefaults -b squish\n"
        "EchoArea DEF.SQ [BASES]/defsq\n"
        "if \"[module]\" == \"hpt\"\n"
        "EchoArea IF.HPT [BASES]/ifhpt\n"
        "else\n"
        "EchoArea IF.OTHER [BASES]/ifother\n"
        "endif\n"
        "ifdef NOPE\n"
        "EchoArea IFDEF.NO [BASES]/ifdefno\n"
        "elseif [BASES]!=x\n"
        "EchoArea ELSEIF.YES [BASES]/elseifyes\n"
        "endif\n"
        "if hpt =~ x*\n"
        "EchoArea MATCH.INVERTED [BASES]/matchinv\n"
        "endif\n"
        "if hpt =~ h*\n"
        "EchoArea MATCH.NOT [BASES]/matchnot\n"
        "endif\n"
        "commentChar ;\n"
        "EchoArea SEMI [BASES]/semi ; -b jam\n";
    load(text, {{"areas.inc", "set SUB=[BASES]/sub\nEchoArea INC.ONE [SUB]/incone\nNetmailArea INC.NET [SUB]/incnet -b MSG\n"}});
    ASSERT_EQ(err, "");

    // tparser reads the configuration as hpt does when told the module is hpt. Its
    // warnings go to a file of their own so that they cannot cut into the listing.
    const std::string warnings = dir.file("tparser.err");
    tosser::RunResult r = tosser::runProgram(
        {"/bin/sh", "-c", "exec \"$0\" -Dmodule=hpt \"$1\" 2>\"$2\"", tparser, mainFile(), warnings}, dir.path());
    unsetenv("QUORVA_FIDO_TEST_ENV");
    const std::string tparserErr = readFile(warnings);
    ASSERT_FALSE(r.timedOut) << tosser::describe(r);
    ASSERT_NE(r.out.find("=== EchoAreas ==="), std::string::npos) << tosser::describe(r) << tparserErr;
    ASSERT_EQ(r.out.find("Please correct"), std::string::npos) << tparserErr;
    ASSERT_EQ(tparserErr.find("Please correct"), std::string::npos) << tparserErr;

    std::vector<ComparedArea> servedByTparser;
    std::vector<std::string> skippedByTparser;
    for (const hpt::ParsedArea& a : hpt::parsedAreas(r.out)) {
        bool echoSquish = (a.section == "EchoAreas" || a.section == "LocalAreas") && a.format == "Squish";
        bool netmailMsg = a.section == "NetMailAreas" && a.format == "SDM";
        if (echoSquish || netmailMsg)
            servedByTparser.push_back({netmailMsg ? "netmail" : "echomail", a.tag, a.path, netmailMsg ? "msg" : "squish"});
        else
            skippedByTparser.push_back(a.tag);
    }
    std::vector<ComparedArea> servedByUs;
    for (const mArea& a : areaList) {
        bool net = a.format == kMsg;
        servedByUs.push_back({net ? "netmail" : "echomail", a.name, a.path, net ? "msg" : "squish"});
    }
    std::vector<std::string> skippedByUs;
    for (size_t p = out.find("-> skipped area "); p != std::string::npos; p = out.find("-> skipped area ", p + 1)) {
        size_t b = p + 16;
        skippedByUs.push_back(out.substr(b, out.find(' ', b) - b));
    }
    std::sort(servedByTparser.begin(), servedByTparser.end());
    std::sort(servedByUs.begin(), servedByUs.end());
    std::sort(skippedByTparser.begin(), skippedByTparser.end());
    std::sort(skippedByUs.begin(), skippedByUs.end());

    ASSERT_EQ(servedByUs.size(), servedByTparser.size()) << out << tosser::describe(r);
    for (size_t i = 0; i < servedByUs.size(); ++i) {
        SCOPED_TRACE(servedByTparser[i].tag);
        EXPECT_EQ(servedByUs[i].kind, servedByTparser[i].kind);
        EXPECT_EQ(servedByUs[i].tag, servedByTparser[i].tag);
        EXPECT_EQ(servedByUs[i].path, servedByTparser[i].path);
        EXPECT_EQ(servedByUs[i].format, servedByTparser[i].format);
    }
    EXPECT_EQ(skippedByUs, skippedByTparser) << out;
    // The comparison covers every kind: both served kinds and several skipped ones.
    EXPECT_GE(servedByUs.size(), 10u);
    EXPECT_GE(skippedByUs.size(), 8u);
}

}  // namespace
