#include "accounts/users.h"

#include <cstring>

bool arrayElementEquals(const rClientInfo& a, const rClientInfo& b) {
    return a.address == b.address && strncmp(a.name, b.name, 36) == 0;
}

int32_t UserDirectory::find(const char* name, const FidoAddr& address) const {
    rClientInfo probe;
    memcpy(probe.name, name, sizeof probe.name);
    probe.address = address;
    return users_.find(0, probe);
}
