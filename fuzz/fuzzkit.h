// Shared pieces of the fuzz targets: a scratch folder and a byte-stream reader that cuts
// the fuzzer's input into parts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "areas/echoarea.h"
#include "common/area_calls.h"

// A folder that lives for the whole fuzzing run.
const std::string& scratchDir();
void writeBytes(const std::string& path, const uint8_t* data, size_t n);
void removeTree(const std::string& path);
// Sends the program's standard output and error to /dev/null (the server's log lines).
void silenceOutput();
// A whole file; the empty text when it cannot be read.
std::string readBytes(const std::string& path);
// Every entry of a directory as one text (name, kind, a link's target, a regular file's
// content), to compare before and after an operation. Opens no FIFO or device.
std::string directoryImage(const std::string& dir);
// A finding: prints what went wrong and aborts, so that the fuzzer keeps the input.
[[noreturn]] void reportFinding(const char* what);
inline void require(bool ok, const char* what) {
    if (!ok) reportFinding(what);
}

class InputCutter {
public:
    InputCutter(const uint8_t* data, size_t size) : p(data), left(size) {}
    // A part whose length is taken from the next two bytes (bounded by what is left).
    std::string part();
    uint32_t u32();
    uint8_t byte();
    std::string rest();
    bool empty() const { return left == 0; }

private:
    const uint8_t* p;
    size_t left;
};

// A post of `message` with the text, dated `wall`, with the next MSGID serial of the run.
AreaResult postText(CEchoArea& area, NewMessage message, const std::string& text, time_t wall);
