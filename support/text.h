// Small text routines shared by the configuration readers, the FidoNet address parser and
// the *.MSG file names: the classic tokenizer rule without hidden state, the C library's
// decimal reading, and ASCII letter-case folding.
#pragma once
#include <cstdint>
#include <string>

// Reentrant tokenizer with the classic rule: separators before the token are skipped, the
// token ends at the first separator (which is replaced by a zero and consumed). Returns
// nullptr when no token is left. `cursor` carries the position between calls.
char* nextToken(char*& cursor, const char* separators);

// Unsigned decimal with the C library's rules: leading white space and a sign, digits up
// to the first other character, 0 without digits. A value beyond 32 bits saturates and
// sets `overflow`; a minus sign negates in unsigned arithmetic.
uint32_t readDecimal(const char* text, bool& overflow);

// ASCII letters to lower case; every other byte unchanged.
inline char foldCase(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
// Letter-case-blind equality of two texts (ASCII letters only).
bool equalsNoCase(const char* a, const char* b);
inline bool equalsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && equalsNoCase(a.c_str(), b.c_str());
}
std::string toUpperAscii(std::string text);
