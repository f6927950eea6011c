// The login by challenge and answer: the server sends 20 bytes, the client proves that it
// knows the user's password by answering with their HMAC-MD5 under it. No password
// crosses the wire.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "accounts/users.h"

constexpr size_t kLoginChallengeSize = 20;
constexpr size_t kLoginAnswerSize = 16;

// The challenge of a hello: 20 bytes from the kernel's random source, new every time, so
// that an answer seen on the wire is worth nothing on another connection.
void makeChallenge(uint8_t out[kLoginChallengeSize]);
// The fallback form when the random source fails: the local time as "%d %b %y %H:%M:%S"
// and two zeros, or a fixed text when the time cannot be had either.
void makeChallenge(uint8_t out[kLoginChallengeSize], const std::tm* local);

// The answer the user's password gives to the challenge.
void expectedAnswer(const rClientInfo& user, const uint8_t challenge[kLoginChallengeSize],
                    uint8_t out[kLoginAnswerSize]);
// Compares all 16 bytes whatever differs first, so the time taken tells nothing.
bool answersMatch(const uint8_t a[kLoginAnswerSize], const uint8_t b[kLoginAnswerSize]);

// For logins that send the password itself (the news door's AUTHINFO): whether it is the
// user's, as the key it makes (cut to 36 bytes, zero-padded) compared over all 36 bytes.
bool passwordMatches(const rClientInfo& user, std::string_view password);
