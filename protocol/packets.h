// Packets: an 8-byte header (command or reply id, data size) followed by the data it
// announces. All integers little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

#include "areas/fidonet.h"

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

// One configured area in the area-list reply (48 bytes).
struct pktAreaInfo {
    char name[36] = {};
    uint32_t msgCount = 0;
    uint32_t unreadCount = 0;
    int32_t type = 0;  // 1 netmail, 2 echomail
};
constexpr size_t kAreaInfoSize = 48;
void encodeAreaInfo(const pktAreaInfo& a, uint8_t* out);
pktAreaInfo decodeAreaInfo(const uint8_t* in);
bool arrayElementEquals(const pktAreaInfo& a, const pktAreaInfo& b);

// The hello record (84 bytes): a user record with name, password slot, address and rights
// slot. The server reads only the name and the address.
constexpr size_t kHelloSize = 84;
constexpr size_t kAuthSize = 16;
constexpr size_t kHelloAddrOffset = 72;
