// Every command of a logged-in user that is refused or fails leaves one console line that
// names the area, the command, the user and the cause; and the server says when it shuts
// down. End to end: one area per case, each set up to refuse in its own way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "support/le.h"
#include "support/osfile.h"

namespace {

using qclient::Connection;
using qclient::Status;

const FidoAddr kAnnAddr{2, 5020, 1, 0};
const char kUsers[] = "user Ann,secret,2:5020/1.0\nwriteRetryTime 0.3\n";
const std::string kAnn = "user Ann, 2:5020/1.0";
constexpr int kWaitMs = 5000;
const std::string kCtrlA = "\x01";

// The system's text of an errno as the console adds it: ": Permission denied (13)".
std::string systemText(int error) { return ": " + std::string(strerror(error)) + " (" + std::to_string(error) + ")"; }

enum class Command { Post, Fetch, Delete, List };
const char* commandName(Command c) {
    switch (c) {
    case Command::Post: return "post";
    case Command::Fetch: return "fetch";
    case Command::Delete: return "delete";
    case Command::List: return "list";
    }
    return "?";
}

// What the tests hold on to while the server runs: the tosser's lock, files to make
// removable again.
struct Held {
    std::vector<int> locks;
    std::vector<std::string> restoreModes;
    uint32_t brokenFrame = 0;  // the offset of the frame damaged for BROKEN
};

struct Case {
    const char* tag;
    bool squish;  // else a *.MSG folder
    // Prepares the area's files at `path` (the base path or the folder).
    std::function<void(const std::string& path, Held& held)> setUp;
    Command command;
    uint32_t msgNumber;
    // The console text after "error: area TAG: fail to ": `path` is the area's.
    std::function<std::string(const std::string& path, const Held& held)> line;
    bool modesStopRoot = false;  // the case needs file modes that the superuser ignores
};

sqfix::Message messageFrom(const FidoAddr& addr, const std::string& subject) {
    sqfix::Message m;
    m.subject = subject;
    m.orig = addr;
    m.control = kCtrlA + "MSGID: " + std::to_string(addr.zone) + ":" + std::to_string(addr.net) + "/" +
                std::to_string(addr.node) + "." + std::to_string(addr.point) + " 12345678";
    m.text = "Text\r";
    return m;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"GONE", true, [](const std::string&, Held&) {}, Command::Post, 0,
         [](const std::string& p, const Held&) { return "post: " + kAnn + ": not found: " + p + ".sqd is missing"; }},
        {"NODIR", false, [](const std::string&, Held&) {}, Command::Post, 0,
         [](const std::string& p, const Held&) { return "post: " + kAnn + ": not found: *.MSG folder " + p + " is missing"; }},
        // A data file that is no file: what the system says when it refuses the open.
        {"SQDDIR", true,
         [](const std::string& p, Held&) {
             sqfix::buildBase(p, {sqfix::Message{}});
             ASSERT_TRUE(removeFile(sqfix::fileOf(p, ".SQD")));
             ASSERT_TRUE(makeDirectory(sqfix::fileOf(p, ".SQD")));
         },
         Command::Post, 0,
         [](const std::string& p, const Held&) { return "post: " + kAnn + ": I/O error: cannot open " + p + ".SQD" + systemText(EISDIR); }},
        {"SQDDIRLIST", true,
         [](const std::string& p, Held&) {
             sqfix::buildBase(p, {sqfix::Message{}});
             ASSERT_TRUE(removeFile(sqfix::fileOf(p, ".SQD")));
             ASSERT_TRUE(makeDirectory(sqfix::fileOf(p, ".SQD")));
         },
         Command::List, 0,
         [](const std::string& p, const Held&) {
             return "list the messages: " + kAnn + ": I/O error: cannot open " + p + ".SQD" + systemText(EISDIR);
         }},
        {"ROBASE", true,
         [](const std::string& p, Held&) {
             sqfix::buildBase(p, {sqfix::Message{}});
             ASSERT_EQ(chmod(sqfix::fileOf(p, ".SQD").c_str(), 0444), 0);
         },
         Command::Post, 0,
         [](const std::string& p, const Held&) {
             return "post: " + kAnn + ": I/O error: cannot open " + p + ".SQD" + systemText(EACCES);
         },
         true},
        {"ROFOLDER", false,
         [](const std::string& p, Held& held) {
             ASSERT_TRUE(makeDirectory(p));
             ASSERT_EQ(chmod(p.c_str(), 0555), 0);
             held.restoreModes.push_back(p);
         },
         Command::Post, 0,
         [](const std::string& p, const Held&) {
             return "post: " + kAnn + ": I/O error: cannot create " + p + "/1.mst" + systemText(EACCES);
         },
         true},
        {"NOTYOURS", true,
         [](const std::string& p, Held&) { sqfix::buildBase(p, {messageFrom({2, 5020, 9, 0}, "Another's")}); },
         Command::Delete, 1, [](const std::string&, const Held&) { return "delete message #1: " + kAnn + ": forbidden: not yours"; }},
        {"SENT", false,
         [](const std::string& p, Held&) {
             ASSERT_TRUE(makeDirectory(p));
             msgfixture::MsgFile m;
             m.orig = kAnnAddr;
             m.attribute = msgfixture::kAttrSent | msgfixture::kAttrLocal;
             m.kludges = {"MSGID: 2:5020/1.0 12345678"};
             ASSERT_TRUE(msgfixture::writeMsgFile(p, 2, m));
         },
         Command::Delete, 2, [](const std::string&, const Held&) { return "delete message #2: " + kAnn + ": forbidden: already sent"; }},
        {"NOMSG", true, [](const std::string& p, Held&) { sqfix::buildBase(p, {sqfix::Message{}}); }, Command::Fetch, 99,
         [](const std::string& p, const Held&) {
             return "read message #99: " + kAnn + ": not found: Squish base " + p + ": no message 99";
         }},
        {"NOMSGNET", false, [](const std::string& p, Held&) { ASSERT_TRUE(makeDirectory(p)); }, Command::Delete, 99,
         [](const std::string& p, const Held&) {
             return "delete message #99: " + kAnn + ": not found: *.MSG folder " + p + ": no message 99";
         }},
        {"SHORTMSG", false,
         [](const std::string& p, Held&) {
             ASSERT_TRUE(makeDirectory(p));
             ASSERT_TRUE(msgfixture::writeRawFile(p + "/7.msg", "short"));
         },
         Command::Fetch, 7,
         [](const std::string& p, const Held&) {
             return "read message #7: " + kAnn + ": damaged: " + p + "/7.msg is shorter than a message header (5 of 190 bytes)";
         }},
        {"CLOSEDMSG", false,
         [](const std::string& p, Held&) {
             ASSERT_TRUE(makeDirectory(p));
             ASSERT_TRUE(msgfixture::writeMsgFile(p, 7, msgfixture::MsgFile{}));
             ASSERT_EQ(chmod((p + "/7.msg").c_str(), 0), 0);
         },
         Command::Fetch, 7,
         [](const std::string& p, const Held&) {
             return "read message #7: " + kAnn + ": I/O error: cannot open " + p + "/7.msg" + systemText(EACCES);
         },
         true},
        // The tosser holds the base's lock for longer than writeRetryTime.
        {"LOCKED", true,
         [](const std::string& p, Held& held) {
             sqfix::buildBase(p, {sqfix::Message{}});
             int lock = sqfix::lockDataFile(p);
             ASSERT_GE(lock, 0);
             held.locks.push_back(lock);
         },
         Command::Post, 0,
         [](const std::string& p, const Held&) {
             return "post: " + kAnn + ": busy: Squish base " + p +
                    " is locked by another program; given up once writeRetryTime was over";
         }},
        // Another writer has reserved the index record of its new message and not filled
        // it in (yet).
        {"MIDWRITE", true,
         [](const std::string& p, Held&) {
             sqfix::buildBase(p, {sqfix::Message{}});
             std::vector<uint8_t> index = sqfix::readFileBytes(sqfix::fileOf(p, ".SQI"));
             const uint8_t reserved[12] = {0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};  // frame 0, UMSGID 2
             index.insert(index.end(), reserved, reserved + sizeof reserved);
             sqfix::writeFileBytes(sqfix::fileOf(p, ".SQI"), index);
         },
         Command::Delete, 1,
         [](const std::string& p, const Held&) {
             return "delete message #1: " + kAnn + ": busy: Squish base " + p +
                    ": index record 1 (UMSGID 2) has no frame yet: another program is writing that message, or left "
                    "it unfinished (its pack tool repairs the base); given up once writeRetryTime was over";
         }},
        {"BROKEN", true,
         [](const std::string& p, Held& held) {
             sqfix::BuiltBase built = sqfix::buildBase(p, {sqfix::Message{}, sqfix::Message{}});
             held.brokenFrame = built.frameOffsets[1];
             sqfix::patchU32(sqfix::fileOf(p, ".SQD"), held.brokenFrame + sqfix::off::kFrameId, 0);
         },
         Command::Fetch, 2,
         [](const std::string& p, const Held& held) {
             return "read message #2: " + kAnn + ": damaged: Squish base " + p + ": the frame of message 2 (offset " +
                    std::to_string(held.brokenFrame) + ") has no frame id";
         }},
    };
    return all;
}

