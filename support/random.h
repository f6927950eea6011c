// Bytes from the kernel's random source, for values an outsider must not be able to
// predict (the login challenge).
#pragma once
#include <cstddef>
#include <cstdint>

// Fills all n bytes of `out` (n at most 256, which the kernel serves in one piece) from
// the kernel's random source. False when the source fails or delivers fewer bytes; `out`
// is then not to be used.
[[nodiscard]] bool fillRandom(uint8_t* out, size_t n);
