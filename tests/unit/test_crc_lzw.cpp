// CCRC32 values, the exact LZW12 code stream (checked against a plain map-based LZW coder
// written here and, byte for byte, against the CRC-keyed tree coder it replaced), the width
// and clear-code rules, and the client-side decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lzw_oracle/echomail_text.h"
#include "lzw_oracle/lzw12_reference.h"
#include "support/crc32.h"
#include "support/lzw12.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------------------------------
// CRC

uint32_t standardEntry(uint32_t i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    return c;
}

TEST(CCRC32, TableIsTheStandardOneWithTheLowByteMixed) {
    CCRC32 crc;
    EXPECT_EQ(crc.table[0], 0x00000084u);
    EXPECT_EQ(crc.table[1], 0x77073012u);
    for (uint32_t i = 0; i < 256; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(crc.table[i], standardEntry(i) ^ (i < 32 ? 0x84u : 0x83u));
    }
}

TEST(CCRC32, KnownValues) {
    struct Case {
        const char* text;
        uint32_t crc;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 0x513B5853u},
        {"123456789", 0xA4597261u},
    };
    CCRC32 crc;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(crc.compute(c.text, strlen(c.text)), c.crc);
        uint32_t state = CCRC32::kInitial;
        for (const char* p = c.text; *p; ++p) state = crc.update(state, uint8_t(*p));
        if (*c.text) {
            EXPECT_EQ(CCRC32::finish(state), c.crc);
        }
    }
}

// ---------------------------------------------------------------------------------------
// A plain LZW model and stream helpers

struct Code {
    uint32_t value;
    int width;
};

int coderWidth(uint32_t nextCode) {
    if (nextCode > 2048) return 12;
    if (nextCode > 1024) return 11;
    if (nextCode > 512) return 10;
    return 9;
}

// Plain LZW with a (prefix, byte) -> code map, the coder's width rule and the clear code
// after code 4094. `gaveUp` tells whether a code written in the loop ended past L - 2.
struct PlainLzw {
    std::vector<Code> codes;
    bool gaveUp = false;
    int64_t worstMargin = INT64_MIN;  // greatest (bytePos - (L - 2)) after a code in the loop
    std::vector<size_t> assignedAt;   // per assignment, in order: the index of the byte that made it
};

PlainLzw plainLzw(const Bytes& in) {
    PlainLzw r;
    std::unordered_map<uint32_t, uint32_t> dict;  // prefix * 256 + byte -> code
    uint32_t next = 258;
    uint64_t bits = 0;
    const uint64_t limit = in.size() - 2;
    auto put = [&](uint32_t code) {
        int w = coderWidth(next);
        r.codes.push_back({code, w});
        bits += uint64_t(w);
    };
    put(256);
    uint32_t cur = in[0];
    for (size_t i = 1; i < in.size(); ++i) {
        uint8_t ch = in[i];
        auto it = dict.find(cur * 256 + ch);
        if (it != dict.end()) {
            cur = it->second;
            continue;
        }
        put(cur);
        r.worstMargin = std::max(r.worstMargin, int64_t(bits / 8) - int64_t(limit));
        dict[cur * 256 + ch] = next++;
        r.assignedAt.push_back(i);
        cur = ch;
        if (next == 4095) {
            put(256);
            r.worstMargin = std::max(r.worstMargin, int64_t(bits / 8) - int64_t(limit));
            dict.clear();
            next = 258;
        }
    }
    put(cur);
    put(257);
    r.gaveUp = r.worstMargin > 0;
    return r;
}

Bytes pack(const std::vector<Code>& codes) {
    Bytes out;
    uint64_t bit = 0;
    for (const Code& c : codes) {
        for (int k = 0; k < c.width; ++k, ++bit) {
            if (bit / 8 >= out.size()) out.push_back(0);
            if ((c.value >> k) & 1) out[bit / 8] |= uint8_t(1u << (bit % 8));
        }
    }
    return out;
}

// Packs codes with the decoder's width rule (for hand-made streams, valid or not).
Bytes packForDecoder(const std::vector<uint32_t>& values) {
    std::vector<Code> codes;
    uint32_t next = 258;
    bool afterClear = true;  // the first code after a clear code defines no entry
    for (uint32_t v : values) {
        codes.push_back({v, next < 512 ? 9 : next < 1024 ? 10 : next < 2048 ? 11 : 12});
        if (v == 256) {
            next = 258;
            afterClear = true;
        } else if (v != 257) {
            if (!afterClear) ++next;
            afterClear = false;
        }
    }
    return pack(codes);
}

