// The binary door inside TLS, end to end: the client and the program over tlsPort with a
// certificate of the tests' own CA; certificates the client must refuse, with the reason;
// a handshake that stalls is closed at its deadline while others are served and counts as
// a waiting login; only TLS 1.2 and newer; SIGHUP takes a renewed certificate while
// sessions go on; bad files stop the start; --check shows the certificate.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/client_run.h"
#include "common/raw_client.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "common/temp_dir.h"

namespace {

using qclient::Status;

const FidoAddr kSysop{2, 5020, 1, 0};

class TlsDoor : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string command = std::string(QUORVA_MAKE_CERT) + " test-set " + dir.path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        sqfix::Message m;
        m.from = "Ann";
        m.subject = "Over TLS";
        m.text = "Private on the wire.\r";
        sqfix::buildBase(dir.file("echo"), {m});
        dir.write("areas.cfg", "EchoArea ECHO " + dir.file("echo") + "\n");
    }
    // The settings with the named certificate (a stem of the test set) in force.
    std::string settings(const std::string& stem, const std::string& more = "") const {
        return "squishCfg " + dir.file("areas.cfg") + "\nuser Sysop,boss,2:5020/1,super\nloginFailDelay 0\n" +
               "tlsCertificate " + dir.file(stem + ".pem") + "\ntlsKey " + dir.file(stem + ".key") +
               "\ntlsPort 0\n" + more;
    }
    void start(const std::string& stem, const std::string& more = "") {
        ASSERT_TRUE(server.start(dir, settings(stem, more))) << server.err();
        ASSERT_NE(server.tlsPort(), 0) << server.out();
    }
    // A connection over TLS trusting the test CA; false (with the reason) when refused.
    bool connectTls(qclient::Connection& c, std::string* error = nullptr) {
        if (!c.connect("127.0.0.1", server.tlsPort(), error)) return false;
        TlsClientOptions options;
        options.host = "127.0.0.1";
        options.caFile = dir.file("ca.pem");
        return c.startTls(options, error);
    }
    std::map<std::string, std::string> clientEnv() const {
        return {{"QUORVA_PORT", std::to_string(server.tlsPort())},
                {"QUORVA_USER", "Sysop"},
                {"QUORVA_ADDR", "2:5020/1"},
                {"QUORVA_PASSWORD", "boss"}};
    }

    TempDir dir;
    ServerProcess server;
};

// The library lists, fetches and posts through TLS; the program does the same with --ca,
// and with QUORVA_TLS=1 and QUORVA_CA.
TEST_F(TlsDoor, ClientListsFetchesAndPostsWithTheTestCa) {
    start("server");
    qclient::Connection c;
    std::string error;
    ASSERT_TRUE(connectTls(c, &error)) << error;
    EXPECT_NE(c.tlsDescription().find("TLSv1."), std::string::npos) << c.tlsDescription();
    ASSERT_EQ(c.login("Sysop", "boss", kSysop), Status::Ok);
    std::vector<pktAreaInfo> areas;
    ASSERT_EQ(c.getAreaList(areas), Status::Ok);
    ASSERT_EQ(areas.size(), 1u);
    std::vector<pktMsgHeader> headers;
    ASSERT_EQ(c.getMsgList(0, headers), Status::Ok);
    ASSERT_EQ(headers.size(), 1u);
    pktMessage message;
    std::vector<std::string> lines;
    ASSERT_EQ(c.getMessage(0, 1, message, lines), Status::Ok);
    EXPECT_EQ(std::string(message.header.subject), "Over TLS");
    EXPECT_EQ(lines.back(), "Private on the wire.");
    pktMessage post;
    post.areaNumber = 0;
    snprintf(post.header.fromName, sizeof post.header.fromName, "Sysop");
    snprintf(post.header.toName, sizeof post.header.toName, "All");
    snprintf(post.header.subject, sizeof post.header.subject, "Sealed");
    ASSERT_EQ(c.post(post, "Sent through TLS.\r"), Status::Ok);
    ASSERT_EQ(c.logout(), Status::Ok);  // one session per user: the program's runs come next

    ClientRun read = runClient({"--ca", dir.file("ca.pem"), "read", "ECHO", "2"}, clientEnv());
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("Sent through TLS."), std::string::npos) << read.out;
    auto env = clientEnv();
    env["QUORVA_TLS"] = "1";
    env["QUORVA_CA"] = dir.file("ca.pem");
    ClientRun list = runClient({"list", "ECHO"}, env);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("Sealed"), std::string::npos) << list.out;
    EXPECT_EQ(list.err, "");
    // Without a check the session works, but every run says so.
    ClientRun insecure = runClient({"--insecure", "areas"}, clientEnv());
    EXPECT_EQ(insecure.status, 0) << insecure.err;
    EXPECT_NE(insecure.err.find("warning: --insecure: the server's certificate is not checked"), std::string::npos)
        << insecure.err;
    // TLS spoken to the plain port fails, and the console says what it was.
    env = clientEnv();
    env["QUORVA_PORT"] = std::to_string(server.port());
    ClientRun plainPort = runClient({"--ca", dir.file("ca.pem"), "areas"}, env);
    EXPECT_EQ(plainPort.status, 3);
    EXPECT_NE(plainPort.err.find("TLS: handshake failed"), std::string::npos) << plainPort.err;
    EXPECT_TRUE(server.waitForErr("that was a TLS handshake: TLS clients connect to tlsPort")) << server.err();
}

