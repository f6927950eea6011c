// MD5 against the RFC 1321 suite, HMAC-MD5 against the RFC 2104/2202 vectors, the login's
// 36-byte key rule, and (when libcrypto is at hand) a cross-check with OpenSSL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/le.h"
#include "support/md5.h"

#ifdef QUORVA_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string md5Hex(const std::string& text) {
    MD5Context ctx;
    md5Init(ctx);
    md5Update(ctx, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()));
    uint8_t digest[16];
    md5Final(ctx, digest);
    return hex(digest, 16);
}

// A password field: the text, zero-padded to 36 bytes, cut at 36 bytes.
struct KeyField {
    uint8_t bytes[kHmacKeyLength];
    explicit KeyField(const std::string& password) { copyField(reinterpret_cast<char*>(bytes), password.c_str(), sizeof bytes); }
    explicit KeyField(const std::vector<uint8_t>& raw) {
        memset(bytes, 0, sizeof bytes);
        if (!raw.empty()) memcpy(bytes, raw.data(), std::min(raw.size(), sizeof bytes));
    }
};

std::string hmacHex(const KeyField& key, const std::string& message) {
    uint8_t out[16];
    hmacMd5Message(key.bytes, reinterpret_cast<const uint8_t*>(message.data()), uint32_t(message.size()), out);
    return hex(out, 16);
}

TEST(MD5, Rfc1321Suite) {
    struct Case {
        std::string text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(md5Hex(c.text), c.digest);
    }
}

TEST(MD5, PiecesGiveTheSameDigestAndFinalClearsTheContext) {
    // 200 bytes cross block and padding boundaries (55, 56, 63, 64, 119, 120 ...).
    std::string text;
    for (int i = 0; i < 200; ++i) text += char('A' + i % 53);
    for (size_t total : {size_t(55), size_t(56), size_t(63), size_t(64), size_t(65), size_t(119), size_t(120), size_t(200)}) {
        const std::string whole = md5Hex(text.substr(0, total));
        for (size_t cut = 0; cut <= total; cut += 7) {
            SCOPED_TRACE(std::to_string(total) + "/" + std::to_string(cut));
            MD5Context ctx;
            md5Init(ctx);
            const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
            md5Update(ctx, p, uint32_t(cut));
            md5Update(ctx, p + cut, 0);
            md5Update(ctx, p + cut, uint32_t(total - cut));
            uint8_t digest[16];
            md5Final(ctx, digest);
            EXPECT_EQ(hex(digest, 16), whole);
            const MD5Context zero{};
            EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
        }
    }
}

TEST(HmacMd5, PublishedVectors) {
    struct Case {
        const char* name;
        std::vector<uint8_t> key;
        std::string message;
        const char* mac;
    };
    std::vector<uint8_t> key25;
    for (uint8_t b = 1; b <= 25; ++b) key25.push_back(b);
    const Case cases[] = {
        {"0x0b key", std::vector<uint8_t>(16, 0x0b), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", {'J', 'e', 'f', 'e'}, "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {"0xaa key", std::vector<uint8_t>(16, 0xaa), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {"25-byte key", key25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {"empty key and message", {}, "", "74e6f7298a9c2d168935f58c001bad88"},
        {"key", {'k', 'e', 'y'}, "The quick brown fox jumps over the lazy dog", "80070713463e7749b90c2dc24911e275"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hmacHex(KeyField(c.key), c.message), c.mac);
    }

    // The one vector with a 20-byte message goes through the login's own entry point.
    KeyField key(std::vector<uint8_t>(16, 0x0c));
    uint8_t out[16];
    hmacMd5(key.bytes, reinterpret_cast<const uint8_t*>("Test With Truncation"), out);
    EXPECT_EQ(hex(out, 16), "56461ef2342edc00f9bab995690efd4c");
}

TEST(HmacMd5, KeyIsTheWholeThirtySixByteField) {
    const uint8_t challenge[kChallengeLength] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    auto mac = [&](const uint8_t* key) {
        uint8_t out[16];
        hmacMd5(key, challenge, out);
        return hex(out, 16);
    };

    // A 36-character password fills its field: every byte counts, the last one too.
    const std::string full = "abcdefghijklmnopqrstuvwxyz0123456789";
    ASSERT_EQ(full.size(), 36u);
    std::string changedLast = full;
    changedLast[35] = 'X';
    EXPECT_NE(mac(KeyField(full).bytes), mac(KeyField(changedLast).bytes));

    // Bytes after the 36th are never read: a longer password equals its 36-byte prefix.
    uint8_t longer[60];
    memcpy(longer, (full + "more text after the field").data(), sizeof longer);
    EXPECT_EQ(mac(longer), mac(KeyField(full).bytes));
    EXPECT_EQ(mac(KeyField(full + "cut off").bytes), mac(KeyField(full).bytes));

    // 36 zero bytes are the empty key.
    const uint8_t zeros[kHmacKeyLength] = {};
    EXPECT_EQ(hmacHex(KeyField(std::vector<uint8_t>{}), ""), "74e6f7298a9c2d168935f58c001bad88");
    uint8_t emptyKeyMac[16];
    hmacMd5Message(zeros, challenge, kChallengeLength, emptyKeyMac);
    EXPECT_EQ(mac(zeros), hex(emptyKeyMac, 16));

    // Nothing survives between calls.
    EXPECT_EQ(mac(KeyField("secret").bytes), mac(KeyField("secret").bytes));
}

TEST(HmacMd5, MatchesOpenSslForRandomPasswordsAndChallenges) {
#ifndef QUORVA_HAVE_OPENSSL
    GTEST_SKIP() << "libcrypto not available";
#else
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> length(1, 50), printable(33, 126), byte(0, 255);
    for (int round = 0; round < 500; ++round) {
        std::string password(size_t(length(rng)), ' ');
        for (char& c : password) c = char(printable(rng));
        uint8_t challenge[kChallengeLength];
        for (uint8_t& b : challenge) b = uint8_t(byte(rng));

        KeyField field(password);
        uint8_t ours[16];
        hmacMd5(field.bytes, challenge, ours);

        // The standard HMAC keyed with the text itself, or with its first 36 bytes.
        const size_t keyLength = std::min<size_t>(password.size(), kHmacKeyLength);
        uint8_t theirs[16];
        size_t theirLength = 0;
        ASSERT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "MD5", nullptr, password.data(), keyLength, challenge,
                            sizeof challenge, theirs, sizeof theirs, &theirLength),
                  nullptr);
        ASSERT_EQ(theirLength, 16u);
        ASSERT_EQ(hex(ours, 16), hex(theirs, 16)) << password;
    }
#endif
}

#ifdef QUORVA_HAVE_OPENSSL
TEST(MD5, MatchesOpenSslForRandomMessages) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> length(0, 3000);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> data(length(rng));
        for (uint8_t& b : data) b = uint8_t(byte(rng));
        MD5Context ctx;
        md5Init(ctx);
        // Fed in uneven pieces.
        for (size_t at = 0; at < data.size();) {
            size_t n = std::min(data.size() - at, size_t(1 + (at * 31) % 97));
            md5Update(ctx, data.data() + at, uint32_t(n));
            at += n;
        }
        uint8_t ours[16];
        md5Final(ctx, ours);
        uint8_t theirs[EVP_MAX_MD_SIZE];
        unsigned int theirLength = 0;
        ASSERT_EQ(EVP_Digest(data.data(), data.size(), theirs, &theirLength, EVP_md5(), nullptr), 1);
        ASSERT_EQ(hex(ours, 16), hex(theirs, theirLength));
    }
}
#endif

}  // namespace
