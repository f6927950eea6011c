// A fixed moment for the messages tests post, so that their dates can be checked exactly.
#pragma once
#include <ctime>

#include "support/clock.h"

// 5 March 2026, 07:08:09 local time; 06:08:09 UTC (a zone one hour east of Greenwich).
inline WallTime testWallTime() {
    WallTime t;
    t.local.tm_year = 126;
    t.local.tm_mon = 2;
    t.local.tm_mday = 5;
    t.local.tm_hour = 7;
    t.local.tm_min = 8;
    t.local.tm_sec = 9;
    t.local.tm_gmtoff = 3600;
    t.utc = t.local;
    t.utc.tm_hour = 6;
    t.utc.tm_gmtoff = 0;
    return t;
}
