// How the binary protocol lays messages out: a summary as the 160-byte header record of a
// message list, and a fetched message as its 186-byte record followed by its lines, each
// line ended by CR and a zero byte.
#pragma once
#include <cstdint>

#include "fido/message.h"
#include "support/array.h"
#include "wire/packets.h"

// Stands for "no bound" as the maximum length of the two text routines below.
constexpr int32_t kNoLengthBound = 0x7FFFFFFF;

// Appends the lines of a text to `out`, each followed by CR and a zero byte. CR and LF end
// a line; a ^A byte starts a new line unless the line is empty. Walks at most maxLength
// bytes and stops at a zero byte. Returns the address where the following text starts:
// just past the terminating zero with no bound, text + maxLength otherwise. Throws
// std::bad_alloc when `out` cannot grow.
const char* textToLines(const char* text, MCArray<char>& out, int32_t maxLength);

// Makes room in `out`, in one step, for `fixedBytes` more bytes followed by the lines
// that textToLines appends for a text of `textLength` bytes: ordinary texts then need no
// further room. (A text of many very short lines may still need more; textToLines then
// grows the array by half again at a time.) The count stays. False when the array cannot
// grow that far.
[[nodiscard]] bool reserveForLines(MCArray<char>& out, int64_t fixedBytes, int64_t textLength);

// Appends only the kludges of a text, one line each, as textToLines does.
const char* extractKludges(const char* text, MCArray<char>& out, int32_t maxLength);

// The list record of a summary: names and subject zero-filled, the date packed.
pktMsgHeader msgHeaderOf(const MessageSummary& summary);

// The data of a CID_S_MESSAGE reply into `out` (emptied first): the record (kludge hashes,
// area number and the reserved field 0; the low 16 bits of the attributes), then the lines
// of the control information, then those of the text. False when it would not fit in
// memory or in the reply's 31-bit size.
[[nodiscard]] bool encodeFetchedMessage(const StoredMessage& message, MCArray<char>& out);
