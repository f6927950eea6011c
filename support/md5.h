// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) with the login's fixed 36-byte key.
#pragma once
#include <cstdint>

struct MD5Context {
    uint32_t state[4];
    uint32_t bitCount[2];  // low word first
    uint8_t buffer[64];
};

void md5Init(MD5Context& ctx);
void md5Update(MD5Context& ctx, const uint8_t* bytes, uint32_t count);
void md5Final(MD5Context& ctx, uint8_t digest[16]);  // clears the context afterwards

constexpr int kHmacKeyLength = 36;
constexpr int kChallengeLength = 20;

// HMAC-MD5 of a 20-byte message keyed with exactly 36 key bytes (a password field,
// zero-padded after the text). `out` also holds the inner digest while computing.
void hmacMd5(const uint8_t key[kHmacKeyLength], const uint8_t message[kChallengeLength], uint8_t out[16]);

// The same HMAC over a message of any length (hmacMd5 is this with the 20-byte challenge).
void hmacMd5Message(const uint8_t key[kHmacKeyLength], const uint8_t* message, uint32_t length, uint8_t out[16]);
