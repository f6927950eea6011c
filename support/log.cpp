#include "support/log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool timestamps = false;
const char* currentPeer = nullptr;
int logFile = -1;        // the file that gets every line too, or -1
bool logFileFailed = false;  // a write to it failed, and that was said

// TIME followed by a space.
std::string timePrefix() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t seconds = tv.tv_sec;
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return "";
    char text[kLogTimeSize];
    formatLogTime(local, int(tv.tv_usec / 1000), local.tm_gmtoff, text, sizeof text);
    return std::string(text) + ' ';
}

// PEER followed by a space, when a session is being served. The time comes in emit.
std::string linePrefix() {
    std::string prefix;
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

// The line on its stream, and in the log file, which always has the time stamp.
void emit(FILE* stream, const std::string& line) {
    const std::string time = timestamps || logFile >= 0 ? timePrefix() : std::string();
    const std::string stamped = time + line;
    const std::string& shown = timestamps ? stamped : line;
    fwrite(shown.data(), 1, shown.size(), stream);
    fflush(stream);
    if (logFile < 0) return;
    ssize_t k;
    do k = write(logFile, stamped.data(), stamped.size());
    while (k < 0 && errno == EINTR);
    if (k == ssize_t(stamped.size())) {
        logFileFailed = false;
    } else if (!logFileFailed) {
        logFileFailed = true;  // said once, on the console only, until a write succeeds again
        std::string note = (timestamps ? time : std::string()) + "error: the log file cannot be written: " +
                           strerror(k < 0 ? errno : ENOSPC) + "\n";
        fwrite(note.data(), 1, note.size(), stderr);
        fflush(stderr);
    }
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

bool setLogFile(const char* path) {
    int fd = -1;
    if (path && *path) {
        do fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;
    }
    if (logFile >= 0) close(logFile);
    logFile = fd;
    logFileFailed = false;
    return true;
}

bool logTimestamps() { return timestamps; }

void formatLogTime(const std::tm& local, int milliseconds, long utcOffsetSeconds, char* out, size_t size) {
    char sign = utcOffsetSeconds < 0 ? '-' : '+';
    long offset = labs(utcOffsetSeconds) / 60;
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds, sign, offset / 60, offset % 60);
}

LogPeer::LogPeer(const char* peerText) : previous_(currentPeer) { currentPeer = peerText; }

LogPeer::~LogPeer() { currentPeer = previous_; }
