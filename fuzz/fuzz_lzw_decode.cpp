// The decoder alone on arbitrary streams: it must reject or decode, within bounds.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "support/lzw12.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // The first four bytes announce the expanded length, as in a compressed reply block.
    uint32_t expected = uint32_t(data[0]) | (uint32_t(data[1]) << 8) | (uint32_t(data[2]) << 16) |
                        (uint32_t(data[3] & 0x0F) << 24);
    std::vector<uint8_t> out;
    if (lzw12Decode(data + 4, size - 4, expected, out) && out.size() != expected) abort();
    return 0;
}
