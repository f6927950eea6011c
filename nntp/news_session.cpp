#include "nntp/news_session.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "nntp/news_commands.h"
#include "support/log.h"
#include "support/socket.h"
#include "support/version.h"

namespace {

// At most this much arrives in one step, so that one client's article does not hold the
// others' steps.
constexpr size_t kReadChunk = 64 * 1024;

const SessionLimits& limitsOf(const NewsSession& s) { return s.door.services.limits(); }

bool outputPending(const NewsSession& s) { return s.outputSent < s.output.size() || s.maker != nullptr; }

// The session's share of the request data is given back.
void releaseArticle(NewsSession& s) {
    s.door.services.requests.giveBack(s.counted);
    s.counted = 0;
    std::string().swap(s.article);
    s.articleTooLarge = false;
}

// ---- the reply on its way ---------------------------------------------------------------

// Sends what the socket takes, making more of a long reply as the bytes drain: one piece
// per step at most, so that a reader who takes an overview as fast as the loop makes it
// does not hold the other connections for the whole of it. True when nothing is left to
// send.
bool sendOutput(NewsSession& s, MonoTime now) {
    bool pieceMade = false;
    for (;;) {
        if (s.maker && s.output.size() - s.outputSent < kReplyLowWater) {
            if (pieceMade) return false;  // the socket still takes more: the next step makes it
            // The sent bytes make room first, so that the buffer stays near its piece.
            s.output.erase(0, s.outputSent);
            s.outputSent = 0;
            if (!s.maker->more(s, s.output, kReplyPiece)) s.maker.reset();
            pieceMade = true;
        }
        if (s.outputSent == s.output.size()) {
            if (s.maker) return false;  // the next piece in the next step
            break;
        }
        Transfer t = s.send(s.output.data() + s.outputSent, s.output.size() - s.outputSent, nullptr, 0);
        if (t.status == Transfer::WouldBlock) return false;
        if (t.status != Transfer::Moved || t.bytes == 0) throw NewsStepFailure();
        s.outputSent += t.bytes;
        s.replyProgress = now;
    }
    if (s.output.capacity() > 2 * kReplyPiece) {
        std::string().swap(s.output);
    } else {
        s.output.clear();
    }
    s.outputSent = 0;
    s.lastActivity = now;
    if (s.closeAfterReply) throw NewsStepFailure();
    if (s.tlsAfterReply) {
        // What the client sent after STARTTLS, before the handshake, is dropped unread: it
        // must not be taken as if it had come inside TLS.
        s.tlsAfterReply = false;
        s.input.clear();
        s.partStart = MonoTime();
        s.lineDropping = 0;
        const Services& services = s.door.services;
        s.startTls(services.tls ? services.tls->credentials : nullptr, now + services.limits().tlsHandshakeTimeout);
    }
    return true;
}

// ---- lines that arrive ------------------------------------------------------------------

// Stores the whole article, or holds it back while another program writes the area.
void finishPost(NewsSession& s, const Now& now) {
    if (postArticle(s, now)) {
        s.phase = NewsPhase::PostHeld;
        s.actionAt = now.mono + limitsOf(s).writeRetryInterval;
        return;
    }
    s.phase = NewsPhase::Reading;
    releaseArticle(s);
}

// One line of an article after 340: the lone "." ends it, a leading dot of any other line
// is taken off, and the line is kept with a CRLF end while the article fits.
void takeArticleLine(NewsSession& s, std::string_view line, const Now& now) {
    if (line == ".") {
        s.partStart = MonoTime();
        s.phase = NewsPhase::Reading;
        if (s.articleTooLarge) {
            releaseArticle(s);
            s.reply("441 Article too large (at most " + std::to_string(kArticleMax) + " bytes)");
        } else {
            s.giveUpAt = now.mono + limitsOf(s).writeRetryTime;
            finishPost(s, now);
        }
        return;
    }
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    if (s.articleTooLarge) return;
    const size_t adding = line.size() + 2;
    if (s.article.size() + adding > kArticleMax) {
        releaseArticle(s);
        s.articleTooLarge = true;
        return;
    }
    const SessionLimits& limits = limitsOf(s);
    if (!s.door.services.requests.makeRoom(s, adding, limits.maxRequestBuffer, now.mono)) {
        reportError(0, "request data of all sessions would pass maxRequestBuffer (%llu bytes): connection closed",
                    static_cast<unsigned long long>(limits.maxRequestBuffer));
        throw NewsStepFailure();
    }
    s.article.append(line);
    s.article += "\r\n";
    s.door.services.requests.take(adding);
    s.counted += adding;
}

// Takes the whole lines that have arrived, one command (or article line) at a time, while
// no reply is waiting: commands are answered strictly in order.
void takeLines(NewsSession& s, const Now& now) {
    size_t start = 0;
    while (!outputPending(s) && !s.tlsAfterReply && !s.closed() &&
           (s.phase == NewsPhase::Reading || s.phase == NewsPhase::Posting)) {
        size_t lf = s.input.find('\n', start);
        if (lf == std::string::npos) break;
        std::string_view line(s.input.data() + start, lf - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // A line that arrived in one piece is as bounded as one that was dropped as it came.
        const size_t length = lf + 1 - start;
        start = lf + 1;
        if (s.phase == NewsPhase::Posting) {
            if (s.lineDropping > 0) {
                s.lineDropping = 0;  // the end of a line too long to keep
                continue;
            }
            takeArticleLine(s, line, now);
            continue;
        }
        s.partStart = MonoTime();
        s.lastActivity = now.mono;
        if (s.lineDropping > 0 || length > kCommandLineMax) {
            s.lineDropping = 0;
            s.reply("501 Command line too long (at most 512 bytes)");
            continue;
        }
        runCommand(s, line, now);
    }
    s.input.erase(0, start);
    // A line longer than its bound is dropped as it comes: a command line is refused at its
    // end, an article with such a line is too large.
    if (s.input.find('\n') == std::string::npos) {
        if (s.phase == NewsPhase::Reading && s.input.size() >= kCommandLineMax) {
            s.lineDropping += s.input.size();
            s.input.clear();
        } else if (s.phase == NewsPhase::Posting && s.input.size() > kArticleLineMax) {
            releaseArticle(s);
            s.articleTooLarge = true;
            s.lineDropping += s.input.size();
            s.input.clear();
        }
    }
    if (!s.input.empty() && s.partStart == MonoTime()) s.partStart = now.mono;
}

// Reads what has arrived, without waiting. False when the peer has gone.
bool receive(NewsSession& s) {
    static char scratch[kReadChunk];
    // A command line is short: only an article needs more than a line's room.
    size_t room = s.phase == NewsPhase::Posting ? sizeof scratch : kCommandLineMax + 2;
    Transfer t = s.receive(scratch, room);
    if (t.status == Transfer::WouldBlock) return true;
    if (t.status != Transfer::Moved || t.bytes == 0) return false;
    s.input.append(scratch, t.bytes);
    return true;
}

// ---- deadlines --------------------------------------------------------------------------

MonoTime readingDeadline(const NewsSession& s, bool& forPart) {
    const SessionLimits& l = limitsOf(s);
    forPart = s.partStart != MonoTime();
    if (forPart) return s.partStart + l.packetTimeout;
    if (!s.loggedIn()) return s.lastActivity + l.helloTimeout;
    return s.lastActivity + std::max<SessionLimits::Duration>(l.idleTimeout, kNewsIdleMin);
}

// ---- closing ----------------------------------------------------------------------------

void continueDrain(NewsSession& s, MonoTime now) {
    if (s.drainFinished(s.drained, limitsOf(s).drainBytes, s.drainUntil, now)) s.finishClose();
}

void runStep(NewsSession& s, Readiness ready, const Now& now) {
    if (outputPending(s)) {
        if (!ready.writable || !sendOutput(s, now.mono)) {
            if (now.mono - s.replyProgress >= limitsOf(s).replyTimeout) {
                reportError(0, "client does not take its reply: connection closed");
                throw NewsStepFailure();
            }
            return;
        }
    }
    switch (s.phase) {
    case NewsPhase::AuthHeld:
    case NewsPhase::FailPending:
        if (now.mono < s.actionAt) return;
        continueLogin(s, now);
        break;
    case NewsPhase::PostHeld:
        if (now.mono < s.actionAt) return;
        finishPost(s, now);
        break;
    case NewsPhase::Draining: return;
    case NewsPhase::Reading:
    case NewsPhase::Posting: break;
    }
    if (ready.readable && (s.phase == NewsPhase::Reading || s.phase == NewsPhase::Posting) && !outputPending(s)) {
        if (!receive(s)) {
            if (s.partStart != MonoTime() || s.phase == NewsPhase::Posting)
                reportError(0, "connection closed in the middle of a %s", s.phase == NewsPhase::Posting ? "post" : "line");
            throw NewsStepFailure();
        }
    }
    // A reply the socket took at once lets the next command that already arrived be taken:
    // readers send several commands before they read (slrnpull sends HEAD after HEAD), and
    // no readiness would come for lines that wait in `input`.
    for (;;) {
        takeLines(s, now);
        if (!outputPending(s)) break;
        s.replyProgress = now.mono;
        if (!sendOutput(s, now.mono)) return;
    }
    if (s.phase == NewsPhase::Reading || s.phase == NewsPhase::Posting) {
        bool forPart;
        if (now.mono >= readingDeadline(s, forPart)) {
            reportError(0, forPart ? "client timeout in the middle of a %s.\n" : "client timeout.\n",
                        s.phase == NewsPhase::Posting ? "post" : "line");
            throw NewsStepFailure();
        }
    }
}

}  // namespace

NewsDoor::NewsDoor(Services& s, std::time_t now) : services(s), store(s, groups) {
    buildGroups();
    store.load(now);
}

void NewsDoor::buildGroups() {
    groups.build(services.areaList, services.settings.news.groupPrefix,
                 [](const std::string& text) { reportWarning("%s", text.c_str()); });
}

void NewsDoor::areasChanged(std::time_t now) {
    buildGroups();
    store.groupsChanged(now);
}

ConnectionFactory NewsDoor::factory() {
    return [this](int socket, const NetAddress& peer, const Now& now) -> std::unique_ptr<Connection> {
        return std::unique_ptr<Connection>(new (std::nothrow) NewsSession(*this, socket, peer, now));
    };
}

NewsSession::NewsSession(NewsDoor& d, int socket, const NetAddress& peer, const Now& now)
    : Connection(socket, peer), door(d), connectedAt(now.mono), lastActivity(now.mono) {
    door.services.requests.add(this);
    reply(std::string("200 ") + kProgramName + " " + kProgramVersion + " news server ready (posting allowed after login)");
    replyProgress = now.mono;
}

NewsSession::~NewsSession() {
    door.services.requests.giveBack(counted);
    door.services.requests.remove(this);
}

SocketInterest NewsSession::interest() const {
    SocketInterest want;
    if (closed()) return want;
    if (phase == NewsPhase::Draining) {
        want.read = true;
        return want;
    }
    if (outputSent < output.size() || maker) {
        want.write = true;
        return want;
    }
    want.read = phase == NewsPhase::Reading || phase == NewsPhase::Posting;
    return want;
}

MonoTime NewsSession::deadline() const {
    if (closed()) return MonoTime::max();
    if (phase == NewsPhase::Draining) return drainUntil;
    if (outputSent < output.size() || maker) return replyProgress + limitsOf(*this).replyTimeout;
    if (phase == NewsPhase::AuthHeld || phase == NewsPhase::FailPending || phase == NewsPhase::PostHeld)
        return actionAt;
    bool forPart;
    return readingDeadline(*this, forPart);
}

void NewsSession::step(Readiness ready, const Now& now) {
    if (closed()) return;
    LogPeer scope(peerText());
    if (phase == NewsPhase::Draining) {
        continueDrain(*this, now.mono);
        return;
    }
    bool close = false;
    try {
        runStep(*this, ready, now);
    } catch (const NewsStepFailure&) {
        close = true;
    } catch (const std::bad_alloc&) {
        reportError(0, "out of memory");
        close = true;
    }
    if (close) disconnectNews(*this, now.mono);
    door.store.flush();
}

void NewsSession::reply(const std::string& line) {
    output += line;
    output += "\r\n";
}

void NewsSession::blockLine(std::string_view line) {
    if (!line.empty() && line[0] == '.') output += '.';
    output.append(line);
    output += "\r\n";
}

void NewsSession::blockEnd() { output += ".\r\n"; }

void NewsSession::closeToMakeRoom() {
    if (closed()) return;
    maker.reset();
    claim.reset();
    finishClose();
}

void NewsSession::dropForBudget(uint64_t limit, MonoTime now) {
    if (closed() || phase == NewsPhase::Draining) return;
    LogPeer scope(peerText());
    reportError(0, "request data of all sessions would pass maxRequestBuffer (%llu bytes): connection closed",
                static_cast<unsigned long long>(limit));
    disconnectNews(*this, now);
}

void NewsSession::settingsReloaded(const Now& now) { newsSettingsReloaded(*this, now); }

void NewsSession::finishClose() {
    releaseSocket();
    logLine("client disconnected.\n");
}

void disconnectNews(NewsSession& s, MonoTime now) {
    releaseArticle(s);
    s.input.clear();
    s.output.clear();
    s.outputSent = 0;
    s.maker.reset();
    s.phase = NewsPhase::Draining;
    s.claim.reset();
    s.drainUntil = now + limitsOf(s).drainTime;
    s.drained = 0;
    s.shutdownSending();
    continueDrain(s, now);
}
