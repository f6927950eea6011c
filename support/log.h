// Console output: progress lines on standard output, error lines on standard error. The
// caller decides what an error means; nothing here ends the process.
#pragma once

// "error: " + message [+ ": <system text> (<code>)"] + "\n" on standard error. A message
// that itself ends in "\n" is therefore followed by an empty line. systemError 0 means
// none.
void reportError(int systemError, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A progress line on standard output, formatted as given (the format carries its "\n").
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
