// SIGHUP reads the settings again while the server runs: users come and go, sessions of
// users still registered go on, a file with errors is refused with the old settings kept,
// and the log file is opened anew after a rotation.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"
#include "common/temp_dir.h"

namespace {

using qclient::Status;

const FidoAddr kAnn{2, 5020, 1, 0};
const FidoAddr kBob{2, 5020, 2, 0};
const std::string kAnnLine = "user Ann,secret,2:5020/1\n";
const std::string kBobLine = "user Bob,other,2:5020/2\n";

class Reload : public ::testing::Test {
protected:
    void start(const std::string& settings) {
        ASSERT_TRUE(server.start(dir, "loginFailDelay 0\n" + settings)) << server.err();
    }
    // Writes the settings anew (same port), sends SIGHUP and waits for the reload's last
    // line: the summary after a reload that took, or the refusal.
    void reload(const std::string& settings) {
        dir.write("quorva.INI", "listenPort " + std::to_string(server.port()) + "\nloginFailDelay 0\n" + settings);
        const int before = server.countOut("after the reload") + server.countErr("reload refused") +
                           server.countErr("reload: cannot open");
        server.signal(SIGHUP);
        ASSERT_TRUE(waitUntil(
            [&] {
                return server.countOut("after the reload") + server.countErr("reload refused") +
                           server.countErr("reload: cannot open") >
                       before;
            },
            10000))
            << server.out() << server.err();
    }
    Status login(qclient::Connection& c, const std::string& name, const std::string& password, const FidoAddr& a) {
        if (!server.connect(c)) return Status::Error;
        return c.login(name, password, a);
    }

    TempDir dir;
    ServerProcess server;
};

// A user added comes in; a user whose password changed logs in with the new one, and the
// sessions of users still registered go on.
TEST_F(Reload, UsersAddedAndChangedTakeEffectAndSessionsGoOn) {
    start(kAnnLine);
    qclient::Connection ann;
    ASSERT_EQ(login(ann, "Ann", "secret", kAnn), Status::Ok);

    reload(kAnnLine + kBobLine);
    EXPECT_TRUE(server.waitForOut("2 users, 0 areas after the reload\n")) << server.out();
    qclient::Connection bob;
    EXPECT_EQ(login(bob, "Bob", "other", kBob), Status::Ok);
    EXPECT_EQ(ann.ping(), Status::Ok) << "Ann's session goes on";

    reload("user Ann,changed,2:5020/1\n" + kBobLine);
    qclient::Connection again;
    EXPECT_EQ(login(again, "Ann", "secret", kAnn), Status::Refused) << "the old password is gone";
    EXPECT_EQ(ann.ping(), Status::Ok);
    EXPECT_EQ(server.err().find("is no longer registered"), std::string::npos) << server.err();
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// The session of a user the reload removed is closed, with a line saying why.
TEST_F(Reload, SessionsOfRemovedUsersAreClosed) {
    start(kAnnLine + kBobLine);
    qclient::Connection ann, bob;
    ASSERT_EQ(login(ann, "Ann", "secret", kAnn), Status::Ok);
    ASSERT_EQ(login(bob, "Bob", "other", kBob), Status::Ok);
    reload(kBobLine);
    EXPECT_TRUE(ann.waitClosed(10000));
    EXPECT_TRUE(server.waitForErr("user Ann, 2:5020/1.0 is no longer registered: session closed\n")) << server.err();
    EXPECT_EQ(bob.ping(), Status::Ok);
    qclient::Connection annAgain;
    EXPECT_EQ(login(annAgain, "Ann", "secret", kAnn), Status::Refused);
}

// A file with errors (or none at all) is refused with a line, and the settings in force
// stay: the users it would have added do not come in, those it would have removed stay.
TEST_F(Reload, ASettingsFileWithErrorsKeepsTheSettingsInForce) {
    start(kAnnLine);
    reload(kBobLine + "listenAddress nowhere\n");
    EXPECT_TRUE(server.waitForErr("reload refused: 1 error in the settings; the settings in force stay\n"))
        << server.err();
    qclient::Connection ann, bob;
    EXPECT_EQ(login(ann, "Ann", "secret", kAnn), Status::Ok);
    EXPECT_EQ(login(bob, "Bob", "other", kBob), Status::Refused);

    ASSERT_EQ(unlink(dir.file("quorva.INI").c_str()), 0);
    const int before = server.countErr("reload: cannot open the settings file");
    server.signal(SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return server.countErr("reload: cannot open the settings file") > before; }, 10000));
    EXPECT_EQ(ann.ping(), Status::Ok);
    EXPECT_TRUE(server.running());
}