std::string lowerCase(std::string s) {
    for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(Refusals, EachNamesTheAreaTheCommandTheUserAndTheCause) {
    TempDir dir;
    Held held;
    std::string config;
    for (const Case& k : cases()) {
        SCOPED_TRACE(k.tag);
        k.setUp(dir.file(lowerCase(k.tag)), held);
        config += std::string(k.squish ? "EchoArea " : "NetArea ") + k.tag + " " + dir.file(lowerCase(k.tag)) + "\n";
    }
    ASSERT_FALSE(HasFatalFailure());
    dir.write("areas.cfg", config);
    ServerProcess server;
    ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") + "\n" + kUsers)) << server.err();
    Connection c;
    ASSERT_TRUE(server.connect(c));
    ASSERT_EQ(c.login("Ann", "secret", kAnnAddr), Status::Ok);
    const std::string peer = peerOf(c);

    int lines = 0;
    for (size_t i = 0; i < cases().size(); ++i) {
        const Case& k = cases()[i];
        SCOPED_TRACE(std::string(k.tag) + " " + commandName(k.command));
        if (k.modesStopRoot && geteuid() == 0) continue;  // the superuser opens whatever the modes say
        const int32_t area = int32_t(i);
        Status got = Status::Ok;
        std::vector<pktMsgHeader> headers;
        pktMessage m;
        std::vector<std::string> text;
        switch (k.command) {
        case Command::Post:
            m.areaNumber = area;
            copyField(m.header.fromName, "Ann", sizeof m.header.fromName);
            copyField(m.header.toName, "All", sizeof m.header.toName);
            copyField(m.header.subject, "Refused", sizeof m.header.subject);
            m.destAddr = FidoAddr{2, 5020, 2, 0};
            got = c.post(m, "Never stored\r");
            break;
        case Command::Fetch: got = c.getMessage(area, k.msgNumber, m, text); break;
        case Command::Delete: got = c.deleteMsg(area, k.msgNumber); break;
        case Command::List: got = c.getMsgList(area, headers); break;
        }
        // A list that fails is an empty list; the others are refused.
        EXPECT_EQ(got, k.command == Command::List ? Status::Ok : Status::Refused);
        EXPECT_TRUE(headers.empty());
        const std::string line =
            peer + " error: area " + k.tag + ": fail to " + k.line(dir.file(lowerCase(k.tag)), held) + "\n";
        EXPECT_TRUE(server.waitForErr(line, kWaitMs)) << server.err();
        ++lines;
    }
    // One line each, and nothing else went wrong.
    EXPECT_EQ(server.countErr(peer + " error: "), lines) << server.err();
    EXPECT_EQ(c.ping(), Status::Ok) << "the session goes on";
    EXPECT_EQ(server.countOut("post: ") + server.countOut("delete: "), 0) << server.out();

    // The area list counts 0 messages for an area whose files cannot be read, and tells
    // why; an area whose files are missing counts 0 without a line.
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), cases().size());
    for (const char* tag : {"SQDDIR", "SQDDIRLIST"}) {
        const std::string path = dir.file(lowerCase(tag));
        EXPECT_TRUE(server.waitForErr(peer + " error: area " + tag + ": fail to count the messages: " + kAnn +
                                          ": I/O error: cannot open " + path + ".SQD" + systemText(EISDIR) + "\n",
                                      kWaitMs))
            << server.err();
    }
    EXPECT_EQ(server.countErr("fail to count the messages"), 2) << server.err();

    for (int lock : held.locks) close(lock);
    for (const std::string& path : held.restoreModes) chmod(path.c_str(), 0755);  // so that it can be removed
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitExit(), 0);
}

