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

    // True when no slot of the dictionary is taken and no token has a key: the state each
    // call leaves behind, whichever way it ends (for tests).
    bool dictionaryIsEmpty() const;

private:
    static constexpr uint32_t kSlotBits = 16;
    static constexpr uint32_t kSlots = 1u << kSlotBits;  // a generation fills at most 6% of them
    static constexpr uint32_t kCodes = 4096;

    // Empties the slots of the generation's `count` strings and takes their tokens' keys
    // back: the table is empty again without clearing all of it, so a short input costs
    // only what it used.
    void forget(uint32_t count);

    // The dictionary is a hash table keyed by (string so far, next byte). Inside the coder a
    // string is known by a token: single bytes by their own value, longer strings by a fixed
    // random permutation of their code, so that consecutive codes land far apart. The slot of
    // (token, byte) is token ^ byteMix[byte], or a following one when that is taken; it holds
    // token' ^ byte for the token' of the longer string (never 0), or 0 when empty.
    // All in one block, so that the coding loop reaches everything from one register.
    struct Tables {
        uint16_t slots[kSlots];
        uint32_t keyOf[kCodes];    // per token: (token of the prefix << 8) | last byte
        uint16_t tokenOf[kCodes];  // per code
        uint16_t codeOf[kCodes];   // per token
        uint16_t due[kCodes];      // the tokens of the codes due since the last clear
        uint16_t filled[kCodes];   // and the slots their strings took
        uint16_t byteMix[256];     // per next byte: random bits for the slot
    };
    std::unique_ptr<Tables> tables;
};

// The client-side decoder. Decodes a stream made by LZW12::compress whose uncompressed
// length is `expectedLength`. Returns false (with a reason in *error when given) for a
// malformed stream: a code beyond the next code, a missing end code, output longer or
// shorter than announced. Never reads or writes out of bounds.
bool lzw12Decode(const uint8_t* stream, size_t streamLength, uint32_t expectedLength,
                 std::vector<uint8_t>& output, std::string* error = nullptr);
