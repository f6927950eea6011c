// What a reply takes from the message it answers: the quote, the subject, the MSGID that
// its REPLY kludge repeats, and in netmail the address it goes back to.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "fido/fidoaddr.h"

namespace qclient {

// The initials that prefix quoted lines: the first letters of the first and the last word
// of the name ("Max Kern" gives "MK", "Sysop" gives "S"). UTF-8 in and out.
std::string quoteInitials(std::string_view name);

// A line that already carries a quote prefix: up to three blanks, at most five letters or
// digits, then '>' (" AR> text", "MK>text", "> text", " >> text").
bool isQuotedLine(std::string_view line);

// A line that is not part of the text a person wrote: a kludge (^A), the tearline ("---"),
// the origin line (" * Origin: "), SEEN-BY lines.
bool isControlLine(std::string_view line);

// The quoted text of a message (its lines in UTF-8): each line of text prefixed with
// " XY> ", already-quoted lines as they are, empty lines kept empty, control lines left
// out, and no empty lines at either end.
std::vector<std::string> quoteLines(const std::vector<std::string>& lines, std::string_view fromName);

// "Re: " and the subject; a subject that already begins with "Re:" (any letter case) keeps
// its own.
std::string replySubject(std::string_view subject);

// The value of the first kludge line ^A NAME ":" among the lines, exactly as stored after
// "NAME: " (it is hashed byte for byte); empty when there is none.
std::string kludgeValue(const std::vector<std::string>& lines, std::string_view name);

// "zone:net/node[.point]" with nothing else but an optional "@domain"; false otherwise.
[[nodiscard]] bool parseStrictAddress(std::string_view text, FidoAddr& addr);

// The address a netmail reply goes to: the original's origin as its INTL kludge (with
// FMPT's point) names it, else as its MSGID names it, else the header's origin address.
FidoAddr replyDestination(const std::vector<std::string>& lines, const FidoAddr& headerOrigin);

}  // namespace qclient
