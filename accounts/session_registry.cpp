#include "accounts/session_registry.h"

#include <utility>

uint32_t SessionRegistry::sessionsOf(int32_t userIndex) const {
    auto it = sessions_.find(userIndex);
    return it == sessions_.end() ? 0 : it->second;
}

SessionRegistry::Claim::Claim(SessionRegistry& registry, int32_t userIndex)
    : registry_(&registry), userIndex_(userIndex) {
    ++registry.sessions_[userIndex];
}

SessionRegistry::Claim::Claim(Claim&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), userIndex_(other.userIndex_) {}

SessionRegistry::Claim& SessionRegistry::Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        reset();
        registry_ = std::exchange(other.registry_, nullptr);
        userIndex_ = other.userIndex_;
    }
    return *this;
}

void SessionRegistry::Claim::reset() {
    if (!registry_) return;
    auto it = registry_->sessions_.find(userIndex_);
    if (it != registry_->sessions_.end() && --it->second == 0) registry_->sessions_.erase(it);
    registry_ = nullptr;
}
