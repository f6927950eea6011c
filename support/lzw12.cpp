#include "support/lzw12.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

#include "support/le.h"

namespace {

// Codes 258 to 4094 are assigned in one generation; once 4094 is, a clear code follows.
constexpr uint32_t kCodesPerGeneration = 4094 - 257;

// Width of the code written while `nextCode` is the next code to assign: 9 bits up to
// 512, 10 up to 1024, 11 up to 2048, 12 above.
inline uint32_t widthFor(uint32_t nextCode) { return uint32_t(std::bit_width(nextCode - 1)); }

// Codes go into an accumulator LSB first; each put stores four bytes at once and moves on
// by the whole bytes, so it needs four bytes of room from bytePos() on. Bits above the
// last code are zero.
class BitWriter {
public:
    explicit BitWriter(uint8_t* dest) : start(dest), out(dest) {}

    void put(uint32_t code, uint32_t width) {
        pending |= uint64_t(code) << pendingBits;
        pendingBits += width;
        putU32(out, uint32_t(pending));
        out += pendingBits >> 3;
        pending >>= pendingBits & ~7u;
        pendingBits &= 7;
    }

    // Whole bytes written so far (the partly filled one not counted).
    size_t bytePos() const { return size_t(out - start); }

    // The last code: stores exactly the bytes it reaches into; returns the stream length.
    size_t finish(uint32_t code, uint32_t width) {
        pending |= uint64_t(code) << pendingBits;
        pendingBits += width;
        for (; pendingBits > 0; pendingBits = pendingBits > 8 ? pendingBits - 8 : 0) {
            *out++ = uint8_t(pending);
            pending >>= 8;
        }
        return size_t(out - start);
    }

private:
    uint8_t* const start;
    uint8_t* out;
    uint64_t pending = 0;
    uint32_t pendingBits = 0;
};

}  // namespace

LZW12::LZW12()
    : slots(new uint16_t[kSlots]), keyOf(new uint32_t[kCodes]()), codeTables(new uint16_t[3 * kCodes]) {
    // The layout of the table never shows in the stream, so it is drawn afresh for each
    // coder: no input can be prepared to pile its strings into one run of slots.
    std::mt19937 rng(std::random_device{}());
    uint16_t* const tokens = tokenOf();
    for (uint32_t c = 0; c < kCodes; ++c) tokens[c] = uint16_t(c);
    std::shuffle(&tokens[kFirstCode], &tokens[kFirstCode + kCodesPerGeneration], rng);
    for (uint32_t c = 0; c < kCodes; ++c) codeOf()[tokens[c]] = uint16_t(c);
    for (uint16_t& m : byteMix) m = uint16_t(rng() & (kSlots - 1));
}

// The stream is the plain LZW code stream of the source. The loop over the source only
// decides, for each byte, whether the string grows or a code is due, and keeps the due
// codes of the generation; they are packed into bits when the generation ends.
uint32_t LZW12::compress(const uint8_t* source, int32_t length, uint8_t* dest) {
    if (length < kMinLength) return 0;
    const size_t limit = size_t(length) - 2;  // the stream may not pass this inside the loop
    uint16_t* const table = slots.get();
    uint32_t* const keys = keyOf.get();
    uint16_t* const due = generation();
    const uint16_t* const freshToken = &tokenOf()[kFirstCode];  // by the number of codes due
    const uint16_t* const codes = codeOf();
    memset(table, 0, kSlots * sizeof table[0]);

    BitWriter writer(dest);
    writer.put(kClearCode, widthFor(kFirstCode));
    // Code j of a generation is written while code 258 + j is the next to assign. Every
    // put is checked against the limit, so the four bytes of the next one fit in dest.
    auto pack = [&](uint32_t count) {
        for (uint32_t j = 0; j < count; ++j) {
            writer.put(codes[due[j]], widthFor(kFirstCode + j));
            if (writer.bytePos() > limit) return false;
        }
        return true;
    };

    const uint8_t* p = source + 1;
    const uint8_t* const end = source + length;
    uint32_t current = source[0];  // token of the string matched so far
    uint32_t count = 0;            // codes due in this generation
    while (p != end) {
        const uint32_t ch = *p++;
        const uint32_t key = (current << 8) | ch;
        uint32_t slot = current ^ byteMix[ch];
        uint32_t found = table[slot];
        // A slot taken by another string sends the lookup along the following slots. The
        // test is a product so that the usual outcomes, a match and an empty slot, take
        // the same (rarely mispredicted) way.
        if (uint64_t(found) * (keys[found] ^ key) != 0) [[unlikely]] {
            do {
                slot = (slot + 1) & (kSlots - 1);
                found = table[slot];
            } while (found != 0 && keys[found] != key);
        }
        // Match or not, the same stores happen: a match rewrites its own slot and leaves
        // the count alone, so the store for the next code is overwritten later. Hits and
        // misses follow each other unpredictably in text; a branch here costs more than
        // the stores.
        const uint32_t miss = 0u - uint32_t(found == 0);
        const uint32_t fresh = freshToken[count];
        due[count] = uint16_t(current);
        table[slot] = uint16_t(found | (fresh & miss));
        keys[fresh] = key;  // fresh is not in the table before its own miss
        count += miss & 1;
        current = found != 0 ? found : ch;

        if (count == kCodesPerGeneration) [[unlikely]] {
            due[count] = kClearCode;
            if (!pack(count + 1)) return 0;
            memset(table, 0, kSlots * sizeof table[0]);
            count = 0;
        }
    }
    if (!pack(count)) return 0;

    const uint32_t width = widthFor(kFirstCode + count);
    writer.put(codes[current], width);
    return uint32_t(writer.finish(kEndCode, width));
}
