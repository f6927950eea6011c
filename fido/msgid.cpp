#include "fido/msgid.h"

uint32_t MsgIdSerials::next(const std::tm& utc) {
    std::tm copy = utc;
    const int64_t now = int64_t(timegm(&copy));
    int64_t second = now;
    if (started_ && second <= second_) {
        // The same second again, or a clock that went back: stay on the last stamped
        // second while it has counter values left, then take the next one.
        second = second_;
        if (used_ >= kMsgIdSerialsPerSecond) second = second_ + 1;
    }
    if (!started_ || second != second_) {
        started_ = true;
        second_ = second;
        used_ = 0;
    }
    ++used_;
    ++counter_;

    // The caller's broken-down time as it is (a leap second keeps its 60) unless the
    // serial carries another second.
    std::tm t = utc;
    if (second != now) {
        time_t carried = time_t(second);
        gmtime_r(&carried, &t);
    }
    return ((counter_ & 0xFu) << 28) | ((uint32_t(t.tm_sec) & 0x3Fu) << 22) | ((uint32_t(t.tm_min) & 0x3Fu) << 16) |
           ((uint32_t(t.tm_hour) & 0x1Fu) << 11) | ((uint32_t(t.tm_mday) & 0x1Fu) << 6) |
           ((uint32_t(t.tm_mon) & 0xFu) << 2) | (uint32_t(t.tm_year) & 0x3u);
}
