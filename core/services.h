// What every door shares: the configured areas, the users and the rights policy, the login
// throttle, the MSGID serials, the settings with their limits, and the request data that
// all connections hold together. The server owns them for the whole run; a door's own state
// (its coder, its reply buffers, its sessions) stays in the door. A reload of the settings
// changes the areas, users, rights and settings in place, between two steps of the loop.
#pragma once
#include <cstdint>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/rights.h"
#include "accounts/users.h"
#include "areas/area_settings.h"
#include "config/config.h"
#include "core/area_numbers.h"
#include "core/request_budget.h"
#include "fido/msgid.h"
#include "tls/tls_server.h"

struct Services {
    const std::vector<mArea>& areaList;  // an area's number is its index
    const UserDirectory& users;
    const RightsPolicy& rights;
    LoginThrottle& logins;     // failed logins and refused connections per network address
    MsgIdSerials& serials;     // of every message the server writes
    const ServerSettings& settings;
    RequestBudget& requests;   // request data buffered by all connections together
    AreaNumbers& areaNumbers;  // the area lists reloads brought, for numbers given out before
    TlsSide* tls = nullptr;    // the certificate in force; none without one

    const SessionLimits& limits() const { return settings.limits; }
    bool hasArea(int32_t number) const { return number >= 0 && size_t(number) < areaList.size(); }
};
