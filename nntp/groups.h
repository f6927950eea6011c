// The news door's groups: one for each area whose name makes a group name. A group's name
// is nntpGroupPrefix followed by the area's tag in lower case; a tag that makes no valid
// group name, or whose name another area already has, leaves its area out of the door,
// with a warning.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "areas/area_settings.h"

struct NewsGroup {
    std::string name;
    int32_t area = -1;  // the area's index in the area list
};

class NewsGroups {
public:
    // Makes the groups of the areas; `warn` receives each area left out and why.
    void build(const std::vector<mArea>& areas, const std::string& prefix,
               const std::function<void(const std::string& text)>& warn);

    const std::vector<NewsGroup>& all() const { return groups_; }
    // The group of that name (exactly, letter case counting); nullptr when none.
    const NewsGroup* find(std::string_view name) const;
    // The group of an area; nullptr when the area is not in the door.
    const NewsGroup* ofArea(int32_t area) const;

private:
    std::vector<NewsGroup> groups_;
    std::unordered_map<std::string, size_t> byName_;
    std::unordered_map<int32_t, size_t> byArea_;
};

// The group name of a tag: the prefix and the tag in lower case; empty when that is no
// valid group name (RFC 3977: printable ASCII without the wildmat and list characters,
// no empty component, at most 497 bytes).
std::string groupNameOf(const std::string& prefix, const std::string& tag);
