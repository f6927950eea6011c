// Area numbers are positions in the area list, and a reload of the settings may change the
// list. Each list a reload brings is a generation; a session keeps the generation whose
// numbers it was given (the list it last asked for), and its numbers are carried over to
// the list in force by tag, so that a request never reaches another area than the one the
// client meant.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "areas/area_settings.h"

class AreaNumbers {
public:
    // The number of no area: out of range in the session's list.
    static constexpr int32_t kNoArea = -1;
    // The area of that number is no longer configured.
    static constexpr int32_t kRemoved = -2;

    explicit AreaNumbers(const std::vector<mArea>& list);

    uint32_t generation() const { return uint32_t(tags_.size() - 1); }
    // After the list changed: a new generation, unless its tags are those of the last one,
    // in the same order.
    void listChanged();
    // The position in the list in force of the area that was `number` in `generation`;
    // kNoArea or kRemoved.
    int32_t current(uint32_t generation, int32_t number) const;

private:
    static std::vector<std::string> tagsOf(const std::vector<mArea>& list);

    const std::vector<mArea>& list_;
    std::vector<std::vector<std::string>> tags_;  // by generation
};
