// Checks shared by the tests that run a real tosser beside the server: the fixed text
// fields of the records a client receives, the hashes a list entry carries for the MSGID
// and REPLY kludges, and a list entry or fetched message against the packed message it
// was tossed from.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/fido_packet.h"
#include "wire/packets.h"

namespace interop {

// Text of a fixed field up to its first zero byte, after checking that everything behind
// that byte is zero: what reaches a client must not carry bytes the writer left behind.
template <size_t N>
std::string cleanField(const char (&field)[N]) {
    size_t n = strnlen(field, N);
    for (size_t i = n; i < N; ++i)
        if (field[i] != 0) {
            ADD_FAILURE() << "byte " << i << " after the text of a " << N << "-byte field is not zero";
            break;
        }
    return std::string(field, n);
}

// The hash a list entry carries for a kludge's value: its CRC-32, 0 for none.
uint32_t kludgeHash(const std::string& value);

// The names, subject and date of a list entry or of a fetched message's header are those
// of the packed message.
void expectHeaderAsPacked(const pktMsgHeader& h, const fidopkt::PackedMsg& p);
// A list entry: the above, and the hashes of the packed message's MSGID and REPLY values.
void expectListedAsPacked(const pktMsgHeader& h, const fidopkt::PackedMsg& p);

}  // namespace interop
