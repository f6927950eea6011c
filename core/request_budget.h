// The request data all connections hold while their requests arrive, and the one bound on
// it: when a request would pass it, the connection holding the most gives its share back
// (it is closed), so that one client stalled short of the end of a large post cannot have
// the others' small ones refused.
#pragma once
#include <chrono>
#include <cstdint>
#include <vector>

class RequestBudget {
public:
    // A connection that holds request data.
    class Holder {
    public:
        virtual uint64_t heldRequestBytes() const = 0;
        // Closes the connection at `now`, which gives its share back, with a console line
        // saying why.
        virtual void dropForBudget(uint64_t limit, std::chrono::steady_clock::time_point now) = 0;

    protected:
        ~Holder() = default;
    };

    void add(Holder* holder) { holders_.push_back(holder); }
    void remove(Holder* holder);

    uint64_t total() const { return total_; }
    void take(uint64_t bytes) { total_ += bytes; }
    void giveBack(uint64_t bytes) { total_ -= bytes; }

    // Makes room for `bytes` more that `asking` would hold, under `limit`: while the total
    // would pass it, the holder with the most (the asking one's share counting what it asks
    // for) is dropped. False when that is the asking holder itself (also on a tie): it then
    // gets no room, and its caller closes it.
    [[nodiscard]] bool makeRoom(const Holder& asking, uint64_t bytes, uint64_t limit,
                                std::chrono::steady_clock::time_point now);

private:
    uint64_t total_ = 0;
    std::vector<Holder*> holders_;
};