// The program refuses a certificate for another host, an expired one and one of a CA it
// does not trust, naming the reason, and exits with the connection failure's status.
TEST_F(TlsDoor, ClientRefusesCertificatesWithTheReason) {
    struct Case {
        const char* stem;
        const char* host;
        bool withCa;
        const char* reason;
    };
    const Case cases[] = {
        {"otherhost", "localhost", true, "hostname mismatch"},
        {"otherhost", "127.0.0.1", true, "IP address mismatch"},
        {"expired", "127.0.0.1", true, "certificate has expired"},
        {"server", "127.0.0.1", false, "unable to get local issuer certificate"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.stem) + " at " + k.host);
        ServerProcess one;
        ASSERT_TRUE(one.start(dir, settings(k.stem))) << one.err();
        std::map<std::string, std::string> env = clientEnv();
        env["QUORVA_PORT"] = std::to_string(one.tlsPort());
        std::vector<std::string> args = {"--host", k.host, "--tls", "areas"};
        if (k.withCa) args = {"--host", k.host, "--ca", dir.file("ca.pem"), "areas"};
        ClientRun r = runClient(args, env);
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_NE(r.err.find(std::string("the server's certificate is refused: ") + k.reason), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("ECHO"), std::string::npos);
    }
}

// A client that stops in the middle of its handshake, and one that never begins it, are
// closed at tlsHandshakeTimeout; meanwhile a TLS user is served. While they wait they are
// waiting logins: with maxPendingLogins 2 a third connection of the address is refused.
TEST_F(TlsDoor, StalledHandshakesCloseAtTheirDeadlineAndCountAsWaitingLogins) {
    start("server", "tlsHandshakeTimeout 1\nmaxPendingLogins 2\n");
    qclient::Connection user;
    std::string error;
    ASSERT_TRUE(connectTls(user, &error)) << error;
    ASSERT_EQ(user.login("Sysop", "boss", kSysop), Status::Ok);

    const auto opened = std::chrono::steady_clock::now();
    RawClient silent, halfway, third;
    ASSERT_TRUE(silent.connect(server.tlsPort()));
    ASSERT_TRUE(halfway.connect(server.tlsPort()));
    // The start of a ClientHello record that announces 512 bytes, then nothing more.
    ASSERT_TRUE(halfway.send({0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03}));
    ASSERT_TRUE(waitUntil([&] { return server.countOut("client: ") >= 4; }, kPromptMs)) << server.out();
    ASSERT_TRUE(third.connect(server.tlsPort()));
    EXPECT_TRUE(third.waitClosed()) << "a third waiting connection of the address is refused";

    for (int i = 0; i < 5; ++i) EXPECT_EQ(user.ping(), Status::Ok);
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_TRUE(halfway.waitClosed());
    const auto held = std::chrono::steady_clock::now() - opened;
    EXPECT_GE(held, std::chrono::milliseconds(900)) << "closed before the deadline";
    EXPECT_TRUE(server.waitForErr("TLS handshake not finished in time: connection closed"));
    EXPECT_EQ(server.countErr("TLS handshake not finished in time"), 2) << server.err();
    EXPECT_EQ(user.ping(), Status::Ok);
}

