// FidoNet kludges: the MSGID kludge every new message gets, the MSGID address that tells
// whose a message is, the MSGID and REPLY values that link a reply to the message it
// answers, and the routing kludges of netmail. A kludge is a control line that begins with
// the byte 0x01 (^A); a Squish base keeps them one after another in its control
// information, a *.MSG file as lines at the top of its text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fido/fidoaddr.h"
#include "support/crc32.h"

// ^A "MSGID: z:n/f.p XXXXXXXX" CR and a terminating zero, with the serial in eight
// hexadecimal digits; `buffer` holds at least 48 bytes.
constexpr size_t kMsgIdKludgeBuffer = 48;
void formatMsgIdKludge(const FidoAddr& addr, uint32_t serial, char* buffer);

// The address of the MSGID kludge among the kludges at the top of a text: a run of ^A
// kludges, each ending at the next ^A, CR, LF or zero byte, with line ends between them.
// The first MSGID kludge decides; the run ends at the first byte that begins no kludge, so
// that body text never says whose a message is. False, with an all-zero address, when the
// run holds no MSGID or its address does not parse.
bool findMsgIdAddr(std::string_view text, FidoAddr& addr);

// The MSGID and REPLY values of a text, as clients link replies: each value is what follows
// the kludge's first seven bytes ("MSGID: ", "REPLY: ") up to the next ^A, CR or zero byte,
// and its hash the CRC-32 of those bytes (0 for an empty value). The first of each kind with
// a hash other than 0 counts. The views point into `text`.
struct ThreadKludges {
    std::string_view msgId, reply;
    uint32_t msgIdHash = 0, replyHash = 0;
};
ThreadKludges hashKludges(std::string_view text);

// The routing kludges of a netmail text, which tossers route by: INTL names zone, net and
// node of both ends, FMPT and TOPT the points. A kludge starts at a ^A byte and ends at
// the next CR, LF, ^A or zero byte; the first well-formed one of each kind counts.
struct RoutingKludges {
    bool hasIntl = false;
    FidoAddr intlDest;  // points 0
    FidoAddr intlOrig;
    bool hasFmpt = false;
    uint16_t fmpt = 0;
    bool hasTopt = false;
    uint16_t topt = 0;
};
RoutingKludges findRoutingKludges(const char* text);

// The CRC-32 of the kludge hashes.
extern const CCRC32 kludgeHasher;
