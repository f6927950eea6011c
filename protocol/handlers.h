// The command handlers of a logged-in session.
#pragma once
#include <cstdint>
#include <memory>

#include "areas/echoarea.h"
#include "protocol/packets.h"
#include "protocol/session.h"
#include "support/array.h"

extern MCArray<pktAreaInfo> areaInfoList;

// A post may announce at most this much data (the 186-byte record and the text). Data
// announced by an unknown command is discarded up to the same bound.
constexpr uint32_t kMaxPostDataSize = 4u * 1024 * 1024;

// What lives for one step of a session: the open area and the scratch lists.
struct StepContext {
    std::unique_ptr<CEchoArea> area;
    MCArray<pktMsgHeader> msgList;
    MCArray<char> msgData;
};

// Makes `area` hold the object for areaNumber (keeping a matching one). Leaves it empty,
// after an error line, for a number out of range or an unknown format.
void openArea(int32_t areaNumber, std::unique_ptr<CEchoArea>& area);

// Handles one packet of a logged-in session; throws ClientStepFailure to close.
void dispatchCommand(sessionClient& session, const pktHeader& header, StepContext& step);
