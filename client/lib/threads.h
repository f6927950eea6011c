// Discussions of an area as trees, built from the MSGID and REPLY hashes its message list
// carries: a message answers the listed message whose msgIdHash equals its replyHash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/packets.h"

namespace qclient {

constexpr size_t kNoParent = static_cast<size_t>(-1);

// For each header, the index of the header it answers, or kNoParent: the first listed
// message (other than itself) whose msgIdHash equals its replyHash.
std::vector<size_t> replyParents(const std::vector<pktMsgHeader>& headers);

// A packed date-time as a number that sorts in time order (the date half first).
uint32_t dateOrder(uint32_t packed);

struct ThreadRow {
    size_t index;           // into the headers
    size_t depth;           // 0 for the first message of a thread
    bool parentMissing;     // a reply whose original is not in the list
};

// Every header once, tree by tree: a message after its parent, the replies to one message
// in date order (then by number), the trees in the date order of their first messages. A
// reply whose original is not listed starts a tree of its own; so does the earliest
// message of a loop of replies, which no first message leads to.
std::vector<ThreadRow> threadRows(const std::vector<pktMsgHeader>& headers);

// The rows of the one tree that holds the message numbered `number`; empty when no listed
// message has that number.
std::vector<ThreadRow> threadRowsOf(const std::vector<pktMsgHeader>& headers, uint32_t number);

}  // namespace qclient
