// FidoNet conventions shared by both area formats and the configuration reader: the
// four-part address, the MSGID kludge, the FidoNet date text and its packed form, and
// the kludge hashes that let clients link replies to the messages they answer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "support/crc32.h"

struct FidoAddr {
    uint16_t zone = 0;
    uint16_t net = 0;
    uint16_t node = 0;
    uint16_t point = 0;
    bool operator==(const FidoAddr&) const = default;
};
constexpr size_t kFidoAddrSize = 8;
void encodeFidoAddr(const FidoAddr& a, uint8_t* out);
FidoAddr decodeFidoAddr(const uint8_t* in);

// Reentrant tokenizer with the classic rule: separators before the token are skipped, the
// token ends at the first separator (which is replaced by a zero and consumed). Returns
// nullptr when no token is left. `cursor` carries the position between calls.
char* nextToken(char*& cursor, const char* separators);

// Reads "zone:net/node[.point]" (anything after the point's word is ignored). False, with
// an all-zero address, when zone, net or node are missing or the point overflows.
bool parseFidoAddr(const char* text, FidoAddr& addr);

// Program-wide counter mixed into MSGID serial numbers; incremented before each use.
extern uint32_t msgIdCounter;
uint32_t makeMsgIdSerial(const std::tm& utc);
uint32_t makeMsgIdSerial();  // from the current UTC time

// ^A "MSGID: z:n/f.p XXXXXXXX" CR and a terminating zero; `buffer` holds at least 48 bytes.
constexpr size_t kMsgIdKludgeBuffer = 48;
void formatMsgIdKludge(const FidoAddr& addr, char* buffer);

// "%d %b %y  %H:%M:%S" into a 20-byte field (19 characters and a zero).
constexpr size_t kFidoDateSize = 20;
void formatFidoDate(char* field, const std::tm& local);
void formatFidoDate(char* field);  // the current local time

// Packed date-time (DOS date low, DOS time high) of a FidoNet date text; reads the 20-byte
// field at fixed positions without validating it.
uint32_t parseFidoDate(const char* field);

// Finds the first ^A "MSGID: " kludge of a control text and parses its address. The text
// is cut into pieces in place.
bool findMsgIdAddr(char* text, FidoAddr& addr);

// CRC-32 of the MSGID and REPLY kludge values (0 when absent). The text is cut in place.
void hashKludges(char* text, uint32_t& msgIdHash, uint32_t& replyHash);

// The program-wide CRC-32 used for the kludge hashes.
extern CCRC32 kludgeHasher;
