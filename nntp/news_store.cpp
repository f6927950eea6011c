#include "nntp/news_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/desk.h"
#include "support/log.h"
#include "support/osfile.h"
#include "support/text.h"

namespace {

// Stored numbers and fingerprints remembered per area.
constexpr size_t kRecentKept = 16;
// The state files are small; anything larger is not ours.
constexpr size_t kNumbersFileMax = 4 * 1024 * 1024;
constexpr size_t kPostedFileMax = 16 * 1024 * 1024;

// The stored number of an article number, when it can be one.
bool storedNumberOf(uint64_t number, uint64_t offset, uint32_t& stored) {
    if (number <= offset || number - offset > UINT32_MAX) return false;
    stored = uint32_t(number - offset);
    return true;
}

std::vector<std::string_view> splitAt(std::string_view line, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = line.find(separator, start);
        parts.push_back(line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

}  // namespace

uint64_t messageFingerprint(const MessageSummary& s) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (std::string_view part : {std::string_view(s.fromName), std::string_view(s.toName),
                                  std::string_view(s.subject), std::string_view(s.dateText, sizeof s.dateText),
                                  std::string_view(s.msgId)}) {
        for (unsigned char c : part) {
            h ^= c;
            h *= 0x100000001b3ULL;
        }
        h ^= 0xff;
        h *= 0x100000001b3ULL;
    }
    return h;
}

NewsStore::NewsStore(Services& services, const NewsGroups& groups) : services_(services), groups_(groups) {}

void NewsStore::stateFailed(const std::string& what) {
    if (stateWarned_) return;
    stateWarned_ = true;
    reportError(errno, "news door: %s; article numbers are kept in memory only", what.c_str());
}

void NewsStore::load(std::time_t now) {
    const std::string& dir = services_.settings.news.stateDir;
    numbersPath_ = joinPath(dir, "articles");
    postedPath_ = joinPath(dir, "posted-ids");
    if (!makeDirectory(dir)) stateFailed("cannot make the state folder " + dir);
    std::string text;
    if (readSmallFile(numbersPath_, kNumbersFileMax, text)) {
        for (std::string_view line : splitAt(text, '\n')) {
            std::vector<std::string_view> f = splitAt(line, '\t');
            Numbering n;
            uint64_t seen = 0;
            if (f.size() != 5 || f[0].empty() || !parseWholeNumber(f[1], seen) || !parseWholeNumber(f[2], n.offset) ||
                !parseWholeNumber(f[3], n.high))
                continue;
            n.firstSeen = std::time_t(seen);
            for (std::string_view pair : splitAt(f[4], ' ')) {
                size_t colon = pair.find(':');
                uint64_t number, print;
                if (colon == std::string_view::npos || !parseWholeNumber(pair.substr(0, colon), number) ||
                    number > UINT32_MAX || !parseWholeNumber(pair.substr(colon + 1), print))
                    continue;
                if (n.recent.size() < kRecentKept) n.recent.emplace_back(uint32_t(number), print);
            }
            std::sort(n.recent.begin(), n.recent.end());
            numbering_[std::string(f[0])] = std::move(n);
        }
    } else if (errno != ENOENT) {
        stateFailed("cannot read " + numbersPath_);
    }
    if (readSmallFile(postedPath_, kPostedFileMax, text)) {
        for (std::string_view line : splitAt(text, '\n')) {
            std::vector<std::string_view> f = splitAt(line, '\t');
            if (f.size() == 3 && !f[0].empty()) posted_[std::string(f[0])] = {std::string(f[1]), std::string(f[2])};
        }
    }
    groupsChanged(now);
}

void NewsStore::groupsChanged(std::time_t now) {
    bool added = false;
    for (const NewsGroup& g : groups_.all()) {
        const std::string& tag = services_.areaList[size_t(g.area)].name;
        if (numbering_.count(tag)) continue;
        numbering_[tag].firstSeen = now;
        added = true;
    }
    if (added) saveNumbers();
}

void NewsStore::saveNumbers() {
    std::string text;
    for (const auto& [tag, n] : numbering_) {
        text += tag + "\t" + std::to_string(uint64_t(n.firstSeen)) + "\t" + std::to_string(n.offset) + "\t" +
                std::to_string(n.high) + "\t";
        for (size_t i = 0; i < n.recent.size(); ++i) {
            if (i) text += ' ';
            text += std::to_string(n.recent[i].first) + ":" + std::to_string(n.recent[i].second);
        }
        text += '\n';
    }
    if (!replaceFileContents(numbersPath_, text)) stateFailed("cannot write " + numbersPath_);
}

NewsStore::Numbering& NewsStore::numberingOf(const NewsGroup& group) {
    return numbering_[services_.areaList[size_t(group.area)].name];
}

AreaResult NewsStore::summary(const NewsGroup& group, const rClientInfo& user, GroupSummary& out) {
    out = GroupSummary();
    std::unique_ptr<CEchoArea> area = openConfiguredArea(services_, group.area);
    if (!area) return AreaResult::notFound("the area's format is unknown");
    Numbering& n = numberingOf(group);
    const bool seesAll = services_.areaList[size_t(group.area)].type != AreaType::Netmail;
    bool moved = false;   // a remembered number holds another message
    bool matched = false; // a remembered number holds the message it held
    uint32_t top = 0;
    std::vector<std::pair<uint32_t, uint64_t>> tail;
    uint64_t count = 0;
    uint32_t lowest = 0, highest = 0;
    AreaResult walked = area->getMsgList([&](const MessageSummary& s) {
        const uint64_t print = messageFingerprint(s);
        auto at = std::lower_bound(n.recent.begin(), n.recent.end(), std::make_pair(s.number, uint64_t(0)));
        if (at != n.recent.end() && at->first == s.number) {
            (at->second == print ? matched : moved) = true;
        } else if (!n.recent.empty() && s.number > n.recent.back().first && s.number + n.offset <= n.high) {
            // Above the last messages seen, at a number given out before: the message that
            // had it went, and another took its number (a *.MSG folder numbers on from its
            // top file).
            moved = true;
        }
        if (tail.size() == kRecentKept) tail.erase(tail.begin());
        tail.emplace_back(s.number, print);
        top = std::max(top, s.number);
        if (seesAll || visibleTo(services_, user, group.area, s)) {
            ++count;
            if (lowest == 0) lowest = s.number;
            highest = s.number;
        }
        return true;
    });
    if (!walked.isOk()) return walked;

    bool changed = false;
    if (top > 0 && !n.recent.empty() && (moved || (top < n.recent.back().first && !matched))) {
        n.offset = n.high;
        changed = true;
        reportWarning("area %s: its messages were renumbered (by another program, or a deleted message's "
                      "number was taken again): their articles are numbered from %llu on",
                      services_.areaList[size_t(group.area)].name.c_str(),
                      static_cast<unsigned long long>(n.offset + 1));
    }
    if (top > 0) {
        if (top + n.offset > n.high) {
            n.high = top + n.offset;
            changed = true;
        }
        std::sort(tail.begin(), tail.end());
        if (tail != n.recent) {
            n.recent = std::move(tail);
            changed = true;
        }
    }
    if (changed) dirty_ = true;
    out.count = count;
    if (count > 0) {
        out.low = lowest + n.offset;
        out.high = highest + n.offset;
    } else {
        out.high = n.high;
        out.low = n.high + 1;
    }
    return AreaResult::ok();
}

AreaResult NewsStore::article(const NewsGroup& group, const rClientInfo& user, uint64_t number,
                              StoredMessage& out) {
    uint32_t stored;
    if (!storedNumberOf(number, numberingOf(group).offset, stored)) return AreaResult::notFound("no such article");
    std::unique_ptr<CEchoArea> area = openConfiguredArea(services_, group.area);
    if (!area) return AreaResult::notFound("the area's format is unknown");
    AreaResult r = area->getMessage(stored, out);
    if (r.isOk() && !visibleTo(services_, user, group.area, out.summary)) return AreaResult::notFound("not yours");
    return r;
}

AreaResult NewsStore::neighbour(const NewsGroup& group, const rClientInfo& user, uint64_t number, bool next,
                                uint64_t& found) {
    found = 0;
    std::unique_ptr<CEchoArea> area = openConfiguredArea(services_, group.area);
    if (!area) return AreaResult::notFound("the area's format is unknown");
    const uint64_t offset = numberingOf(group).offset;
    return area->getMsgList([&](const MessageSummary& s) {
        const uint64_t at = s.number + offset;
        if (next && at <= number) return true;
        if (!next && at >= number) return false;
        if (!visibleTo(services_, user, group.area, s)) return true;
        found = at;
        return !next;  // the first one after, or the last one before
    });
}

AreaResult NewsStore::walk(const NewsGroup& group, const rClientInfo& user, uint64_t from, uint64_t to, bool texts,
                           const ArticleVisitor& visit, WalkMark* mark) {
    if (mark && !texts) *mark = WalkMark();
    const uint64_t offset = numberingOf(group).offset;
    if (to <= offset || from > to) return AreaResult::ok();
    const uint32_t first = from <= offset ? 1 : uint32_t(std::min<uint64_t>(from - offset, UINT32_MAX));
    const uint64_t last = to - offset;
    std::unique_ptr<CEchoArea> area = openConfiguredArea(services_, group.area);
    if (!area) return AreaResult::notFound("the area's format is unknown");
    if (texts) {
        return area->readMessages(
            first,
            [&](const StoredMessage& m) {
                if (m.summary.number > last) return false;
                if (!visibleTo(services_, user, group.area, m.summary)) return true;
                return visit(m.summary.number + offset, m);
            },
            mark);
    }
    StoredMessage m;
    return area->getMsgList([&](const MessageSummary& s) {
        if (s.number < first) return true;
        if (s.number > last) return false;
        if (!visibleTo(services_, user, group.area, s)) return true;
        m.summary = s;
        return visit(s.number + offset, m);
    });
}

bool NewsStore::findMessageId(std::string_view messageId, const rClientInfo& user, const NewsGroup*& group,
                              uint64_t& number) {
    group = nullptr;
    number = 0;
    std::string wanted;      // a MSGID value, or the origin of one ("<x@y>")
    bool originOnly = false;
    std::string onlyTag;     // a post of ours names its area
    auto posted = posted_.find(std::string(messageId));
    if (posted != posted_.end()) {
        onlyTag = posted->second.first;
        wanted = posted->second.second;
    } else {
        MessageIdTarget target = parseMessageId(messageId, services_.settings.news.domain);
        if (target.kind == MessageIdTarget::Kind::None) return false;
        if (target.kind == MessageIdTarget::Kind::Numbered) {
            for (const NewsGroup& g : groups_.all()) {
                if (!equalsNoCase(services_.areaList[size_t(g.area)].name, target.areaTag)) continue;
                StoredMessage m;
                const uint64_t at = uint64_t(target.number) + numberingOf(g).offset;
                if (!article(g, user, at, m).isOk() || m.summary.written() != target.written) return false;
                group = &g;
                number = at;
                return true;
            }
            return false;
        }
        wanted = target.msgId;
        originOnly = wanted.find(' ') == std::string::npos;
    }
    for (const NewsGroup& g : groups_.all()) {
        if (!onlyTag.empty() && !equalsNoCase(services_.areaList[size_t(g.area)].name, onlyTag)) continue;
        bool found = false;
        (void)walk(g, user, 1, UINT64_MAX, false, [&](uint64_t at, const StoredMessage& m) {
            const std::string& id = m.summary.msgId;
            if (id == wanted || (originOnly && id.size() > wanted.size() && id.compare(0, wanted.size(), wanted) == 0 &&
                                 id[wanted.size()] == ' ')) {
                number = at;
                found = true;
                return false;
            }
            return true;
        });
        if (found) {
            group = &g;
            return true;
        }
    }
    return false;
}

void NewsStore::notePosted(std::string_view messageId, const std::string& tag, const std::string& msgId) {
    if (messageId.size() > 250 || msgId.empty()) return;
    for (char c : messageId)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return;
    std::string line = std::string(messageId) + "\t" + tag + "\t" + msgId + "\n";
    posted_[std::string(messageId)] = {tag, msgId};
    OsFile file = OsFile::openAppending(postedPath_);
    if (!file.isOpen() || !file.appendOnce(line.data(), line.size())) stateFailed("cannot write " + postedPath_);
}

void NewsStore::flush() {
    if (!dirty_) return;
    dirty_ = false;
    saveNumbers();
}

std::time_t NewsStore::firstSeen(const NewsGroup& group) { return numberingOf(group).firstSeen; }

const Charset& NewsStore::charsetOf(const NewsGroup& group) const {
    const NewsSettings& news = services_.settings.news;
    const std::string& tag = services_.areaList[size_t(group.area)].name;
    for (const auto& [areaTag, name] : news.areaCharsets)
        if (equalsNoCase(areaTag, tag))
            if (const Charset* c = findCharset(name)) return *c;
    if (const Charset* c = findCharset(news.defaultCharset)) return *c;
    return cp437Charset();
}

ArticleView NewsStore::viewOf(const NewsGroup& group, uint64_t number) const {
    const mArea& area = services_.areaList[size_t(group.area)];
    ArticleView view;
    view.groupName = group.name;
    view.areaTag = area.name;
    view.number = number;
    view.netmail = area.type == AreaType::Netmail;
    view.charset = &charsetOf(group);
    view.domain = services_.settings.news.domain;
    return view;
}
