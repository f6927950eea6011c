#include "core/request_budget.h"

#include <algorithm>

void RequestBudget::remove(Holder* holder) {
    auto it = std::find(holders_.begin(), holders_.end(), holder);
    if (it != holders_.end()) holders_.erase(it);
}

bool RequestBudget::makeRoom(const Holder& asking, uint64_t bytes, uint64_t limit,
                             std::chrono::steady_clock::time_point now) {
    while (total_ + bytes > limit) {
        Holder* biggest = nullptr;
        uint64_t most = asking.heldRequestBytes() + bytes;
        for (Holder* h : holders_) {
            if (h == &asking) continue;
            uint64_t held = h->heldRequestBytes();
            if (held > most) {
                most = held;
                biggest = h;
            }
        }
        if (!biggest) return false;
        const uint64_t before = total_;
        biggest->dropForBudget(limit, now);
        if (total_ >= before) return false;  // nothing was given back: never loop
    }
    return true;
}
