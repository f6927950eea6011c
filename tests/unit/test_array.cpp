#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/array.h"

namespace {

int compareU16(const uint16_t* key, const uint16_t* element) {
    return *key < *element ? -1 : (*key > *element ? 1 : 0);
}

std::vector<uint16_t> contents(MCArray<uint16_t>& a) {
    return std::vector<uint16_t>(a.getData(), a.getData() + a.getCount());
}

TEST(MCArray, GrowsInStepsOf64) {
    MCArray<int32_t> a;
    EXPECT_EQ(a.getCount(), 0);
    EXPECT_EQ(a.getCapacity(), 64);
    for (int32_t i = 0; i < 64; ++i) ASSERT_EQ(a.add(i), i);
    EXPECT_EQ(a.getCapacity(), 64);
    EXPECT_EQ(a.add(64), 64);
    EXPECT_EQ(a.getCapacity(), 128);
    for (int32_t i = 0; i < 65; ++i) ASSERT_EQ(*a.getAt(i), i);
}

TEST(MCArray, InsertAndRemoveBounds) {
    MCArray<int32_t> a;
    a.add(1);
    a.add(2);
    EXPECT_EQ(a.insertAt(2, 3), 2);  // index == count appends
    EXPECT_EQ(a.insertAt(4, 9), -1);
    EXPECT_EQ(a.insertAt(-1, 9), -1);
    EXPECT_EQ(a.insertAt(0, 0), 0);
    ASSERT_EQ(a.getCount(), 4);
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(*a.getAt(i), i);
    EXPECT_EQ(a.removeAt(4), 0);
    EXPECT_EQ(a.removeAt(-1), 0);
    EXPECT_EQ(a.removeAt(3), 1);
    EXPECT_EQ(a.removeAt(0), 1);
    ASSERT_EQ(a.getCount(), 2);
    EXPECT_EQ(*a.getAt(0), 1);
    EXPECT_EQ(*a.getAt(1), 2);
}

TEST(MCArray, FindHonoursStartIndex) {
    MCArray<int32_t> a;
    for (int32_t v : {7, 8, 7, 9}) a.add(v);
    EXPECT_EQ(a.find(0, 7), 0);
    EXPECT_EQ(a.find(1, 7), 2);
    EXPECT_EQ(a.find(3, 7), -1);
    EXPECT_EQ(a.find(2, 8), -1);  // an equal element before the start is not seen
    EXPECT_EQ(a.find(4, 9), -1);  // start == count
    EXPECT_EQ(a.find(-1, 9), -1);
}

TEST(MCArray, SetSizeRoundsUpToNextMultipleOf64) {
    MCArray<char> a;
    ASSERT_TRUE(a.setSize(64));
    EXPECT_EQ(a.getCapacity(), 64);
    ASSERT_TRUE(a.setSize(65));
    EXPECT_EQ(a.getCapacity(), 128);
    ASSERT_TRUE(a.setSize(128));  // fits: the buffer stays
    EXPECT_EQ(a.getCapacity(), 128);
    ASSERT_TRUE(a.setSize(129));
    EXPECT_EQ(a.getCapacity(), 192);
    ASSERT_TRUE(a.setSize(0));
    EXPECT_EQ(a.getCount(), 0);
    EXPECT_EQ(a.getCapacity(), 192);
}

struct Big {
    char bytes[1024];
};
bool arrayElementEquals(const Big& a, const Big& b) { return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0; }

TEST(MCArray, ByteCountBeyond32BitsFailsAndChangesNothing) {
    MCArray<Big> a;
    ASSERT_TRUE(a.setSize(3));
    Big* before = a.getData();
    EXPECT_FALSE(a.setSize(5 * 1024 * 1024));  // 5 GiB of elements
    EXPECT_EQ(a.getCount(), 3);
    EXPECT_EQ(a.getCapacity(), 64);
    EXPECT_EQ(a.getData(), before);
    EXPECT_FALSE(a.setSize(-1));
}

TEST(CSortedArray, AddKeepsOrderWithoutDuplicates) {
    CSortedArray<uint16_t> a(compareU16);
    EXPECT_EQ(a.add(5), 0);
    EXPECT_EQ(a.add(3), 0);
    EXPECT_EQ(a.add(9), 2);
    EXPECT_EQ(a.add(3), 0);
    EXPECT_EQ(contents(a), (std::vector<uint16_t>{3, 5, 9}));
}

TEST(CSortedArray, SearchGivesInsertPosition) {
    CSortedArray<uint16_t> a(compareU16);
    int32_t pos = -5;
    EXPECT_FALSE(a.search(4, pos));
    EXPECT_EQ(pos, 0);
    for (uint16_t v : {3, 5, 9}) a.add(v);
    struct Case {
        uint16_t key;
        bool found;
        int32_t pos;
    } cases[] = {{4, false, 1}, {10, false, 3}, {0, false, 0}, {3, true, 0}, {5, true, 1}, {9, true, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(a.search(c.key, pos), c.found);
        EXPECT_EQ(pos, c.pos);
    }
}

TEST(CSortedArray, ManyNumbersStaySorted) {
    CSortedArray<uint16_t> a(compareU16);
    uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 1103515245u + 12345u;
        a.add(uint16_t(x >> 16));
    }
    for (int32_t i = 1; i < a.getCount(); ++i) ASSERT_LT(*a.getAt(i - 1), *a.getAt(i));
}

}  // namespace
