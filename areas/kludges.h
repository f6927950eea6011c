// FidoNet kludges shared by both area formats: the MSGID kludge every new message gets,
// the search for the MSGID address in a control text, and the hashes of the MSGID and
// REPLY values that let clients link replies to the messages they answer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "support/crc32.h"
#include "wire/fidoaddr.h"

// MSGID serial numbers pack a time to the second (UTC) with the low four bits of a
// counter, so one second holds at most 16 distinct serials. Tossers drop a message whose
// MSGID they have seen before, so a serial must never repeat within a run: once the 16
// counter values of a second are used, the next serial carries the following second, and
// a clock that goes back never takes the serials back with it. The stamped (second,
// counter) pair therefore only moves forward.
//
// Counter mixed into MSGID serial numbers; incremented before each use.
extern uint32_t msgIdCounter;
// The second the last serial carried (seconds since 1970, UTC) and how many serials have
// carried it.
struct MsgIdStamp {
    bool started = false;
    int64_t second = 0;
    uint32_t used = 0;
};
extern MsgIdStamp msgIdStamp;
constexpr uint32_t kMsgIdSerialsPerSecond = 16;
// Starts the serials afresh, as at the start of a run, with the counter at `counter`.
void resetMsgIdSerials(uint32_t counter = 0);
// The next serial number for a message written at the given UTC time.
uint32_t makeMsgIdSerial(const std::tm& utc);

// ^A "MSGID: z:n/f.p XXXXXXXX" CR and a terminating zero; `buffer` holds at least 48 bytes.
constexpr size_t kMsgIdKludgeBuffer = 48;
void formatMsgIdKludge(const FidoAddr& addr, const std::tm& utc, char* buffer);

// Finds the first ^A "MSGID: " kludge of a control text and parses its address. The text
// is cut into pieces in place.
bool findMsgIdAddr(char* text, FidoAddr& addr);

// CRC-32 of the MSGID and REPLY kludge values (0 when absent). The text is cut in place.
void hashKludges(char* text, uint32_t& msgIdHash, uint32_t& replyHash);

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

// The CRC-32 of the kludge hashes, shared by both area formats.
extern CCRC32 kludgeHasher;
