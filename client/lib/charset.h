// The terminal's side of character sets: the charset the terminal shows, output for it,
// and what a message must not do to it. The charsets of message text and the conversions
// themselves are FidoNet's (fido/charset.h); the terminal's charset is only the last step.
#pragma once
#include <string>
#include <string_view>

#include "fido/charset.h"

namespace qclient {

// The terminal's charset: the codeset of the LC_CTYPE locale of the environment
// (setlocale must have run), for example "UTF-8" or "ANSI_X3.4-1968".
std::string localeCodeset();
bool isUtf8Codeset(std::string_view codeset);

// UTF-8 for output on a terminal whose charset is `codeset`: a character the charset
// lacks becomes '?'.
std::string encodeForTerminal(std::string_view utf8, const std::string& codeset);

// Control characters (C0 but tab, DEL, C1) would move the cursor or recolour the
// terminal, and the bidi controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069) would let a text reorder what the terminal shows around it: they all
// become '?'. The text is UTF-8.
std::string displaySafe(std::string_view utf8);

}  // namespace qclient
