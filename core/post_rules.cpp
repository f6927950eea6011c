#include "core/post_rules.h"

#include <cstdio>
#include <vector>

#include "fido/attributes.h"
#include "fido/message_text.h"
#include "support/osfile.h"
#include "support/text.h"

namespace {

// Echomail ends with a tearline and an Origin line; blank lines after them are dropped,
// so that the Origin line is the last line, where tossers add SEEN-BY and PATH.
std::string endEchomail(std::string_view text, const FidoAddr& address, const ServerSettings& settings) {
    std::vector<TextLine> lines = splitLines(text);
    size_t last = lastNonBlankLine(lines);
    std::string out;
    out.reserve(text.size() + 160);
    const bool hasLast = last < lines.size();
    if (hasLast && (isOriginLine(lines[last].body) || isTearLine(lines[last].body))) {
        for (size_t i = 0; i < last; ++i) appendLine(out, lines[i]);
        out.append(lines[last].body);
        out += '\r';
        if (isOriginLine(lines[last].body)) return out;
    } else {
        out.assign(text);
        if (!out.empty() && out.back() != '\r') out += '\r';
        out += tearLine() + '\r';
    }
    out += originLine(settings.origin, address) + '\r';
    return out;
}

}  // namespace

std::string pidValue() { return std::string("PID: ") + kProgramName + " " + kProgramVersion; }

std::string tearLine() { return std::string("--- ") + kProgramName + " " + kProgramVersion; }

std::string originLine(const std::string& originText, const FidoAddr& address) {
    return std::string(kOriginPrefix) + " " + originText + " (" + formatFidoAddr(address) + ")";
}

std::string formatTzutc(const std::tm& local) {
    long minutes = local.tm_gmtoff / 60;
    const char* sign = minutes < 0 ? "-" : "";
    if (minutes < 0) minutes = -minutes;
    char value[16];
    snprintf(value, sizeof value, "%s%02ld%02ld", sign, (minutes / 60) % 100, minutes % 60);
    return value;
}

void preparePost(NewMessage& post, const rClientInfo& user, const RightsPolicy& rights, bool netmail,
                 const WallTime& now, const ServerSettings& settings) {
    post.origAddr = user.address;
    rights.applyToPost(user, netmail, post);
    if (netmail) post.attributes |= kAttrLocal;

    std::string kludges;
    if (!leadingKludgesHave(post.text, "PID")) kludges += kKludgeMark + pidValue() + '\r';
    if (!leadingKludgesHave(post.text, "TZUTC"))
        kludges += kKludgeMark + std::string("TZUTC: ") + formatTzutc(now.local) + '\r';
    post.text = kludges + (netmail ? post.text : endEchomail(post.text, user.address, settings));
    post.written = now;
}

bool noteEchoToss(const std::string& logPath, std::string_view tag) {
    OsFile log = OsFile::openAppending(logPath);
    if (!log.isOpen()) return false;

    // The log lists a handful of tags between two scans; a log grown beyond all reason is
    // not read, and the tag is simply added again.
    constexpr int64_t kLongestLogRead = 1 << 20;
    bool endsInLineBreak = true;
    int64_t length = log.length();
    if (length < 0) return false;
    if (length > 0 && length <= kLongestLogRead) {
        std::string content(size_t(length), '\0');
        int64_t got = log.readAt(0, content.data(), content.size());
        if (got < 0) return false;
        content.resize(size_t(got));
        const std::string wanted(tag);
        for (const TextLine& line : splitLines(content)) {
            std::string name(line.body);
            size_t first = name.find_first_not_of(" \t");
            size_t lastChar = name.find_last_not_of(" \t");
            name = first == std::string::npos ? "" : name.substr(first, lastChar - first + 1);
            if (!name.empty() && equalsNoCase(name, wanted)) return true;
        }
        endsInLineBreak = content.empty() || content.back() == '\n';
    } else if (length > 0) {
        uint8_t lastByte = 0;
        if (log.readAt(length - 1, &lastByte, 1) != 1) return false;
        endsInLineBreak = lastByte == '\n';
    }

    // One write, so that the line never mixes with another writer's.
    std::string entry = endsInLineBreak ? "" : "\n";
    entry.append(tag);
    entry += '\n';
    if (!log.appendOnce(entry.data(), entry.size())) return false;
    return log.close();
}