// Reads a stream back with the coder's width rule: each data code is followed by one
// assignment, a clear code restarts at 258. Stops after the end code.
std::vector<Code> readCodes(const Bytes& stream) {
    std::vector<Code> codes;
    uint64_t bit = 0;
    uint32_t next = 258;
    while (bit < stream.size() * 8) {
        int w = coderWidth(next);
        uint32_t v = 0;
        for (int k = 0; k < w; ++k, ++bit)
            if (bit / 8 < stream.size() && (stream[bit / 8] >> (bit % 8)) & 1) v |= 1u << k;
        codes.push_back({v, w});
        if (v == 257) break;
        if (v == 256)
            next = 258;
        else
            ++next;
    }
    return codes;
}

std::vector<uint32_t> valuesOf(const std::vector<Code>& codes) {
    std::vector<uint32_t> v;
    for (const Code& c : codes) v.push_back(c.value);
    return v;
}

template <typename Coder>
Bytes compressWith(Coder& coder, const Bytes& in, uint32_t* result = nullptr) {
    // Exactly L + 2 bytes of room, on the heap so that the sanitizer sees any overrun.
    Bytes dest(in.size() + 2);
    uint32_t n = coder.compress(in.data(), int32_t(in.size()), dest.data());
    EXPECT_LE(n, in.size() + 2);
    if (result) *result = n;
    dest.resize(n);
    return dest;
}

// Checks one input against the plain model, byte for byte, and decodes it back.
template <typename Coder>
void expectPureLzw(Coder& coder, const Bytes& in) {
    uint32_t n = 0;
    Bytes stream = compressWith(coder, in, &n);
    if (in.size() < 65) {
        EXPECT_EQ(n, 0u);
        return;
    }
    PlainLzw ref = plainLzw(in);
    if (ref.gaveUp) {
        EXPECT_EQ(n, 0u);
        return;
    }
    ASSERT_EQ(stream, pack(ref.codes));
    Bytes back;
    std::string error;
    ASSERT_TRUE(lzw12Decode(stream.data(), stream.size(), uint32_t(in.size()), back, &error)) << error;
    EXPECT_EQ(back, in);
}

// ---------------------------------------------------------------------------------------
// Inputs

Bytes randomBytes(std::mt19937& rng, size_t size, int alphabet = 256) {
    std::uniform_int_distribution<int> d(0, alphabet - 1);
    const int base = alphabet == 256 ? 0 : 'a';
    Bytes b(size);
    for (auto& x : b) x = uint8_t(base + d(rng));
    return b;
}

