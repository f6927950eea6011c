#include "fido/fidodate.h"

#include <cstring>

#include "support/clock.h"

void formatFidoDate(char* field, const std::tm& local) {
    memset(field, 0, kFidoDateSize);
    formatTime(field, kFidoDateSize, "%d %b %y  %H:%M:%S", local);
}

namespace {

int twoDigits(const char* p) { return 10 * (p[0] - '0') + (p[1] - '0'); }

}  // namespace

uint32_t parseFidoDate(const char* t) {
    // Each field is reduced to its width in two's complement, so a blank in the tens
    // place of the day or the hours counts as 0.
    uint32_t day = uint32_t(twoDigits(t)) & 0x1Fu;
    uint32_t month = 0;
    for (int i = 0; i < 12; ++i)
        if (memcmp(t + 3, kEnglishMonths[i], 3) == 0 && t[6] == ' ') {
            month = uint32_t(i + 1);
            break;
        }
    uint32_t y = uint32_t(twoDigits(t + 7)) & 0x7Fu;
    uint32_t year = (y >= 80 ? y - 80 : y + 20) & 0x7Fu;
    uint32_t hours = uint32_t(twoDigits(t + 11)) & 0x1Fu;
    uint32_t minutes = uint32_t(twoDigits(t + 14)) & 0x3Fu;
    uint32_t seconds = uint32_t(twoDigits(t + 17) / 2) & 0x1Fu;
    return day | (month << 5) | (year << 9) | (seconds << 16) | (minutes << 21) | (hours << 27);
}

uint32_t makeStamp(const std::tm& t) {
    uint32_t date = (uint32_t(t.tm_mday) & 0x1Fu) | ((uint32_t(t.tm_mon + 1) & 0xFu) << 5) |
                    ((uint32_t(t.tm_year + 48) & 0x7Fu) << 9);
    uint32_t time = ((uint32_t(t.tm_sec) / 2) & 0x1Fu) | ((uint32_t(t.tm_min) & 0x3Fu) << 5) |
                    ((uint32_t(t.tm_hour) & 0x1Fu) << 11);
    return date | (time << 16);
}

PackedDate unpackDate(uint32_t v) {
    PackedDate d;
    d.day = v & 31;
    d.month = (v >> 5) & 15;
    d.year = 1980 + ((v >> 9) & 127);
    d.second = ((v >> 16) & 31) * 2;
    d.minute = (v >> 21) & 63;
    d.hour = (v >> 27) & 31;
    return d;
}
