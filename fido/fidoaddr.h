// The four-part FidoNet address: its 8-byte record, its text forms and its parser.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

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

// Reads "zone:net/node[.point]" (anything after the point's word is ignored). False, with
// an all-zero address, when zone, net or node are missing or the point overflows.
bool parseFidoAddr(const char* text, FidoAddr& addr);

// "zone:net/node.point", the point always written.
std::string formatFidoAddr(const FidoAddr& a);