// SIGHUP reads the certificate again: new sessions get the renewed one, a session begun
// before goes on with its own. A file that cannot be read keeps the pair in use.
TEST_F(TlsDoor, SighupTakesTheRenewedCertificateAndSessionsGoOn) {
    auto install = [&](const std::string& stem) {
        dir.write("tls.pem", readFile(dir.file(stem + ".pem")));
        dir.write("tls.key", readFile(dir.file(stem + ".key")));
    };
    install("server");
    start("tls");
    qclient::Connection before;
    std::string error;
    ASSERT_TRUE(connectTls(before, &error)) << error;
    ASSERT_EQ(before.login("Sysop", "boss", kSysop), Status::Ok);
    EXPECT_EQ(before.tlsPeerSubject(), "CN=localhost");

    const std::string settingsText = "listenPort " + std::to_string(server.port()) + "\n" + settings("tls");
    install("renewed");
    dir.write("quorva.INI", settingsText);
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOut("TLS certificate: CN=localhost renewed")) << server.out() << server.err();
    qclient::Connection after;
    ASSERT_TRUE(connectTls(after, &error)) << error;
    EXPECT_EQ(after.tlsPeerSubject(), "CN=localhost renewed");
    ASSERT_EQ(before.ping(), Status::Ok);

    dir.write("tls.pem", "not a certificate\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForErr("the certificate in use stays")) << server.err();
    EXPECT_NE(server.err().find("reload: TLS: " + dir.file("tls.pem") + ": not a PEM certificate"), std::string::npos)
        << server.err();
    qclient::Connection later;
    ASSERT_TRUE(connectTls(later, &error)) << error;
    EXPECT_EQ(later.tlsPeerSubject(), "CN=localhost renewed");
    EXPECT_EQ(before.ping(), Status::Ok);
}

// Only TLS 1.2 and newer are spoken: a client that offers at most 1.0 or 1.1 is refused.
TEST_F(TlsDoor, OnlyTls12AndNewerAreSpoken) {
    start("server");
    struct Case {
        int version;
        bool accepted;
    };
    const Case cases[] = {{TLS1_VERSION, false}, {TLS1_1_VERSION, false}, {TLS1_2_VERSION, true}, {TLS1_3_VERSION, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.version);
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(ctx, nullptr);
        SSL_CTX_set_security_level(ctx, 0);  // so that the old versions are offered at all
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, k.version);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(server.tlsPort());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        EXPECT_EQ(SSL_connect(ssl) == 1, k.accepted);
        SSL_free(ssl);
        close(fd);
        SSL_CTX_free(ctx);
    }
    EXPECT_TRUE(server.waitForErr("TLS handshake failed: handshake: unsupported protocol")) << server.err();
}

// Files the server cannot use stop the start with status 1 and a line naming them.
TEST_F(TlsDoor, UnusableCertificateFilesStopTheStart) {
    dir.write("garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    const std::string areas = "squishCfg " + dir.file("areas.cfg") + "\nuser Sysop,boss,2:5020/1\n";
    struct Case {
        std::string tls;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"tlsCertificate " + dir.file("missing.pem") + "\ntlsKey " + dir.file("server.key"),
         dir.file("missing.pem") + ": No such file or directory"},
        {"tlsCertificate " + dir.file("garbage.pem") + "\ntlsKey " + dir.file("server.key"),
         dir.file("garbage.pem") + ": not a PEM certificate"},
        {"tlsCertificate " + dir.file("server.pem") + "\ntlsKey " + dir.file("renewed.key"),
         dir.file("renewed.key") + ": the key does not belong to the certificate"},
        {"tlsPort 9", "tlsPort without tlsCertificate and tlsKey"},
        {"tlsCertificate " + dir.file("server.pem"), "tlsCertificate without tlsKey"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.tls);
        ServerProcess one;
        ASSERT_TRUE(one.startRaw(dir, "listenPort 0\n" + areas + k.tls + "\n"));
        EXPECT_EQ(one.waitExit(), 1);
        EXPECT_NE(one.err().find(k.line), std::string::npos) << one.err();
        EXPECT_EQ(one.out().find("waiting for connect"), std::string::npos);
    }
}

// --check shows what the certificate says of itself, warns two weeks before its end and
// fails for one that has ended.
TEST_F(TlsDoor, CheckShowsTheCertificateAndItsEnd) {
    struct Case {
        const char* stem;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"server", 0, "TLS certificate: CN=localhost; names: localhost, 127.0.0.1, ::1; valid until ", ""},
        {"soon", 0, "TLS certificate: CN=localhost soon;", "soon.pem expires in "},
        {"expired", 1, "TLS certificate: CN=localhost expired;", "has expired"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.stem);
        ServerProcess one;
        one.setArgs({"--check"});
        ASSERT_TRUE(one.startRaw(dir, "listenPort 0\n" + settings(k.stem)));
        EXPECT_EQ(one.waitExit(), k.status) << one.out() << one.err();
        EXPECT_NE(one.out().find(k.out), std::string::npos) << one.out();
        EXPECT_NE(one.err().find(k.err), std::string::npos) << one.err();
        EXPECT_NE(one.out().find("tlsPort: listen: "), std::string::npos) << one.out();
    }
}

}  // namespace
