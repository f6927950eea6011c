// LZW12: variable-width LZW (9 to 12 bits per code) used for reply data. The stream
// starts with the clear code, ends with the end code, and is packed LSB first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/crc32.h"

class LZW12 {
public:
    static constexpr int kClearCode = 256;
    static constexpr int kEndCode = 257;
    static constexpr int kFirstCode = 258;
    static constexpr int kPoolSize = 4096;
    static constexpr int32_t kMinLength = 65;  // inputs of 64 bytes or less are never coded

    LZW12();
    virtual ~LZW12();
    LZW12(const LZW12&) = delete;
    LZW12& operator=(const LZW12&) = delete;

    // Codes `length` bytes of `source` into `dest`, which must have room for length + 2
    // bytes. Returns the stream length, or 0 when the data should stay uncompressed
    // (64 bytes or less, or the stream passed length - 2 bytes). Allocates nothing.
    uint32_t compress(const uint8_t* source, int32_t length, uint8_t* dest);

    // A dictionary entry in the pool. The key (the CRC of the entry's string) orders the
    // tree; prefix and byte spell out the string (prefix -1 for the single bytes), so an
    // entry whose key merely equals that of the current string is never taken for it.
    struct Node {
        uint32_t key;
        int32_t code;
        Node* left;   // smaller keys
        Node* right;  // equal or greater keys
        int32_t prefix;
        uint8_t byte;
    };

private:
    // Replaces the CRC as the dictionary key; only tests set it (to force equal keys).
    using KeyFunction = uint32_t (*)(const uint8_t* string, size_t length);

    void putCode(uint32_t code);
    Node* find(uint32_t key, int32_t prefix, uint8_t byte, Node**& slot) const;
    void insert(Node** slot, uint32_t key, int32_t code, int32_t prefix, uint8_t byte);

    CCRC32 crc;
    Node* nodes = nullptr;
    int32_t nodeCount = 0;
    int32_t bitPos = 0;
    uint32_t bytePos = 0;
    uint32_t nextCode = 0;
    uint8_t* string = nullptr;
    uint8_t* out = nullptr;
    int32_t codeWidth = 9;
    KeyFunction keyFunction = nullptr;

    friend struct LZW12TestAccess;
};

// The client-side decoder. Decodes a stream made by LZW12::compress whose uncompressed
// length is `expectedLength`. Returns false (with a reason in *error when given) for a
// malformed stream: a code beyond the next code, a missing end code, output longer or
// shorter than announced. Never reads or writes out of bounds.
bool lzw12Decode(const uint8_t* stream, size_t streamLength, uint32_t expectedLength,
                 std::vector<uint8_t>& output, std::string* error = nullptr);
