// quorva-client's side of the terminal: text is built in UTF-8 and leaves in the locale's
// charset, lines are laid out in columns, and the password is asked for with echo off.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace qclient::cli {

// Takes the terminal's charset from the locale of the environment (LC_CTYPE); until then
// it is ASCII.
void useLocaleCharset();
// The terminal's charset as iconv names it ("UTF-8", "ANSI_X3.4-1968").
const std::string& terminalCodeset();

// Prints a line built in UTF-8, in the terminal's charset.
void say(const std::string& utf8);

// Pads or cuts a UTF-8 text to exactly `width` characters; a cut text ends with '~'.
std::string column(const std::string& utf8, size_t width);
std::string rightAligned(const std::string& s, size_t width);

// All that is left to read of a stream.
std::string readAll(FILE* in);

// Text of the locale (the terminal, standard input, the editor) as UTF-8; `what` names it
// in the refusal.
std::string localeToUtf8(const std::string& bytes, const std::string& what, bool multiLine);

// Asks on the controlling terminal, with its echo off; fails when there is none.
std::string askPassword(const std::string& prompt);

}  // namespace qclient::cli
