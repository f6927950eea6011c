#include "nntp/news_commands.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "accounts/login.h"
#include "nntp/article.h"
#include "nntp/news_post.h"
#include "nntp/news_session.h"
#include "nntp/news_store.h"
#include "support/text.h"
#include "nntp/wildmat.h"
#include "support/log.h"
#include "support/version.h"

namespace {

const SessionLimits& limitsOf(const NewsSession& s) { return s.door.services.limits(); }

// The words of a command line, split at blanks.
std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string upper(std::string_view word) {
    std::string u(word);
    for (char& c : u) c = char(toupper(static_cast<unsigned char>(c)));
    return u;
}

// A name or address as the console shows it: control bytes as "?".
std::string forConsole(std::string_view text) {
    std::string out(text.substr(0, 80));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

std::string userText(const rClientInfo& u) {
    return std::string(u.name, strnlen(u.name, sizeof u.name)) + ", " + formatFidoAddr(u.address);
}

// "N", "N-" or "N-M" (RFC 3977, section 4.2... the range argument).
bool parseRange(std::string_view text, uint64_t& from, uint64_t& to) {
    size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        if (!parseWholeNumber(text, from)) return false;
        to = from;
        return true;
    }
    if (!parseWholeNumber(text.substr(0, dash), from)) return false;
    if (dash + 1 == text.size()) {
        to = UINT64_MAX;
        return true;
    }
    return parseWholeNumber(text.substr(dash + 1), to);
}

bool isMessageId(std::string_view text) { return text.size() >= 3 && text.front() == '<' && text.back() == '>'; }

bool isLoopback(const NetAddress& a) {
    if (a.family == NetAddress::kIPv4) return a.bytes[0] == 127;
    if (a.family == NetAddress::kIPv6) {
        static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return memcmp(a.bytes, kLoopback, 16) == 0;
    }
    return false;
}

// ---- the selected group -----------------------------------------------------------------

const NewsGroup* selectedGroup(NewsSession& s) {
    if (s.groupName.empty()) return nullptr;
    return s.door.groups.find(s.groupName);
}


// An area that could not be read is said on the console; the client hears 403.
void reportFault(NewsSession& s, const NewsGroup& g, const AreaResult& r) {
    reportError(r.systemError(), "user %s: group %s: %s", userText(*s.user).c_str(), g.name.c_str(),
                r.reason().c_str());
    s.reply("403 The group's messages cannot be read now");
}

// ---- long replies ------------------------------------------------------------------------

// A group's description for LIST NEWSGROUPS: the area's tag and kind.
std::string describeGroup(const mArea& area) {
    const char* kind = area.type == AreaType::Netmail ? "netmail" : "echomail";
    return area.name + " (" + kind + ")";
}

// LISTGROUP numbers, OVER lines or HDR lines of a range, a piece at a time: each piece
// walks the area again from the next number, so nothing of the range is held between but
// the walk's mark, by which the next piece finds its place in the area at once.
class RangeWriter : public ReplyMaker {
public:
    enum class Kind { Numbers, Overview, Header };
    RangeWriter(Kind kind, std::string group, uint64_t from, uint64_t to, std::string field = "")
        : kind_(kind), group_(std::move(group)), next_(from), to_(to), field_(std::move(field)) {}