// The sample texts are what the tests and the benchmark take them for: exact sizes, the
// same bytes from the same seed, a vocabulary of thousands of words, and Russian letters
// in CP866 (bytes 0x80..0xAF and 0xE0..0xF1; no other byte above 0x7F).
TEST(LZW12SampleTexts, SizesSeedsVocabularyAndCharset) {
    struct Case {
        const char* name;
        Bytes (*generate)(std::mt19937&, size_t);
        size_t minWords;     // distinct words in 1 MiB
        double minCyrillic;  // share of CP866 letters
    };
    const Case cases[] = {
        {"echomail text", echomailText, 50, 0},
        {"English echomail with many words", manyWordsEchomailText, 3000, 0},
        {"Russian echomail in CP866", cp866EchomailText, 1000, 0.3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(5), again(5);
        const Bytes text = c.generate(rng, size_t(1) << 20);
        ASSERT_EQ(text.size(), size_t(1) << 20);
        EXPECT_TRUE(text == c.generate(again, size_t(1) << 20));
        EXPECT_EQ(c.generate(rng, 1000).size(), 1000u);

        std::set<std::string> words;
        size_t cyrillic = 0, otherHigh = 0;
        std::string word;
        for (uint8_t b : text) {
            const bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b >= 0x80;
            if (letter) word += char(b);
            if (!letter && !word.empty()) {
                words.insert(word);
                word.clear();
            }
            if (b >= 0x80 && (b <= 0xAF || (b >= 0xE0 && b <= 0xF1)))
                ++cyrillic;
            else if (b >= 0x80)
                ++otherHigh;
        }
        EXPECT_GE(words.size(), c.minWords);
        EXPECT_EQ(otherHigh, 0u);
        EXPECT_GE(double(cyrillic) / double(text.size()), c.minCyrillic);
        if (c.minCyrillic == 0) {
            EXPECT_EQ(cyrillic, 0u);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Coder: the fixed vector, the size limits and the width and clear rules

TEST(LZW12, SixtyFiveLettersAGiveTheKnownStream) {
    LZW12 coder;
    Bytes stream = compressWith(coder, Bytes(65, 'A'));
    const Bytes expected = {0x00, 0x83, 0x08, 0x1C, 0x48, 0xB0, 0xA0, 0xC1,
                            0x83, 0x08, 0x13, 0x2A, 0x54, 0x18, 0x10};
    EXPECT_EQ(stream, expected);
    const std::vector<uint32_t> codes = {256, 65, 258, 259, 260, 261, 262, 263, 264, 265, 266, 266, 257};
    std::vector<Code> read = readCodes(stream);
    EXPECT_EQ(valuesOf(read), codes);
    for (const Code& c : read) EXPECT_EQ(c.width, 9);
}

TEST(LZW12, SizeLimitsAndIncompressibleInputs) {
    std::mt19937 rng(7);
    Bytes ascending(256);
    for (int i = 0; i < 256; ++i) ascending[size_t(i)] = uint8_t(i);  // no byte pair repeats
    struct Case {
        const char* name;
        Bytes input;
        bool coded;
    };
    const Case cases[] = {
        {"empty", {}, false},
        {"64 bytes", Bytes(64, 'A'), false},
        {"65 bytes", Bytes(65, 'A'), true},
        {"no repeated pairs", ascending, false},
        {"random bytes", randomBytes(rng, 16384), false},
    };
    LZW12 coder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t n = 0;
        compressWith(coder, c.input, &n);
        if (c.coded) {
            EXPECT_GT(n, 0u);
            EXPECT_LT(n + 4, c.input.size());
        } else {
            EXPECT_EQ(n, 0u);
        }
    }
}

TEST(LZW12, GivesUpOnlyWhenTheStreamPassesLMinus2) {
    // Inputs near the break-even point: some end exactly at L - 2 or one byte past it
    // inside the loop, some come out longer than L without giving up.
    std::mt19937 rng(17);
    std::uniform_int_distribution<size_t> len(65, 400);
    std::uniform_int_distribution<int> alphabet(6, 40);
    LZW12 coder;
    int atLimit = 0, onePast = 0, longerThanInput = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes in = randomBytes(rng, len(rng), alphabet(rng));
        PlainLzw ref = plainLzw(in);
        uint32_t n = 0;
        Bytes stream = compressWith(coder, in, &n);
        atLimit += ref.worstMargin == 0;
        onePast += ref.worstMargin == 1;
        longerThanInput += n > in.size();
        if (ref.gaveUp) {
            ASSERT_EQ(n, 0u) << round;
        } else {
            ASSERT_EQ(stream, pack(ref.codes)) << round;
        }
    }
    EXPECT_GT(atLimit, 0);
    EXPECT_GT(onePast, 0);
    EXPECT_GT(longerThanInput, 0);
}

TEST(LZW12, CodesWidenAfterCodes512And1024And2048AreAssigned) {
    std::mt19937 rng(11);
    Bytes in = randomBytes(rng, 30000, 4);
    LZW12 coder;
    Bytes stream = compressWith(coder, in);
    ASSERT_FALSE(stream.empty());
    std::vector<Code> read = readCodes(stream);
    PlainLzw ref = plainLzw(in);
    ASSERT_EQ(valuesOf(read), valuesOf(ref.codes));

    // Code k (k >= 1 in a generation) is written while nextCode is 257 + k, i.e. right after
    // the assignment of code 256 + k.
    struct Boundary {
        size_t index;  // of the code written right after `assigned` was assigned
        uint32_t assigned;
        int width;
    };
    const Boundary boundaries[] = {
        {255, 511, 9}, {256, 512, 10}, {767, 1023, 10}, {768, 1024, 11}, {1791, 2047, 11}, {1792, 2048, 12},
    };
    for (const Boundary& b : boundaries) {
        SCOPED_TRACE(b.assigned);
        ASSERT_LT(b.index, read.size());
        EXPECT_EQ(read[b.index].width, b.width);
        EXPECT_EQ(ref.codes[b.index].width, b.width);
    }
}

TEST(LZW12, ClearCodeFollowsCode4094With12BitsThenWidthIs9) {
    std::mt19937 rng(5);
    Bytes in = randomBytes(rng, 60000, 4);
    LZW12 coder;
    Bytes stream = compressWith(coder, in);
    ASSERT_FALSE(stream.empty());
    std::vector<Code> read = readCodes(stream);
    EXPECT_EQ(valuesOf(read), valuesOf(plainLzw(in).codes));

    // Codes 1..3837 of the first generation assign 258..4094; the clear code comes next.
    const size_t clearAt = 1 + 3837;
    ASSERT_GT(read.size(), clearAt + 2);
    for (size_t i = 1; i < clearAt; ++i) ASSERT_NE(read[i].value, 256u) << i;
    EXPECT_EQ(read[clearAt].value, 256u);
    EXPECT_EQ(read[clearAt].width, 12);
    EXPECT_EQ(read[clearAt - 1].width, 12);
    EXPECT_LT(read[clearAt + 1].value, 256u);  // a single byte: the dictionary is empty again
    EXPECT_EQ(read[clearAt + 1].width, 9);
}

TEST(LZW12, StreamIsPureLzwForManyInputs) {
    std::mt19937 rng(1234);
    LZW12 coder;
    std::uniform_int_distribution<size_t> len(60, 9000);
    const int alphabets[] = {1, 2, 3, 4, 8, 16, 26, 64, 256};
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        expectPureLzw(coder, randomBytes(rng, len(rng), alphabets[size_t(round) % std::size(alphabets)]));
        expectPureLzw(coder, echomailText(rng, len(rng)));
        expectPureLzw(coder, manyWordsEchomailText(rng, len(rng)));
        expectPureLzw(coder, cp866EchomailText(rng, len(rng)));
    }
    // Long inputs pass several clear codes; the same object codes them one after another.
    for (size_t size : {size_t(200000), size_t(1) << 20}) {
        Bytes in = echomailText(rng, size);
        expectPureLzw(coder, in);
        std::vector<Code> read = readCodes(compressWith(coder, in));
        size_t clears = 0;
        for (const Code& c : read) clears += c.value == 256;
        EXPECT_GE(clears, size > 200000 ? 20u : 3u);
    }
    expectPureLzw(coder, randomBytes(rng, 100000, 2));
}

// ---------------------------------------------------------------------------------------
// The flat-table coder against the CRC-keyed tree coder it replaced: the same bytes, or the
// same refusal, for every input; and every stream decodes back to its input.

// `in` cut just after the byte whose miss assigns `code` in the first generation, plus
// `extra` bytes (negative: fewer).
Bytes cutAtAssignment(const Bytes& in, uint32_t code, int extra) {
    const PlainLzw plain = plainLzw(in);
    const size_t index = code - 258;
    EXPECT_LT(index, plain.assignedAt.size());
    if (index >= plain.assignedAt.size()) return {};
    return Bytes(in.begin(), in.begin() + ptrdiff_t(plain.assignedAt[index]) + 1 + extra);
}

// A short input whose stream, inside the coding loop, ends `margin` bytes past L - 2 at
// its furthest (0: exactly at L - 2).
Bytes nearTheLimit(int64_t margin, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> len(65, 400);
    std::uniform_int_distribution<int> alphabet(6, 40);
    for (int round = 0; round < 100000; ++round) {
        Bytes in = randomBytes(rng, len(rng), alphabet(rng));
        if (plainLzw(in).worstMargin == margin) return in;
    }
    ADD_FAILURE() << "no input found with margin " << margin;
    return {};
}

Bytes cycles(size_t count) {
    Bytes b;
    for (size_t i = 0; i < count; ++i)
        for (int v = 0; v < 256; ++v) b.push_back(uint8_t(v));
    return b;
}

// Strings ending in the same few bytes: words of two letters between single separators.
Bytes sameEndings(std::mt19937& rng, size_t size) {
    std::uniform_int_distribution<int> letter('a', 'z'), separator(0, 2);
    Bytes b;
    while (b.size() < size) {
        b.push_back(uint8_t(letter(rng)));
        b.push_back(uint8_t(letter(rng)));
        b.push_back(" .\r"[separator(rng)]);
    }
    b.resize(size);
    return b;
}

TEST(LZW12, SameStreamAsTheTreeCoder) {
    enum Outcome { kCoded, kDeclined, kEither };
    struct Case {
        std::string name;
        Bytes input;
        Outcome outcome;
    };
    std::mt19937 rng(2024);
    const Bytes text = echomailText(rng, 40000);
    const Bytes fourSymbols = randomBytes(rng, 40000, 4);
    const Bytes manyWords = manyWordsEchomailText(rng, 40000);
    const Bytes russian = cp866EchomailText(rng, 40000);
    std::vector<Case> cases = {
        {"64 bytes of one letter", Bytes(64, 'A'), kDeclined},
        {"65 bytes of one letter", Bytes(65, 'A'), kCoded},
        {"64 bytes of text", Bytes(text.begin(), text.begin() + 64), kDeclined},
        {"65 bytes of text", Bytes(text.begin(), text.begin() + 65), kEither},
        {"65 random bytes", randomBytes(rng, 65), kDeclined},
        {"echomail text, 40000 bytes", text, kCoded},
        {"echomail text, 1 MiB", echomailText(rng, size_t(1) << 20), kCoded},
        // Shorter strings, more of them in the table at once, and bytes above 0x7F.
        {"English echomail with many words, 40000 bytes", manyWords, kCoded},
        {"English echomail with many words, 1 MiB", manyWordsEchomailText(rng, size_t(1) << 20), kCoded},
        {"Russian echomail in CP866, 40000 bytes", russian, kCoded},
        {"Russian echomail in CP866, 1 MiB", cp866EchomailText(rng, size_t(1) << 20), kCoded},
        {"many words, 200 bytes", Bytes(manyWords.begin(), manyWords.begin() + 200), kEither},
        {"CP866, 200 bytes", Bytes(russian.begin() + 300, russian.begin() + 500), kEither},
        {"random bytes of 2 symbols", randomBytes(rng, 100000, 2), kCoded},
        {"random bytes of 16 symbols", randomBytes(rng, 50000, 16), kCoded},
        {"random bytes of all 256 values", randomBytes(rng, 50000), kDeclined},
        {"all 256 values once, no pair repeats", cycles(1), kDeclined},
        {"all 256 values in turn, 400 times", cycles(400), kCoded},
        {"two-letter words, same endings", sameEndings(rng, 60000), kCoded},
        // Runs: every code after the first few is the one being defined (the decoder's
        // self reference), and the strings grow to the longest a generation allows.
        {"one byte 100000 times", Bytes(100000, 'A'), kCoded},
        {"byte 0 100000 times", Bytes(100000, 0x00), kCoded},
        {"byte 255 100000 times", Bytes(100000, 0xFF), kCoded},
        {"one byte past a clear code", Bytes(7400000, 'e'), kCoded},
        // The clear-code boundary: the input ends on the byte whose miss assigns code 4093
        // (next code 4094), or 4094 (a clear code follows at once, the last code is 9
        // bits), or one byte before or after that.
        {"ends as code 4093 is assigned", cutAtAssignment(text, 4093, 0), kCoded},
        {"ends one byte before code 4094 is assigned", cutAtAssignment(text, 4094, -1), kCoded},
        {"ends as code 4094 is assigned", cutAtAssignment(text, 4094, 0), kCoded},
        {"ends one byte after code 4094 is assigned", cutAtAssignment(text, 4094, 1), kCoded},
        {"many words, ends as code 4094 is assigned", cutAtAssignment(manyWords, 4094, 0), kCoded},
        {"many words, ends one byte after", cutAtAssignment(manyWords, 4094, 1), kCoded},
        {"CP866, ends as code 4094 is assigned", cutAtAssignment(russian, 4094, 0), kCoded},
        {"CP866, ends one byte after", cutAtAssignment(russian, 4094, 1), kCoded},
        {"four symbols, ends as code 4094 is assigned", cutAtAssignment(fourSymbols, 4094, 0), kCoded},
        {"four symbols, ends one byte after", cutAtAssignment(fourSymbols, 4094, 1), kCoded},
        // The width boundaries: the last code and the end code are written with the width
        // of the next code, 512 and 513 apart by one bit (likewise 1024, 2048).
        {"ends as code 511 is assigned", cutAtAssignment(text, 511, 0), kCoded},
        {"ends as code 512 is assigned", cutAtAssignment(text, 512, 0), kCoded},
        {"ends as code 1023 is assigned", cutAtAssignment(text, 1023, 0), kCoded},
        {"ends as code 1024 is assigned", cutAtAssignment(text, 1024, 0), kCoded},
        {"ends as code 2047 is assigned", cutAtAssignment(text, 2047, 0), kCoded},
        {"ends as code 2048 is assigned", cutAtAssignment(text, 2048, 0), kCoded},
        // The stream inside the loop ends exactly at L - 2 (kept) or one byte past it.
        {"stream reaches L - 2", nearTheLimit(0, 17), kEither},
        {"stream reaches L - 2, another", nearTheLimit(0, 18), kEither},
        {"stream passes L - 2 by one byte", nearTheLimit(1, 17), kDeclined},
        {"stream passes L - 2 by one byte, another", nearTheLimit(1, 18), kDeclined},
    };
    // Texts one after another: the second starts while the table still holds the first's
    // strings, in a call of its own.
    Bytes mixed = cp866EchomailText(rng, 50000);
    const Bytes english = manyWordsEchomailText(rng, 50000);
    mixed.insert(mixed.end(), english.begin(), english.end());
    cases.push_back({"CP866 then English", mixed, kCoded});
    // A text that compresses well followed by noise: the stream passes L - 2 late, after
    // several clear codes.
    Bytes lateGiveUp = echomailText(rng, 30000);
    const Bytes noise = randomBytes(rng, 60000);
    lateGiveUp.insert(lateGiveUp.end(), noise.begin(), noise.end());
    cases.push_back({"text then noise", lateGiveUp, kDeclined});

    LZW12 coder;  // one object for all cases: calls must not depend on the ones before
    LZW12Reference reference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.input.empty());
        uint32_t n = 0, referenceN = 0;
        const Bytes stream = compressWith(coder, c.input, &n);
        const Bytes expected = compressWith(reference, c.input, &referenceN);
        ASSERT_EQ(n, referenceN);
        ASSERT_TRUE(stream == expected) << "streams differ";
        if (c.outcome == kCoded) {
            EXPECT_NE(n, 0u);
        } else if (c.outcome == kDeclined) {
            EXPECT_EQ(n, 0u);
        }
        if (n == 0) continue;
        Bytes back;
        std::string error;
        ASSERT_TRUE(lzw12Decode(stream.data(), stream.size(), uint32_t(c.input.size()), back, &error)) << error;
        EXPECT_TRUE(back == c.input) << "decoded data differs";
    }
}

