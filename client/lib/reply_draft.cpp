#include "client/lib/reply_draft.h"

#include <cstdint>

namespace qclient {

namespace {

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first character of a word, with its UTF-8 continuation bytes.
std::string firstCharacter(std::string_view word) {
    size_t n = 1;
    while (n < word.size() && isContinuation(word[n])) ++n;
    return std::string(word.substr(0, n));
}

std::vector<std::string_view> wordsOf(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The value of a kludge line ^A NAME, where NAME is followed by ':' or a blank (INTL and
// FMPT have no colon); the blank after the separator is not part of the value.
bool kludgeLineValue(const std::string& line, std::string_view name, std::string_view& value) {
    std::string_view v(line);
    if (v.size() < name.size() + 2 || v[0] != '\x01' || v.substr(1, name.size()) != name) return false;
    v.remove_prefix(1 + name.size());
    if (v[0] != ':' && v[0] != ' ') return false;
    v.remove_prefix(1);
    if (!v.empty() && v[0] == ' ') v.remove_prefix(1);
    value = v;
    return true;
}

// Decimal digits only, at most 65535.
bool parseNumber(std::string_view text, uint16_t& number) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v > 0xFFFF) return false;
    number = uint16_t(v);
    return true;
}

}  // namespace

std::string quoteInitials(std::string_view name) {
    std::vector<std::string_view> words = wordsOf(name);
    if (words.empty()) return {};
    std::string initials = firstCharacter(words.front());
    if (words.size() > 1) initials += firstCharacter(words.back());
    return initials;
}

bool isQuotedLine(std::string_view line) {
    size_t i = 0;
    while (i < 3 && i < line.size() && line[i] == ' ') ++i;
    size_t letters = 0;
    while (i < line.size() && line[i] != '>') {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80;
        if (!letter) return false;
        if (!isContinuation(char(c)) && ++letters > 5) return false;
        ++i;
    }
    return i < line.size();
}

bool isControlLine(std::string_view line) {
    return startsWith(line, "\x01") || line == "---" || startsWith(line, "--- ") || startsWith(line, " * Origin:") ||
           startsWith(line, "SEEN-BY:");
}

std::vector<std::string> quoteLines(const std::vector<std::string>& lines, std::string_view fromName) {
    std::string prefix = " ";
    prefix += quoteInitials(fromName);
    prefix += "> ";
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        if (isControlLine(line)) continue;
        std::string_view text(line);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
        if (text.empty()) {
            if (!out.empty()) out.emplace_back();
        } else {
            out.push_back(isQuotedLine(text) ? std::string(text) : prefix + std::string(text));
        }
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

std::string replySubject(std::string_view subject) {
    std::string_view s = subject;
    while (!s.empty() && s[0] == ' ') s.remove_prefix(1);
    if (s.size() >= 3 && (s[0] == 'R' || s[0] == 'r') && (s[1] == 'E' || s[1] == 'e') && s[2] == ':')
        return std::string(subject);
    return "Re: " + std::string(s);
}

std::string kludgeValue(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        std::string_view v(line);
        if (v.size() > name.size() + 1 && v[0] == '\x01' && v.substr(1, name.size()) == name &&
            v[1 + name.size()] == ':') {
            v.remove_prefix(2 + name.size());
            if (!v.empty() && v[0] == ' ') v.remove_prefix(1);
            return std::string(v);
        }
    }
    return {};
}

bool parseStrictAddress(std::string_view text, FidoAddr& addr) {
    if (size_t at = text.find('@'); at != std::string_view::npos) {
        if (at + 1 >= text.size()) return false;
        text = text.substr(0, at);
    }
    size_t colon = text.find(':'), slash = text.find('/');
    if (colon == std::string_view::npos || slash == std::string_view::npos || slash < colon) return false;
    size_t dot = text.find('.', slash);
    FidoAddr a;
    if (!parseNumber(text.substr(0, colon), a.zone) || !parseNumber(text.substr(colon + 1, slash - colon - 1), a.net) ||
        !parseNumber(text.substr(slash + 1, dot == std::string_view::npos ? std::string_view::npos : dot - slash - 1),
                     a.node))
        return false;
    if (dot != std::string_view::npos && !parseNumber(text.substr(dot + 1), a.point)) return false;
    addr = a;
    return true;
}

FidoAddr replyDestination(const std::vector<std::string>& lines, const FidoAddr& headerOrigin) {
    std::string_view value;
    for (const std::string& line : lines) {
        if (!kludgeLineValue(line, "INTL", value)) continue;
        std::vector<std::string_view> words = wordsOf(value);  // destination, then origin
        FidoAddr origin;
        if (words.size() < 2 || !parseStrictAddress(words[1], origin) || origin.point != 0) break;
        for (const std::string& pointLine : lines) {
            std::vector<std::string_view> point;
            if (kludgeLineValue(pointLine, "FMPT", value) && (point = wordsOf(value)).size() == 1 &&
                parseNumber(point[0], origin.point))
                break;
        }
        return origin;
    }
    for (const std::string& line : lines) {
        if (!kludgeLineValue(line, "MSGID", value)) continue;
        std::vector<std::string_view> words = wordsOf(value);
        FidoAddr origin;
        if (!words.empty() && parseStrictAddress(words[0], origin)) return origin;
        break;
    }
    return headerOrigin;
}

}  // namespace qclient
