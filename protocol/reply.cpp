#include "protocol/reply.h"

#include <cstring>
#include <utility>

#include "support/le.h"

ReplyBytes ReplyBytes::allocate(size_t n) {
    ReplyBytes b;
    b.size_ = n;
    if (n > 0) b.block_.reset(static_cast<uint8_t*>(malloc(n)));
    return b;
}

ReplyBytes::ReplyBytes(std::unique_ptr<MCArray<char>> array) : array_(std::move(array)) {
    size_ = array_ ? size_t(array_->getCount()) : 0;
}

void ReplyBytes::shrink(size_t n) {
    if (n >= size_) return;
    size_ = n;
    if (array_ || !block_) return;
    // The system shrinks a block in place; should it refuse, the block stays as it is.
    if (void* p = realloc(block_.get(), n > 0 ? n : 1)) {
        (void)block_.release();
        block_.reset(static_cast<uint8_t*>(p));
    }
}

ReplyBytes compressReplyData(LZW12& compressor, uint32_t& size, ReplyBytes data) {
    if (size < uint32_t(LZW12::kMinLength) || size > 0x7FFFFFF0u || size != data.size()) return data;
    // The worst case of the coder is size + 2 bytes of stream after the 4-byte prefix.
    ReplyBytes block = ReplyBytes::allocate(size_t(size) + kCompressedLengthPrefix + 2);
    if (!block.ok()) return data;
    uint32_t r = compressor.compress(data.data(), int32_t(size), block.data() + kCompressedLengthPrefix);
    if (r == 0 || uint64_t(r) + kCompressedLengthPrefix >= size) return data;
    putU32(block.data(), size);
    size = uint32_t(r + kCompressedLengthPrefix) | PKT_SIZE_COMPRESSED;
    block.shrink(r + kCompressedLengthPrefix);
    return block;
}

QueuedReply makeReply(uint32_t replyId, uint32_t announcedSize, ReplyBytes data, SendFailure onFailure) {
    QueuedReply r;
    encodeHeader(pktHeader{replyId, announcedSize}, r.header);
    r.replyId = replyId;
    r.data = std::move(data);
    r.onFailure = onFailure;
    return r;
}
