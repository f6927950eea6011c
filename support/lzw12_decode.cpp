// The client side of LZW12: turns a stream made by LZW12::compress back into the data.
// The decoder adds each entry one code later than the coder, so it reads a code with 9
// bits while its own next code is below 512, 10 below 1024, 11 below 2048, 12 above.
#include <algorithm>
#include <cstring>

#include "support/le.h"
#include "support/lzw12.h"

namespace {

constexpr uint32_t kMaxCode = 4094;  // the coder clears its dictionary after assigning it
constexpr size_t kCopyChunk = 16;

// Reads codes LSB first. Bits beyond the last byte read as zero: the end code may be
// written one bit narrower than the decoder reads it, and that bit can lie past the end.
class BitReader {
public:
    BitReader(const uint8_t* bytes, size_t length) : bytes(bytes), length(length) {}

    bool atEnd() const { return bitPos / 8 >= length; }
    size_t bytesUsed() const { return size_t((bitPos + 7) / 8); }

    uint32_t read(int width) {
        const size_t index = size_t(bitPos / 8);
        uint32_t window = 0;
        if (index + 4 <= length) {
            window = getU32(bytes + index);
        } else {
            for (size_t k = 0; k < 3 && index + k < length; ++k) window |= uint32_t(bytes[index + k]) << (8 * k);
        }
        const uint32_t code = (window >> (bitPos % 8)) & ((1u << width) - 1);
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

// Copies `length` bytes from `from` to `to` (to > from, the source ends at or before `to`)
// in chunks of 16 bytes; up to 15 bytes past the end of the copy are overwritten, so the
// caller leaves that much room. Each chunk goes through a local: source and destination
// chunks may overlap, and the bytes they share lie past the end of the source.
inline void copyChunks(uint8_t* to, const uint8_t* from, size_t length) {
    for (size_t done = 0; done < length; done += kCopyChunk) {
        uint8_t chunk[kCopyChunk];
        memcpy(chunk, from + done, kCopyChunk);
        memcpy(to + done, chunk, kCopyChunk);
    }
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

    // Every entry's string lies in the output already: an entry made after code c is the
    // string written for c followed by one more byte, and that byte is the first one
    // written after it. So an entry is where its string starts and how long it is, and
    // decoding a code copies from earlier output.
    uint32_t start[kMaxCode + 1];
    uint16_t length[kMaxCode + 1];  // at most 3838 bytes in one generation

    // The announced length is only a limit: start with what a typical stream of this size
    // gives and grow while the data really is longer.
    output.resize(std::min<size_t>(expectedLength, streamLength * 4 + 64));
    size_t at = 0;  // bytes decoded

    BitReader reader(stream, streamLength);
    if (reader.atEnd() || reader.read(9) != uint32_t(LZW12::kClearCode))
        return fail("stream does not start with the clear code");

    uint32_t nextCode = LZW12::kFirstCode;
    bool afterClear = true;  // the first code after a clear code defines no entry
    size_t previousStart = 0;
    uint32_t previousLength = 0;
    for (;;) {
        if (reader.atEnd()) return fail("stream ends without the end code");
        const uint32_t code = reader.read(widthFor(nextCode));
        if (code == uint32_t(LZW12::kClearCode)) {
            nextCode = LZW12::kFirstCode;
            afterClear = true;
            continue;
        }
        if (code == uint32_t(LZW12::kEndCode)) break;

        bool selfReference = false;  // the code is the entry this very step defines
        if (afterClear) {
            if (code >= 256) return fail("code beyond the next code");
        } else {
            if (nextCode > kMaxCode) return fail("dictionary full without a clear code");
            if (code > nextCode) return fail("code beyond the next code");
            selfReference = code == nextCode;
            start[nextCode] = uint32_t(previousStart);
            length[nextCode] = uint16_t(previousLength + 1);
            ++nextCode;
        }
        afterClear = false;

        const uint32_t n = code < 256 ? 1 : length[code];
        if (n > expectedLength - at) return fail("output longer than announced");
        if (at + n + kCopyChunk > output.size() && output.size() < expectedLength)
            output.resize(std::min<size_t>(expectedLength, std::max(at + n + kCopyChunk, output.size() * 2)));

        uint8_t* const to = output.data() + at;
        if (code < 256) {
            *to = uint8_t(code);
        } else {
            // A self reference is the previous string plus its own first byte; the source
            // then ends on the byte being written first, so that byte is set afterwards.
            const uint8_t* const from = output.data() + start[code];
            const size_t known = selfReference ? n - 1 : n;
            if (at + n + kCopyChunk <= output.size())
                copyChunks(to, from, known);
            else
                memmove(to, from, known);
            if (selfReference) to[n - 1] = *from;
        }
        previousStart = at;
        previousLength = n;
        at += n;
    }

    if (at != expectedLength) return fail("output shorter than announced");
    if (streamLength > reader.bytesUsed()) return fail("data after the end code");
    output.resize(at);
    return true;
}
