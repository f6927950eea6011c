#include "nntp/wildmat.h"

#include <vector>

namespace {

// One glob against the whole text, iteratively: a '*' remembers where to try again.
bool globMatches(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    auto classMatches = [&](size_t& at, char c) {
        // A set from at (just after '['); at ends after its ']'. False when unclosed.
        size_t i = at;
        bool negated = i < pattern.size() && pattern[i] == '^';
        if (negated) ++i;
        bool found = false;
        bool first = true;
        while (i < pattern.size() && (pattern[i] != ']' || first)) {
            first = false;
            char lo = pattern[i];
            char hi = lo;
            if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
                hi = pattern[i + 2];
                i += 3;
            } else {
                ++i;
            }
            if (static_cast<unsigned char>(c) >= static_cast<unsigned char>(lo) &&
                static_cast<unsigned char>(c) <= static_cast<unsigned char>(hi))
                found = true;
        }
        if (i >= pattern.size()) return false;  // no closing ']'
        at = i + 1;
        return found != negated;
    };
    while (t < text.size()) {
        bool step = false;
        if (p < pattern.size()) {
            char c = pattern[p];
            if (c == '*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (c == '?') {
                ++p;
                ++t;
                continue;
            }
            if (c == '[') {
                size_t at = p + 1;
                if (classMatches(at, text[t])) {
                    p = at;
                    ++t;
                    continue;
                }
            } else {
                if (c == '\\' && p + 1 < pattern.size()) c = pattern[p + 1];
                if (c == text[t]) {
                    p += pattern[p] == '\\' && p + 1 < pattern.size() ? 2 : 1;
                    ++t;
                    step = true;
                }
            }
        }
        if (step) continue;
        if (starP == std::string_view::npos) return false;
        p = starP;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool wildmatMatches(std::string_view wildmat, std::string_view text) {
    bool matched = false;
    size_t start = 0;
    while (start <= wildmat.size()) {
        size_t comma = wildmat.find(',', start);
        if (comma == std::string_view::npos) comma = wildmat.size();
        std::string_view pattern = wildmat.substr(start, comma - start);
        bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated) pattern.remove_prefix(1);
        if (globMatches(pattern, text)) matched = !negated;
        start = comma + 1;
    }
    return matched;
}