TEST(LZW12, BoundaryCasesLandWhereTheyShould) {
    // The cut inputs above are only worth their names if the stream shows the clear code
    // where expected: right at the end for "ends as code 4094 is assigned".
    std::mt19937 rng(2024);
    const Bytes text = echomailText(rng, 40000);
    LZW12 coder;
    const std::vector<Code> atClear = readCodes(compressWith(coder, cutAtAssignment(text, 4094, 0)));
    ASSERT_GE(atClear.size(), 3u);
    EXPECT_EQ(atClear[atClear.size() - 3].value, 256u);  // clear, last code, end code
    EXPECT_EQ(atClear[atClear.size() - 3].width, 12);
    EXPECT_EQ(atClear[atClear.size() - 2].width, 9);
    EXPECT_EQ(atClear[atClear.size() - 1].value, 257u);
    const std::vector<Code> before = readCodes(compressWith(coder, cutAtAssignment(text, 4094, -1)));
    ASSERT_GE(before.size(), 2u);
    EXPECT_EQ(before.back().width, 12);  // no clear code yet: the last codes are 12 bits
    size_t clears = 0;
    for (size_t i = 1; i < before.size(); ++i) clears += before[i].value == 256u;
    EXPECT_EQ(clears, 0u);
}

TEST(LZW12, CallsAreIndependent) {
    // The same input gives the same stream after any other call, including one that gave
    // up half way, and from a second object.
    std::mt19937 rng(77);
    const Bytes text = echomailText(rng, 50000);
    Bytes giveUp = echomailText(rng, 20000);
    const Bytes noise = randomBytes(rng, 40000);
    giveUp.insert(giveUp.end(), noise.begin(), noise.end());
    LZW12 coder;
    const Bytes first = compressWith(coder, text);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(compressWith(coder, giveUp).empty());
    EXPECT_TRUE(compressWith(coder, text) == first);
    compressWith(coder, randomBytes(rng, 3000, 3));
    EXPECT_TRUE(compressWith(coder, text) == first);
    LZW12 other;
    EXPECT_TRUE(compressWith(other, text) == first);
}

