// The command handlers of a logged-in session.
#pragma once
#include <cstdint>
#include <memory>

#include "areas/echoarea.h"
#include "config/config.h"
#include "protocol/session.h"
#include "support/array.h"
#include "wire/packets.h"

// What lives for one step of a session: the open area and the scratch lists.
struct StepContext {
    std::unique_ptr<CEchoArea> area;
    MCArray<pktMsgHeader> msgList;
    MCArray<char> msgData;
};

// Makes `area` hold the object for areaNumber (keeping a matching one). Leaves it empty,
// after an error line, for a number out of range or an unknown format.
void openArea(const MCArray<mArea>& areaList, int32_t areaNumber, std::unique_ptr<CEchoArea>& area);

// Handles one packet of a logged-in session; throws ClientStepFailure to close.
void dispatchCommand(ServerContext& server, sessionClient& session, const pktHeader& header, StepContext& step);
