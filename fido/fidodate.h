// FidoNet dates: the 20-byte date text of stored messages and the packed date-time (DOS
// date in the low half, DOS time in the high half) that clients receive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

// "%d %b %y  %H:%M:%S" into a 20-byte field (19 characters and a zero), English month
// names whatever the locale.
constexpr size_t kFidoDateSize = 20;
void formatFidoDate(char* field, const std::tm& local);

// Packed date-time of a FidoNet date text; reads the 20-byte field at fixed positions
// without validating it.
uint32_t parseFidoDate(const char* field);

// Packed date-time of a broken-down time.
uint32_t makeStamp(const std::tm& t);

// The parts of a packed date-time; seconds are kept in steps of two, month 0 means the
// date text had no month name.
struct PackedDate {
    unsigned day, month, year, hour, minute, second;
};
PackedDate unpackDate(uint32_t packed);
