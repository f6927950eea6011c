// Byte-level packet helpers and field-filling names shared by the framing, session and
// login tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "wire/packets.h"

namespace packetbytes {

using Bytes = std::vector<uint8_t>;

inline Bytes header(uint32_t cmd, uint32_t dataSize) {
    Bytes b(kPktHeaderSize);
    encodeHeader(pktHeader{cmd, dataSize}, b.data());
    return b;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A name and a password that fill their 36-byte fields exactly (no terminator).
constexpr char kName36Text[] = "Abcdefghij Klmnopqrst Uvwxyz 0123456";
static_assert(sizeof kName36Text == 36 + 1, "field-filling length");
constexpr char kPass36Text[] = "pw-0123456789-0123456789-0123456789!";
static_assert(sizeof kPass36Text == 36 + 1, "field-filling length");
inline const std::string kName36 = kName36Text;
inline const std::string kPass36 = kPass36Text;

}  // namespace packetbytes
