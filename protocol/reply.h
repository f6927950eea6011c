// Replies: the bytes a reply owns while it waits in a session's queue, the compression of
// large reply data into an LZW12 block, and the queued reply itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "support/array.h"
#include "support/lzw12.h"
#include "wire/packets.h"

// The data of one reply, owned until it has been sent: either a block of bytes (filled in
// place, never zeroed first) or a fetched message's array, taken over as it is. Moving it
// moves the ownership; the bytes themselves are never copied.
class ReplyBytes {
public:
    ReplyBytes() = default;
    // A block of n bytes, uninitialised; check ok() (n of 0 is always ok).
    static ReplyBytes allocate(size_t n);
    explicit ReplyBytes(std::unique_ptr<MCArray<char>> array);

    bool ok() const { return size_ == 0 || data() != nullptr; }
    uint8_t* data() { return array_ ? reinterpret_cast<uint8_t*>(array_->getData()) : block_.get(); }
    const uint8_t* data() const { return array_ ? reinterpret_cast<const uint8_t*>(array_->getData()) : block_.get(); }
    size_t size() const { return size_; }
    // Keeps the first n bytes (n <= size()) and gives the rest of a block back to the system.
    void shrink(size_t n);

private:
    struct Free {
        void operator()(uint8_t* p) const { free(p); }
    };
    std::unique_ptr<uint8_t, Free> block_;
    std::unique_ptr<MCArray<char>> array_;
    size_t size_ = 0;
};

// Returns the bytes to send after the header. When the LZW12 block (the 4-byte length,
// then the stream) is shorter than the data, that is the block, in a buffer of its own, and
// size gets its length with bit 31 set; otherwise it is `data` itself and size is left as it
// is. Data of 64 bytes or less is never compressed.
ReplyBytes compressReplyData(LZW12& compressor, uint32_t& size, ReplyBytes data);

// What a queued reply that cannot be sent is reported as, before the connection closes.
enum class SendFailure {
    Quiet,      // a refusal or the answer to a logout: the connection closes either way
    Helper,     // "sendReplyHelper(%u) failed" with the reply id
    Sendn,      // "sendn() failed.\n"
    Challenge,  // "sendn(pktHeader) failed" or "sendn(data) failed", by how far it got
};

// A reply waiting in a session's queue: the header and the data, sent as the socket takes
// them.
struct QueuedReply {
    uint8_t header[kPktHeaderSize] = {};
    uint32_t replyId = 0;
    ReplyBytes data;
    size_t sent = 0;  // of the header and the data together
    SendFailure onFailure = SendFailure::Quiet;
    bool closeAfter = false;  // the connection closes once the reply is out

    size_t total() const { return kPktHeaderSize + data.size(); }
};

// A reply with the given (possibly flagged) dataSize and its data.
QueuedReply makeReply(uint32_t replyId, uint32_t announcedSize, ReplyBytes data, SendFailure onFailure);
