#include "core/area_numbers.h"

AreaNumbers::AreaNumbers(const std::vector<mArea>& list) : list_(list) { tags_.push_back(tagsOf(list)); }

std::vector<std::string> AreaNumbers::tagsOf(const std::vector<mArea>& list) {
    std::vector<std::string> tags;
    tags.reserve(list.size());
    for (const mArea& a : list) tags.push_back(a.name);
    return tags;
}

void AreaNumbers::listChanged() {
    std::vector<std::string> tags = tagsOf(list_);
    if (tags != tags_.back()) tags_.push_back(std::move(tags));
}

int32_t AreaNumbers::current(uint32_t generation, int32_t number) const {
    if (generation >= tags_.size()) return kNoArea;
    const std::vector<std::string>& then = tags_[generation];
    if (number < 0 || size_t(number) >= then.size()) return kNoArea;
    if (generation == this->generation()) return number;
    const std::string& tag = then[size_t(number)];
    for (size_t i = 0; i < list_.size(); ++i)
        if (list_[i].name == tag) return int32_t(i);
    return kRemoved;
}
