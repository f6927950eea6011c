#include <gtest/gtest.h>

#include "nntp/wildmat.h"

namespace {

TEST(Wildmat, TheLastMatchingPatternDecides) {
    struct Case {
        const char* wildmat;
        const char* text;
        bool matches;
    } cases[] = {
        {"*", "fido.ru.tolkien", true},
        {"fido.*", "fido.ru.tolkien", true},
        {"fido.*", "alt.fido", false},
        {"fido.r?.*", "fido.ru.tolkien", true},
        {"fido.r?.*", "fido.rus.tolkien", false},
        {"fido.*,!fido.ru.*", "fido.ru.tolkien", false},
        {"fido.*,!fido.ru.*", "fido.su.general", true},
        {"!fido.ru.*,fido.*", "fido.ru.tolkien", true},  // the later pattern wins
        {"!*", "anything", false},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxbyy", false},
        {"", "", true},
        {"", "x", false},
        {"x,", "", true},  // an empty pattern matches the empty text only
        {"fido.[rs]u.*", "fido.su.x", true},
        {"fido.[^rs]u.*", "fido.su.x", false},
        {"a\\*", "a*", true},
        {"a\\*", "ab", false},
        {"a[", "a[", false},  // an unclosed set matches nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.wildmat) + " / " + c.text);
        EXPECT_EQ(wildmatMatches(c.wildmat, c.text), c.matches);
    }
}

// Stars cost no backtracking explosion.
TEST(Wildmat, ManyStarsStayLinear) {
    const std::string text(5000, 'a');
    EXPECT_FALSE(wildmatMatches("*a*a*a*a*a*a*a*a*a*a*b", text));
}

}  // namespace
