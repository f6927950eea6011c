// The system's CRC-32: the reflected procedure over polynomial 0xEDB88320, but with its
// own table (the entries are those of the standard table XOR 0x84 for 0..31 and XOR 0x83
// for 32..255), so its values differ from the standard CRC-32. Clients see them as the
// msgIdHash and replyHash of message headers, and the LZW12 dictionary keys on them.
#pragma once
#include <cstddef>
#include <cstdint>

class CCRC32 {
public:
    static constexpr uint32_t kInitial = 0xFFFFFFFFu;

    CCRC32();
    virtual ~CCRC32() = default;

    // CRC of a byte string; the CRC of the empty string is 0.
    uint32_t compute(const void* bytes, size_t length) const;

    // Running form: start from kInitial, feed bytes, finish with finish().
    uint32_t update(uint32_t state, uint8_t byte) const { return (state >> 8) ^ table[(state ^ byte) & 0xFF]; }
    static uint32_t finish(uint32_t state) { return state ^ 0xFFFFFFFFu; }

    uint32_t table[256];
};
