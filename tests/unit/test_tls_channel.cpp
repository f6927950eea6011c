// The server's TLS channel on a socket pair, against the client's stream in a thread of
// its own: text both ways, text held inside TLS seen without the socket, the bound on what
// waits for a peer that does not read, and what a peer that is not TLS gets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "common/temp_dir.h"
#include "tls/tls_client.h"
#include "tls/tls_server.h"

namespace {

class TlsChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string command = std::string(QUORVA_MAKE_CERT) + " test-set " + dir.path();
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::string error;
        credentials = TlsCredentials::load(dir.file("server.pem"), dir.file("server.key"), error);
        ASSERT_TRUE(credentials) << error;
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        server = fds[0];
        client = fds[1];
        fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
        channel = TlsChannel::accept(credentials);
        ASSERT_TRUE(channel);
    }
    void TearDown() override {
        if (peer.joinable()) peer.join();
        close(server);
        close(client);
    }
    // Steps the server's side as the loop would until `done` holds (asked once per round)
    // or 10 s have passed.
    template <typename Done>
    bool serve(Done done) {
        for (int i = 0; i < 10000; ++i) {
            if (done()) return true;
            struct pollfd p = {server, short(POLLIN | (channel->outputPending() ? POLLOUT : 0)), 0};
            poll(&p, 1, 1);
            if (channel->handshaking()) {
                if (channel->handshake(server) == TlsChannel::Progress::Failed) return false;
            } else if (channel->outputPending()) {
                if (channel->flush(server).status == Transfer::Failed) return false;
            }
        }
        return false;
    }
    bool handshake() {
        peer = std::thread([this] {
            TlsClientOptions options;
            options.host = "localhost";
            options.caFile = dir.file("ca.pem");
            std::string error;
            stream = TlsClientStream::connect(client, options, 10000, error);
            clientError = error;
        });
        bool done = serve([&] { return !channel->handshaking(); });
        peer.join();
        return done && stream;
    }

    TempDir dir;
    std::shared_ptr<TlsCredentials> credentials;
    std::unique_ptr<TlsChannel> channel;
    std::unique_ptr<TlsClientStream> stream;
    std::string clientError;
    std::thread peer;
    int server = -1, client = -1;
};

TEST_F(TlsChannelTest, TextBothWaysAndTextHeldInsideTlsIsSeenWithoutTheSocket) {
    ASSERT_TRUE(handshake()) << clientError << channel->failure();
    EXPECT_NE(channel->description().find("TLSv1."), std::string::npos);
    const std::string request(3000, 'q');
    ASSERT_TRUE(stream->write(request.data(), request.size(), 5000));
    char buffer[4096];
    Transfer t;
    ASSERT_TRUE(serve([&] { return (t = channel->receive(server, buffer, 100)).status == Transfer::Moved; }));
    EXPECT_EQ(t.bytes, 100u);
    // The rest of the record is inside TLS now: the socket has nothing to say about it.
    EXPECT_TRUE(channel->inputPending());
    size_t got = 100;
    while (channel->inputPending()) got += channel->receive(server, buffer, sizeof buffer).bytes;
    EXPECT_EQ(got, request.size());
    EXPECT_EQ(channel->receive(server, buffer, sizeof buffer).status, Transfer::WouldBlock);
    EXPECT_FALSE(channel->inputPending());

    t = channel->send(server, "200 ", 4, "ready\r\n", 7);
    ASSERT_EQ(t.status, Transfer::Moved);
    EXPECT_EQ(t.bytes, 11u);
    std::string reply(11, 0);
    ASSERT_EQ(stream->read(reply.data(), reply.size(), 5000), 11);
    EXPECT_EQ(reply, "200 ready\r\n");

    stream->shutdown();
    ASSERT_TRUE(serve([&] { return channel->receive(server, buffer, sizeof buffer).status == Transfer::Closed; }));
}

// A peer that never reads: the channel takes text only while little waits for the socket,
// so what it holds stays within a few records however much the door offers.
TEST_F(TlsChannelTest, APeerThatDoesNotReadHoldsAFewRecordsAtMost) {
    int small = 16 * 1024;
    setsockopt(server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(handshake()) << clientError;
    const std::string text(1 << 20, 'x');
    size_t taken = 0, largest = 0;
    for (int i = 0; i < 1000; ++i) {
        Transfer t = channel->send(server, text.data(), text.size(), nullptr, 0);
        ASSERT_NE(t.status, Transfer::Failed) << channel->failure();
        if (t.status == Transfer::WouldBlock) break;
        taken += t.bytes;
        largest = std::max(largest, channel->outputWaiting());
    }
    EXPECT_EQ(channel->send(server, text.data(), text.size(), nullptr, 0).status, Transfer::WouldBlock);
    EXPECT_LT(largest, 40u * 1024) << "records waiting in the channel";
    EXPECT_LT(taken, 512u * 1024) << "the channel took text the peer never read";
}

// A peer that speaks something else fails the handshake with the library's reason.
TEST_F(TlsChannelTest, APeerThatIsNotTlsFailsTheHandshakeWithTheReason) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(client, request, sizeof request - 1), ssize_t(sizeof request - 1));
    TlsChannel::Progress p = TlsChannel::Progress::Waiting;
    for (int i = 0; i < 100 && p == TlsChannel::Progress::Waiting; ++i) p = channel->handshake(server);
    EXPECT_EQ(p, TlsChannel::Progress::Failed);
    EXPECT_NE(channel->failure().find("http request"), std::string::npos) << channel->failure();
}

}  // namespace
