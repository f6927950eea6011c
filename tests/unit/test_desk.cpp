// The console line of a refused or failed command (reportRefusal): the area, the command,
// the user and the cause, with the system's text where the system gave the cause, for
// every kind of area result, including those a test cannot bring about on a real disk
// (a full one).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/desk.h"
#include "core/services.h"
#include "support/le.h"

namespace {

std::string systemText(int error) { return ": " + std::string(strerror(error)) + " (" + std::to_string(error) + ")"; }

TEST(Desk, RefusalLineNamesTheAreaTheCommandTheUserAndTheCause) {
    std::vector<mArea> areaList = {makeArea(AreaFormat::Squish, AreaType::Echomail, "ECHO", "/fido/echo"),
                                   makeArea(AreaFormat::Msg, AreaType::Netmail, "NETMAIL", "/fido/netmail")};
    MCArray<rClientInfo> userList;
    UserDirectory users{userList};
    RightsPolicy rights;
    LoginThrottle logins;
    MsgIdSerials serials;
    ServerSettings settings;
    RequestBudget requests;
    AreaNumbers areaNumbers{areaList};
    const Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers};
    rClientInfo ann;
    copyField(ann.name, "Ann\x07Reader", sizeof ann.name);  // a control byte is shown as "?"
    ann.address = FidoAddr{2, 5020, 1, 7};
    const std::string who = "user Ann?Reader, 2:5020/1.7: ";

    struct Case {
        const char* name;
        int32_t area;
        const char* what;
        AreaResult result;
        std::string line;
    } const cases[] = {
        {"rights", 0, "delete message #3", AreaResult::forbidden("not yours"),
         "error: area ECHO: fail to delete message #3: " + who + "forbidden: not yours\n"},
        {"missing", 1, "read message #9", AreaResult::notFound("*.MSG folder /fido/netmail: no message 9"),
         "error: area NETMAIL: fail to read message #9: " + who + "not found: *.MSG folder /fido/netmail: no message 9\n"},
        {"full disk", 0, "post", AreaResult::ioError("cannot write /fido/echo.SQD", ENOSPC),
         "error: area ECHO: fail to post: " + who + "I/O error: cannot write /fido/echo.SQD" + systemText(ENOSPC) + "\n"},
        {"permission", 1, "post", AreaResult::ioError("cannot create /fido/netmail/5.mst", EACCES),
         "error: area NETMAIL: fail to post: " + who + "I/O error: cannot create /fido/netmail/5.mst" +
             systemText(EACCES) + "\n"},
        {"busy", 0, "post", AreaResult::busy("Squish base /fido/echo is locked by another program"),
         "error: area ECHO: fail to post: " + who + "busy: Squish base /fido/echo is locked by another program\n"},
        {"damaged", 0, "list the messages", AreaResult::damaged("/fido/echo.SQD is shorter than its base header"),
         "error: area ECHO: fail to list the messages: " + who + "damaged: /fido/echo.SQD is shorter than its base header\n"},
        // A reason longer than any fixed buffer comes whole.
        {"long", 0, "post", AreaResult::ioError("cannot rename " + std::string(1500, 'x'), ENOSPC),
         "error: area ECHO: fail to post: " + who + "I/O error: cannot rename " + std::string(1500, 'x') +
             systemText(ENOSPC) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        reportRefusal(services, ann, c.area, c.what, c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
}

}  // namespace
