// Clock and time formatting. Month names are always the English ones, whatever the
// locale of the machine.
#pragma once
#include <cstddef>
#include <ctime>

// The current calendar time broken down; false when it cannot be obtained.
bool localNow(std::tm& out);
bool utcNow(std::tm& out);

// One moment broken down as local time and as UTC: new messages take their date text from
// the one and their MSGID serial from the other.
struct WallTime {
    std::tm local{};
    std::tm utc{};
};
bool wallTimeNow(WallTime& out);
WallTime wallTimeAt(time_t when);

extern const char* const kEnglishMonths[12];

// strftime for the few conversions this system uses (%d %b %y %H %M %S and literal text),
// independent of the locale. Writes at most max - 1 characters and a terminating zero;
// returns the length, or 0 when the result did not fit (as strftime does).
size_t formatTime(char* out, size_t max, const char* format, const std::tm& t);
