// The server's command line, and the start-up's look at the areas: what each folder or
// base is found to be, and the warnings for the ones that cannot be served as they should.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/squish_fixture.h"
#include "common/temp_dir.h"
#include "server/check.h"
#include "server/options.h"
#include "support/le.h"

namespace {

struct Parsed {
    bool ok;
    CommandLine line;
    std::string problem;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quorva");
    Parsed p;
    p.ok = parseCommandLine(int(args.size()), args.data(), p.line, p.problem);
    return p;
}

TEST(ServerCommandLine, OptionsAndTheirValues) {
    struct Case {
        const char* name;
        std::vector<const char*> args;
        std::string settingsFile, listenAddress;
        bool check, strict, timestamps, help, version;
    } cases[] = {
        {"nothing: the defaults", {}, "", "", false, false, false, false, false},
        {"-c FILE", {"-c", "/etc/quorva/quorva.INI"}, "/etc/quorva/quorva.INI", "", false, false, false, false, false},
        {"--listen ADDRESS", {"--listen", "::1"}, "", "::1", false, false, false, false, false},
        {"--listen=ADDRESS", {"--listen=127.0.0.1"}, "", "127.0.0.1", false, false, false, false, false},
        {"the last of two wins", {"-c", "a.INI", "-c", "b.INI"}, "b.INI", "", false, false, false, false, false},
        {"everything", {"--timestamps", "--check", "--strict", "-c", "x", "--listen", "::"}, "x", "::", true, true, true,
         false, false},
        {"--help", {"--help"}, "", "", false, false, false, true, false},
        {"-h", {"-h"}, "", "", false, false, false, true, false},
        {"--version", {"--version"}, "", "", false, false, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.args);
        ASSERT_TRUE(p.ok) << p.problem;
        EXPECT_EQ(p.line.settingsFile, c.settingsFile);
        EXPECT_EQ(p.line.listenAddress, c.listenAddress);
        EXPECT_EQ(p.line.check, c.check);
        EXPECT_EQ(p.line.strict, c.strict);
        EXPECT_EQ(p.line.timestamps, c.timestamps);
        EXPECT_EQ(p.line.help, c.help);
        EXPECT_EQ(p.line.version, c.version);
    }
}

TEST(ServerCommandLine, WhatIsRefusedAndWhy) {
    struct Case {
        std::vector<const char*> args;
        const char* problem;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--check=yes"}, "unknown option --check=yes"},
        {{"--listenx", "::1"}, "unknown option --listenx"},
        {{"quorva.INI"}, "unexpected argument quorva.INI"},
        {{"-c"}, "-c needs a file name"},
        {{"-c", ""}, "-c needs a file name"},
        {{"--listen"}, "--listen needs an address"},
        {{"--listen="}, "--listen needs an address"},
        {{"--strict"}, "--strict belongs to --check"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.problem, c.problem);
    }
}

TEST(ServerCommandLine, UsageAndHelpNameEveryOption) {
    const std::string usage = kUsageLine, help = kHelpText;
    EXPECT_EQ(usage.rfind("usage: quorva ", 0), 0u);
    EXPECT_EQ(usage.back(), '\n');
    EXPECT_EQ(help.rfind(usage, 0), 0u) << "the help begins with the usage line";
    for (const char* option : {"-c FILE", "--listen ADDRESS", "--check", "--strict", "--timestamps", "--help", "--version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
        EXPECT_NE(help.find(std::string(" ") + option, usage.size()), std::string::npos) << option << " is explained";
    }
}

// ---- areas at start-up --------------------------------------------------------------

mArea areaOf(AreaFormat format, const std::string& tag, const std::string& path) {
    return makeArea(format, format == AreaFormat::Msg ? AreaType::Netmail : AreaType::Echomail, tag, path);
}

TEST(AreaCheck, WhatIsFoundAtEachPath) {
    TempDir dir;
    dir.mkdir("netmail");
    dir.write("afile", "x");
    sqfix::buildBase(dir.file("echo"), {sqfix::Message{}});
    sqfix::BuildOptions lower;
    lower.lowerCaseNames = true;
    sqfix::buildBase(dir.file("lower"), {sqfix::Message{}}, lower);
    sqfix::buildBase(dir.file("halfgone"), {sqfix::Message{}});
    ASSERT_EQ(unlink(sqfix::fileOf(dir.file("halfgone"), ".SQI").c_str()), 0);
    struct Case {
        const char* name;
        mArea area;
        bool exists;
        std::string problem;
    } cases[] = {
        {"*.MSG folder", areaOf(AreaFormat::Msg, "NETMAIL", dir.file("netmail")), true, ""},
        {"missing folder", areaOf(AreaFormat::Msg, "GONE", dir.file("gone")), false,
         "*.MSG folder " + dir.file("gone") + " is missing"},
        {"a file, not a folder", areaOf(AreaFormat::Msg, "FILE", dir.file("afile")), false,
         dir.file("afile") + " is not a folder"},
        {"Squish base", areaOf(AreaFormat::Squish, "ECHO", dir.file("echo")), true, ""},
        {"Squish base with lower-case names", areaOf(AreaFormat::Squish, "LOWER", dir.file("lower")), true, ""},
        {"no base files", areaOf(AreaFormat::Squish, "NEW", dir.file("new")), false,
         "Squish base " + dir.file("new") + " is missing its .SQD and .SQI files"},
        {"no index", areaOf(AreaFormat::Squish, "HALF", dir.file("halfgone")), false,
         "Squish base " + dir.file("halfgone") + " is missing its .SQI file"},
        {"no folder either", areaOf(AreaFormat::Squish, "DEEP", dir.file("nodir/base")), false,
         "Squish base " + dir.file("nodir/base") + " is missing its .SQD and .SQI files (and its folder " +
             dir.file("nodir") + ")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AreaState s = inspectArea(c.area);
        EXPECT_EQ(s.exists, c.exists);
        EXPECT_EQ(s.readable, c.exists);
        EXPECT_EQ(s.writable, c.exists);
        EXPECT_EQ(s.problem, c.problem);
    }
}

TEST(AreaCheck, UnwritableAndUnreadableAreas) {
    if (geteuid() == 0) GTEST_SKIP() << "the superuser may read and write whatever the modes say";
    TempDir dir;
    std::string readOnly = dir.subdir("readonly");
    ASSERT_EQ(chmod(readOnly.c_str(), 0555), 0);
    std::string closed = dir.subdir("closed");
    ASSERT_EQ(chmod(closed.c_str(), 0), 0);
    sqfix::buildBase(dir.file("echo"), {sqfix::Message{}});
    ASSERT_EQ(chmod(sqfix::fileOf(dir.file("echo"), ".SQD").c_str(), 0444), 0);

    AreaState s = inspectArea(areaOf(AreaFormat::Msg, "RO", readOnly));
    EXPECT_TRUE(s.exists && s.readable && !s.writable);
    EXPECT_EQ(s.problem, "*.MSG folder " + readOnly + " is not writable: posts and deletes will fail");
    s = inspectArea(areaOf(AreaFormat::Msg, "CLOSED", closed));
    EXPECT_TRUE(s.exists && !s.readable && !s.writable);
    EXPECT_EQ(s.problem, "*.MSG folder " + closed + " is not readable");
    s = inspectArea(areaOf(AreaFormat::Squish, "ECHO", dir.file("echo")));
    EXPECT_TRUE(s.exists && s.readable && !s.writable);
    EXPECT_EQ(s.problem, "Squish base " + dir.file("echo") + " is not writable: posts and deletes will fail");
    chmod(closed.c_str(), 0755);  // so that the folder can be removed
    chmod(readOnly.c_str(), 0755);
}

TEST(AreaCheck, CountsWithTheirNouns) {
    EXPECT_EQ(countOf(0, "user", "users"), "0 users");
    EXPECT_EQ(countOf(1, "user", "users"), "1 user");
    EXPECT_EQ(countOf(2, "area", "areas"), "2 areas");
}

}  // namespace
