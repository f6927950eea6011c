#include "protocol/reply.h"

#include <errno.h>

#include <cstring>
#include <memory>
#include <new>

#include "support/le.h"
#include "support/log.h"
#include "support/socket.h"
#include "wire/packets.h"

bool sendEmptyReply(int socket, uint32_t replyId) {
    uint8_t header[kPktHeaderSize];
    encodeHeader(pktHeader{replyId, 0}, header);
    return sendn(socket, header, kPktHeaderSize) == ssize_t(kPktHeaderSize);
}

bool sendReplyHelper(int socket, uint32_t replyId) {
    errno = 0;
    if (sendEmptyReply(socket, replyId)) return true;
    reportError(errno, "sendReplyHelper(%u) failed", replyId);
    return false;
}

uint32_t compressReplyData(LZW12& compressor, uint32_t& size, uint8_t* data) {
    if (size < uint32_t(LZW12::kMinLength) || size > 0x7FFFFFF0u) return size;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[size_t(size) + 6]);
    if (!work) return size;
    uint32_t r = compressor.compress(data, int32_t(size), work.get() + kCompressedLengthPrefix);
    if (r == 0 || uint64_t(r) + kCompressedLengthPrefix >= size) return size;
    putU32(work.get(), size);
    size = uint32_t(r + kCompressedLengthPrefix) | PKT_SIZE_COMPRESSED;
    memcpy(data, work.get(), r + kCompressedLengthPrefix);
    return uint32_t(r + kCompressedLengthPrefix);
}
