// What the server does to every post before it is stored, and what it tells the tosser
// after.
//
// Every post:
//   - comes from the user's registered address, under the rights of accounts/rights.h;
//   - gets a PID and a TZUTC kludge unless the kludge lines at the start of its text
//     already carry them (they go first, so that a Squish base keeps them as control
//     information);
//   - in netmail, is marked local: mail written on this node is local, and a tosser
//     exports only local mail.
// Echomail posts end with a tearline and an Origin line naming the user's address, as
// echomail must leave the node: when the text's last line is no Origin line, the server
// adds one (after the client's own tearline, or after a tearline of its own).
#pragma once
#include <ctime>
#include <string>
#include <string_view>

#include "accounts/rights.h"
#include "accounts/users.h"
#include "config/config.h"
#include "fido/message.h"

// Applies the rules above and the user's rights to a post into a netmail or echomail area,
// written at `now`. Throws std::bad_alloc when memory runs out.
void preparePost(NewMessage& post, const rClientInfo& user, const RightsPolicy& rights, bool netmail,
                 const WallTime& now, const ServerSettings& settings);

// The value of the TZUTC kludge for a local time: its offset from UTC as hours and minutes,
// "0100" east of Greenwich, "-0500" west of it, with no plus sign.
std::string formatTzutc(const std::tm& local);

// The lines the server writes: "PID: Quorva 1.0.1" (without ^A and CR), the tearline and
// the Origin line " * Origin: TEXT (z:n/f.p)".
std::string pidValue();
std::string tearLine();
std::string originLine(const std::string& originText, const FidoAddr& address);

// Lists an echo area in the tosser's echo toss log, as message editors do, so that a
// tosser that scans by that log exports the new post: the tag is appended as a line of its
// own in one write (the file opened for appending, created when missing), unless a line
// of the log names it already (letter case aside). False when the log cannot be read or
// written; errno then tells why.
[[nodiscard]] bool noteEchoToss(const std::string& logPath, std::string_view tag);