TEST(LZW12, EveryWayACallEndsLeavesTheDictionaryEmpty) {
    // The coder empties only the slots a call used and takes back only the keys it gave,
    // on every way out: a key left behind could match a later string that is not in the
    // dictionary, a slot left behind would stay taken for good. Each case is followed by
    // texts that look at many slots (and a short one that looks at few); all must match
    // the tree coder.
    std::mt19937 rng(31);
    const Bytes text = manyWordsEchomailText(rng, 40000);
    Bytes textThenNoise = cp866EchomailText(rng, 30000);
    const Bytes noise = randomBytes(rng, 60000);
    textThenNoise.insert(textThenNoise.end(), noise.begin(), noise.end());
    struct Case {
        const char* name;
        Bytes input;
        bool coded;
    };
    const Case cases[] = {
        {"declined for its length", Bytes(64, 'A'), false},
        {"declined when its first clear code was due", randomBytes(rng, 5000), false},
        {"declined at the end, before any clear code", randomBytes(rng, 2000), false},
        {"declined after several clear codes", textThenNoise, false},
        {"ended as code 4094 was assigned", cutAtAssignment(text, 4094, 0), true},
        {"ended one byte later", cutAtAssignment(text, 4094, 1), true},
        {"coded over several clear codes", echomailText(rng, 100000), true},
    };
    const Bytes probes[] = {text, cp866EchomailText(rng, 20000), Bytes(text.begin() + 1000, text.begin() + 1300)};
    LZW12 coder;
    LZW12Reference reference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t n = 0;
        compressWith(coder, c.input, &n);
        EXPECT_EQ(n != 0, c.coded);
        EXPECT_TRUE(coder.dictionaryIsEmpty());
        for (const Bytes& probe : probes) {
            const Bytes stream = compressWith(coder, probe);
            ASSERT_FALSE(stream.empty());
            ASSERT_TRUE(stream == compressWith(reference, probe)) << "a later call differs";
        }
        EXPECT_TRUE(coder.dictionaryIsEmpty());
    }
}

