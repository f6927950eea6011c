// Serial numbers of the MSGID kludges this server writes.
#pragma once
#include <cstdint>
#include <ctime>

constexpr uint32_t kMsgIdSerialsPerSecond = 16;

// A serial packs a time to the second (UTC) with the low four bits of a counter, so one
// second holds at most 16 distinct serials. Tossers drop a message whose MSGID they have
// seen before, so a serial must never repeat within a run: once the 16 counter values of a
// second are used, the next serial carries the following second, and a clock that goes
// back never takes the serials back with it. The stamped (second, counter) pair therefore
// only moves forward. The server owns one generator for the whole run.
class MsgIdSerials {
public:
    // A run's serials, the counter starting at `counter` (incremented before each use).
    explicit MsgIdSerials(uint32_t counter = 0) : counter_(counter) {}

    // The next serial for a message written at the given UTC time.
    uint32_t next(const std::tm& utc);

    uint32_t counter() const { return counter_; }
    // The second the last serial carried (seconds since 1970, UTC) and how many serials
    // have carried it.
    int64_t stampedSecond() const { return second_; }
    uint32_t usedInSecond() const { return used_; }

private:
    uint32_t counter_;
    bool started_ = false;
    int64_t second_ = 0;
    uint32_t used_ = 0;
};
