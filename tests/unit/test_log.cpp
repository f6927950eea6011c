// Console lines: the texts as given, with the time stamp and the session's peer before
// them, and the time stamp's own form.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "common/console_lines.h"
#include "support/log.h"

namespace {

struct Captured {
    std::string out, err;
};

template <typename F>
Captured capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Captured c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

// Time stamps are switched off again whatever a test does.
class LogLines : public testing::Test {
protected:
    void TearDown() override { setLogTimestamps(false); }
};

TEST(LogTime, Iso8601WithMillisecondsAndTheOffset) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    struct Case {
        int ms;
        long offset;
        const char* text;
    } cases[] = {
        {123, 3600, "2026-03-05T07:08:09.123+01:00"},
        {0, 0, "2026-03-05T07:08:09.000+00:00"},
        {999, -5 * 3600, "2026-03-05T07:08:09.999-05:00"},
        {7, 5 * 3600 + 1800, "2026-03-05T07:08:09.007+05:30"},
        {50, -(9 * 3600 + 1800), "2026-03-05T07:08:09.050-09:30"},
        {1, 14 * 3600, "2026-03-05T07:08:09.001+14:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[kLogTimeSize];
        formatLogTime(t, c.ms, c.offset, text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST_F(LogLines, TextsAsTheyAlwaysWere) {
    Captured c = capture([] {
        logLine("client: %s\n", "127.0.0.1:40312");
        reportError(0, "fail to read message #%d\n", 7);
        reportError(2, "cannot open %s", "x.cfg");
        reportWarning("area %s: %s", "ECHO", "gone");
    });
    EXPECT_EQ(c.out, "client: 127.0.0.1:40312\n");
    EXPECT_EQ(c.err, "error: fail to read message #7\n\nerror: cannot open x.cfg: " + std::string(strerror(2)) +
                         " (2)\nwarning: area ECHO: gone\n");
}

TEST_F(LogLines, PeerBeforeTheLinesOfItsSession) {
    Captured c = capture([] {
        logLine("client: %s\n", "[::1]:40312");
        {
            LogPeer peer("[::1]:40312");
            logLine("user: %s\n", "Ann");
            reportError(0, "client timeout.\n");
            {
                LogPeer inner("10.0.0.2:1");
                logLine("inner\n");
            }
            logLine("client disconnected.\n");
        }
        logLine("after\n");
        LogPeer none("");
        logLine("no peer\n");
    });
    EXPECT_EQ(c.out,
              "client: [::1]:40312\n[::1]:40312 user: Ann\n10.0.0.2:1 inner\n[::1]:40312 client disconnected.\n"
              "after\nno peer\n");
    EXPECT_EQ(c.err, "[::1]:40312 error: client timeout.\n\n") << "the empty line stays empty";
}

TEST_F(LogLines, TimeStampBeforeEveryLine) {
    setLogTimestamps(true);
    EXPECT_TRUE(logTimestamps());
    Captured c = capture([] {
        logLine("-> waiting for connect or keypress...\n");
        LogPeer peer("127.0.0.1:5");
        reportError(0, "fail to delete message #%d\n", 3);
        reportWarning("w");
    });
    const size_t n = timeStampLength(c.out);
    ASSERT_EQ(n, 30u) << c.out;
    EXPECT_EQ(c.out.substr(n), "-> waiting for connect or keypress...\n");
    const size_t firstEnd = c.err.find("\n\n") + 2;
    const std::string first = c.err.substr(0, firstEnd), second = c.err.substr(firstEnd);
    ASSERT_EQ(timeStampLength(first), 30u) << c.err;
    EXPECT_EQ(first.substr(30), "127.0.0.1:5 error: fail to delete message #3\n\n") << "the empty line stays empty";
    ASSERT_EQ(timeStampLength(second), 30u) << c.err;
    EXPECT_EQ(second.substr(30), "127.0.0.1:5 warning: w\n");
    // The stamp is the local time now.
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char year[8];
    strftime(year, sizeof year, "%Y-", &local);
    EXPECT_EQ(c.out.rfind(year, 0), 0u) << c.out;
}

TEST_F(LogLines, LongTextsAreWhole) {
    const std::string longText(5000, 'x');
    Captured c = capture([&] {
        logLine("%s\n", longText.c_str());
        reportError(0, "%s", longText.c_str());
    });
    EXPECT_EQ(c.out, longText + "\n");
    EXPECT_EQ(c.err, "error: " + longText + "\n");
}

}  // namespace
