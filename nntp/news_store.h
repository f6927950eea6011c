// The news door's view of the areas: article numbers that never go backwards, group
// summaries as one user sees them, articles by number and by Message-ID, and what the door
// keeps in its state folder between runs.
//
// An article's number is the message's stored number (the UMSGID of a Squish base, the
// file number of a *.MSG folder) plus the area's offset, which starts at 0. For each area
// the door remembers the highest number it gave out and a fingerprint of the last messages
// it saw. When a walk of the area finds one of those numbers holding another message, a
// message above them at a number already given out, or the area's top gone below all of
// them, another program has renumbered the area (packers do), or a *.MSG folder gave a
// deleted message's number to a new one: the offset becomes the old highest number, so that
// every article gets a number above it and no number is ever reused for another message.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "accounts/users.h"
#include "areas/area_result.h"
#include "core/connection.h"
#include "core/services.h"
#include "fido/message.h"
#include "nntp/article.h"
#include "nntp/groups.h"

// What GROUP and LIST ACTIVE tell: the articles the user sees, the lowest and the highest
// number among them; an empty group has low = high + 1.
struct GroupSummary {
    uint64_t count = 0;
    uint64_t low = 1;
    uint64_t high = 0;
};

class NewsStore {
public:
    // What the door remembers of one area.
    struct Numbering {
        uint64_t offset = 0;     // article number = stored number + offset
        uint64_t high = 0;       // the highest article number given out
        std::time_t firstSeen = 0;
        // The last messages seen: stored number and fingerprint, ascending.
        std::vector<std::pair<uint32_t, uint64_t>> recent;
    };

    NewsStore(Services& services, const NewsGroups& groups);
    NewsStore(const NewsStore&) = delete;
    NewsStore& operator=(const NewsStore&) = delete;

    // Reads the state folder (made when missing) and takes note of every group not seen
    // before, as first seen `now`. A state that cannot be read or written is said on the
    // console once; the door then goes on with what it has in memory.
    void load(std::time_t now);
    // The groups changed (a reload): new ones are noted as first seen `now`.
    void groupsChanged(std::time_t now);

    // Walks the group's area: notices a renumbering, and counts what the user sees.
    AreaResult summary(const NewsGroup& group, const rClientInfo& user, GroupSummary& out);
    // The article of that number, when the user may see it (not found otherwise).
    AreaResult article(const NewsGroup& group, const rClientInfo& user, uint64_t number, StoredMessage& out);
    // The next article after `number` (or the previous one before it) that the user sees;
    // `found` is 0 when there is none.
    AreaResult neighbour(const NewsGroup& group, const rClientInfo& user, uint64_t number, bool next,
                         uint64_t& found);
    // The articles numbered `from` to `to` that the user sees, ascending, until `visit`
    // returns false. With `texts` false the messages carry only their summary (a cheaper
    // walk). A walk with texts leaves a mark where it stopped in `mark`, and the next one
    // that goes on from there takes it (CEchoArea::readMessages).
    using ArticleVisitor = std::function<bool(uint64_t number, const StoredMessage& message)>;
    AreaResult walk(const NewsGroup& group, const rClientInfo& user, uint64_t from, uint64_t to, bool texts,
                    const ArticleVisitor& visit, WalkMark* mark = nullptr);
    // Finds an article by Message-ID in the groups the user may read.
    bool findMessageId(std::string_view messageId, const rClientInfo& user, const NewsGroup*& group,
                       uint64_t& number);
    // Remembers the Message-ID a newsreader gave its post, for the message stored as
    // `msgId` (its MSGID value) in the area tagged `tag`.
    void notePosted(std::string_view messageId, const std::string& tag, const std::string& msgId);

    // Writes the article numbers to the state folder when they changed since the last
    // time (the door calls it once per step, so that a LIST over many groups writes once).
    void flush();

    std::time_t firstSeen(const NewsGroup& group);
    // How an article of the group is shown.
    ArticleView viewOf(const NewsGroup& group, uint64_t number) const;
    // The charset posts to the group's area are stored in.
    const Charset& charsetOf(const NewsGroup& group) const;

private:
    Services& services_;
    const NewsGroups& groups_;
    std::map<std::string, Numbering> numbering_;  // by area tag
    // Message-IDs newsreaders put on their posts: the area tag and MSGID value.
    std::unordered_map<std::string, std::pair<std::string, std::string>> posted_;
    std::string numbersPath_, postedPath_;
    bool stateWarned_ = false;
    bool dirty_ = false;

    Numbering& numberingOf(const NewsGroup& group);
    void saveNumbers();
    void stateFailed(const std::string& what);
};

// The fingerprint by which a renumbering is noticed: the message's names, subject, date
// and MSGID.
uint64_t messageFingerprint(const MessageSummary& summary);
