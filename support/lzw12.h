// LZW12: variable-width LZW (9 to 12 bits per code) used for reply data. The stream
// starts with the clear code, ends with the end code, and is packed LSB first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class LZW12 {
public:
    static constexpr int kClearCode = 256;
    static constexpr int kEndCode = 257;
    static constexpr int kFirstCode = 258;
    static constexpr int32_t kMinLength = 65;  // inputs of 64 bytes or less are never coded

    LZW12();
    virtual ~LZW12() = default;
    LZW12(const LZW12&) = delete;
    LZW12& operator=(const LZW12&) = delete;

    // Codes `length` bytes of `source` into `dest`, which must have room for length + 2
    // bytes. Returns the stream length, or 0 when the data should stay uncompressed
    // (64 bytes or less, or the stream passed length - 2 bytes). Allocates nothing.
    uint32_t compress(const uint8_t* source, int32_t length, uint8_t* dest);

private:
    static constexpr uint32_t kSlotBits = 15;
    static constexpr uint32_t kSlots = 1u << kSlotBits;  // a generation fills at most 12% of them
    static constexpr uint32_t kCodes = 4096;

    // The dictionary is a hash table keyed by (string so far, next byte). Inside the coder a
    // string is known by a token: single bytes by their own value, longer strings by a fixed
    // random permutation of their code, so that consecutive codes land far apart and the
    // slot of (token, byte) is a single XOR away from the token.
    std::unique_ptr<uint16_t[]> slots;  // token of the string in the slot, 0 when empty
    std::unique_ptr<uint32_t[]> keyOf;  // per token: (token of the prefix << 8) | last byte
    // One block, so that the coding loop reaches all three from one register: per code its
    // token, per token its code, and the tokens of the codes due since the last clear.
    std::unique_ptr<uint16_t[]> codeTables;
    uint16_t* tokenOf() const { return &codeTables[0]; }
    uint16_t* codeOf() const { return &codeTables[kCodes]; }
    uint16_t* generation() const { return &codeTables[2 * kCodes]; }
    uint16_t byteMix[256];  // per next byte: random bits for the slot
};

// The client-side decoder. Decodes a stream made by LZW12::compress whose uncompressed
// length is `expectedLength`. Returns false (with a reason in *error when given) for a
// malformed stream: a code beyond the next code, a missing end code, output longer or
// shorter than announced. Never reads or writes out of bounds.
bool lzw12Decode(const uint8_t* stream, size_t streamLength, uint32_t expectedLength,
                 std::vector<uint8_t>& output, std::string* error = nullptr);
