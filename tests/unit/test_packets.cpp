// Wire framing: the packet header, the records that travel as data, the compression of
// reply data and the buffers replies own, and the client library's requests and reply
// reader, all checked against exact bytes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/packet_bytes.h"
#include "areas/echoarea.h"
#include "client/lib/quorva_client.h"
#include "wire/packets.h"
#include "protocol/reply.h"
#include "support/le.h"
#include "support/lzw12.h"

namespace {

// The compressor of reply data, as the server keeps one for the whole run.
LZW12 replyCompressor;

using packetbytes::Bytes;
using packetbytes::concat;
using packetbytes::header;

// Reply bytes holding a copy of b.
ReplyBytes replyBytes(const Bytes& b) {
    ReplyBytes r = ReplyBytes::allocate(b.size());
    if (!b.empty()) memcpy(r.data(), b.data(), b.size());
    return r;
}

Bytes bytesOf(const ReplyBytes& r) { return Bytes(r.data(), r.data() + r.size()); }

// compressReplyData on a copy of `data`: the bytes it hands back, and whether they are the
// very buffer it was given (no copy) or one of their own (the compressed block).
struct Compressed {
    Bytes bytes;
    bool sameBuffer = false;
};
Compressed compress(uint32_t& size, const Bytes& data) {
    ReplyBytes in = replyBytes(data);
    const uint8_t* given = in.data();
    ReplyBytes out = compressReplyData(replyCompressor, size, std::move(in));
    return {bytesOf(out), out.data() == given};
}


// Closes the descriptor when the test ends, whatever path it takes.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Everything that is waiting on a socket, read until nothing more comes within a moment.
Bytes drain(int fd) {
    Bytes all;
    uint8_t buf[4096];
    for (;;) {
        ssize_t k = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (k <= 0) break;
        all.insert(all.end(), buf, buf + k);
    }
    return all;
}

bool sendAll(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        ssize_t k = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (k <= 0) return false;
        done += size_t(k);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Header and ids

TEST(PacketHeader, KnownPacketsHaveTheirExactBytes) {
    Bytes area(4);
    putI32(area.data(), 3);
    struct Case {
        const char* name;
        Bytes bytes;
        Bytes expected;
    };
    const Case cases[] = {
        {"GETMSGLIST for area 3", concat(header(CID_C_GETMSGLIST, 4), area),
         {0x05, 0, 0, 0, 0x04, 0, 0, 0, 0x03, 0, 0, 0}},
        {"CID_S_OK", header(CID_S_OK, 0), Bytes(8, 0)},
        {"challenge header", header(CID_S_CHALLENGE, 20), {0x05, 0, 0, 0, 0x14, 0, 0, 0}},
        {"compressed 104-byte block", header(CID_S_MSGLIST, 104 | PKT_SIZE_COMPRESSED),
         {0x03, 0, 0, 0, 0x68, 0x00, 0x00, 0x80}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bytes, c.expected);
    }
    pktHeader h = decodeHeader(Bytes{0x04, 0, 0, 0, 0x68, 0x00, 0x00, 0x80}.data());
    EXPECT_EQ(h.cmd, CID_S_MESSAGE);
    EXPECT_EQ(h.dataSize, 0x80000068u);
    EXPECT_EQ(h.dataSize & ~PKT_SIZE_COMPRESSED, 104u);
}

TEST(PacketHeader, IdsHaveTheirWireValues) {
    const uint32_t commands[] = {CID_C_PING,      CID_C_LOGOUT,     CID_C_GETAREALIST, CID_C_GETMSGLIST, CID_C_GETMESSAGE,
                                 CID_C_NEWMESSAGE, CID_C_DELETEMSG, CID_C_HELLO,       CID_C_AUTH};
    EXPECT_EQ(std::vector<uint32_t>(std::begin(commands), std::end(commands)),
              (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 9, 10, 11}));
    const uint32_t replies[] = {CID_S_OK, CID_S_FAIL, CID_S_AREALIST, CID_S_MSGLIST, CID_S_MESSAGE, CID_S_CHALLENGE};
    EXPECT_EQ(std::vector<uint32_t>(std::begin(replies), std::end(replies)), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(PKT_SIZE_COMPRESSED, 0x80000000u);
}

// ---------------------------------------------------------------------------------------
// Records

TEST(AreaInfo, FieldsSitAtTheirOffsets) {
    pktAreaInfo a;
    copyField(a.name, "FIDO.TEST", sizeof a.name);
    a.msgCount = 0x01020304;
    a.unreadCount = 0x0A0B0C0D;
    a.type = -2;
    Bytes b(kAreaInfoSize);
    encodeAreaInfo(a, b.data());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data()), 9), "FIDO.TEST");
    for (size_t i = 9; i < 36; ++i) EXPECT_EQ(b[i], 0) << "padding at " << i;
    EXPECT_EQ(Bytes(b.begin() + 36, b.begin() + 40), (Bytes{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Bytes(b.begin() + 40, b.begin() + 44), (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(Bytes(b.begin() + 44, b.begin() + 48), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));

    pktAreaInfo back = decodeAreaInfo(b.data());
    EXPECT_EQ(memcmp(back.name, a.name, 36), 0);
    EXPECT_EQ(back.msgCount, a.msgCount);
    EXPECT_EQ(back.unreadCount, a.unreadCount);
    EXPECT_EQ(back.type, a.type);
}

TEST(AreaInfo, ThirtySixCharacterTagHasNoTerminator) {
    const std::string tag = "ABCDEFGHIJKLMNOPQRSTUVWXYZ.123456789";  // 36 characters
    ASSERT_EQ(tag.size(), 36u);
    pktAreaInfo a;
    copyField(a.name, (tag + "XYZ").c_str(), sizeof a.name);  // a longer tag is cut at 36
    a.type = 2;
    Bytes b(kAreaInfoSize);
    encodeAreaInfo(a, b.data());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data()), 36), tag);
    EXPECT_EQ(memchr(b.data(), 0, 36), nullptr);
    EXPECT_EQ(getI32(b.data() + 44), 2);
}

