// Echomail-like sample text for the LZW12 tests and the compression benchmark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Messages as a Squish base holds them: kludge lines, a greeting, quoted blocks with the
// writer's initials, plain lines, tear line, origin, SEEN-BY and PATH lines, CR line ends.
// Exactly `size` bytes; the same generator state gives the same text.
std::vector<uint8_t> echomailText(std::mt19937& rng, size_t size);
