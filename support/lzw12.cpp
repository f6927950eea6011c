#include "support/lzw12.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <random>

#include "support/le.h"

namespace {

// Codes 258 to 4094 are assigned in one generation; once 4094 is, a clear code follows.
constexpr uint32_t kCodesPerGeneration = 4094 - 257;

// keyOf: the key of a string, (token of its prefix << 8) | last byte, is below kKeys. A
// token without a string in this generation has kNoKey (token 4095 is never a prefix), a
// single byte kByteKey, whose XOR with any key stays at kKeys or above.
constexpr uint32_t kKeys = 1u << 20;
constexpr uint32_t kNoKey = kKeys - 1;
constexpr uint32_t kByteKey = ~(kKeys - 1);

// Width of the code written while `nextCode` is the next code to assign: 9 bits up to
// 512, 10 up to 1024, 11 up to 2048, 12 above.
inline uint32_t widthFor(uint32_t nextCode) { return uint32_t(std::bit_width(nextCode - 1)); }

// Code j of a generation is written while 258 + j is the next code; the first j written
// wider than `width` bits.
constexpr uint32_t firstWiderThan(uint32_t width) { return (1u << width) - 257; }

// Codes go into an accumulator LSB first; each put stores a whole word and moves on by the
// whole bytes: put needs four bytes of room from bytePos() on, putFour eight. Bits above
// the last code are zero. A value type: a loop copies it into locals, because its stores
// (bytes) could alias any field it would otherwise have to reload.
struct BitWriter {
    uint8_t* start;
    uint8_t* out;
    uint64_t pending = 0;
    uint32_t pendingBits = 0;

    void put(uint32_t code, uint32_t width) {
        pending |= uint64_t(code) << pendingBits;
        pendingBits += width;
        putU32(out, uint32_t(pending));
        advance();
    }

    // Four codes of `width` bits, the first in the lowest bits.
    void putFour(uint64_t codes, uint32_t width) {
        pending |= codes << pendingBits;  // at most 7 + 48 bits
        pendingBits += 4 * width;
        putU64(out, pending);
        advance();
    }

