// The login challenge: random bytes from the kernel, new for every hello.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "accounts/login.h"
#include "support/random.h"

namespace {

std::string bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(FillRandom, FillsWhatIsAskedAndNoMore) {
    uint8_t a[kLoginChallengeSize + 8], b[kLoginChallengeSize + 8];
    memset(a, 0x55, sizeof a);
    memset(b, 0x55, sizeof b);
    ASSERT_TRUE(fillRandom(a, kLoginChallengeSize));
    ASSERT_TRUE(fillRandom(b, kLoginChallengeSize));
    EXPECT_NE(bytes(a, kLoginChallengeSize), bytes(b, kLoginChallengeSize));
    for (size_t i = kLoginChallengeSize; i < sizeof a; ++i) {
        EXPECT_EQ(a[i], 0x55) << "wrote past the request";
        EXPECT_EQ(b[i], 0x55) << "wrote past the request";
    }
    EXPECT_TRUE(fillRandom(a, 0));
    uint8_t big[257];
    EXPECT_TRUE(fillRandom(big, 256));
    EXPECT_FALSE(fillRandom(big, 257)) << "more than the kernel serves in one piece";
}

TEST(MakeChallenge, NewRandomBytesEveryTime) {
    // Many in a row, far more than one second's worth of the old time form: all differ,
    // and none is the time form (18 characters and two zero bytes).
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        uint8_t out[kLoginChallengeSize];
        makeChallenge(out);
        seen.insert(bytes(out, kLoginChallengeSize));
        std::tm local{};
        uint8_t timeForm[kLoginChallengeSize];
        time_t now = time(nullptr);
        localtime_r(&now, &local);
        makeChallenge(timeForm, &local);
        EXPECT_NE(bytes(out, kLoginChallengeSize), bytes(timeForm, kLoginChallengeSize));
    }
    EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
