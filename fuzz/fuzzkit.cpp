#include "fuzz/fuzzkit.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

const std::string& scratchDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/quorva-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        return std::string(tmpl);
    }();
    return dir;
}

void writeBytes(const std::string& path, const uint8_t* data, size_t n) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (n) fwrite(data, 1, n, f);
    fclose(f);
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void silenceOutput() {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0) return;
    dup2(null, 1);
    dup2(null, 2);
    close(null);
}

std::string InputCutter::part() {
    if (left < 2) return rest();
    size_t n = size_t(p[0]) | (size_t(p[1]) << 8);
    p += 2;
    left -= 2;
    if (n > left) n = left;
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    left -= n;
    return s;
}

uint32_t InputCutter::u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(byte()) << (8 * i);
    return v;
}

uint8_t InputCutter::byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
}

std::string InputCutter::rest() {
    std::string s(reinterpret_cast<const char*>(p), left);
    p += left;
    left = 0;
    return s;
}
