// Wildmat patterns of the news protocol (RFC 3977, section 4): a list of patterns separated
// by commas, each a glob of '*' (any run of characters), '?' (one character), '[...]' sets
// and '\' escapes, optionally negated by a leading '!'. The last pattern that matches
// decides: a match of a negated one rejects. Matching is by bytes, letter case counting.
#pragma once
#include <string_view>

bool wildmatMatches(std::string_view wildmat, std::string_view text);
