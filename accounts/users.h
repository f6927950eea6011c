// The registered users: who may log in, with which password and address, and with which
// rights. A user is known by name and address together; the same name may be registered
// under several addresses, each with its own password and rights.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fido/fidoaddr.h"
#include "support/array.h"

// One registered user.
struct rClientInfo {
    char name[36] = {};      // no terminator when 36 characters long
    char password[36] = {};  // all 36 bytes are the login key
    FidoAddr address;        // also the origin of the user's posts
    int32_t superUser = 0;   // may delete any message, and writes as the node does
};
bool arrayElementEquals(const rClientInfo& a, const rClientInfo& b);

// Finds users in the user list, which outlives it and does not change while it is used.
class UserDirectory {
public:
    explicit UserDirectory(const MCArray<rClientInfo>& users) : users_(users) {}

    // The first user whose address equals `address` in all four numbers and whose name
    // equals `name` in its first 36 characters (up to a zero byte), letter case counting;
    // -1 when there is none. `name` is a 36-byte field.
    int32_t find(const char* name, const FidoAddr& address) const;

    // The users a login name stands for, as newsreaders send one: the registered name with
    // "_" for a space if wanted, letter case aside, and "@ADDRESS" after it to pick one of
    // several users of that name. Their positions, in list order.
    std::vector<int32_t> matchLoginName(std::string_view loginName) const;

    int32_t count() const { return users_.getCount(); }
    const rClientInfo& at(int32_t index) const { return *users_.getAt(index); }
    // The position of a user of this directory.
    int32_t indexOf(const rClientInfo& user) const { return int32_t(&user - users_.getData()); }

private:
    const MCArray<rClientInfo>& users_;
};
