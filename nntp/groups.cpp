#include "nntp/groups.h"

#include <cstring>

std::string groupNameOf(const std::string& prefix, const std::string& tag) {
    std::string name = prefix;
    for (char c : tag) name += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    if (name.empty() || name.size() > 497 || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string::npos)
        return "";
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7F || strchr("*,?[\\]!:", c)) return "";
    return name;
}

void NewsGroups::build(const std::vector<mArea>& areas, const std::string& prefix,
                       const std::function<void(const std::string& text)>& warn) {
    groups_.clear();
    byName_.clear();
    byArea_.clear();
    for (size_t i = 0; i < areas.size(); ++i) {
        const std::string& tag = areas[i].name;
        std::string name = groupNameOf(prefix, tag);
        if (name.empty()) {
            warn("area " + tag + ": \"" + prefix + tag + "\" makes no group name; left out of the news door");
            continue;
        }
        auto [at, added] = byName_.emplace(name, groups_.size());
        if (!added) {
            warn("area " + tag + ": its group name " + name + " is area " + areas[size_t(groups_[at->second].area)].name +
                 "'s already; left out of the news door");
            continue;
        }
        byArea_.emplace(int32_t(i), groups_.size());
        groups_.push_back({name, int32_t(i)});
    }
}

const NewsGroup* NewsGroups::find(std::string_view name) const {
    auto it = byName_.find(std::string(name));
    return it == byName_.end() ? nullptr : &groups_[it->second];
}

const NewsGroup* NewsGroups::ofArea(int32_t area) const {
    auto it = byArea_.find(area);
    return it == byArea_.end() ? nullptr : &groups_[it->second];
}
