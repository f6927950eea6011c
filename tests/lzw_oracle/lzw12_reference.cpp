#include "lzw_oracle/lzw12_reference.h"

namespace {

constexpr int kSingleBytes = 256;
constexpr uint32_t kLastCode = 4094;  // code 4095 is never assigned

}  // namespace

LZW12Reference::LZW12Reference() : nodes(new Node[kPoolSize]), string(new uint8_t[kPoolSize]) {}

LZW12Reference::~LZW12Reference() {
    delete[] nodes;
    delete[] string;
}

// Appends `code` with the current width, LSB first. Whole bytes are stored beyond the
// partial one, so the bits above the last code are always zero. The caller guarantees
// three bytes of room from bytePos on.
void LZW12Reference::putCode(uint32_t code) {
    uint32_t shifted = code << bitPos;
    uint8_t* p = out + bytePos;
    p[0] = bitPos == 0 ? uint8_t(shifted) : uint8_t((p[0] & ((1u << bitPos) - 1)) | shifted);
    p[1] = uint8_t(shifted >> 8);
    int32_t end = bitPos + codeWidth;
    if (end > 16) p[2] = uint8_t(shifted >> 16);
    bytePos += uint32_t(end >> 3);
    bitPos = end & 7;
}

// Looks for the entry spelling (prefix, byte) under `key`. Equal keys of other strings
// lie to the right, so the search goes on there. On a miss, *slot is the empty link where
// an entry with this key belongs (the insertion walk takes the same path).
LZW12Reference::Node* LZW12Reference::find(uint32_t key, int32_t prefix, uint8_t byte, Node**& slot) const {
    Node* node = nodes;
    for (;;) {
        Node** link;
        if (key < node->key) {
            link = &node->left;
        } else {
            if (key == node->key && node->prefix == prefix && node->byte == byte) return node;
            link = &node->right;
        }
        if (*link == nullptr) {
            slot = link;
            return nullptr;
        }
        node = *link;
    }
}

// Takes the next node of the pool. One generation uses 256 + 3837 nodes, so the pool of
// 4096 never runs out.
void LZW12Reference::insert(Node** slot, uint32_t key, int32_t code, int32_t prefix, uint8_t byte) {
    Node* node = &nodes[nodeCount++];
    *node = Node{key, code, nullptr, nullptr, prefix, byte};
    *slot = node;
}

uint32_t LZW12Reference::compress(const uint8_t* source, int32_t length, uint8_t* dest) {
    if (length < kMinLength) return 0;
    const uint32_t limit = uint32_t(length - 2);

    // The tree of single bytes; node v holds byte v.
    for (int v = 0; v < kSingleBytes; ++v) {
        uint8_t byte = uint8_t(v);
        uint32_t key = keyFunction ? keyFunction(&byte, 1) : crc.compute(&byte, 1);
        if (v == 0) {
            nodes[0] = Node{key, 0, nullptr, nullptr, -1, 0};
            nodeCount = 1;
            continue;
        }
        Node** slot = nullptr;
        find(key, -1, byte, slot);  // never matches: the single bytes are all different
        insert(slot, key, v, -1, byte);
    }

    codeWidth = 9;
    bitPos = 0;
    bytePos = 0;
    out = dest;
    nextCode = kFirstCode;
    putCode(kClearCode);

    // The current string: its code, the running CRC state over its bytes, and the bytes
    // themselves (the string under test never exceeds 3839 bytes in one generation).
    int32_t current = source[0];
    uint32_t state = crc.update(CCRC32::kInitial, source[0]);
    size_t stringLength = 1;
    string[0] = source[0];

    for (int32_t i = 1; i < length; ++i) {
        const uint8_t ch = source[i];
        const uint32_t extended = crc.update(state, ch);
        string[stringLength] = ch;
        const uint32_t key = keyFunction ? keyFunction(string, stringLength + 1) : CCRC32::finish(extended);

        Node** slot = nullptr;
        if (Node* hit = find(key, current, ch, slot)) {
            current = hit->code;
            state = extended;
            ++stringLength;
            continue;
        }

        putCode(uint32_t(current));
        if (bytePos > limit) return 0;
        insert(slot, key, int32_t(nextCode), current, ch);
        ++nextCode;
        if (nextCode > 2048)
            codeWidth = 12;
        else if (nextCode > 1024)
            codeWidth = 11;
        else if (nextCode > 512)
            codeWidth = 10;

        current = ch;
        state = crc.update(CCRC32::kInitial, ch);
        string[0] = ch;
        stringLength = 1;

        if (nextCode > kLastCode) {
            putCode(kClearCode);
            if (bytePos > limit) return 0;
            codeWidth = 9;
            nextCode = kFirstCode;
            // Drop every multi-byte entry: cut the links from the single bytes into them.
            Node* const firstFree = nodes + kSingleBytes;
            for (int v = 0; v < kSingleBytes; ++v) {
                Node& node = nodes[v];
                if (node.left != nullptr && node.left >= firstFree) node.left = nullptr;
                if (node.right != nullptr && node.right >= firstFree) node.right = nullptr;
            }
            nodeCount = kSingleBytes;
        }
    }

    putCode(uint32_t(current));
    putCode(kEndCode);
    return bytePos + (bitPos != 0 ? 1 : 0);
}
