#include "fuzz/fuzzkit.h"

#include "fido/msgid.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string directoryImage(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    std::string image;
    for (const std::string& name : names) {
        std::string path = dir + "/" + name;
        struct stat st;
        image += name;
        image += '\0';
        if (lstat(path.c_str(), &st) != 0) {
            image += "gone";
        } else if (S_ISREG(st.st_mode)) {
            image += "file:" + readBytes(path);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            image += "link:" + std::string(target, n > 0 ? size_t(n) : 0);
        } else {
            image += "other:" + std::to_string(unsigned(st.st_mode & S_IFMT));
        }
        image += '\0';
    }
    return image;
}

void reportFinding(const char* what) {
    fprintf(stderr, "finding: %s\n", what);
    fflush(stderr);
    abort();
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

AreaResult postText(CEchoArea& area, NewMessage message, const std::string& text, time_t wall) {
    static MsgIdSerials serials;
    message.text = text;
    message.written = wallTimeAt(wall);
    message.msgIdSerial = serials.next(message.written.utc);
    uint32_t stored = 0;
    return area.newMessage(message, stored);
}
