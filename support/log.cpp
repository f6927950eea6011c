#include "support/log.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool timestamps = false;
const char* currentPeer = nullptr;

// TIME and PEER, each followed by a space, as far as they are on.
std::string linePrefix() {
    std::string prefix;
    if (timestamps) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        time_t seconds = tv.tv_sec;
        std::tm local{};
        if (localtime_r(&seconds, &local)) {
            char text[kLogTimeSize];
            formatLogTime(local, int(tv.tv_usec / 1000), local.tm_gmtoff, text, sizeof text);
            prefix += text;
            prefix += ' ';
        }
    }
    if (currentPeer && *currentPeer) {
        prefix += currentPeer;
        prefix += ' ';
    }
    return prefix;
}

void appendFormatted(std::string& out, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        out.append(small, size_t(n));
    } else {
        std::string big(size_t(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), format, again);
        out.append(big.data(), size_t(n));
    }
    va_end(again);
}

void emit(FILE* stream, const std::string& line) {
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
}

}  // namespace

void reportError(int systemError, const char* format, ...) {
    // The system's text first: the formatting below may change errno.
    std::string system;
    if (systemError != 0) {
        char code[16];
        snprintf(code, sizeof code, "%d", systemError);
        system = std::string(": ") + strerror(systemError) + " (" + code + ")";
    }
    std::string line = linePrefix() + "error: ";
    va_list args;
    va_start(args, format);
    appendFormatted(line, format, args);
    va_end(args);
    line += system;
    line += '\n';
    emit(stderr, line);
}

void reportWarning(const char* format, ...) {
    std::string line = linePrefix() + "warning: ";
    va_list args;
    va_start(args, format);
    appendFormatted(line, format, args);
    va_end(args);
    line += '\n';
    emit(stderr, line);
}

void logLine(const char* format, ...) {
    std::string line = linePrefix();
    va_list args;
    va_start(args, format);
    appendFormatted(line, format, args);
    va_end(args);
    emit(stdout, line);
}

void setLogTimestamps(bool on) { timestamps = on; }

bool logTimestamps() { return timestamps; }

void formatLogTime(const std::tm& local, int milliseconds, long utcOffsetSeconds, char* out, size_t size) {
    char sign = utcOffsetSeconds < 0 ? '-' : '+';
    long offset = labs(utcOffsetSeconds) / 60;
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds, sign, offset / 60, offset % 60);
}

LogPeer::LogPeer(const char* peerText) : previous_(currentPeer) { currentPeer = peerText; }

LogPeer::~LogPeer() { currentPeer = previous_; }
