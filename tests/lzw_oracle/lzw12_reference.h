// The first LZW12 coder, kept as the oracle for the flat-table coder: its dictionary
// identifies every string by its CRC (CCRC32) and hangs the entries in an unbalanced
// binary tree ordered by that key. Slow, but its stream is the one clients were built
// against, so the coder in support/ must give the same bytes for every input.
#pragma once
#include <cstddef>
#include <cstdint>

#include "support/crc32.h"

class LZW12Reference {
public:
    static constexpr int kClearCode = 256;
    static constexpr int kEndCode = 257;
    static constexpr int kFirstCode = 258;
    static constexpr int kPoolSize = 4096;
    static constexpr int32_t kMinLength = 65;  // inputs of 64 bytes or less are never coded

    LZW12Reference();
    virtual ~LZW12Reference();
    LZW12Reference(const LZW12Reference&) = delete;
    LZW12Reference& operator=(const LZW12Reference&) = delete;

    // Same contract as LZW12::compress: `dest` needs room for length + 2 bytes; the result
    // is the stream length, or 0 when the data should stay uncompressed.
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

    // Replaces the CRC as the dictionary key, to force equal keys for different strings.
    using KeyFunction = uint32_t (*)(const uint8_t* string, size_t length);
    void setKeyFunction(KeyFunction f) { keyFunction = f; }

    // The pool after the last call, for tests that inspect the keys.
    const Node* pool() const { return nodes; }
    int32_t poolUsed() const { return nodeCount; }

private:
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
};
