// The client side of LZW12: turns a stream made by LZW12::compress back into the data.
// The decoder adds each entry one code later than the coder, so it reads a code with 9
// bits while its own next code is below 512, 10 below 1024, 11 below 2048, 12 above.
#include <algorithm>

#include "support/lzw12.h"

namespace {

constexpr uint32_t kMaxCode = 4094;  // the coder clears its dictionary after assigning it

struct Entry {
    uint16_t prefix;  // code of the string without its last byte (entries 258 and up)
    uint16_t length;  // at most 3838 bytes in one generation
    uint8_t byte;     // last byte
    uint8_t first;    // first byte
};

// Reads codes LSB first. Bits beyond the last byte read as zero: the end code may be
// written one bit narrower than the decoder reads it, and that bit can lie past the end.
class BitReader {
public:
    BitReader(const uint8_t* bytes, size_t length) : bytes(bytes), length(length) {}

    bool atEnd() const { return bitPos / 8 >= length; }
    size_t bytesUsed() const { return size_t((bitPos + 7) / 8); }

    uint32_t read(int width) {
        size_t index = size_t(bitPos / 8);
        uint32_t window = 0;
        for (size_t k = 0; k < 3 && index + k < length; ++k) window |= uint32_t(bytes[index + k]) << (8 * k);
        uint32_t code = (window >> (bitPos % 8)) & ((1u << width) - 1);
        bitPos += uint64_t(width);
        return code;
    }

private:
    const uint8_t* bytes;
    size_t length;
    uint64_t bitPos = 0;
};

int widthFor(uint32_t nextCode) {
    if (nextCode < 512) return 9;
    if (nextCode < 1024) return 10;
    if (nextCode < 2048) return 11;
    return 12;
}

}  // namespace

bool lzw12Decode(const uint8_t* stream, size_t streamLength, uint32_t expectedLength,
                 std::vector<uint8_t>& output, std::string* error) {
    output.clear();
    auto fail = [&](const char* reason) {
        if (error) *error = reason;
        output.clear();
        return false;
    };

    // The announced length is only a limit: reserve what a typical stream of this size
    // gives and let the vector grow if the data really is longer.
    output.reserve(std::min<size_t>(expectedLength, streamLength * 4 + 64));

    std::vector<Entry> table(kMaxCode + 1);
    for (uint32_t v = 0; v < 256; ++v) table[v] = Entry{0, 1, uint8_t(v), uint8_t(v)};

    BitReader reader(stream, streamLength);
    if (reader.atEnd() || reader.read(9) != uint32_t(LZW12::kClearCode))
        return fail("stream does not start with the clear code");

    uint32_t nextCode = LZW12::kFirstCode;
    int32_t previous = -1;  // none right after a clear code
    for (;;) {
        if (reader.atEnd()) return fail("stream ends without the end code");
        const uint32_t code = reader.read(widthFor(nextCode));
        if (code == uint32_t(LZW12::kClearCode)) {
            nextCode = LZW12::kFirstCode;
            previous = -1;
            continue;
        }
        if (code == uint32_t(LZW12::kEndCode)) break;

        if (previous < 0) {
            if (code >= 256) return fail("code beyond the next code");
        } else {
            if (nextCode > kMaxCode) return fail("dictionary full without a clear code");
            if (code > nextCode) return fail("code beyond the next code");
            // The new entry: the previous string plus the first byte of this code's string
            // (its own first byte when the code is the one being defined).
            const Entry& prev = table[size_t(previous)];
            const uint8_t first = code == nextCode ? prev.first : table[code].first;
            table[nextCode] = Entry{uint16_t(previous), uint16_t(prev.length + 1), first, prev.first};
            ++nextCode;
        }

        const Entry& entry = table[code];
        const size_t at = output.size();
        if (entry.length > expectedLength - at) return fail("output longer than announced");
        output.resize(at + entry.length);
        uint8_t* p = output.data() + at + entry.length - 1;
        uint32_t c = code;
        while (c >= 256) {
            *p-- = table[c].byte;
            c = table[c].prefix;
        }
        *p = uint8_t(c);
        previous = int32_t(code);
    }

    if (output.size() != expectedLength) return fail("output shorter than announced");
    if (streamLength > reader.bytesUsed()) return fail("data after the end code");
    return true;
}
