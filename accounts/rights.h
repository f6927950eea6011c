// What a user may do beyond reading: whose messages they may delete, and what their posts
// may carry. Every door and both area formats go by this one policy.
//
// Super users may read all netmail, delete any message and write as the node does: their
// posts keep the sender name, attributes, kludges and Origin line they give. Every other user:
//   - reads only netmail of their own: from or to their name (letter case aside), or from or
//     to their address (unless the node lets everyone read all netmail);
//   - may delete only a message whose MSGID names their own address (all four numbers)
//     and that is not sent yet;
//   - posts under their registered name;
//   - may ask only for the netmail attribute bits below;
//   - cannot route or speak for others through their text: the kludges the server stamps
//     itself and those tossers route by (MSGID, INTL, FMPT, TOPT, PATH, Via) are dropped
//     wherever they stand, an "AREA:" line where the text's first non-kludge line stands is
//     dropped, and "SEEN-BY:" at a line's start becomes "SEEN+BY:";
//   - keeps the Origin line that ends an echomail text only when its last parenthesised
//     part is exactly their own address, with nothing after the ")"; otherwise the node's
//     Origin line with their address takes its place.
#pragma once
#include <cstdint>

#include "accounts/users.h"
#include "fido/attributes.h"
#include "fido/message.h"

// The netmail attribute bits a user without sysop rights may ask for.
constexpr uint16_t kUserNetmailAttributes =
    kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrHold | kAttrReturnReceiptRequest;

// Whether a delete may go on, and why not.
enum class DeleteVerdict {
    Allowed,
    AlreadySent,  // marked sent: the tosser has exported it
    NoMsgId,      // no MSGID with an address among its kludges: whose it is cannot be told
    NotYours,     // its MSGID names another address
};
// "already sent", "no MSGID names its author", "not yours"; empty for Allowed.
const char* deleteVerdictText(DeleteVerdict verdict);

class RightsPolicy {
public:
    // `everyoneReadsAllNetmail`: for nodes whose users share one mailbox.
    explicit RightsPolicy(bool everyoneReadsAllNetmail = false) : everyoneReadsAllNetmail_(everyoneReadsAllNetmail) {}

    // Whether the user may see this netmail message (list, count, fetch), and whether they
    // see all of it.
    bool maySeeNetmail(const rClientInfo& user, const MessageSummary& message) const;
    bool seesAllNetmail(const rClientInfo& user) const { return user.superUser != 0 || everyoneReadsAllNetmail_; }

    // Whether the user may delete a message whatever it shows of whose it is.
    bool deletesAny(const rClientInfo& user) const { return user.superUser != 0; }
    DeleteVerdict mayDelete(const rClientInfo& user, const MessageOwnership& owner) const;

    // Applies the rules above to a post before it is stored: sender name, netmail
    // attributes, routing lines, and (in echomail) the Origin line that ends the text.
    // Throws std::bad_alloc when memory runs out.
    void applyToPost(const rClientInfo& user, bool netmail, NewMessage& post) const;

private:
    bool everyoneReadsAllNetmail_;
};
