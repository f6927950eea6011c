#include "support/text.h"

#include <cstring>

char* nextToken(char*& cursor, const char* separators) {
    if (!cursor) return nullptr;
    char* p = cursor + strspn(cursor, separators);
    if (*p == 0) {
        cursor = p;
        return nullptr;
    }
    char* end = p + strcspn(p, separators);
    if (*end) {
        *end = 0;
        cursor = end + 1;
    } else {
        cursor = end;
    }
    return p;
}

uint32_t readDecimal(const char* s, bool& overflow) {
    overflow = false;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    uint64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (!overflow) {
            v = v * 10 + uint64_t(*s - '0');
            if (v > 0xFFFFFFFFull) overflow = true;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    uint32_t r = uint32_t(v);
    return negative ? uint32_t(0u - r) : r;
}

bool parseWholeNumber(std::string_view text, uint64_t& out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = uint64_t(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

bool equalsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (foldCase(*a) != foldCase(*b)) return false;
        if (*a == 0) return true;
    }
}

std::string toUpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}
