#include "accounts/rights.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fido/message_text.h"
#include "support/text.h"

namespace {

// Kludges a tosser routes by or takes identity from: the server stamps its own, and an
// ordinary user's are dropped wherever they stand.
bool isRoutingKludge(std::string_view kludge) {
    for (std::string_view keyword : {"MSGID", "INTL", "FMPT", "TOPT", "PATH", "Via"})
        if (isKludgeNamed(kludge, keyword)) return true;
    return false;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The text without what a tosser would read as routing: the routing kludges (a line that
// held nothing else goes with them), an "AREA:" line where the text's first non-kludge line
// stands (a tosser takes it for the echo area), and "SEEN-BY:" at a line's start, made
// "SEEN+BY:" as message editors do.
std::string withoutRouting(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool bodyStarted = false;
    for (const TextLine& line : splitLines(text)) {
        LineKludges p = kludgesOfLine(line.body);
        std::string kept(p.head);
        bool dropped = false;
        for (std::string_view k : p.kludges) {
            if (isRoutingKludge(k.substr(1)))
                dropped = true;
            else
                kept.append(k);
        }
        if (dropped && kept.empty()) continue;
        if (!bodyStarted && (kept.empty() || kept[0] != kKludgeMark)) {
            bodyStarted = true;
            if (startsWith(kept, "AREA:")) continue;
        }
        if (startsWith(kept, "SEEN-BY:")) kept[4] = '+';
        out += kept;
        if (line.end) out += line.end;
    }
    return out;
}

// "zone:net/node" or "zone:net/node.point", decimal numbers up to 65535 and nothing else.
bool parseExactAddress(std::string_view text, FidoAddr& out) {
    uint32_t parts[4] = {0, 0, 0, 0};
    const char separators[3] = {':', '/', '.'};
    size_t part = 0, digits = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + uint32_t(c - '0');
            if (parts[part] > 0xFFFF || ++digits > 5) return false;
        } else if (part < 3 && c == separators[part] && digits > 0) {
            ++part;
            digits = 0;
        } else {
            return false;
        }
    }
    if (digits == 0 || part < 2) return false;
    out = FidoAddr{uint16_t(parts[0]), uint16_t(parts[1]), uint16_t(parts[2]), uint16_t(parts[3])};
    return true;
}

// An Origin line a tosser reads the user's own address from: its last parenthesised part
// is exactly that one address, and nothing but blanks follows the ")".
bool namesOnlyTheUser(std::string_view body, const FidoAddr& address) {
    size_t close = body.rfind(')');
    if (close == std::string_view::npos || !isBlankLine(body.substr(close + 1))) return false;
    size_t open = body.rfind('(', close);
    FidoAddr named;
    return open != std::string_view::npos && parseExactAddress(body.substr(open + 1, close - open - 1), named) &&
           named == address;
}

// The text without its closing Origin line (the text's last line that is not blank) when
// that line does not name only the user's address; the node's Origin line with the user's
// address then takes its place, as for any text that ends without one.
std::string withoutForeignOrigin(const std::string& text, const FidoAddr& address) {
    std::vector<TextLine> lines = splitLines(text);
    size_t last = lastNonBlankLine(lines);
    if (last == lines.size() || !isOriginLine(lines[last].body) || namesOnlyTheUser(lines[last].body, address))
        return text;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < last; ++i) appendLine(out, lines[i]);
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

bool RightsPolicy::maySeeNetmail(const rClientInfo& user, const MessageSummary& m) const {
    if (seesAllNetmail(user)) return true;
    const std::string name(user.name, strnlen(user.name, sizeof user.name));
    return equalsNoCase(m.fromName, name) || equalsNoCase(m.toName, name) || m.origAddr == user.address ||
           m.destAddr == user.address;
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
    post.text = withoutRouting(post.text);
    if (!netmail) post.text = withoutForeignOrigin(post.text, user.address);
}
