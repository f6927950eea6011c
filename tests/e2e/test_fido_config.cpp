// A server whose areas come from the husky tosser's own configuration (the fidoConfig
// settings key): it lists the areas it skips at start-up and serves the Squish echo area
// and the *.MSG netmail directory the file names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"

namespace {

using qclient::Connection;
using qclient::Status;

TEST(FidoConfigServer, ServesTheSquishEchoAndMsgNetmailAreasOfTheTossersConfiguration) {
    TempDir dir;
    std::vector<sqfix::Message> echo(2);
    echo[0].subject = "First echo";
    echo[1].subject = "Second echo";
    sqfix::buildBase(dir.file("echo"), echo);
    dir.mkdir("netmail");
    msgfixture::MsgFile net;
    net.subject = "A netmail";
    ASSERT_TRUE(msgfixture::writeMsgFile(dir.file("netmail"), 1, net));

    // Written as the tosser's sysop writes it: letter case, a variable, an include, a
    // comment, and areas the server cannot serve.
    dir.write("areas.inc", "EchoArea JAM.AREA [BASES]/jam -b jam\n"
                           "echoarea FIDO.ECHO [BASES]/echo -b Squish 2:5020/1  # the uplink\n");
    dir.write("config", "address 2:5020/999\n"
                        "set BASES=" + dir.path() + "\n"
                        "NETMAILAREA NETMAIL [BASES]/netmail -b msg\n"
                        "BadArea BAD [BASES]/bad -b squish\n"
                        "include " + dir.file("areas.inc") + "\n");

    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "fidoConfig " + dir.file("config") + "\nnetmailVisibility all\nuser Name,pass,2:5020/1.0\n"))
        << server.err();
    EXPECT_NE(server.out().find("-> reading " + dir.file("config") + " and areas...\n"
                                "-> skipped area BAD (bad mail area)\n"
                                "-> skipped area JAM.AREA (JAM message base)\n"),
              std::string::npos)
        << server.out();
    EXPECT_EQ(server.err(), "");

    Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(Status::Ok, c.login("Name", "pass", FidoAddr{2, 5020, 1, 0}));
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(Status::Ok, c.getAreaList(areas));
    ASSERT_EQ(areas.size(), 2u);
    EXPECT_EQ(std::string(areas[0].name, strnlen(areas[0].name, 36)), "NETMAIL");
    EXPECT_EQ(areas[0].type, 1);
    EXPECT_EQ(areas[0].msgCount, 1u);
    EXPECT_EQ(std::string(areas[1].name, strnlen(areas[1].name, 36)), "FIDO.ECHO");
    EXPECT_EQ(areas[1].type, 2);
    EXPECT_EQ(areas[1].msgCount, 2u);

    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(Status::Ok, c.getMsgList(0, headers));
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_STREQ(headers[0].subject, "A netmail");
    ASSERT_EQ(Status::Ok, c.getMsgList(1, headers));
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_STREQ(headers[0].subject, "First echo");
    EXPECT_STREQ(headers[1].subject, "Second echo");
}

}  // namespace