// The log file gets every line with its time stamp; after it is rotated away, SIGHUP opens
// a new one.
TEST_F(Reload, TheLogFileIsOpenedAnewAfterARotation) {
    const std::string log = dir.file("quorva.log");
    start(kAnnLine + "logFile " + log + "\n");
    qclient::Connection ann;
    ASSERT_EQ(login(ann, "Ann", "secret", kAnn), Status::Ok);
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("user: Ann, addr: 2:5020/1.0") != std::string::npos; }, 10000))
        << readFile(log);
    const std::string first = readFile(log);
    EXPECT_TRUE(isdigit(static_cast<unsigned char>(first[0]))) << "each line begins with its time: " << first;
    EXPECT_EQ(server.out().find("user: Ann"), server.out().find("user: Ann, addr")) << "the console has it too";

    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    reload(kAnnLine + "logFile " + log + "\n");
    EXPECT_EQ(ann.logout(), Status::Ok);
    EXPECT_TRUE(waitUntil([&] { return readFile(log).find("client disconnected.") != std::string::npos; }, 10000))
        << readFile(log);
    EXPECT_EQ(readFile(log + ".1").find("client disconnected.\n", first.size()), std::string::npos)
        << "the rotated file gets no more lines";
}

// A client's area numbers keep meaning the areas it was given: after a reload that moves
// the areas, its post lands where it meant; a request for an area the reload removed is
// refused; the next area list gives the new numbers.
TEST_F(Reload, AreaNumbersGivenBeforeAReloadKeepTheirAreas) {
    for (const char* base : {"one", "two", "three"}) sqfix::buildBase(dir.file(base), {});
    auto areas = [&](std::initializer_list<const char*> tags) {
        std::string text;
        for (const char* tag : tags) text += std::string("EchoArea ") + tag + " " + dir.file(tag) + "\n";
        dir.write("areas.cfg", text);
    };
    areas({"one", "two", "three"});
    const std::string settings = "squishCfg " + dir.file("areas.cfg") + "\nuser Sysop,boss,2:5020/1,super\n";
    start(settings);
    qclient::Connection c;
    ASSERT_EQ(login(c, "Sysop", "boss", kAnn), Status::Ok);
    std::vector<pktAreaInfo> list;
    ASSERT_EQ(c.getAreaList(list), Status::Ok);
    ASSERT_EQ(list.size(), 3u);

    areas({"three", "one"});  // "two" removed, the others moved
    reload(settings);
    auto post = [&](int32_t area, const char* subject) {
        pktMessage m;
        m.areaNumber = area;
        copyField(m.header.toName, "All", sizeof m.header.toName);
        copyField(m.header.subject, subject, sizeof m.header.subject);
        return c.post(m, "Text\r");
    };
    EXPECT_EQ(post(0, "Meant for one"), Status::Ok);
    EXPECT_EQ(post(1, "Meant for two"), Status::Refused);
    EXPECT_TRUE(server.waitForErr("area number 1: user Sysop, 2:5020/1.0: not found: the area was removed")) << server.err();
    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(c.getAreaList(list), Status::Ok);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[1].name, "one");
    ASSERT_EQ(c.getMsgList(1, headers), Status::Ok) << "the new numbers from the new list on";
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_STREQ(headers[0].subject, "Meant for one");
    ASSERT_EQ(c.getMsgList(0, headers), Status::Ok);
    EXPECT_TRUE(headers.empty());
}

}  // namespace
