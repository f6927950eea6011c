// Sending replies: a header alone, or a header and its data in one write; and the
// compression of large reply data into an LZW12 block.
#pragma once
#include <cstdint>

#include "support/lzw12.h"

// Sends a reply header with no data. False when not all 8 bytes were sent; the caller
// reports it.
[[nodiscard]] bool sendEmptyReply(int socket, uint32_t replyId);

// sendEmptyReply with the report "sendReplyHelper(%u) failed" when it fails.
[[nodiscard]] bool sendReplyHelper(int socket, uint32_t replyId);

// Replaces data[0..size) by a compressed block (the 4-byte length, then the stream) when
// the block is shorter than the data; size then carries bit 31. Returns the number of
// bytes to send after the header. Data of 64 bytes or less is never compressed.
uint32_t compressReplyData(LZW12& compressor, uint32_t& size, uint8_t* data);