// ---------------------------------------------------------------------------------------
// The CRC-keyed tree coder kept as the oracle: its own stream must be pure LZW too, also
// where different strings share a key.

TEST(LZW12Reference, DictionaryKeysAreTheCrcOfTheEntryStrings) {
    std::mt19937 rng(3);
    LZW12Reference coder;
    Bytes in = echomailText(rng, 20000);
    compressWith(coder, in);
    const LZW12Reference::Node* nodes = coder.pool();
    const int32_t count = coder.poolUsed();
    ASSERT_GT(count, 1000);
    CCRC32 crc;
    std::map<int32_t, const LZW12Reference::Node*> byCode;
    for (int32_t i = 0; i < count; ++i) byCode[nodes[i].code] = &nodes[i];
    for (int32_t i = 0; i < count; ++i) {
        std::string s;
        for (const LZW12Reference::Node* n = &nodes[i];; n = byCode.at(n->prefix)) {
            s.insert(s.begin(), char(n->byte));
            if (n->prefix < 0) break;
        }
        ASSERT_EQ(nodes[i].key, crc.compute(s.data(), s.size())) << "code " << nodes[i].code;
    }
}

// Counts pairs of dictionary entries with the same key (each one a different string).
size_t equalKeyPairs(const LZW12Reference& coder) {
    const LZW12Reference::Node* nodes = coder.pool();
    std::unordered_map<uint32_t, size_t> seen;
    size_t pairs = 0;
    for (int32_t i = 0; i < coder.poolUsed(); ++i) pairs += seen[nodes[i].key]++;
    return pairs;
}