TEST(MsgHeader, FieldsSitAtTheirOffsets) {
    pktMessage m;
    m.header.msgNumber = 0x11223344;
    copyField(m.header.fromName, "From Name", 36);
    copyField(m.header.toName, "To Name", 36);
    copyField(m.header.subject, "Subject line", 72);
    m.header.dateWritten = 0x55667788;
    m.header.msgIdHash = 0x99AABBCC;
    m.header.replyHash = 0xDDEEFF01;
    m.origAddr = FidoAddr{2, 5020, 1042, 7};
    m.destAddr = FidoAddr{1, 261, 38, 0xFFFF};
    m.areaNumber = -5;
    m.reserved = 0x0BADF00D;
    m.attributes = 0x8123;

    Bytes b(kMessageRecordSize);
    encodeMessage(m, b.data());
    Bytes headerOnly(kMsgHeaderSize);
    encodeMsgHeader(m.header, headerOnly.data());
    EXPECT_EQ(headerOnly, Bytes(b.begin(), b.begin() + kMsgHeaderSize));

    auto text = [&](size_t off, size_t n) { return std::string(reinterpret_cast<char*>(b.data() + off), n); };
    EXPECT_EQ(getU32(b.data() + 0), 0x11223344u);
    EXPECT_EQ(b[0], 0x44);
    EXPECT_EQ(text(4, 36), std::string("From Name") + std::string(27, '\0'));
    EXPECT_EQ(text(40, 36), std::string("To Name") + std::string(29, '\0'));
    EXPECT_EQ(text(76, 72), std::string("Subject line") + std::string(60, '\0'));
    EXPECT_EQ(getU32(b.data() + 148), 0x55667788u);
    EXPECT_EQ(getU32(b.data() + 152), 0x99AABBCCu);
    EXPECT_EQ(getU32(b.data() + 156), 0xDDEEFF01u);
    EXPECT_EQ(Bytes(b.begin() + 160, b.begin() + 168), (Bytes{2, 0, 0x9C, 0x13, 0x12, 0x04, 7, 0}));
    EXPECT_EQ(Bytes(b.begin() + 168, b.begin() + 176), (Bytes{1, 0, 0x05, 0x01, 38, 0, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(b.begin() + 176, b.begin() + 180), (Bytes{0xFB, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(getU32(b.data() + 180), 0x0BADF00Du);
    EXPECT_EQ(Bytes(b.begin() + 184, b.begin() + 186), (Bytes{0x23, 0x81}));

    pktMessage back = decodeMessage(b.data());
    Bytes again(kMessageRecordSize);
    encodeMessage(back, again.data());
    EXPECT_EQ(again, b);
    EXPECT_EQ(back.origAddr, m.origAddr);
    EXPECT_EQ(back.destAddr, m.destAddr);
    EXPECT_EQ(back.areaNumber, -5);
    EXPECT_EQ(back.attributes, 0x8123);
}

// ---------------------------------------------------------------------------------------
// Reply compression

TEST(CompressReplyData, SixtyFourBytesOrLessAreNeverCompressed) {
    for (uint32_t n : {0u, 1u, 48u, 64u}) {
        SCOPED_TRACE(n);
        Bytes data(n, 'A');  // highly compressible
        uint32_t size = n;
        Compressed c = compress(size, data);
        EXPECT_EQ(size, n);
        EXPECT_EQ(c.bytes, data);
        if (n > 0) {
            EXPECT_TRUE(c.sameBuffer) << "plain data is handed back, not copied";
        }
    }
}

TEST(CompressReplyData, SixtyFiveLettersBecomeTheKnownBlock) {
    uint32_t size = 65;
    Compressed c = compress(size, Bytes(65, 'A'));
    EXPECT_EQ(size, 0x80000013u);
    const Bytes expected = {0x41, 0x00, 0x00, 0x00, 0x00, 0x83, 0x08, 0x1C, 0x48, 0xB0,
                            0xA0, 0xC1, 0x83, 0x08, 0x13, 0x2A, 0x54, 0x18, 0x10};
    EXPECT_EQ(c.bytes, expected);
    EXPECT_FALSE(c.sameBuffer);
}

TEST(CompressReplyData, IncompressibleDataStaysPlain) {
    std::mt19937 rng(2026);
    Bytes data(4096);
    for (auto& x : data) x = uint8_t(rng());
    uint32_t size = uint32_t(data.size());
    Compressed c = compress(size, data);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(size & PKT_SIZE_COMPRESSED, 0u);
    EXPECT_EQ(c.bytes, data);
    EXPECT_TRUE(c.sameBuffer);
}

// The block must be shorter than the data: a stream of exactly size - 4 bytes leaves the
// data plain, one of size - 5 bytes sends the block. Inputs of a compressible head and a
// random tail are searched for both lengths, measured with a coder of the test's own.
TEST(CompressReplyData, BlockIsSentOnlyWhenShorterThanTheData) {
    std::mt19937 rng(91);
    Bytes tail(400);
    for (auto& x : tail) x = uint8_t(rng());
    LZW12 coder;
    bool sawEqual = false, sawShorter = false;
    for (size_t head = 0; head < 200 && !(sawEqual && sawShorter); ++head) {
        Bytes input(head, 'A');
        input.insert(input.end(), tail.begin(), tail.end());
        Bytes out(input.size() + 2);
        uint32_t r = coder.compress(input.data(), int32_t(input.size()), out.data());
        if (r == 0) continue;
        uint32_t size = uint32_t(input.size());
        Compressed c = compress(size, input);
        if (r + 4 == input.size()) {
            sawEqual = true;
            EXPECT_EQ(size, input.size());
            EXPECT_EQ(c.bytes, input);
        } else if (r + 5 == input.size()) {
            sawShorter = true;
            EXPECT_EQ(size, (r + 4) | PKT_SIZE_COMPRESSED);
            EXPECT_EQ(c.bytes.size(), r + 4);
        }
    }
    EXPECT_TRUE(sawEqual) << "no input gave a stream of exactly size - 4 bytes";
    EXPECT_TRUE(sawShorter) << "no input gave a stream of exactly size - 5 bytes";
}

TEST(CompressReplyData, LargeBlockRoundTripsThroughTheDecoder) {
    // A message list of 300 similar headers, as an area list reply would look.
    Bytes data;
    for (uint32_t i = 0; i < 300; ++i) {
        pktMsgHeader h;
        h.msgNumber = i + 1;
        copyField(h.fromName, i % 3 ? "Sysop" : "Some Other Writer", 36);
        copyField(h.toName, "All", 36);
        copyField(h.subject, ("Re: the weekly topic number " + std::to_string(i / 10)).c_str(), 72);
        h.dateWritten = 0x5C6A0000 + i;
        Bytes rec(kMsgHeaderSize);
        encodeMsgHeader(h, rec.data());
        data.insert(data.end(), rec.begin(), rec.end());
    }
    uint32_t size = uint32_t(data.size());
    Compressed c = compress(size, data);
    ASSERT_NE(size & PKT_SIZE_COMPRESSED, 0u);
    EXPECT_EQ(size & ~PKT_SIZE_COMPRESSED, c.bytes.size());
    EXPECT_LT(c.bytes.size(), data.size() / 4);
    EXPECT_EQ(getU32(c.bytes.data()), data.size());
    Bytes expanded;
    std::string error;
    ASSERT_TRUE(lzw12Decode(c.bytes.data() + 4, c.bytes.size() - 4, getU32(c.bytes.data()), expanded, &error)) << error;
    EXPECT_EQ(expanded, data);
}

// ---------------------------------------------------------------------------------------
// The bytes a queued reply owns

TEST(ReplyBytes, OwnsABlockOrAFetchedMessageWithoutCopying) {
    ReplyBytes empty;
    EXPECT_TRUE(empty.ok());
    EXPECT_EQ(empty.size(), 0u);

    ReplyBytes block = ReplyBytes::allocate(100);
    ASSERT_TRUE(block.ok());
    memset(block.data(), 'x', 100);
    block.shrink(10);
    EXPECT_EQ(bytesOf(block), Bytes(10, 'x'));
    block.shrink(20);  // never grows
    EXPECT_EQ(block.size(), 10u);

    auto message = std::make_unique<MCArray<char>>();
    for (char c : std::string("a fetched message")) ASSERT_GE(message->add(c), 0);
    const char* storage = message->getData();
    ReplyBytes taken(std::move(message));
    EXPECT_EQ(taken.data(), reinterpret_cast<const uint8_t*>(storage)) << "the array's own storage";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken.data()), taken.size()), "a fetched message");
    ReplyBytes moved = std::move(taken);
    EXPECT_EQ(moved.data(), reinterpret_cast<const uint8_t*>(storage));
}

TEST(ReplyBytes, MakeReplyEncodesTheHeader) {
    QueuedReply r = makeReply(CID_S_MSGLIST, 0x80000068u, replyBytes(Bytes(104, 7)), SendFailure::Sendn);
    EXPECT_EQ(Bytes(r.header, r.header + 8), (Bytes{3, 0, 0, 0, 0x68, 0, 0, 0x80}));
    EXPECT_EQ(r.total(), 8u + 104u);
    EXPECT_EQ(r.sent, 0u);
    EXPECT_FALSE(r.closeAfter);
}

// ---------------------------------------------------------------------------------------
// Client library: the requests it sends and the replies it reads, against a listener of
// the test's own on the loopback interface.

class ClientWire : public testing::Test {
protected:
    void SetUp() override {
        listener.fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener.fd, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener.fd, 4), 0);
        socklen_t len = sizeof a;
        ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port = ntohs(a.sin_port);
    }

    // A fresh connection of `client`; `peer` is the server side.
    void open(qclient::Connection& client, Fd& peer) {
        ASSERT_TRUE(client.connect("127.0.0.1", port));
        peer.fd = accept(listener.fd, nullptr, nullptr);
        ASSERT_GE(peer.fd, 0);
        client.setTimeout(5000);
    }

    Fd listener;
    uint16_t port = 0;
};

