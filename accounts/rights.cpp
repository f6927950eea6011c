#include "accounts/rights.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fido/message_text.h"

namespace {

bool isStampedKludge(std::string_view kludge) {
    for (std::string_view keyword : {"MSGID", "INTL", "FMPT", "TOPT"})
        if (isKludgeNamed(kludge, keyword)) return true;
    return false;
}

// The text without the kludges the server stamps itself, wherever they stand; a line
// that held nothing else goes with them.
std::string dropStampedKludges(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const TextLine& line : splitLines(text)) {
        LineKludges p = kludgesOfLine(line.body);
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

// The text's last line that is not blank, when it is an Origin line, names the user's
// address.
std::string ownOriginAtEnd(const std::string& text, const FidoAddr& address) {
    std::vector<TextLine> lines = splitLines(text);
    size_t last = lastNonBlankLine(lines);
    if (last == lines.size() || !isOriginLine(lines[last].body)) return text;
    std::string out;
    out.reserve(text.size() + 32);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i != last) {
            appendLine(out, lines[i]);
            continue;
        }
        out += ownOriginLine(lines[i].body, address);
        if (lines[i].end) out += lines[i].end;
    }
    return out;
}

}  // namespace

const char* deleteVerdictText(DeleteVerdict verdict) {
    switch (verdict) {
    case DeleteVerdict::Allowed: return "";
    case DeleteVerdict::AlreadySent: return "already sent";
    case DeleteVerdict::NoMsgId: return "no MSGID names its author";
    case DeleteVerdict::NotYours: return "not yours";
    }
    return "";
}

DeleteVerdict RightsPolicy::mayDelete(const rClientInfo& user, const MessageOwnership& owner) const {
    if (deletesAny(user)) return DeleteVerdict::Allowed;
    if (owner.attributes & kAttrSent) return DeleteVerdict::AlreadySent;
    if (!owner.hasMsgId) return DeleteVerdict::NoMsgId;
    if (!(owner.msgIdAddress == user.address)) return DeleteVerdict::NotYours;
    return DeleteVerdict::Allowed;
}

void RightsPolicy::applyToPost(const rClientInfo& user, bool netmail, NewMessage& post) const {
    if (user.superUser) return;
    post.fromName.assign(user.name, strnlen(user.name, sizeof user.name));
    if (netmail) post.attributes &= kUserNetmailAttributes;
    post.text = dropStampedKludges(post.text);
    if (!netmail) post.text = ownOriginAtEnd(post.text, user.address);
}
