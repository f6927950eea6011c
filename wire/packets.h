// The client protocol's vocabulary, shared by server and clients: the 8-byte packet
// header, command and reply ids, the records that travel as data with their encoders and
// decoders, and the size limits. All integers are little-endian, byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>

#include "fido/fidoaddr.h"

struct pktHeader {
    uint32_t cmd = 0;
    uint32_t dataSize = 0;
};
constexpr size_t kPktHeaderSize = 8;
void encodeHeader(const pktHeader& h, uint8_t* out);
pktHeader decodeHeader(const uint8_t* in);

// Command ids, client to server.
constexpr uint32_t CID_C_PING = 2;
constexpr uint32_t CID_C_LOGOUT = 3;
constexpr uint32_t CID_C_GETAREALIST = 4;
constexpr uint32_t CID_C_GETMSGLIST = 5;
constexpr uint32_t CID_C_GETMESSAGE = 6;
constexpr uint32_t CID_C_NEWMESSAGE = 7;
constexpr uint32_t CID_C_DELETEMSG = 9;
constexpr uint32_t CID_C_HELLO = 10;
constexpr uint32_t CID_C_AUTH = 11;

// Reply ids, server to client.
constexpr uint32_t CID_S_OK = 0;
constexpr uint32_t CID_S_FAIL = 1;
constexpr uint32_t CID_S_AREALIST = 2;
constexpr uint32_t CID_S_MSGLIST = 3;
constexpr uint32_t CID_S_MESSAGE = 4;
constexpr uint32_t CID_S_CHALLENGE = 5;

// Bit 31 of a reply's dataSize marks a compressed block: a 4-byte uncompressed length,
// then the LZW12 stream; the block's length is the low 31 bits.
constexpr uint32_t PKT_SIZE_COMPRESSED = 0x80000000u;
constexpr size_t kCompressedLengthPrefix = 4;

// A post may announce at most this much data (the 186-byte record and the text). Data
// announced by an unknown command is discarded up to the same bound.
constexpr uint32_t kMaxPostDataSize = 4u * 1024 * 1024;

// Area types as clients see them.
constexpr int32_t AREA_TYPE_NETMAIL = 1;
constexpr int32_t AREA_TYPE_ECHOMAIL = 2;

// One configured area in the area-list reply (48 bytes).
struct pktAreaInfo {
    char name[36] = {};  // area tag, no terminator when 36 characters long
    uint32_t msgCount = 0;
    uint32_t unreadCount = 0;
    int32_t type = 0;  // AREA_TYPE_NETMAIL or AREA_TYPE_ECHOMAIL
};
constexpr size_t kAreaInfoSize = 48;
static_assert(kAreaInfoSize == sizeof pktAreaInfo::name + 3 * 4);
void encodeAreaInfo(const pktAreaInfo& a, uint8_t* out);
pktAreaInfo decodeAreaInfo(const uint8_t* in);
bool arrayElementEquals(const pktAreaInfo& a, const pktAreaInfo& b);

// One message in a message list (160 bytes).
struct pktMsgHeader {
    uint32_t msgNumber = 0;  // UMSGID in a Squish area, file number in a *.MSG area
    char fromName[36] = {};
    char toName[36] = {};
    char subject[72] = {};
    uint32_t dateWritten = 0;  // packed date-time of the message's date text
    uint32_t msgIdHash = 0;    // CRC of the MSGID kludge's value, 0 without one
    uint32_t replyHash = 0;    // CRC of the REPLY kludge's value: the msgIdHash it answers
};
constexpr size_t kMsgHeaderSize = 160;
static_assert(kMsgHeaderSize ==
              4 + sizeof pktMsgHeader::fromName + sizeof pktMsgHeader::toName + sizeof pktMsgHeader::subject + 3 * 4);
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
static_assert(kMessageRecordSize == kMsgHeaderSize + 2 * kFidoAddrSize + 4 + 4 + 2);
void encodeMessage(const pktMessage& m, uint8_t* out);
pktMessage decodeMessage(const uint8_t* in);

// The hello record (84 bytes), laid out as a user record: name, password slot, address,
// rights slot. The server reads only the name and the address.
constexpr size_t kHelloSize = 84;
constexpr size_t kHelloNameSize = 36;
constexpr size_t kHelloAddrOffset = 72;
static_assert(kHelloSize == kHelloNameSize + 36 + kFidoAddrSize + 4);
// The challenge the server sends and the HMAC-MD5 answer the client returns.
constexpr size_t kChallengeSize = 20;
constexpr size_t kAuthSize = 16;