// The last line the server writes names the sessions it cut off.
TEST(Refusals, ShutdownLineCountsTheSessionsClosed) {
    struct Case {
        int sessions;
        const char* line;
    } const cases[] = {
        {0, "-> shutting down: 0 sessions closed\n"},
        {1, "-> shutting down: 1 session closed\n"},
        {2, "-> shutting down: 2 sessions closed\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sessions);
        TempDir dir;
        ServerProcess server;
        ASSERT_TRUE(server.start(dir, kUsers));
        // start()'s probe connection has come and gone.
        ASSERT_TRUE(waitUntil([&] { return server.countOut("client disconnected.") == 1; }, kWaitMs)) << server.out();
        std::vector<Connection> open(size_t(k.sessions));
        for (Connection& c : open) ASSERT_TRUE(server.connect(c));
        ASSERT_TRUE(waitUntil([&] { return server.countOut("client: ") == k.sessions + 1; }, kWaitMs)) << server.out();
        server.signal(SIGTERM);
        EXPECT_EQ(server.waitExit(), 0);
        const std::string out = server.out();
        ASSERT_GE(out.size(), strlen(k.line));
        EXPECT_EQ(out.substr(out.size() - strlen(k.line)), k.line) << out;
        EXPECT_EQ(server.err(), "");
    }
}

}  // namespace