TEST(LZW12Reference, RealCrcCollisionsKeepThePureStream) {
    // Short strings with the same CRC, found by a search; repeating each string builds it
    // (and the strings it starts with) into the dictionary.
    CCRC32 crc;
    std::mt19937 rng(99);
    std::unordered_map<uint32_t, std::string> byKey;
    std::vector<std::pair<std::string, std::string>> collisions;
    std::uniform_int_distribution<int> lenDist(2, 4), byteDist(0, 255);
    while (collisions.size() < 16) {
        std::string s(size_t(lenDist(rng)), '\0');
        for (char& c : s) c = char(byteDist(rng));
        auto [it, fresh] = byKey.emplace(crc.compute(s.data(), s.size()), s);
        if (!fresh && it->second != s) collisions.emplace_back(it->second, s);
    }

    LZW12Reference coder;
    LZW12 flat;
    size_t exercised = 0;
    for (size_t i = 0; i < collisions.size(); ++i) {
        const auto& [a, b] = collisions[i];
        SCOPED_TRACE(i);
        std::string text;
        for (int k = 0; k < 6; ++k) text += a;
        for (int k = 0; k < 6; ++k) text += b;
        for (int k = 0; k < 4; ++k) text += a + b;
        text += std::string(120, 'x');
        Bytes in = bytesOf(text);
        expectPureLzw(coder, in);
        exercised += equalKeyPairs(coder) > 0;
        expectPureLzw(flat, in);
    }
    EXPECT_GE(exercised, collisions.size() / 2);
}