TEST_F(ClientWire, RequestsHaveTheirExactBytes) {
    qclient::Connection client;
    Fd peer;
    open(client, peer);

    // Each reply is queued before the request, so the call returns at once.
    ASSERT_TRUE(sendAll(peer.fd, header(CID_S_MSGLIST, 0)));
    std::vector<pktMsgHeader> headers;
    EXPECT_EQ(client.getMsgList(3, headers), qclient::Status::Ok);
    EXPECT_TRUE(headers.empty());
    EXPECT_EQ(drain(peer.fd), (Bytes{0x05, 0, 0, 0, 0x04, 0, 0, 0, 0x03, 0, 0, 0}));

    ASSERT_TRUE(sendAll(peer.fd, header(CID_S_OK, 0)));
    EXPECT_EQ(client.ping(), qclient::Status::Ok);
    EXPECT_EQ(drain(peer.fd), header(CID_C_PING, 0));

    Bytes challenge = {'0', '5', ' ', 'M', 'a', 'r', ' ', '2', '6', ' ', '0', '7', ':', '0', '8', ':', '0', '9', 0, 0};
    ASSERT_TRUE(sendAll(peer.fd, concat(header(CID_S_CHALLENGE, 20), challenge)));
    uint8_t got[20];
    EXPECT_EQ(client.hello("Ann Reader", FidoAddr{2, 5020, 1042, 7}, got), qclient::Status::Ok);
    EXPECT_EQ(Bytes(got, got + 20), challenge);
    Bytes hello = drain(peer.fd);
    ASSERT_EQ(hello.size(), 8 + kHelloSize);
    EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 8), (Bytes{0x0A, 0, 0, 0, 0x54, 0, 0, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(hello.data() + 8), 36), "Ann Reader" + std::string(26, '\0'));
    EXPECT_EQ(Bytes(hello.begin() + 8 + 72, hello.begin() + 8 + 80), (Bytes{2, 0, 0x9C, 0x13, 0x12, 0x04, 7, 0}));

    ASSERT_TRUE(sendAll(peer.fd, header(CID_S_FAIL, 0)));
    const uint8_t digest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(client.answer(digest), qclient::Status::Refused);
    EXPECT_EQ(drain(peer.fd), concat(Bytes{0x0B, 0, 0, 0, 0x10, 0, 0, 0}, Bytes(digest, digest + 16)));
}

