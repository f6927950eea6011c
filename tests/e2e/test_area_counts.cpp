// The area list's counts against the message lists, end to end, in both formats: a
// message the list leaves out (a Squish frame that cannot be read, a *.MSG file too short
// to be one) is not counted either; without a last-read mark every listed message is
// unread; and a user who sees only some of the netmail gets the counts of what they see.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/osfile.h"

namespace {

using qclient::Connection;
using qclient::Status;

const FidoAddr kAnnAddr{2, 5020, 1, 0};
const FidoAddr kBossAddr{2, 5020, 2, 0};
const char kUsers[] = "user Ann,secret,2:5020/1.0\nuser Boss,secret2,2:5020/2.0,super\n";

// Four Squish messages, UMSGIDs 1 to 4, the frame of `broken` without its frame id.
void buildEcho(const std::string& base, uint32_t broken, std::optional<uint32_t> mark) {
    sqfix::BuildOptions options;
    options.lastReadMark = mark;
    sqfix::BuiltBase built = sqfix::buildBase(base, std::vector<sqfix::Message>(4), options);
    sqfix::patchU32(sqfix::fileOf(base, ".SQD"), built.frameOffsets[broken - 1] + sqfix::off::kFrameId, 0);
}

// Netmail numbered `numbers`: the first to Ann, the second between others, the rest from
// Ann; `shortFile` holds five bytes instead.
void buildNetmail(const std::string& dir, const std::vector<uint32_t>& numbers, uint32_t shortFile) {
    ASSERT_TRUE(makeDirectory(dir));
    for (size_t i = 0; i < numbers.size(); ++i) {
        msgfixture::MsgFile m;
        m.fromName = i == 0 ? "Bob" : i == 1 ? "Bob" : "Ann";
        m.toName = i == 0 ? "Ann" : "Carl";
        m.orig = i >= 2 ? kAnnAddr : FidoAddr{2, 5020, 7, 0};
        m.dest = FidoAddr{2, 5020, 8, 0};
        if (numbers[i] == shortFile)
            ASSERT_TRUE(msgfixture::writeRawFile(dir + "/" + std::to_string(numbers[i]) + ".msg", "short"));
        else
            ASSERT_TRUE(msgfixture::writeMsgFile(dir, numbers[i], m));
    }
}

TEST(AreaCounts, AgreeWithTheListsInBothFormats) {
    TempDir dir;
    buildEcho(dir.file("echo"), 2, std::nullopt);  // lists 1, 3, 4
    buildEcho(dir.file("echomark"), 3, 2u);         // lists 1, 2, 4; 4 is above the mark
    buildNetmail(dir.file("net"), {1, 2, 3, 4}, 3);  // lists 1, 2, 4; Ann sees 1 and 4
    buildNetmail(dir.file("netmark"), {2, 3, 4, 5}, 4);  // lists 2, 3, 5; Ann sees 2 and 5
    ASSERT_TRUE(msgfixture::writeLastread(dir.file("netmark"), 3));
    ASSERT_FALSE(HasFatalFailure());
    dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\nEchoArea ECHOMARK " + dir.file("echomark") +
                               "\nNetArea NET " + dir.file("net") + "\nNetArea NETMARK " + dir.file("netmark") + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + kUsers)) << server.err();

    struct Expected {
        uint32_t count, unread;
    };
    struct Case {
        const char* user;
        const char* password;
        FidoAddr address;
        Expected areas[4];  // ECHO, ECHOMARK, NET, NETMARK
    } const cases[] = {
        // Without a last-read mark every listed message is unread.
        {"Boss", "secret2", kBossAddr, {{3, 3}, {3, 1}, {3, 3}, {3, 1}}},
        // Ann sees her own netmail only, and its counts.
        {"Ann", "secret", kAnnAddr, {{3, 3}, {3, 1}, {2, 2}, {2, 1}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.user);
        Connection c;
        ASSERT_TRUE(server.connect(c));
        ASSERT_EQ(c.login(k.user, k.password, k.address), Status::Ok);
        std::vector<pktAreaInfo> areas;
        ASSERT_EQ(c.getAreaList(areas), Status::Ok);
        ASSERT_EQ(areas.size(), 4u);
        for (int32_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::string(areas[size_t(i)].name, strnlen(areas[size_t(i)].name, 36)));
            std::vector<pktMsgHeader> listed;
            ASSERT_EQ(c.getMsgList(i, listed), Status::Ok);
            EXPECT_EQ(areas[size_t(i)].msgCount, listed.size());
            EXPECT_EQ(areas[size_t(i)].msgCount, k.areas[i].count);
            EXPECT_EQ(areas[size_t(i)].unreadCount, k.areas[i].unread);
        }
    }
    // Counting is no failure, and marks nothing read: no last-read file appears.
    EXPECT_EQ(server.countErr("error: "), 0) << server.err();
    EXPECT_EQ(access(sqfix::fileOf(dir.file("echo"), ".SQL").c_str(), F_OK), -1);
    EXPECT_EQ(directoryNames(dir.file("net")), (std::vector<std::string>{"1.msg", "2.msg", "3.msg", "4.msg"}));
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

}  // namespace
