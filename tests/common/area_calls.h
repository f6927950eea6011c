// The area operations as the binary door uses them, for tests that check what a client
// receives: the list as header records, a fetch as the record and its lines, a delete with
// a user's rights.
#pragma once
#include <cstdint>
#include <vector>

#include "areas/echoarea.h"
#include "fido/fidoaddr.h"
#include "support/array.h"
#include "wire/packets.h"

// The message list as the binary door encodes it.
std::vector<pktMsgHeader> listHeaders(CEchoArea& area);
// The fetched message as the binary door sends it; false (and `out` empty) when the area
// does not give it.
bool fetch(CEchoArea& area, uint32_t number, MCArray<char>& out);
// A delete with the rights of a user at `requester`, a super user when `mayDeleteAny`.
AreaResult deleteAs(CEchoArea& area, uint32_t number, const FidoAddr& requester, bool mayDeleteAny);
