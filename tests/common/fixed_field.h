// The bytes a fixed-size text field of a record holds for a text: the text cut to the
// field's size, zero bytes after it. Tests compare a whole field with it, so that bytes
// left behind the text are caught too.
#pragma once
#include <cstddef>
#include <string>

inline std::string padded(const std::string& s, size_t n) {
    std::string r = s.substr(0, n);
    r.resize(n, '\0');
    return r;
}
