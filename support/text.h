// Small text routines shared by the configuration readers, the FidoNet address parser and
// the *.MSG file names: the classic tokenizer rule without hidden state, the C library's
// decimal reading, ASCII letter-case folding, and the search for line ends and kludge
// marks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Reentrant tokenizer with the classic rule: separators before the token are skipped, the
// token ends at the first separator (which is replaced by a zero and consumed). Returns
// nullptr when no token is left. `cursor` carries the position between calls.
char* nextToken(char*& cursor, const char* separators);

// Unsigned decimal with the C library's rules: leading white space and a sign, digits up
// to the first other character, 0 without digits. A value beyond 32 bits saturates and
// sets `overflow`; a minus sign negates in unsigned arithmetic.
uint32_t readDecimal(const char* text, bool& overflow);
// A text of decimal digits only (no sign, no blanks) as a 64-bit number; false for an
// empty text, any other character, or a value beyond 64 bits.
bool parseWholeNumber(std::string_view text, uint64_t& out);

// ASCII letters to lower case; every other byte unchanged.
inline char foldCase(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
// Letter-case-blind equality of two texts (ASCII letters only).
bool equalsNoCase(const char* a, const char* b);
inline bool equalsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && equalsNoCase(a.c_str(), b.c_str());
}
std::string toUpperAscii(std::string text);

// The first byte at or after `from` that is one of the few bytes of `set`, or npos; what
// find_first_of gives, without its library call for every byte of the text (line ends and
// kludge marks are searched in every message a list or an overview shows).
inline size_t findAnyOf(std::string_view text, std::string_view set, size_t from = 0) {
    for (size_t i = from; i < text.size(); ++i)
        for (char c : set)
            if (text[i] == c) return i;
    return std::string_view::npos;
}