    void advance() {
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
};

// Writes the `count` codes due in a generation (code j with the width for next code
// 258 + j). False as soon as the stream passes `limit`, which is where the tree coder gives
// up too: it checks after every code, and the stream only grows. Four codes of one width
// go out together while the stream is at least four bytes short of the limit, which keeps
// their eight-byte store inside the length + 2 bytes of dest; nearer, one at a time.
bool packCodes(BitWriter& writer, const uint16_t* due, const uint16_t* codes, uint32_t count, size_t limit) {
    BitWriter w = writer;
    uint32_t j = 0;
    bool fits = true;
    for (uint32_t width = 9; j < count && fits; ++width) {
        const uint32_t end = std::min(count, firstWiderThan(width));
        for (; j + 4 <= end && w.bytePos() + 4 <= limit; j += 4) {
            w.putFour(uint64_t(codes[due[j]]) | uint64_t(codes[due[j + 1]]) << width |
                          uint64_t(codes[due[j + 2]]) << (2 * width) | uint64_t(codes[due[j + 3]]) << (3 * width),
                      width);
            if (w.bytePos() > limit) break;
        }
        for (; j < end && w.bytePos() <= limit; ++j) w.put(codes[due[j]], width);
        fits = w.bytePos() <= limit;
    }
    writer = w;
    return fits;
}

}  // namespace

LZW12::LZW12() : tables(new Tables()) {
    // The layout of the table never shows in the stream, so it is drawn afresh for each
    // coder: no input can be prepared to pile its strings into one run of slots.
    std::mt19937 rng(std::random_device{}());
    Tables& t = *tables;
    for (uint32_t c = 0; c < kCodes; ++c) t.tokenOf[c] = uint16_t(c);
    std::shuffle(&t.tokenOf[kFirstCode], &t.tokenOf[kFirstCode + kCodesPerGeneration], rng);
    for (uint32_t c = 0; c < kCodes; ++c) t.codeOf[t.tokenOf[c]] = uint16_t(c);
    for (uint16_t& m : t.byteMix) m = uint16_t(rng() & (kSlots - 1));
    std::fill_n(t.keyOf, kCodes, kNoKey);
    std::fill_n(t.keyOf, 256, kByteKey);
}

void LZW12::forget(uint32_t count) {
    Tables& t = *tables;
    for (uint32_t j = 0; j < count; ++j) t.slots[t.filled[j]] = 0;
    // One token past the last: its key is written ahead of its miss.
    for (uint32_t j = 0; j <= count; ++j) t.keyOf[t.tokenOf[kFirstCode + j]] = kNoKey;
}

bool LZW12::dictionaryIsEmpty() const {
    const Tables& t = *tables;
    return std::all_of(std::begin(t.slots), std::end(t.slots), [](uint16_t s) { return s == 0; }) &&
           std::all_of(std::begin(t.keyOf), std::end(t.keyOf), [](uint32_t k) { return k >= kNoKey; });
}

// The stream is the plain LZW code stream of the source. The loop over the source only
// decides, for each byte, whether the string grows or a code is due, and keeps the due
// codes of the generation; they are packed into bits when the generation ends. Between
// calls the table is empty and no token of a string has a key; every exit leaves it so.
uint32_t LZW12::compress(const uint8_t* source, int32_t length, uint8_t* dest) {
    if (length < kMinLength) return 0;
    const size_t limit = size_t(length) - 2;  // the stream may not pass this inside the loop
    Tables& t = *tables;

    BitWriter writer{dest, dest};
    writer.put(kClearCode, widthFor(kFirstCode));

    uint32_t current = source[0];  // token of the string matched so far
    uint32_t count = 0;            // codes due in this generation
    // The slot content of the string matched so far (current ^ its last byte; 0 for a
    // single byte) and that last byte ^ byteMix of the byte after it: their XOR is the
    // slot to look at next, current ^ byteMix[next byte]. So a lookup waits for the one
    // before by a load and an XOR only, and the empty slot of a miss needs no choosing.
    uint32_t entry = 0;
    uint32_t mixed = source[0] ^ t.byteMix[source[1]];
    const uint8_t* const end = source + length;
    for (const uint8_t* p = source + 1; p != end; ++p) {
        const uint32_t ch = p[0];
        const uint32_t key = (current << 8) | ch;
        uint32_t slot = entry ^ mixed;
        mixed = ch ^ t.byteMix[p[p + 1 != end]];  // after the last byte, any byte will do
        entry = t.slots[slot];
        // keyOf[entry ^ ch] ^ key is 0 when the slot holds (current, ch), at least
        // kByteKey when it is empty (a single byte's key), and in between when another
        // string holds it: then the lookup goes along the following slots. So the usual
        // outcomes, a match and an empty slot, take the same (rarely mispredicted) way.
        // Only tokens of this generation have a key: a match is the token of (current,
        // ch), whichever slot led to it.
        if ((t.keyOf[entry ^ ch] ^ key) - 1 < kKeys - 1) [[unlikely]] {
            do {
                slot = (slot + 1) & (kSlots - 1);
                entry = t.slots[slot];
            } while (entry != 0 && t.keyOf[entry ^ ch] != key);
        }
        // Match or not, the same stores happen: a match rewrites its own slot and leaves
        // the count alone, so the stores for the next code are overwritten later. Hits and
        // misses follow each other unpredictably in text; a branch here costs more than
        // the stores.
        const uint32_t miss = 0u - uint32_t(entry == 0);
        const uint32_t fresh = t.tokenOf[kFirstCode + count];
        t.due[count] = uint16_t(current);
        t.filled[count] = uint16_t(slot);
        t.slots[slot] = uint16_t(entry | ((fresh ^ ch) & miss));
        t.keyOf[fresh] = key;  // fresh is not in the table before its own miss
        count += miss & 1;
        current = entry ^ ch;

        if (count == kCodesPerGeneration) [[unlikely]] {
            t.due[count] = kClearCode;
            const bool fits = packCodes(writer, t.due, t.codeOf, count + 1, limit);
            forget(count);
            count = 0;
            if (!fits) return 0;
        }
    }
    const bool fits = packCodes(writer, t.due, t.codeOf, count, limit);
    forget(count);
    if (!fits) return 0;

    const uint32_t width = widthFor(kFirstCode + count);
    writer.put(t.codeOf[current], width);
    return uint32_t(writer.finish(kEndCode, width));
}
