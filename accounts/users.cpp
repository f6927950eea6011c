#include "accounts/users.h"

#include <cstring>
#include <string>

#include "support/text.h"

bool arrayElementEquals(const rClientInfo& a, const rClientInfo& b) {
    return a.address == b.address && strncmp(a.name, b.name, 36) == 0;
}

int32_t UserDirectory::find(const char* name, const FidoAddr& address) const {
    rClientInfo probe;
    memcpy(probe.name, name, sizeof probe.name);
    probe.address = address;
    return users_.find(0, probe);
}

std::vector<int32_t> UserDirectory::matchLoginName(std::string_view loginName) const {
    std::string_view name = loginName;
    FidoAddr address;
    bool withAddress = false;
    size_t at = loginName.rfind('@');
    if (at != std::string_view::npos) {
        std::string text(loginName.substr(at + 1));
        withAddress = parseFidoAddr(text.c_str(), address);
        if (withAddress) name = loginName.substr(0, at);
    }
    auto same = [](char a, char b) {
        if (a == '_') a = ' ';
        if (b == '_') b = ' ';
        return foldCase(a) == foldCase(b);
    };
    std::vector<int32_t> found;
    for (int32_t i = 0; i < users_.getCount(); ++i) {
        const rClientInfo& u = *users_.getAt(i);
        size_t length = strnlen(u.name, sizeof u.name);
        if (length != name.size()) continue;
        bool equal = true;
        for (size_t k = 0; k < length && equal; ++k) equal = same(u.name[k], name[k]);
        if (equal && (!withAddress || u.address == address)) found.push_back(i);
    }
    return found;
}