TEST_F(ClientWire, ReplyReaderExpandsCompressedBlocks) {
    Bytes plain(500);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t("an area list, plain "[i % 20]);
    uint32_t size = uint32_t(plain.size());
    Bytes block = compress(size, plain).bytes;
    ASSERT_NE(size & PKT_SIZE_COMPRESSED, 0u);

    qclient::Connection client;
    Fd peer;
    open(client, peer);
    ASSERT_TRUE(sendAll(peer.fd, concat(header(CID_S_AREALIST, uint32_t(plain.size())), plain)));
    ASSERT_TRUE(sendAll(peer.fd, concat(header(CID_S_MESSAGE, size), block)));
    ASSERT_TRUE(sendAll(peer.fd, header(CID_S_MSGLIST, 0)));
    qclient::Reply r;
    std::string error;
    ASSERT_TRUE(client.readReply(r, &error)) << error;
    EXPECT_EQ(r.cmd, CID_S_AREALIST);
    EXPECT_EQ(r.rawSize, 500u);
    EXPECT_EQ(r.data, plain);
    ASSERT_TRUE(client.readReply(r, &error)) << error;
    EXPECT_EQ(r.cmd, CID_S_MESSAGE);
    EXPECT_EQ(r.rawSize, size);
    EXPECT_EQ(r.data, plain);
    ASSERT_TRUE(client.readReply(r, &error)) << error;
    EXPECT_EQ(r.cmd, CID_S_MSGLIST);
    EXPECT_TRUE(r.data.empty());
}

