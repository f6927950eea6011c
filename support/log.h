// Console output: progress lines on standard output, warning and error lines on standard
// error. The caller decides what an error means; nothing here ends the process.
//
// Every line keeps its text as it always was; what is added goes before it:
//
//   [TIME ][PEER ]TEXT
//
// TIME, with setLogTimestamps(true): the local time in ISO 8601 with milliseconds and the
// offset from UTC, "2026-03-05T07:08:09.123+01:00". PEER, while a LogPeer lives (a session
// is being served): the peer's address and port, "127.0.0.1:40312" or "[::1]:40312". For
// example
//
//   2026-03-05T07:08:09.123+01:00 client: 127.0.0.1:40312
//   2026-03-05T07:08:09.130+01:00 127.0.0.1:40312 user: Demo Sysop, addr: 2:5020/1234.0
//   2026-03-05T07:08:10.002+01:00 127.0.0.1:40312 error: area NETMAIL: fail to read message #7: user ...
//
// A text that itself ends in "\n" is followed by an empty line, as ever; only the line with
// the text gets the additions. Each call reaches its stream in one write, flushed at once,
// so that lines of both streams keep their order when they go to one file.
#pragma once
#include <cstddef>
#include <ctime>

// "error: " + message [+ ": <system text> (<code>)"] + "\n" on standard error. systemError
// 0 means none.
void reportError(int systemError, const char* format, ...) __attribute__((format(printf, 2, 3)));

// "warning: " + message + "\n" on standard error: something the sysop should look at that
// does not stop anything.
void reportWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A progress line on standard output, formatted as given (the format carries its "\n").
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Time stamps before every line from now on (off at start).
void setLogTimestamps(bool on);
bool logTimestamps();

// Every line goes to this file too, appended, always with its time stamp: the file is
// opened (created with mode 0640 if need be) and the one in use before is closed, so that
// calling it again with the same path after the file was rotated starts a new file. An
// empty path ends the writing to a file. False, with errno set, when the file cannot be
// opened: the file in use before stays in use. A failed write is said once on the console.
bool setLogFile(const char* path);

// The time stamp of a moment: local broken-down time, milliseconds, and the offset of that
// local time from UTC in seconds (east positive). "2026-03-05T07:08:09.123+01:00".
constexpr size_t kLogTimeSize = 32;
void formatLogTime(const std::tm& local, int milliseconds, long utcOffsetSeconds, char* out, size_t size);

// The peer of the session being served: while the object lives, every line begins with
// this text, which must outlive the object (it is not copied: a scope costs nothing on the
// loop's every step). Scopes nest; the innermost counts; an empty text adds nothing.
class LogPeer {
public:
    explicit LogPeer(const char* peerText);
    ~LogPeer();
    LogPeer(const LogPeer&) = delete;
    LogPeer& operator=(const LogPeer&) = delete;

private:
    const char* previous_;
};
