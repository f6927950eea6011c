#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void reportError(int systemError, const char* format, ...) {
    fputs("error: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    if (systemError != 0) fprintf(stderr, ": %s (%d)", strerror(systemError), systemError);
    fputs("\n", stderr);
    fflush(stderr);
}

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