    bool more(NewsSession& s, std::string& out, size_t room) override {
        const NewsGroup* g = s.door.groups.find(group_);
        if (g && s.user && next_ <= to_) {
            const size_t start = out.size();
            bool full = false;
            // One view for the piece: only the number changes between lines.
            ArticleView view = s.door.store.viewOf(*g, 0);
            Article a;
            AreaResult r = s.door.store.walk(
                *g, *s.user, next_, to_, kind_ != Kind::Numbers,
                [&](uint64_t number, const StoredMessage& m) {
                    if (out.size() - start >= room) {
                        // The next piece starts at this article, where the walk's mark is.
                        full = true;
                        next_ = number;
                        return false;
                    }
                    next_ = number + 1;
                    if (kind_ == Kind::Numbers) {
                        out += std::to_string(number);
                    } else if (kind_ == Kind::Overview) {
                        view.number = number;
                        overview_.append(out, number, m, view);
                    } else {
                        view.number = number;
                        renderArticle(m, view, a);
                        out += std::to_string(number) + " " + headerForHdr(a, field_);
                    }
                    out += "\r\n";
                    return true;
                },
                &mark_);
            if (!r.isOk())
                reportError(r.systemError(), "group %s: %s", g->name.c_str(), r.reason().c_str());
            else if (full)
                return true;
        }
        out += ".\r\n";
        return false;
    }

private:
    Kind kind_;
    std::string group_;
    uint64_t next_, to_;
    std::string field_;
    WalkMark mark_;
    OverviewMaker overview_;
};

// The body of an article, dot-stuffed a piece at a time.
class BodyWriter : public ReplyMaker {
public:
    explicit BodyWriter(std::string body) : body_(std::move(body)) {}
    bool more(NewsSession&, std::string& out, size_t room) override {
        const size_t start = out.size();
        while (at_ < body_.size() && out.size() - start < room) {
            size_t end = body_.find('\n', at_);
            end = end == std::string::npos ? body_.size() : end + 1;
            if (body_[at_] == '.') out += '.';
            out.append(body_, at_, end - at_);
            at_ = end;
        }
        if (at_ < body_.size()) return true;
        if (!out.empty() && out.back() != '\n') out += "\r\n";
        out += ".\r\n";
        return false;
    }

private:
    std::string body_;
    size_t at_ = 0;
};

std::unique_ptr<ReplyMaker> makeNumberLister(NewsSession&, const NewsGroup& g, uint64_t from, uint64_t to) {
    return std::make_unique<RangeWriter>(RangeWriter::Kind::Numbers, g.name, from, to);
}
std::unique_ptr<ReplyMaker> makeOverviewWriter(NewsSession&, const NewsGroup& g, uint64_t from, uint64_t to) {
    return std::make_unique<RangeWriter>(RangeWriter::Kind::Overview, g.name, from, to);
}
std::unique_ptr<ReplyMaker> makeHeaderWriter(NewsSession&, const NewsGroup& g, uint64_t from, uint64_t to,
                                             const std::string& field) {
    return std::make_unique<RangeWriter>(RangeWriter::Kind::Header, g.name, from, to, field);
}
std::unique_ptr<ReplyMaker> makeBodyWriter(std::string body) { return std::make_unique<BodyWriter>(std::move(body)); }

// ---- CAPABILITIES, MODE, DATE, HELP, QUIT -----------------------------------------------

// A password is taken inside TLS, and in clear only from loopback (or behind a proxy that
// the sysop vouches for with nntpPlainAuth).
bool plainAuthAllowed(const NewsSession& s) {
    return s.secure() || s.door.services.settings.news.plainAuth || isLoopback(s.peer());
}

bool startTlsOffered(const NewsSession& s) {
    return !s.secure() && !s.loggedIn() && s.door.services.tls && s.door.services.tls->available();
}

void startTls(NewsSession& s) {
    if (s.secure()) {
        s.reply("502 Already using TLS");
    } else if (s.loggedIn()) {
        s.reply("502 STARTTLS is not allowed after authentication");
    } else if (!startTlsOffered(s)) {
        s.reply("580 Can not initiate TLS negotiation (no certificate is configured)");
    } else {
        s.reply("382 Continue with TLS negotiation");
        s.tlsAfterReply = true;
        s.authName.clear();  // what the client said in clear is forgotten
    }
}

void capabilities(NewsSession& s) {
    s.reply("101 Capability list:");
    s.blockLine("VERSION 2");
    s.blockLine("READER");
    if (startTlsOffered(s)) s.blockLine("STARTTLS");
    if (s.loggedIn()) {
        s.blockLine("POST");
    } else if (plainAuthAllowed(s)) {
        s.blockLine("AUTHINFO USER");
    }
    s.blockLine("HDR");
    s.blockLine("OVER MSGID");
    s.blockLine("LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS");
    s.blockLine(std::string("IMPLEMENTATION ") + kProgramName + " " + kProgramVersion);
    s.blockEnd();
}

void help(NewsSession& s) {
    s.reply("100 Help text follows");
    for (const char* line :
         {"ARTICLE [message-ID|number]", "AUTHINFO USER name", "AUTHINFO PASS password", "BODY [message-ID|number]",
          "CAPABILITIES", "DATE", "GROUP newsgroup", "HDR field [message-ID|range]", "HEAD [message-ID|number]", "HELP",
          "LAST", "LIST [ACTIVE|NEWSGROUPS|OVERVIEW.FMT|HEADERS] [wildmat]", "LISTGROUP [newsgroup [range]]",
          "MODE READER", "NEWGROUPS yyyymmdd hhmmss [GMT]", "NEXT", "OVER [message-ID|range]", "POST", "QUIT",
          "STARTTLS", "STAT [message-ID|number]", "XHDR field [message-ID|range]", "XOVER [range]"})
        s.blockLine(std::string("  ") + line);
    s.blockEnd();
}

void date(NewsSession& s, const Now& now) {
    std::tm utc{};
    time_t t = now.wall;
    gmtime_r(&t, &utc);
    char text[64];
    snprintf(text, sizeof text, "111 %04d%02d%02d%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec);
    s.reply(text);
}

// ---- the login ----------------------------------------------------------------------------

void authinfo(NewsSession& s, const std::vector<std::string_view>& words, std::string_view line, const Now& now) {
    if (s.loggedIn()) {
        s.reply("502 Already authenticated");
        return;
    }
    if (words.size() < 3) {
        s.reply("501 AUTHINFO USER name or AUTHINFO PASS password");
        return;
    }
    const std::string what = upper(words[1]);
    if (what != "USER" && what != "PASS") {
        s.reply("501 Only AUTHINFO USER and PASS are known here");
        return;
    }
    if (!plainAuthAllowed(s)) {
        s.reply("483 Encryption or stronger authentication required");
        return;
    }
    // The argument is the rest of the line: names and passwords may hold blanks.
    std::string_view argument = line.substr(size_t(words[2].data() - line.data()));
    while (!argument.empty() && (argument.back() == ' ' || argument.back() == '\t')) argument.remove_suffix(1);
    if (what == "USER") {
        s.authName.assign(argument.substr(0, 200));
        s.reply("381 Password required");
        return;
    }
    if (s.authName.empty()) {
        s.reply("482 Authentication commands issued out of sequence");
        return;
    }
    s.authPassword.assign(argument.substr(0, 200));
    // The account the name stands for, for the throttle: the user's, or the name as sent.
    const UserDirectory& users = s.door.services.users;
    std::vector<int32_t> found = users.matchLoginName(s.authName);
    if (found.size() == 1) {
        const rClientInfo& u = users.at(found[0]);
        s.account.name.assign(u.name, strnlen(u.name, sizeof u.name));
        s.account.address = u.address;
    } else {
        s.account.name = s.authName;
        s.account.address = FidoAddr();
    }
    s.accountTurnTaken = false;
    s.phase = NewsPhase::AuthHeld;
    LoginThrottle::Duration delay = s.door.services.logins.helloDelay(limitsOf(s), s.peer(), now.mono);
    s.actionAt = now.mono + delay;
    continueLogin(s, now);
}

// The password, once the waits are over.
void weighPassword(NewsSession& s, const Now& now) {
    const UserDirectory& users = s.door.services.users;
    std::vector<int32_t> found = users.matchLoginName(s.authName);
    const std::string name = forConsole(s.authName);
    std::string password;
    password.swap(s.authPassword);
    if (found.size() != 1 || !passwordMatches(users.at(found[0]), password)) {
        if (found.empty())
            reportError(0, "news user %s not found", name.c_str());
        else if (found.size() > 1)
            reportError(0, "news user %s: several users have that name; log in as NAME@ADDRESS", name.c_str());
        else
            reportError(0, "user %s authentication failed", userText(users.at(found[0])).c_str());
        s.door.services.logins.recordFailure(limitsOf(s), s.peer(), s.account, now.mono);
        s.phase = NewsPhase::FailPending;
        s.actionAt = now.mono + limitsOf(s).loginFailDelay;
        return;
    }
    const int32_t index = found[0];
    const rClientInfo& u = users.at(index);
    s.authName.clear();
    const int32_t most = s.door.services.settings.news.maxPerUser;
    if (s.door.sessions.sessionsOf(index) >= uint32_t(most)) {
        reportError(0, "user %s already has %d news sessions", userText(u).c_str(), int(most));
        s.reply("481 Too many connections for this user (at most " + std::to_string(most) + ")");
        return;
    }
    s.user = &u;
    s.claim = SessionRegistry::Claim(s.door.sessions, index);
    s.door.services.logins.recordSuccess(limitsOf(s), s.peer(), s.account, now.mono);
    logLine("news user: %s, addr: %s\n", std::string(u.name, strnlen(u.name, sizeof u.name)).c_str(),
            formatFidoAddr(u.address).c_str());
    s.reply("281 Authentication accepted (Posting Allowed)");
}

// ---- listing groups -----------------------------------------------------------------------

constexpr size_t kActiveLinesPerPiece = 8;

// LIST ACTIVE and LIST NEWSGROUPS walk the groups a line at a time.
class GroupLister : public ReplyMaker {
public:
    enum class Kind { Active, Newsgroups };
    GroupLister(Kind kind, std::string wildmat) : kind_(kind), wildmat_(std::move(wildmat)) {}
    bool more(NewsSession& s, std::string& out, size_t room) override {
        const std::vector<NewsGroup>& groups = s.door.groups.all();
        const size_t start = out.size();
        NewsStore& store = s.door.store;
        // An active line walks its area: a few per piece, so that the loop serves others
        // between them.
        size_t walked = 0;
        while (next_ < groups.size() && out.size() - start < room && walked < kActiveLinesPerPiece) {
            const NewsGroup& g = groups[next_++];
            if (!wildmat_.empty() && !wildmatMatches(wildmat_, g.name)) continue;
            if (kind_ == Kind::Active) {
                ++walked;
                GroupSummary summary;
                AreaResult r = store.summary(g, *s.user, summary);
                if (!r.isOk()) {
                    reportError(r.systemError(), "group %s: %s", g.name.c_str(), r.reason().c_str());
                    summary = GroupSummary();
                }
                out += g.name + " " + std::to_string(summary.high) + " " + std::to_string(summary.low) + " y\r\n";
            } else {
                out += g.name + "\t" + describeGroup(s.door.services.areaList[size_t(g.area)]) + "\r\n";
            }
        }
        if (next_ < groups.size()) return true;
        out += ".\r\n";
        return false;
    }

private:
    Kind kind_;
    std::string wildmat_;
    size_t next_ = 0;
};

void list(NewsSession& s, const std::vector<std::string_view>& words) {
    const std::string what = words.size() >= 2 ? upper(words[1]) : "ACTIVE";
    const std::string wildmat = words.size() >= 3 ? std::string(words[2]) : "";
    if (words.size() > 3) {
        s.reply("501 LIST [keyword [wildmat]]");
        return;
    }
    if (what == "ACTIVE" || what == "NEWSGROUPS") {
        s.reply(what == "ACTIVE" ? "215 list of newsgroups follows" : "215 information follows");
        s.maker = std::make_unique<GroupLister>(what == "ACTIVE" ? GroupLister::Kind::Active
                                                                : GroupLister::Kind::Newsgroups,
                                                wildmat);
        return;
    }
    if (what == "OVERVIEW.FMT") {
        s.reply("215 Order of fields in overview database");
        for (const char* field : {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:"})
            s.blockLine(field);
        s.blockEnd();
        return;
    }
    if (what == "HEADERS") {
        s.reply("215 Field list follows");
        s.blockLine(":");
        s.blockLine(":bytes");
        s.blockLine(":lines");
        s.blockEnd();
        return;
    }
    s.reply("503 LIST " + forConsole(what) + " is not supported here");
}

// NEWGROUPS: the groups first seen after the date (the door remembers when each group
// first appeared).
void newgroups(NewsSession& s, const std::vector<std::string_view>& words) {
    if (words.size() < 3 || words.size() > 4 || words[1].size() < 6 || words[1].size() > 8 || words[2].size() != 6 ||
        (words.size() == 4 && upper(words[3]) != "GMT")) {
        s.reply("501 NEWGROUPS yyyymmdd hhmmss [GMT]");
        return;
    }
    std::tm when{};
    std::string d(words[1]);
    if (d.size() == 6) d = (d.substr(0, 2) < "70" ? "20" : "19") + d;
    uint64_t ymd, hms;
    if (d.size() != 8 || !parseWholeNumber(d, ymd) || !parseWholeNumber(words[2], hms)) {
        s.reply("501 NEWGROUPS yyyymmdd hhmmss [GMT]");
        return;
    }
    when.tm_year = int(ymd / 10000) - 1900;
    when.tm_mon = int(ymd / 100 % 100) - 1;
    when.tm_mday = int(ymd % 100);
    when.tm_hour = int(hms / 10000);
    when.tm_min = int(hms / 100 % 100);
    when.tm_sec = int(hms % 100);
    // Local time unless GMT: the server's zone.
    time_t since = words.size() == 4 ? timegm(&when) : mktime(&when);
    s.reply("231 list of new newsgroups follows");
    NewsStore& store = s.door.store;
    for (const NewsGroup& g : s.door.groups.all()) {
        if (store.firstSeen(g) <= since) continue;
        GroupSummary summary;
        if (!store.summary(g, *s.user, summary).isOk()) summary = GroupSummary();
        s.blockLine(g.name + " " + std::to_string(summary.high) + " " + std::to_string(summary.low) + " y");
    }
    s.blockEnd();
}

// ---- a group and its articles -------------------------------------------------------------

void group(NewsSession& s, const std::vector<std::string_view>& words, bool listNumbers) {
    const NewsGroup* g = nullptr;
    if (words.size() >= 2) {
        g = s.door.groups.find(words[1]);
        if (!g) {
            s.reply("411 No such newsgroup");
            return;
        }
    } else {
        if (!listNumbers) {
            s.reply("501 GROUP newsgroup");
            return;
        }
        g = selectedGroup(s);
        if (!g) {
            s.reply("412 No newsgroup selected");
            return;
        }
    }
    uint64_t from = 1, to = UINT64_MAX;
    if (words.size() >= 3 && (!listNumbers || !parseRange(words[2], from, to))) {
        s.reply(listNumbers ? "501 LISTGROUP [newsgroup [range]]" : "501 GROUP newsgroup");
        return;
    }
    NewsStore& store = s.door.store;
    GroupSummary summary;
    AreaResult r = store.summary(*g, *s.user, summary);
    if (!r.isOk()) {
        reportFault(s, *g, r);
        return;
    }
    s.groupName = g->name;
    s.articleNumber = summary.count > 0 ? summary.low : 0;
    s.reply("211 " + std::to_string(summary.count) + " " + std::to_string(summary.low) + " " +
            std::to_string(summary.high) + " " + g->name + (listNumbers ? " list follows" : ""));
    if (!listNumbers) return;
    s.maker = makeNumberLister(s, *g, from, to);
}

// The article an ARTICLE, HEAD, BODY or STAT names: by Message-ID, by number in the
// selected group, or the current one. False after the refusal went out.
struct Target {
    const NewsGroup* group = nullptr;
    uint64_t number = 0;        // 0 when named by a Message-ID
    std::string messageId;      // as asked
    StoredMessage message;
};

bool findTarget(NewsSession& s, const std::vector<std::string_view>& words, Target& t) {
    NewsStore& store = s.door.store;
    if (words.size() >= 2 && isMessageId(words[1])) {
        t.messageId = std::string(words[1]);
        uint64_t number = 0;
        if (!store.findMessageId(t.messageId, *s.user, t.group, number) ||
            !store.article(*t.group, *s.user, number, t.message).isOk()) {
            s.reply("430 No article with that message-id");
            return false;
        }
        t.number = number;
        return true;
    }
    t.group = selectedGroup(s);
    if (!t.group) {
        s.reply("412 No newsgroup selected");
        return false;
    }
    if (words.size() >= 2) {
        if (!parseWholeNumber(words[1], t.number)) {
            s.reply("501 Not an article number or message-id");
            return false;
        }
    } else {
        t.number = s.articleNumber;
        if (t.number == 0) {
            s.reply("420 Current article number is invalid");
            return false;
        }
    }
    AreaResult r = store.article(*t.group, *s.user, t.number, t.message);
    if (r.code() == AreaResult::Code::NotFound) {
        s.reply(words.size() >= 2 ? "423 No article with that number" : "420 Current article number is invalid");
        return false;
    }
    if (!r.isOk()) {
        reportFault(s, *t.group, r);
        return false;
    }
    if (words.size() >= 2) s.articleNumber = t.number;
    return true;
}

// ARTICLE (220), HEAD (221), BODY (222), STAT (223).
void article(NewsSession& s, const std::vector<std::string_view>& words, int code) {
    Target t;
    if (!findTarget(s, words, t)) return;
    Article a;
    renderArticle(t.message, s.door.store.viewOf(*t.group, t.number), a);
    const std::string* id = a.header("Message-ID");
    // An article found by its Message-ID is reported with number 0 (RFC 3977, 6.2.1.2).
    const uint64_t shownNumber = t.messageId.empty() ? t.number : 0;
    s.reply(std::to_string(code) + " " + std::to_string(shownNumber) + " " + (id ? *id : t.messageId));
    if (code == 223) return;
    if (code != 222) {
        for (const auto& [name, value] : a.headers) s.blockLine(name + ": " + value);
    }
    if (code == 220) s.blockLine("");
    if (code != 221) s.maker = makeBodyWriter(std::move(a.body));
    else s.blockEnd();
}

void nextOrLast(NewsSession& s, bool next) {
    const NewsGroup* g = selectedGroup(s);
    if (!g) {
        s.reply("412 No newsgroup selected");
        return;
    }
    if (s.articleNumber == 0) {
        s.reply("420 Current article number is invalid");
        return;
    }
    NewsStore& store = s.door.store;
    uint64_t found = 0;
    AreaResult r = store.neighbour(*g, *s.user, s.articleNumber, next, found);
    if (!r.isOk()) {
        reportFault(s, *g, r);
        return;
    }
    if (found == 0) {
        s.reply(next ? "421 No next article in this group" : "422 No previous article in this group");
        return;
    }
    StoredMessage m;
    r = store.article(*g, *s.user, found, m);
    if (!r.isOk()) {
        reportFault(s, *g, r);
        return;
    }
    s.articleNumber = found;
    Article a;
    renderArticle(m, s.door.store.viewOf(*g, found), a);
    const std::string* id = a.header("Message-ID");
    s.reply("223 " + std::to_string(found) + " " + (id ? *id : std::string("<>")));
}

// OVER/XOVER and HDR/XHDR: a range of the selected group, the current article, or one by
// Message-ID.
void overOrHdr(NewsSession& s, const std::vector<std::string_view>& words, bool over, bool xhdr) {
    std::string field;
    size_t arg = 1;
    if (!over) {
        if (words.size() < 2) {
            s.reply("501 HDR field [message-ID|range]");
            return;
        }
        field = std::string(words[1]);
        arg = 2;
    }
    if (words.size() > arg + 1) {
        s.reply(over ? "501 OVER [message-ID|range]" : "501 HDR field [message-ID|range]");
        return;
    }
    const int code = over ? 224 : (xhdr ? 221 : 225);
    const char* head = over ? " Overview information follows" : " Headers follow";
    if (words.size() == arg + 1 && isMessageId(words[arg])) {
        Target t;
        if (!findTarget(s, {words[0], words[arg]}, t)) return;
        Article a;
        renderArticle(t.message, s.door.store.viewOf(*t.group, t.number), a);
        s.reply(std::to_string(code) + head);
        s.blockLine(over ? overviewLine(0, a) : "0 " + headerForHdr(a, field));
        s.blockEnd();
        return;
    }
    const NewsGroup* g = selectedGroup(s);
    if (!g) {
        s.reply("412 No newsgroup selected");
        return;
    }
    uint64_t from, to;
    if (words.size() == arg + 1) {
        if (!parseRange(words[arg], from, to)) {
            s.reply("501 Not a range");
            return;
        }
    } else {
        if (s.articleNumber == 0) {
            s.reply("420 Current article number is invalid");
            return;
        }
        from = to = s.articleNumber;
    }
    NewsStore& store = s.door.store;
    GroupSummary summary;
    AreaResult r = store.summary(*g, *s.user, summary);
    if (!r.isOk()) {
        reportFault(s, *g, r);
        return;
    }
    if (summary.count == 0 || from > to || to < summary.low || from > summary.high) {
        s.reply(words.size() == arg + 1 ? "423 No articles in that range" : "420 Current article number is invalid");
        return;
    }
    s.reply(std::to_string(code) + head);
    s.maker = over ? makeOverviewWriter(s, *g, from, to) : makeHeaderWriter(s, *g, from, to, field);
}

void post(NewsSession& s) {
    s.reply("340 Send article to be posted; end with <CR-LF>.<CR-LF>");
    s.phase = NewsPhase::Posting;
}

}  // namespace

void runCommand(NewsSession& s, std::string_view line, const Now& now) {
    std::vector<std::string_view> words = wordsOf(line);
    if (words.empty()) {
        s.reply("500 What?");
        return;
    }
    const std::string command = upper(words[0]);
    if (command == "QUIT") {
        s.reply("205 Bye");
        s.closeAfterReply = true;
        return;
    }
    if (command == "CAPABILITIES") return capabilities(s);
    if (command == "MODE") {
        if (words.size() == 2 && upper(words[1]) == "READER") {
            s.reply(s.loggedIn() ? "200 Reader mode, posting allowed" : "200 Reader mode, posting allowed after login");
        } else {
            s.reply("501 MODE READER");
        }
        return;
    }
    if (command == "AUTHINFO") return authinfo(s, words, line, now);
    if (command == "STARTTLS") {
        if (words.size() != 1) return s.reply("501 STARTTLS takes no argument");
        return startTls(s);
    }
    if (command == "DATE") return date(s, now);
    if (command == "HELP") return help(s);
    static const char* const kKnown[] = {"ARTICLE", "HEAD",  "BODY",     "STAT", "GROUP", "LISTGROUP", "NEXT",
                                         "LAST",    "LIST",  "OVER",     "XOVER", "HDR",  "XHDR",      "NEWGROUPS",
                                         "POST"};
    bool known = false;
    for (const char* k : kKnown) known = known || command == k;
    if (!known) {
        s.reply("500 Unknown command");
        return;
    }
    if (!s.loggedIn()) {
        s.reply("480 Authentication required");
        return;
    }
    if (command == "ARTICLE") return article(s, words, 220);
    if (command == "HEAD") return article(s, words, 221);
    if (command == "BODY") return article(s, words, 222);
    if (command == "STAT") return article(s, words, 223);
    if (command == "GROUP") return group(s, words, false);
    if (command == "LISTGROUP") return group(s, words, true);
    if (command == "NEXT") return nextOrLast(s, true);
    if (command == "LAST") return nextOrLast(s, false);
    if (command == "LIST") return list(s, words);
    if (command == "OVER" || command == "XOVER") return overOrHdr(s, words, true, false);
    if (command == "HDR" || command == "XHDR") return overOrHdr(s, words, false, command == "XHDR");
    if (command == "NEWGROUPS") return newgroups(s, words);
    post(s);
}

void continueLogin(NewsSession& s, const Now& now) {
    if (now.mono < s.actionAt) return;
    if (s.phase == NewsPhase::FailPending) {
        s.phase = NewsPhase::Reading;
        s.authName.clear();
        s.reply("481 Authentication failed");
        return;
    }
    if (!s.accountTurnTaken) {
        s.accountTurnTaken = true;
        LoginThrottle::Duration turn =
            s.door.services.logins.takeAccountTurn(limitsOf(s), s.account, s.peer(), now.mono);
        if (turn > LoginThrottle::Duration::zero()) {
            s.actionAt = now.mono + turn;
            return;
        }
    }
    s.phase = NewsPhase::Reading;
    weighPassword(s, now);
}

bool postArticle(NewsSession& s, const Now& now) {
    bool heldBack = false;
    std::string reply = storePost(s.door.services, s.door.groups, s.door.store, *s.user, s.article, now,
                                  now.mono < s.giveUpAt, heldBack);
    if (heldBack) return true;
    s.reply(reply);
    return false;
}

void newsSettingsReloaded(NewsSession& s, const Now& now) {
    if (s.closed() || s.phase == NewsPhase::Draining || !s.user) return;
    const UserDirectory& users = s.door.services.users;
    const std::string name(s.account.name);
    char field[sizeof s.user->name] = {};
    memcpy(field, name.data(), std::min(name.size(), sizeof field));
    const int32_t found = users.find(field, s.account.address);
    if (found < 0) {
        LogPeer scope(s.peerText());
        reportError(0, "user %s, %s is no longer registered: session closed", forConsole(name).c_str(),
                    formatFidoAddr(s.account.address).c_str());
        s.user = nullptr;
        s.claim.reset();
        disconnectNews(s, now.mono);
        return;
    }
    s.user = &users.at(found);
    s.claim = SessionRegistry::Claim(s.door.sessions, found);
}
