// Which users have a session at the moment, for the doors that limit how many a user may
// have (the binary door allows one per user). A session claims its user once logged in and
// gives the claim back when it closes.
#pragma once
#include <cstdint>
#include <unordered_map>

class SessionRegistry {
public:
    // Sessions the user at this position of the user list holds.
    uint32_t sessionsOf(int32_t userIndex) const;
    bool isUserConnected(int32_t userIndex) const { return sessionsOf(userIndex) > 0; }

    // A session's hold on its user, given back when it is reset or destroyed.
    class Claim {
    public:
        Claim() = default;
        Claim(SessionRegistry& registry, int32_t userIndex);
        ~Claim() { reset(); }
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        bool held() const { return registry_ != nullptr; }
        void reset();

    private:
        SessionRegistry* registry_ = nullptr;
        int32_t userIndex_ = -1;
    };

private:
    std::unordered_map<int32_t, uint32_t> sessions_;  // by user position; only users with sessions
};
