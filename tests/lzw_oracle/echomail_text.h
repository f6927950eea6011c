// Echomail-like sample texts for the LZW12 tests and the compression benchmark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Messages as a Squish base holds them: kludge lines, a greeting, quoted blocks with the
// writer's initials, plain lines, tear line, origin, SEEN-BY and PATH lines, CR line ends.
// Exactly `size` bytes; the same generator state gives the same text.
std::vector<uint8_t> echomailText(std::mt19937& rng, size_t size);

// The same kind of messages with a vocabulary of thousands of words drawn with their
// natural skew, names from many countries, numbers, addresses and file names, and replies
// quoting lines of the message before: LZW finds shorter strings again, as in real English
// echomail. Exactly `size` bytes; the same generator state gives the same text.
std::vector<uint8_t> manyWordsEchomailText(std::mt19937& rng, size_t size);

// Russian echomail in CP866 (CHRS: CP866 2): the letters are the bytes 0x80..0xAF and
// 0xE0..0xF1, kludges and addresses stay ASCII. Built like manyWordsEchomailText.
std::vector<uint8_t> cp866EchomailText(std::mt19937& rng, size_t size);
