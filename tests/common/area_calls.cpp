#include "common/area_calls.h"

#include "accounts/rights.h"
#include "core/desk.h"
#include "protocol/message_layout.h"

std::vector<pktMsgHeader> listHeaders(CEchoArea& area) {
    std::vector<pktMsgHeader> headers;
    AreaResult r = area.getMsgList([&headers](const MessageSummary& s) {
        headers.push_back(msgHeaderOf(s));
        return true;
    });
    if (!r.isOk()) headers.clear();
    return headers;
}

bool fetch(CEchoArea& area, uint32_t number, MCArray<char>& out) {
    out.removeAll();
    StoredMessage m;
    if (!area.getMessage(number, m).isOk()) return false;
    return encodeFetchedMessage(m, out);
}

AreaResult deleteAs(CEchoArea& area, uint32_t number, const FidoAddr& requester, bool mayDeleteAny) {
    rClientInfo user;
    user.address = requester;
    user.superUser = mayDeleteAny ? 1 : 0;
    RightsPolicy rights;
    UserDeleteCheck check(rights, user);
    return area.deleteMsg(number, check);
}
