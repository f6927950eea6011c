// What every door does with messages on a user's behalf: the rights and post rules applied
// once, the area's answer passed on as it came, and the console line of each change.
#pragma once
#include <cstdint>
#include <ctime>

#include "accounts/users.h"
#include "areas/echoarea.h"
#include "core/services.h"
#include "fido/message.h"

// "error: area TAG: TEXT" for a configured area, "error: area number N: TEXT" for a number
// that names none; with the system error's text as reportError adds it.
void reportAreaError(const Services& services, int32_t areaNumber, int systemError, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The console line of a command of the user's that the area refused or that failed:
//
//   error: area TAG: fail to WHAT: user NAME, ADDRESS: CAUSE: REASON[: SYSTEM TEXT (CODE)]
//
// WHAT as the caller words it ("read message #7", "delete message #3", "post", "list the
// messages"), CAUSE the result's code as areaResultName has it ("not found", "forbidden",
// "busy", "damaged", "I/O error"), REASON the area's own words (the base or file, and what
// is wrong with it), and the system's text for the errno of an I/O error. For example
//
//   error: area ECHO: fail to delete message #3: user Ann, 2:5020/1.0: forbidden: not yours
//   error: area NETMAIL: fail to post: user Ann, 2:5020/1.0: I/O error: cannot create
//          /fido/netmail/5.mst: Permission denied (13)
//
// (the second one line).
void reportRefusal(const Services& services, const rClientInfo& user, int32_t areaNumber, const char* what,
                   const AreaResult& result);

// The area object for a configured area number; nullptr for a number that names no area
// or an area of unknown format.
std::unique_ptr<CEchoArea> openConfiguredArea(const Services& services, int32_t areaNumber);

// Whether the user may see the message of the area numbered `areaNumber` (list, count and
// fetch go by it): in netmail, as the rights policy says; elsewhere always.
bool visibleTo(const Services& services, const rClientInfo& user, int32_t areaNumber, const MessageSummary& message);

// The message and unread counts of the area as the user sees it: the area's own where the
// user sees every message; otherwise counted over what the user sees, unread being what is
// numbered above the last-read mark (all without one).
AreaResult statsFor(const Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                    AreaStats& stats);

// Stores a user's post into the area numbered `areaNumber` (`area` is its object): the
// rights and post rules applied, dated `wall`, its MSGID serial drawn. On success the
// echo toss log learns of an echomail post (before the caller answers, so that a client
// that then has the tosser scan finds the tag), the console gets "post: user NAME,
// ADDRESS, area TAG, message #N", and `stored` the message's number.
AreaResult postMessage(Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                       NewMessage message, std::time_t wall, uint32_t& stored);

// The rights policy as an area's delete asks it: nothing needs to be read of the message
// for a user who may delete any; for others a refusal is forbidden, naming the cause
// (deleteVerdictText).
class UserDeleteCheck : public DeleteCheck {
public:
    UserDeleteCheck(const RightsPolicy& rights, const rClientInfo& user) : rights_(rights), user_(user) {}
    bool needsOwnership() const override { return !rights_.deletesAny(user_); }
    AreaResult allows(const MessageOwnership& owner) const override;

private:
    const RightsPolicy& rights_;
    const rClientInfo& user_;
};

// Deletes a message of the area numbered `areaNumber` when the rights policy lets the user
// (UserDeleteCheck), with "delete: user NAME, ADDRESS, area TAG, message #N" on the console.
AreaResult deleteMessage(Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                         uint32_t msgNumber);
