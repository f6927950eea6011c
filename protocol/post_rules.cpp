#include "protocol/post_rules.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "support/le.h"
#include "support/osfile.h"
#include "support/text.h"

namespace {

constexpr char kKludgeMark = '\x01';
constexpr std::string_view kOriginPrefix = " * Origin:";

// One line of a text: its bytes and the byte that ended it (CR or LF; 0 for a last line
// without one). LF counts as a line end because the stores show it as one.
struct Line {
    std::string_view body;
    char end = 0;
};

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find_first_of("\r\n", start);
        if (stop == std::string_view::npos) {
            lines.push_back({text.substr(start), 0});
            break;
        }
        lines.push_back({text.substr(start, stop - start), text[stop]});
        start = stop + 1;
    }
    return lines;
}

void append(std::string& out, const Line& line) {
    out.append(line.body);
    if (line.end) out += line.end;
}

bool isBlank(std::string_view body) { return body.find_first_not_of(" \t") == std::string_view::npos; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Whether a kludge (the text after its ^A) is the one named `keyword`: the keyword, then
// its colon, a blank or nothing, so that "MSGIDX" is another kludge.
bool isKludge(std::string_view kludge, std::string_view keyword) {
    if (!startsWith(kludge, keyword)) return false;
    return kludge.size() == keyword.size() || !isalnum(static_cast<unsigned char>(kludge[keyword.size()]));
}

bool isStampedKludge(std::string_view kludge) {
    for (std::string_view keyword : {"MSGID", "INTL", "FMPT", "TOPT"})
        if (isKludge(kludge, keyword)) return true;
    return false;
}

// The kludges of one line: every run from a ^A to the next ^A or the line's end (the
// stores start a new line at a ^A inside a line as well). `head` is what comes before
// the first ^A.
struct LinePieces {
    std::string_view head;
    std::vector<std::string_view> kludges;  // each with its ^A
};

LinePieces piecesOf(std::string_view body) {
    LinePieces p;
    size_t mark = body.find(kKludgeMark);
    p.head = body.substr(0, mark);
    while (mark != std::string_view::npos) {
        size_t next = body.find(kKludgeMark, mark + 1);
        p.kludges.push_back(body.substr(mark, next == std::string_view::npos ? std::string_view::npos : next - mark));
        mark = next;
    }
    return p;
}

// The text without the kludges the server stamps itself, wherever they stand; a line
// that held nothing else goes with them.
std::string dropStampedKludges(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const Line& line : splitLines(text)) {
        LinePieces p = piecesOf(line.body);
        std::string kept(p.head);
        bool dropped = false;
        for (std::string_view k : p.kludges) {
            if (isStampedKludge(k.substr(1)))
                dropped = true;
            else
                kept.append(k);
        }
        if (dropped && kept.empty()) continue;
        out += kept;
        if (line.end) out += line.end;
    }
    return out;
}

// Whether the kludge lines at the start of the text (those a Squish base keeps as control
// information) hold a kludge named `keyword`.
bool leadingKludgesHave(std::string_view text, std::string_view keyword) {
    for (const Line& line : splitLines(text)) {
        if (line.body.empty() || line.body[0] != kKludgeMark) break;
        for (std::string_view k : piecesOf(line.body).kludges)
            if (isKludge(k.substr(1), keyword)) return true;
    }
    return false;
}

bool isTearLine(std::string_view body) { return body == "---" || startsWith(body, "--- "); }

// An Origin line names the user's address: the address in its last pair of parentheses
// is replaced when it is another one, and the user's is added when none is there.
std::string ownOriginLine(std::string_view body, const FidoAddr& address) {
    const std::string own = "(" + formatFidoAddr(address) + ")";
    size_t open = body.rfind('(');
    if (open != std::string_view::npos) {
        size_t close = body.find(')', open);
        std::string inside(body.substr(open + 1, close == std::string_view::npos ? std::string_view::npos
                                                                                   : close - open - 1));
        FidoAddr named;
        if (parseFidoAddr(inside.c_str(), named)) {
            if (named == address) return std::string(body);
            std::string out(body.substr(0, open));
            out += own;
            if (close != std::string_view::npos) out.append(body.substr(close + 1));
            return out;
        }
    }
    std::string out(body);
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
    return out + " " + own;
}

// Echomail ends with a tearline and an Origin line; blank lines after them are dropped,
// so that the Origin line is the last line, where tossers add SEEN-BY and PATH.
std::string endEchomail(std::string_view text, const rClientInfo& user, const ServerSettings& settings) {
    std::vector<Line> lines = splitLines(text);
    size_t last = lines.size();
    for (size_t i = lines.size(); i-- > 0;) {
        if (!isBlank(lines[i].body)) {
            last = i;
            break;
        }
    }
    std::string out;
    out.reserve(text.size() + 160);
    const bool hasLast = last < lines.size();
    if (hasLast && startsWith(lines[last].body, kOriginPrefix)) {
        for (size_t i = 0; i < last; ++i) append(out, lines[i]);
        out += user.superUser ? std::string(lines[last].body) : ownOriginLine(lines[last].body, user.address);
        out += '\r';
        return out;
    }
    if (hasLast && isTearLine(lines[last].body)) {
        for (size_t i = 0; i < last; ++i) append(out, lines[i]);
        out.append(lines[last].body);
        out += '\r';
    } else {
        out.assign(text);
        if (!out.empty() && out.back() != '\r') out += '\r';
        out += tearLine() + '\r';
    }
    out += originLine(settings.origin, user.address) + '\r';
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

PreparedPost preparePost(const pktMessage& record, std::string_view text, const rClientInfo& user, int32_t areaType,
                         const WallTime& now, const ServerSettings& settings) {
    PreparedPost post{record, {}};
    post.record.origAddr = user.address;
    const bool sysop = user.superUser != 0;
    if (!sysop) copyField(post.record.header.fromName, user.name, sizeof post.record.header.fromName);
    if (areaType == AREA_TYPE_NETMAIL) {
        if (!sysop) post.record.attributes &= kUserNetmailAttributes;
        post.record.attributes |= kAttrLocal;
    }

    std::string body = sysop ? std::string(text) : dropStampedKludges(text);
    std::string kludges;
    if (!leadingKludgesHave(body, "PID")) kludges += kKludgeMark + pidValue() + '\r';
    if (!leadingKludgesHave(body, "TZUTC")) kludges += kKludgeMark + std::string("TZUTC: ") + formatTzutc(now.local) + '\r';
    post.text = kludges + (areaType == AREA_TYPE_ECHOMAIL ? endEchomail(body, user, settings) : body);
    return post;
}

bool noteEchoToss(const std::string& logPath, std::string_view tag) {
    // Not blocking on the open: a FIFO under the name would otherwise hold the server.
    int fd;
    do fd = ::open(logPath.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    while (fd < 0 && errno == EINTR);
    OsFile log(fd);
    if (!log.isOpen()) return false;
    struct stat st;
    if (fstat(log.fd(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }

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
        for (const Line& line : splitLines(content)) {
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
    ssize_t written;
    do written = ::write(log.fd(), entry.data(), entry.size());
    while (written < 0 && errno == EINTR);
    if (written != ssize_t(entry.size())) {
        if (written >= 0) errno = EIO;
        return false;
    }
    return log.close();
}