TEST_F(ClientWire, ReplyReaderRefusesBadReplies) {
    uint32_t size = 200;
    Bytes good = compress(size, Bytes(200, 'x')).bytes;
    ASSERT_NE(size & PKT_SIZE_COMPRESSED, 0u);
    Bytes damaged = good;
    damaged[6] ^= 0xFF;
    Bytes overLong = good;
    putU32(overLong.data(), 0xFFFFFFF0u);
    Bytes wrongLength = good;
    putU32(wrongLength.data(), 201);

    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"block shorter than its length prefix", concat(header(CID_S_MSGLIST, 3 | PKT_SIZE_COMPRESSED), Bytes{1, 2, 3})},
        {"damaged stream", concat(header(CID_S_MSGLIST, size), damaged)},
        {"expanded length beyond any reply", concat(header(CID_S_MSGLIST, size), overLong)},
        {"expanded length differs from the stream", concat(header(CID_S_MSGLIST, size), wrongLength)},
        {"plain data beyond any reply", header(CID_S_MSGLIST, 0x7FFFFFFF)},
        {"data cut short by a close", concat(header(CID_S_AREALIST, 48), Bytes(20, 0))},
        {"header cut short by a close", Bytes{2, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qclient::Connection client;
        Fd peer;
        open(client, peer);
        ASSERT_TRUE(sendAll(peer.fd, c.bytes));
        shutdown(peer.fd, SHUT_WR);
        qclient::Reply r;
        std::string error;
        EXPECT_FALSE(client.readReply(r, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