uint32_t keyConstant(const uint8_t*, size_t) { return 0x1234; }
uint32_t keyFourBits(const uint8_t* s, size_t n) {
    static const CCRC32 crc;
    return crc.compute(s, n) & 0xF;
}
uint32_t keyLastByte(const uint8_t* s, size_t n) { return s[n - 1]; }
uint32_t keyLength(const uint8_t*, size_t n) { return uint32_t(n); }

TEST(LZW12Reference, ForcedEqualKeysKeepThePureStream) {
    struct Case {
        const char* name;
        LZW12Reference::KeyFunction key;
        size_t size;
    };
    const Case cases[] = {
        {"one key for all", keyConstant, 6000},
        {"four bits of the CRC", keyFourBits, 40000},
        {"last byte", keyLastByte, 40000},
        {"length", keyLength, 20000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LZW12Reference coder;
        coder.setKeyFunction(c.key);
        std::mt19937 rng(42);
        expectPureLzw(coder, echomailText(rng, c.size));
        EXPECT_GT(equalKeyPairs(coder), 100u);
        expectPureLzw(coder, randomBytes(rng, c.size, 3));
        expectPureLzw(coder, Bytes(c.size, 'A'));
        expectPureLzw(coder, randomBytes(rng, 3000, 40));
    }
}

// ---------------------------------------------------------------------------------------
// Decoder

TEST(Lzw12Decode, RejectsMalformedStreams) {
    LZW12 coder;
    std::mt19937 rng(8);
    const Bytes text = echomailText(rng, 5000);
    const Bytes valid = compressWith(coder, text);
    ASSERT_FALSE(valid.empty());
    Bytes trailing = valid;
    trailing.push_back(0);
    Bytes noEnd = valid;
    noEnd.resize(noEnd.size() - 2);

    std::vector<uint32_t> full = {256};
    for (int i = 0; i < 3838; ++i) full.push_back('a');
    full.push_back('a');
    full.push_back(257);

    struct Case {
        const char* name;
        Bytes stream;
        uint32_t length;
    };
    const Case cases[] = {
        {"empty stream", {}, 0},
        {"no clear code first", packForDecoder({65, 66, 257}), 2},
        {"end code first", packForDecoder({257}), 0},
        {"code beyond the next code", packForDecoder({256, 65, 66, 261, 257}), 10},
        {"defined code right after a clear", packForDecoder({256, 258, 257}), 2},
        {"next code right after a mid-stream clear", packForDecoder({256, 65, 66, 256, 258, 257}), 4},
        {"no end code", packForDecoder({256, 65, 66, 258}), 4},
        {"truncated stream", noEnd, uint32_t(text.size())},
        {"dictionary full without a clear code", packForDecoder(full), 5000},
        {"output longer than announced", valid, uint32_t(text.size() - 1)},
        {"output shorter than announced", valid, uint32_t(text.size() + 1)},
        {"huge announced length", valid, 0xFFFFFFFFu},
        {"data after the end code", trailing, uint32_t(text.size())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(lzw12Decode(c.stream.data(), c.stream.size(), c.length, out, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(out.empty());
    }

    // The same decoder accepts the untouched stream, the code that is being defined and a
    // clear code anywhere.
    Bytes out;
    EXPECT_TRUE(lzw12Decode(valid.data(), valid.size(), uint32_t(text.size()), out));
    EXPECT_EQ(out, text);
    Bytes kwk = packForDecoder({256, 65, 258, 256, 66, 257});
    EXPECT_TRUE(lzw12Decode(kwk.data(), kwk.size(), 4, out));
    EXPECT_EQ(out, bytesOf("AAAB"));
    Bytes empty = packForDecoder({256, 257});
    EXPECT_TRUE(lzw12Decode(empty.data(), empty.size(), 0, out));
    EXPECT_TRUE(out.empty());
}

TEST(Lzw12Decode, DamagedStreamsNeverOverrun) {
    LZW12 coder;
    std::mt19937 rng(21);
    const Bytes text = echomailText(rng, 12000);
    const Bytes valid = compressWith(coder, text);
    std::uniform_int_distribution<size_t> where(0, valid.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255), kind(0, 2);
    int rejected = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = valid;
        switch (kind(rng)) {
            case 0: damaged[where(rng)] = uint8_t(byte(rng)); break;
            case 1: damaged.resize(where(rng)); break;
            default: damaged[where(rng)] ^= uint8_t(1u << (round % 8)); break;
        }
        Bytes out;
        if (lzw12Decode(damaged.data(), damaged.size(), uint32_t(text.size()), out))
            EXPECT_EQ(out.size(), text.size());
        else
            ++rejected;
    }
    EXPECT_GT(rejected, 1000);
}

}  // namespace
