#include "accounts/login.h"

#include <algorithm>
#include <cstring>

#include "support/clock.h"
#include "support/md5.h"
#include "support/random.h"

static_assert(kLoginChallengeSize == kChallengeLength);

namespace {

const char kFallbackChallenge[] = "tqa4hzw9ekr2nvbx7sL=";

}  // namespace

void makeChallenge(uint8_t out[kLoginChallengeSize], const std::tm* local) {
    if (!local) {
        memcpy(out, kFallbackChallenge, kLoginChallengeSize);
        return;
    }
    char text[kLoginChallengeSize];
    memset(text, 0, sizeof text);
    formatTime(text, sizeof text, "%d %b %y %H:%M:%S", *local);
    memcpy(out, text, kLoginChallengeSize);
}

void makeChallenge(uint8_t out[kLoginChallengeSize]) {
    // The time form only when the random source fails.
    if (fillRandom(out, kLoginChallengeSize)) return;
    std::tm local{};
    makeChallenge(out, localNow(local) ? &local : nullptr);
}

void expectedAnswer(const rClientInfo& user, const uint8_t challenge[kLoginChallengeSize],
                    uint8_t out[kLoginAnswerSize]) {
    hmacMd5(reinterpret_cast<const uint8_t*>(user.password), challenge, out);
}

bool answersMatch(const uint8_t a[kLoginAnswerSize], const uint8_t b[kLoginAnswerSize]) {
    uint8_t diff = 0;
    for (size_t i = 0; i < kLoginAnswerSize; ++i) diff = uint8_t(diff | (a[i] ^ b[i]));
    return diff == 0;
}

bool passwordMatches(const rClientInfo& user, std::string_view password) {
    char key[sizeof user.password] = {};
    memcpy(key, password.data(), std::min(password.size(), sizeof key));
    unsigned char differ = 0;
    for (size_t i = 0; i < sizeof key; ++i) differ |= static_cast<unsigned char>(key[i] ^ user.password[i]);
    return differ == 0;
}
