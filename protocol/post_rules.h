// What the server does to a post before it is stored, and what it tells the tosser after.
//
// Every post:
//   - comes from the user's registered address;
//   - gets a PID and a TZUTC kludge unless the kludge lines at the start of its text
//     already carry them (they go first, so that a Squish base keeps them as control
//     information);
//   - in netmail, is marked local: mail written on this node is local, and a tosser
//     exports only local mail.
// Echomail posts end with a tearline and an Origin line naming the user's address, as
// echomail must leave the node: when the text's last line is no Origin line, the server
// adds one (after the client's own tearline, or after a tearline of its own).
// Users without sysop rights cannot speak for others or the node:
//   - the sender's name is their registered name;
//   - in netmail they may ask only for the attribute bits below;
//   - the kludges the server stamps itself (MSGID, INTL, FMPT, TOPT) are dropped from
//     their text, so only the server's stand;
//   - an Origin line of theirs that names another address names theirs instead.
// Sysop users keep their fromName, attributes, kludges and Origin line as sent.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "config/config.h"
#include "support/clock.h"
#include "wire/attributes.h"
#include "wire/packets.h"

// The netmail attribute bits a user without sysop rights may ask for.
constexpr uint16_t kUserNetmailAttributes =
    kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrHold | kAttrReturnReceiptRequest;

// The record and the text to store.
struct PreparedPost {
    pktMessage record;
    std::string text;  // lines ended by CR; no zero byte inside
};

// Applies the rules above to a post into an area of type `areaType` (AREA_TYPE_NETMAIL or
// AREA_TYPE_ECHOMAIL), written at `now`. `text` is the client's text up to its first zero
// byte. Throws std::bad_alloc when memory runs out.
PreparedPost preparePost(const pktMessage& record, std::string_view text, const rClientInfo& user, int32_t areaType,
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
