// The news door: one session per accepted connection, speaking the reader part of NNTP
// (RFC 3977) with AUTHINFO USER/PASS (RFC 4643) and STARTTLS (RFC 4642), on the same areas,
// users, rights and post rules as the binary door.
//
// Sockets never block. A session reads command lines (at most kCommandLineMax bytes each)
// and, after POST, an article up to the post size bound; it takes no new command while its
// reply is on its way, and a long reply (an overview of thousands of articles) is made a
// piece at a time as the socket takes it, so that what a session holds stays bounded.
// Everything a session waits for has a deadline on the monotonic clock.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/login_throttle.h"
#include "accounts/session_registry.h"
#include "accounts/users.h"
#include "core/connection.h"
#include "core/services.h"
#include "nntp/groups.h"
#include "nntp/news_store.h"

// A command line may hold this many bytes, its CRLF included (RFC 3977, section 3.1).
constexpr size_t kCommandLineMax = 512;
// An article may hold this many bytes, as a post of the binary door.
constexpr size_t kArticleMax = 4u * 1024 * 1024;
// A line of an article may hold this many bytes; an article with a longer one is too large.
constexpr size_t kArticleLineMax = 64 * 1024;
// A reply is made further once less than this is waiting for the socket.
constexpr size_t kReplyLowWater = 32 * 1024;
// ... and a piece of a long reply adds about this much.
constexpr size_t kReplyPiece = 64 * 1024;
// A session that sends no command while logged in is closed after idleTimeout, but never
// before this: newsreaders keep a connection open between their users' reads.
constexpr std::chrono::seconds kNewsIdleMin{180};

class NewsSession;

// What the door keeps for all its sessions: the shared services, the groups made from the
// areas, their article numbers, and how many sessions each user has.
struct NewsDoor {
    // Makes the groups and reads the door's state; `now` dates the groups seen first.
    NewsDoor(Services& s, std::time_t now);
    NewsDoor(const NewsDoor&) = delete;
    NewsDoor& operator=(const NewsDoor&) = delete;

    Services& services;
    NewsGroups groups;
    NewsStore store;
    SessionRegistry sessions;  // logged-in sessions per user

    // The factory of the door's listener.
    ConnectionFactory factory();
    // The areas may have changed (a reload): the groups are made again.
    void areasChanged(std::time_t now);

private:
    void buildGroups();
};

// The rest of a long reply, made a piece at a time.
class ReplyMaker {
public:
    virtual ~ReplyMaker() = default;
    // Appends about `room` bytes (whole lines) to `out`; false once the reply is complete
    // (its last line, the terminating "." included, is in `out`).
    virtual bool more(NewsSession& session, std::string& out, size_t room) = 0;
};

enum class NewsPhase {
    Reading,      // taking command lines
    Posting,      // taking the lines of an article after 340
    AuthHeld,     // AUTHINFO PASS waits out its network's delay or its account's turn
    FailPending,  // a failed login: 481 goes out when the delay is over
    PostHeld,     // a post another program's write held back: tried again at actionAt
    Draining,     // closing: the sending side is shut, what still arrives is dropped
};

class NewsSession : public Connection, public RequestBudget::Holder {
public:
    NewsSession(NewsDoor& door, int socket, const NetAddress& peer, const Now& now);
    ~NewsSession() override;

    SocketInterest interest() const override;
    MonoTime deadline() const override;
    void step(Readiness ready, const Now& now) override;
    bool loggedIn() const override { return user != nullptr; }
    bool closing() const override { return phase == NewsPhase::Draining; }
    void closeToMakeRoom() override;
    void settingsReloaded(const Now& now) override;
    uint64_t heldRequestBytes() const override { return counted; }
    void dropForBudget(uint64_t limit, MonoTime now) override;

    NewsDoor& door;
    NewsPhase phase = NewsPhase::Reading;

    // Received bytes not yet taken: part of a command line, or of an article.
    std::string input;
    size_t lineDropping = 0;  // bytes of an overlong line dropped so far
    std::string article;      // the article being posted, its lines undotted, CRLF ends
    bool articleTooLarge = false;
    uint64_t counted = 0;     // of the request data all sessions hold, this session's share

    // The reply: bytes waiting for the socket, and what makes the rest of a long one.
    std::string output;
    size_t outputSent = 0;
    std::unique_ptr<ReplyMaker> maker;
    bool closeAfterReply = false;
    bool tlsAfterReply = false;  // STARTTLS: the handshake begins once the 382 is out

    // The login.
    std::string authName;                 // from AUTHINFO USER, waiting for PASS
    std::string authPassword;             // from AUTHINFO PASS, while it waits its turn
    LoginAccount account;                 // the user the name picked, for the throttle
    bool accountTurnTaken = false;
    const rClientInfo* user = nullptr;    // once logged in: an entry of the user list in force
    SessionRegistry::Claim claim;

    // The selected group (by name, which a reload keeps) and its current article (0 for
    // none).
    std::string groupName;
    uint64_t articleNumber = 0;

    MonoTime connectedAt{};
    MonoTime lastActivity{};    // the last command taken or reply sent
    MonoTime partStart{};       // the first byte of a command line or article not yet whole
    MonoTime replyProgress{};   // the last time the reply moved
    MonoTime actionAt{};        // the end of a held phase's wait
    MonoTime giveUpAt{};        // a held post is refused from then on
    MonoTime drainUntil{};
    size_t drained = 0;

    // Appends a one-line reply ("211 3 1 3 fido.test"); CRLF is added.
    void reply(const std::string& line);
    // A multi-line block: its lines are dot-stuffed and end in CRLF; end() adds ".".
    void blockLine(std::string_view line);
    void blockEnd();
    // Closes the socket (after the drain) with "client disconnected.".
    void finishClose();
};

// Shuts the sending side down and drains what the peer still sends for a moment.
void disconnectNews(NewsSession& session, MonoTime now);
