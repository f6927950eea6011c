#include "support/clock.h"

#include <cstdio>
#include <cstring>

const char* const kEnglishMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool localNow(std::tm& out) {
    time_t now = time(nullptr);
    if (now == time_t(-1)) return false;
    return localtime_r(&now, &out) != nullptr;
}

bool utcNow(std::tm& out) {
    time_t now = time(nullptr);
    if (now == time_t(-1)) return false;
    return gmtime_r(&now, &out) != nullptr;
}

bool wallTimeNow(WallTime& out) {
    time_t now = time(nullptr);
    if (now == time_t(-1)) return false;
    return localtime_r(&now, &out.local) != nullptr && gmtime_r(&now, &out.utc) != nullptr;
}

WallTime wallTimeAt(time_t when) {
    WallTime t;
    localtime_r(&when, &t.local);
    gmtime_r(&when, &t.utc);
    return t;
}

size_t formatTime(char* out, size_t max, const char* format, const std::tm& t) {
    if (max == 0) return 0;
    size_t n = 0;
    auto put = [&](const char* s, size_t len) {
        if (n + len >= max) return false;
        memcpy(out + n, s, len);
        n += len;
        return true;
    };
    auto two = [&](int v) {
        char b[16];
        int len = snprintf(b, sizeof b, "%02d", v);
        return put(b, size_t(len));
    };
    for (const char* p = format; *p; ++p) {
        bool ok = true;
        if (*p != '%' || p[1] == 0) {
            ok = put(p, 1);
        } else {
            switch (*++p) {
            case 'd': ok = two(t.tm_mday); break;
            case 'H': ok = two(t.tm_hour); break;
            case 'M': ok = two(t.tm_min); break;
            case 'S': ok = two(t.tm_sec); break;
            case 'y': ok = two(((t.tm_year % 100) + 100) % 100); break;
            case 'b': {
                const char* m = (t.tm_mon >= 0 && t.tm_mon < 12) ? kEnglishMonths[t.tm_mon] : "???";
                ok = put(m, 3);
                break;
            }
            case '%': ok = put("%", 1); break;
            default: ok = put(p - 1, 2); break;
            }
        }
        if (!ok) {
            out[0] = 0;
            return 0;
        }
    }
    out[n] = 0;
    return n;
}
