#include "common/msg_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace msgfixture {

namespace {

void putField(std::string& out, size_t offset, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i) out[offset + i] = i < text.size() ? text[i] : '\0';
}

void putWord(std::string& out, size_t offset, uint16_t v) {
    out[offset] = char(v & 0xFF);
    out[offset + 1] = char(v >> 8);
}

uint16_t getWord(const std::string& in, size_t offset) {
    return uint16_t(uint8_t(in[offset]) | (uint8_t(in[offset + 1]) << 8));
}

}  // namespace

std::string encodeMsgFile(const MsgFile& m) {
    std::string out(kHeaderSize, '\0');
    putField(out, 0, m.fromName, 36);
    putField(out, 36, m.toName, 36);
    putField(out, 72, m.subject, 72);
    putField(out, 144, m.dateTime, 20);
    putWord(out, 164, m.timesRead);
    putWord(out, 166, m.dest.node);
    putWord(out, 168, m.orig.node);
    putWord(out, 170, m.cost);
    putWord(out, 172, m.orig.net);
    putWord(out, 174, m.dest.net);
    putWord(out, 176, m.dest.zone);
    putWord(out, 178, m.orig.zone);
    putWord(out, 180, m.dest.point);
    putWord(out, 182, m.orig.point);
    putWord(out, 184, m.replyTo);
    putWord(out, 186, m.attribute);
    putWord(out, 188, m.nextReply);
    for (const std::string& k : m.kludges) out += "\x01" + k + "\r";
    out += m.body;
    if (m.terminatingZero) out.push_back('\0');
    return out;
}

bool writeRawFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(f);
}

bool writeMsgFile(const std::string& dir, const std::string& name, const MsgFile& m) {
    return writeRawFile(dir + "/" + name, encodeMsgFile(m));
}

bool writeMsgFile(const std::string& dir, uint32_t number, const MsgFile& m) {
    return writeMsgFile(dir, std::to_string(number) + ".msg", m);
}

bool writeLastread(const std::string& dir, uint16_t number, const std::string& name) {
    std::string bytes;
    bytes.push_back(char(number & 0xFF));
    bytes.push_back(char(number >> 8));
    return writeRawFile(dir + "/" + name, bytes);
}

bool readFile(const std::string& path, std::string& bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

bool readMsgFile(const std::string& path, StoredMsg& out) {
    std::string b;
    if (!readFile(path, b) || b.size() < kHeaderSize) return false;
    out.fromField = b.substr(0, 36);
    out.toField = b.substr(36, 36);
    out.subjectField = b.substr(72, 72);
    out.dateField = b.substr(144, 20);
    out.timesRead = getWord(b, 164);
    out.destNode = getWord(b, 166);
    out.origNode = getWord(b, 168);
    out.cost = getWord(b, 170);
    out.origNet = getWord(b, 172);
    out.destNet = getWord(b, 174);
    out.destZone = getWord(b, 176);
    out.origZone = getWord(b, 178);
    out.destPoint = getWord(b, 180);
    out.origPoint = getWord(b, 182);
    out.replyTo = getWord(b, 184);
    out.attribute = getWord(b, 186);
    out.nextReply = getWord(b, 188);
    out.text = b.substr(kHeaderSize);
    return true;
}

std::string fieldText(const std::string& field) { return field.substr(0, std::min(field.find('\0'), field.size())); }

std::vector<std::string> splitSentLines(const char* data, size_t size) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 13 && i + 1 < size && data[i + 1] == 0) {
            lines.push_back(current);
            current.clear();
            ++i;
        } else {
            current.push_back(data[i]);
        }
    }
    if (!current.empty()) lines.push_back(current + "<unterminated>");
    return lines;
}

std::vector<std::string> listNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace msgfixture
