#include "protocol/reply.h"

#include <errno.h>

#include <cstring>
#include <memory>
#include <new>

#include "protocol/packets.h"
#include "server/transport.h"
#include "support/le.h"

bool sendReplyHelper(int socket, uint32_t replyId) {
    uint8_t header[kPktHeaderSize];
    encodeHeader(pktHeader{replyId, 0}, header);
    errno = 0;
    if (sendn(socket, header, kPktHeaderSize) != ssize_t(kPktHeaderSize)) {
        reportError(errno, 0, "sendReplyHelper(%u) failed", replyId);
        return false;
    }
    return true;
}

uint32_t compressReplyData(uint32_t& size, uint8_t* data) {
    if (size < uint32_t(LZW12::kMinLength) || size > 0x7FFFFFF0u) return size;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[size_t(size) + 6]);
    if (!work) return size;
    uint32_t r = compressor.compress(data, int32_t(size), work.get() + 4);
    if (r == 0 || uint64_t(r) + 4 >= size) return size;
    putU32(work.get(), size);
    size = (r + 4) | PKT_SIZE_COMPRESSED;
    memcpy(data, work.get(), r + 4);
    return r + 4;
}
