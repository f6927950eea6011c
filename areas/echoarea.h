// The one view of a message area that the command handlers use, whatever the storage
// format, and the two wire records its operations fill or consume.
#pragma once
#include <cstddef>
#include <cstdint>

#include "areas/fidonet.h"
#include "support/array.h"

// One message in a message list (160 bytes on the wire).
struct pktMsgHeader {
    uint32_t msgNumber = 0;  // UMSGID in a Squish area, file number in a *.MSG area
    char fromName[36] = {};
    char toName[36] = {};
    char subject[72] = {};
    uint32_t dateWritten = 0;  // packed date-time of the message's date text
    uint32_t msgIdHash = 0;
    uint32_t replyHash = 0;
};
constexpr size_t kMsgHeaderSize = 160;
void encodeMsgHeader(const pktMsgHeader& h, uint8_t* out);
pktMsgHeader decodeMsgHeader(const uint8_t* in);
inline bool arrayElementEquals(const pktMsgHeader& a, const pktMsgHeader& b) { return a.msgNumber == b.msgNumber; }

// Begins a fetched message (reply data) and a posted one (request data): 186 bytes.
struct pktMessage {
    pktMsgHeader header;
    FidoAddr origAddr;
    FidoAddr destAddr;
    int32_t areaNumber = 0;
    uint32_t reserved = 0;
    uint16_t attributes = 0;
};
constexpr size_t kMessageRecordSize = 186;
void encodeMessage(const pktMessage& m, uint8_t* out);
pktMessage decodeMessage(const uint8_t* in);

class CEchoArea {
public:
    explicit CEchoArea(int32_t number) : areaNumber(number) {}
    virtual ~CEchoArea() = default;
    CEchoArea(const CEchoArea&) = delete;
    CEchoArea& operator=(const CEchoArea&) = delete;

    // One header per readable message, ascending by number. True in every case.
    virtual bool getMsgList(MCArray<pktMsgHeader>& out) = 0;
    // Message count and unread count of the area stored at `areaPath`; both 0 first.
    virtual bool getAreaStats(const char* areaPath, uint32_t counts[2]) = 0;
    // The encoded pktMessage followed by the message's lines (each ended by CR and NUL).
    virtual bool getMessage(uint32_t msgNumber, MCArray<char>& out) = 0;
    // Stores a new message from the record's names, subject and addresses and the text.
    virtual bool newMessage(pktMessage* record, const char* text) = 0;
    // Removes a message; without mayDeleteAny only the requester's own unsent messages.
    virtual bool deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) = 0;

    virtual int32_t getAreaNumber() const { return areaNumber; }

protected:
    const int32_t areaNumber;
};

// Stands for "no bound" as the maximum length of the two text routines below.
constexpr int32_t kNoLengthBound = 0x7FFFFFFF;

// Appends the lines of a text to `out`, each followed by CR and a zero byte. CR and LF end
// a line; a ^A byte starts a new line unless the line is empty. Walks at most maxLength
// bytes and stops at a zero byte. Returns the address where the following text starts:
// just past the terminating zero with no bound, text + maxLength otherwise.
// Throws std::bad_alloc when `out` cannot grow.
const char* textToLines(const char* text, MCArray<char>& out, int32_t maxLength);

// Appends only the kludges of a text, one line each, as textToLines does.
const char* extractKludges(const char* text, MCArray<char>& out, int32_t maxLength);
