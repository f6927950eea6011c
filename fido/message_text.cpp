#include "fido/message_text.h"

#include <cctype>

#include "support/text.h"

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::vector<TextLine> splitLines(std::string_view text) {
    std::vector<TextLine> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = findAnyOf(text, "\r\n", start);
        if (stop == std::string_view::npos) {
            lines.push_back({text.substr(start), 0});
            break;
        }
        lines.push_back({text.substr(start, stop - start), text[stop]});
        start = stop + 1;
    }
    return lines;
}

void appendLine(std::string& out, const TextLine& line) {
    out.append(line.body);
    if (line.end) out += line.end;
}

bool isBlankLine(std::string_view body) { return body.find_first_not_of(" \t") == std::string_view::npos; }

bool isTearLine(std::string_view body) { return body == "---" || startsWith(body, "--- "); }

bool isOriginLine(std::string_view body) { return startsWith(body, kOriginPrefix); }

size_t lastNonBlankLine(const std::vector<TextLine>& lines) {
    for (size_t i = lines.size(); i-- > 0;)
        if (!isBlankLine(lines[i].body)) return i;
    return lines.size();
}

bool isKludgeNamed(std::string_view kludge, std::string_view keyword) {
    if (!startsWith(kludge, keyword)) return false;
    return kludge.size() == keyword.size() || !isalnum(static_cast<unsigned char>(kludge[keyword.size()]));
}

LineKludges kludgesOfLine(std::string_view body) {
    LineKludges p;
    size_t mark = body.find(kKludgeMark);
    p.head = body.substr(0, mark);
    while (mark != std::string_view::npos) {
        size_t next = body.find(kKludgeMark, mark + 1);
        p.kludges.push_back(body.substr(mark, next == std::string_view::npos ? std::string_view::npos : next - mark));
        mark = next;
    }
    return p;
}

bool leadingKludgesHave(std::string_view text, std::string_view keyword) {
    for (const TextLine& line : splitLines(text)) {
        if (line.body.empty() || line.body[0] != kKludgeMark) break;
        for (std::string_view k : kludgesOfLine(line.body).kludges)
            if (isKludgeNamed(k.substr(1), keyword)) return true;
    }
    return false;
}
