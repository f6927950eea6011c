// compress followed by the decoder must give the input back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/lzw12.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LZW12 coder;
    if (size > (1u << 20)) return 0;
    std::vector<uint8_t> stream(size + 2);
    uint32_t n = coder.compress(data, int32_t(size), stream.data());
    if (n == 0) return 0;
    if (n > size + 2) abort();
    std::vector<uint8_t> out;
    if (!lzw12Decode(stream.data(), n, uint32_t(size), out)) abort();
    if (out.size() != size || (size && memcmp(out.data(), data, size) != 0)) abort();
    return 0;
}
