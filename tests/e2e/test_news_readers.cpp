// Real newsreaders and news pullers of Debian against the news door, headless: tin in its
// batch modes, slrnpull pulling into its spool and sending its queue, suck fetching by the
// group's numbers and by Message-ID, rpost posting. Inside TLS: tin over NNTPS, and
// OpenSSL's s_client after STARTTLS on the plain port, each trusting the tests' own CA.
// Each runs with a private home folder and configuration, no terminal (but where a program
// needs one), and a bound on its run time; a program that is not installed makes its test
// skip.
//
// The node has one echo area, NEWS.TEST in CP866, holding three messages: plain ASCII
// (no CHRS), a reply in CP866 with its CHRS kludge, and a Cyrillic text without CHRS that
// the area's charset tells.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/fido_packet.h"
#include "common/news_client.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"
#include "common/tosser_interop.h"
#include "support/osfile.h"

namespace {

using fidopkt::kludgeValue;
using fidopkt::textLines;
using tosser::describe;

const char kUserLine[] = "user Test User,secret,2:5020/999.1";
const char kGroup[] = "fido.news.test";
// Upper limit for one run of a reader; a run still going then is killed.
constexpr int kReaderTimeoutMs = 30000;

// A stored message and the article a reader must get from it (the body in UTF-8).
struct Sample {
    sqfix::Message stored;
    std::string messageId;
    std::vector<std::string> body;
};

std::string cp866(const std::string& utf8) { return news::convert(utf8, "UTF-8", "CP866"); }

// FidoNet text: the lines, each ended by a CR.
std::string fidoText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r";
    return text;
}

std::vector<Sample> samples() {
    std::vector<Sample> s(3);
    s[0].stored.from = "Max Kern";
    s[0].stored.subject = "Welcome to the news door";
    s[0].stored.dateText = "05 Mar 26  07:08:09";
    s[0].stored.orig = {2, 5020, 100, 0};
    s[0].stored.control = "\x01MSGID: 2:5020/100 65000001\x01TZUTC: 0300";
    s[0].body = {"Hello, all.", "This area is read with newsreaders.", "", "--- TestKit",
                 " * Origin: Test uplink (2:5020/100)"};
    s[0].messageId = "<MSGID_2=3A5020=2F100_65000001@fidonet.org>";

    s[1].stored.from = "Ivan Petrov";
    s[1].stored.to = "Max Kern";
    s[1].stored.subject = "Re: Welcome to the news door";
    s[1].stored.dateText = "05 Mar 26  09:10:11";
    s[1].stored.orig = {2, 5020, 200, 0};
    s[1].stored.control = "\x01MSGID: 2:5020/200 65000002\x01REPLY: 2:5020/100 65000001\x01" "CHRS: CP866 2";
    s[1].body = {"Привет, Max!", "Читаю эху через tin.", "", "--- TestKit",
                 " * Origin: Ivan's station (2:5020/200)"};
    s[1].messageId = "<MSGID_2=3A5020=2F200_65000002@fidonet.org>";

    s[2].stored.from = "Old Software";
    s[2].stored.subject = "Without a charset kludge";
    s[2].stored.dateText = "06 Mar 26  10:00:00";
    s[2].stored.orig = {2, 5020, 300, 0};
    s[2].stored.control = "\x01MSGID: 2:5020/300 65000003";
    s[2].body = {"Без кладжа CHRS, в кодировке эхи.", "---", " * Origin: An old node (2:5020/300)"};
    s[2].messageId = "<MSGID_2=3A5020=2F300_65000003@fidonet.org>";

    for (Sample& m : s) m.stored.text = cp866(fidoText(m.body));
    return s;
}

// The article is the sample's: its Message-ID, subject and body.
void expectArticleOf(const std::string& text, const Sample& sample) {
    news::Article a;
    ASSERT_TRUE(news::splitArticle(text, a)) << text;
    const std::string* id = a.header("Message-ID");
    const std::string* subject = a.header("Subject");
    ASSERT_TRUE(id && subject) << text;
    EXPECT_EQ(*id, sample.messageId);
    EXPECT_EQ(*subject, sample.stored.subject);
    EXPECT_EQ(a.body, sample.body);
}

// A Squish base's messages in the order of their numbers: the kludges of the control
// information one per line, then the lines of the text.
struct StoredMessage {
    sqfix::Frame frame;
    std::vector<std::string> lines;
};
std::vector<StoredMessage> storedMessages(const std::string& basePath) {
    std::vector<StoredMessage> out;
    sqfix::BaseImage img;
    if (!sqfix::readBase(basePath, img)) return out;
    for (const sqfix::IndexRecord& r : img.messages()) {
        StoredMessage m;
        if (!img.readFrame(r.frameOffset, m.frame)) continue;
        std::string control = m.frame.control.substr(0, m.frame.control.find('\0'));
        for (size_t at = control.find('\x01'); at != std::string::npos;) {
            size_t next = control.find('\x01', at + 1);
            m.lines.push_back(control.substr(at, next == std::string::npos ? std::string::npos : next - at));
            at = next;
        }
        for (const std::string& line : textLines(m.frame.text.substr(0, m.frame.text.find('\0'))))
            m.lines.push_back(line);
        out.push_back(std::move(m));
    }
    return out;
}

// The lines of a stored message that are not kludges.
std::vector<std::string> textOf(const StoredMessage& m) {
    std::vector<std::string> text;
    for (const std::string& line : m.lines)
        if (line.empty() || line[0] != '\x01') text.push_back(line);
    return text;
}

// The program's path in PATH (or /usr/bin); empty when it is not installed.
std::string programPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t colon = dirs.find(':', at);
        if (colon == std::string::npos) colon = dirs.size();
        std::string candidate = dirs.substr(at, colon - at) + "/" + name;
        if (colon > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = colon + 1;
    }
    return "";
}

// The names of a folder's files (not its folders).
std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> files;
    for (const std::string& name : directoryNames(dir)) {
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(name);
    }
    return files;
}

class NewsReaders : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Sample& s : all) stored.push_back(s.stored);
        sqfix::buildBase(base(), stored);
        dir.write("areas.cfg", "EchoArea NEWS.TEST " + base() + "\n");
        ASSERT_TRUE(server.start(dir, "squishCfg " + dir.file("areas.cfg") +
                                          "\nnntpPort 0\nnntpGroupPrefix fido.\nareaCharset NEWS.TEST CP866\n" +
                                          kUserLine + "\n" + moreSettings()))
            << server.out() << server.err();
        ASSERT_NE(server.newsPort(), 0) << server.out();
        port = std::to_string(server.newsPort());
    }

    // Settings of a fixture built on this one, after the node's own.
    virtual std::string moreSettings() const { return ""; }

    std::string base() const { return dir.file("newstest"); }

    // Skips the test when the program is not installed; its path otherwise.
    std::string require(const std::string& name, const std::string& package) {
        std::string path = programPath(name);
        if (path.empty()) missing = name + " is not installed (Debian package " + package + "): not tested";
        return path;
    }

    // Runs a reader in `workDir` with only the environment given (a private home), no
    // terminal, its input from /dev/null or `input`, bounded in time; its standard error
    // goes into its output unless kept apart. With `terminal`, a terminal where nobody
    // types stands in for its input.
    enum class Errors { Merged, Apart };
    child::Result run(const std::vector<std::string>& argv, const std::string& workDir, const std::string& home,
                      const std::string& input = "", bool terminal = false, Errors errors = Errors::Merged) {
        child::Options o;
        o.workDir = workDir;
        o.environment = std::vector<std::string>{"HOME=" + home, "PATH=/usr/bin:/bin", "TERM=dumb", "TMPDIR=" + home};
        if (!input.empty()) o.input = input;
        o.terminal = terminal;
        o.mergeErrors = errors == Errors::Merged;
        o.timeoutMs = kReaderTimeoutMs;
        return child::run(argv, o);
    }

    // The sample whose Message-ID the article carries; nullptr for none.
    const Sample* sampleOf(const std::string& articleText) const {
        news::Article a;
        if (!news::splitArticle(articleText, a) || !a.header("Message-ID")) return nullptr;
        for (const Sample& s : all)
            if (s.messageId == *a.header("Message-ID")) return &s;
        return nullptr;
    }

    const std::vector<Sample> all = samples();
    std::vector<sqfix::Message> stored;
    TempDir dir;
    ServerProcess server;
    std::string port;
    std::string missing;
};

// Readers send several commands before reading a reply (slrnpull sends its HEADs in one
// write): commands that arrive together are all answered, in order, with no reply held
// back until more bytes come.
TEST_F(NewsReaders, CommandsSentTogetherAreAllAnsweredInOrder) {
    news::Client c;
    ASSERT_TRUE(c.connect(server.newsPort()));
    ASSERT_TRUE(c.send("AUTHINFO USER Test_User\r\nAUTHINFO PASS secret\r\nGROUP fido.news.test\r\n"
                       "STAT 1\r\nSTAT 2\r\nSTAT 3\r\nQUIT\r\n"));
    EXPECT_EQ(c.reply(), "381 Password required");
    EXPECT_EQ(c.reply(), "281 Authentication accepted (Posting Allowed)");
    EXPECT_EQ(c.reply(), "211 3 1 3 fido.news.test");
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(c.reply(), "223 " + std::to_string(i + 1) + " " + all[i].messageId);
    EXPECT_EQ(c.reply(), "205 Bye");
}

#define REQUIRE_PROGRAM(var, name, package)          \
    const std::string var = require(name, package); \
    if (var.empty()) GTEST_SKIP() << missing

// tin, with the password in .newsauth and the group subscribed in .newsrc: -Z finds the
// three articles unread; -S saves them as the group's articles with their texts in UTF-8
// and marks them read in .newsrc; -Z then finds nothing unread. Each run logs in as the
// user (the server's console says so for each).
TEST_F(NewsReaders, TinLogsInSavesTheGroupsArticlesAndMarksThemRead) {
    REQUIRE_PROGRAM(tin, "tin", "tin");
    const std::string home = dir.subdir("home");
    writeFile(home + "/.newsauth", "127.0.0.1 secret Test_User\n");
    chmod((home + "/.newsauth").c_str(), 0600);
    writeFile(home + "/.newsrc", std::string(kGroup) + ":\n");
    // The report of a batch run goes to a file instead of the system's mailer.
    makeDirectory(home + "/.tin");
    writeFile(home + "/.tin/tinrc", "mailer_format=cat %F > " + home + "/batch-report\n");
    const std::vector<std::string> remote = {tin, "-r", "-g", "127.0.0.1", "-p", port};
    auto withOptions = [&](std::vector<std::string> options) {
        std::vector<std::string> argv = remote;
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    };

    child::Result check = run(withOptions({"-Z", "-v"}), home, home);
    EXPECT_EQ(check.exitStatus, 2) << "2: unread news. " << describe(check);
    EXPECT_NE(check.out.find("3 unread"), std::string::npos) << check.out;

    child::Result save = run(withOptions({"-S", "-c", "-v"}), home, home);
    ASSERT_EQ(save.exitStatus, 0) << describe(save);
    const std::string saved = home + "/News/fido/news/test";
    ASSERT_EQ(filesIn(saved), (std::vector<std::string>{"1", "2", "3"})) << describe(save);
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE("article " + std::to_string(i + 1));
        expectArticleOf(readFile(saved + "/" + std::to_string(i + 1)), all[i]);
    }
    EXPECT_EQ(readFile(home + "/.newsrc"), std::string(kGroup) + ": 1-3\n");

    check = run(withOptions({"-Z"}), home, home);
    EXPECT_EQ(check.exitStatus, 0) << "0: no unread news. " << describe(check);

    EXPECT_EQ(server.countOut("news user: Test User, addr: 2:5020/999.1"), 3) << server.out();
    EXPECT_EQ(server.countOut("error"), 0) << server.out();
}

// slrnpull, its server and port on its command line and the user in its authinfo file:
// it pulls the group into its spool (the articles with their texts, the active file with
// the group's numbers); an article queued in out.going, a reply written offline, is posted
// and stored in the area as the user's reply to its original, in the area's charset; the
// next pull brings it back as article 4.
TEST_F(NewsReaders, SlrnpullPullsTheGroupIntoItsSpoolAndPostsItsQueue) {
    REQUIRE_PROGRAM(slrnpull, "slrnpull", "slrnpull");
    const std::string root = dir.subdir("slrnpull");
    writeFile(root + "/slrnpull.conf", std::string(kGroup) + " 0 0 0\n");
    writeFile(root + "/authinfo", "Test User\nsecret\n");
    chmod((root + "/authinfo").c_str(), 0600);
    const std::vector<std::string> pull = {slrnpull, "-d", root, "-h", "127.0.0.1:" + port, "--logfile", root + "/log"};

    child::Result r = run(pull, root, root);
    ASSERT_EQ(r.exitStatus, 0) << describe(r) << readFile(root + "/log");
    const std::string spool = root + "/news/fido/news/test";
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE("article " + std::to_string(i + 1));
        expectArticleOf(readFile(spool + "/" + std::to_string(i + 1)), all[i]);
    }
    EXPECT_EQ(readFile(root + "/data/active"), std::string(kGroup) + " 3 1 y\n");

    // slrn queues a post as a file whose name begins with X.
    writeFile(root + "/out.going/X1",
              "From: Test User <test@example.org>\n"
              "Newsgroups: fido.news.test\n"
              "Subject: Re: Welcome to the news door\n"
              "References: " + all[0].messageId + " " + all[1].messageId + "\n"
              "Message-ID: <slrn.offline.1@example.org>\n"
              "Mime-Version: 1.0\n"
              "Content-Type: text/plain; charset=UTF-8\n"
              "Content-Transfer-Encoding: 8bit\n"
              "User-Agent: slrn/1.0.3 (Linux)\n"
              "\n"
              "Ответ, написанный без сети.\n");
    std::vector<std::string> postOnly = pull;
    postOnly.push_back("--post-only");
    r = run(postOnly, root, root);
    ASSERT_EQ(r.exitStatus, 0) << describe(r) << readFile(root + "/log");
    EXPECT_NE(readFile(root + "/log").find("out.going/X1 posted."), std::string::npos) << readFile(root + "/log");
    EXPECT_EQ(filesIn(root + "/out.going"), std::vector<std::string>{});
    EXPECT_EQ(filesIn(root + "/out.going/rejects"), std::vector<std::string>{});

    std::vector<StoredMessage> inArea = storedMessages(base());
    ASSERT_EQ(inArea.size(), 4u);
    const StoredMessage& posted = inArea.back();
    EXPECT_EQ(posted.frame.msg.from, "Test User");
    EXPECT_EQ(posted.frame.msg.to, "Ivan Petrov") << "the sender of the message the last reference names";
    EXPECT_EQ(posted.frame.msg.subject, "Re: Welcome to the news door");
    EXPECT_EQ(kludgeValue(posted.lines, "REPLY"), "2:5020/200 65000002");
    EXPECT_EQ(kludgeValue(posted.lines, "CHRS"), "CP866 2");
    ASSERT_FALSE(textOf(posted).empty());
    EXPECT_EQ(textOf(posted)[0], cp866("Ответ, написанный без сети."));

    r = run(pull, root, root);
    ASSERT_EQ(r.exitStatus, 0) << describe(r) << readFile(root + "/log");
    news::Article again;
    ASSERT_TRUE(news::splitArticle(readFile(spool + "/4"), again)) << readFile(spool + "/4");
    ASSERT_FALSE(again.body.empty());
    EXPECT_EQ(again.body[0], "Ответ, написанный без сети.");
    ASSERT_TRUE(again.header("References"));
    EXPECT_EQ(*again.header("References"), all[1].messageId);
}

// suck, with the user on its command line: from a sucknewsrc that has read nothing it
// fetches the group's three articles (one file each, in multifile mode) and notes the
// group's high number; then, with nothing new in the group, it fetches one article by its
// Message-ID from suckothermsgs. rpost posts an article read from its standard input,
// which is stored in the area for the addressee X-Comment-To names, in the area's
// charset, and found by the Message-ID rpost gave it.
TEST_F(NewsReaders, SuckFetchesByNumberAndMessageIdAndRpostPosts) {
    REQUIRE_PROGRAM(suck, "suck", "suck");
    REQUIRE_PROGRAM(rpost, "rpost", "suck");
    const std::string data = dir.subdir("suck");
    const std::string articles = dir.subdir("suck-articles");
    writeFile(data + "/sucknewsrc", std::string(kGroup) + " 0\n");
    // Multifile mode into `articles`, its files in `data`, no history of a local server,
    // no killfile, MODE READER sent, and sucknewsrc updated at the end.
    const std::vector<std::string> fetch = {suck, "127.0.0.1", "-N", port, "-U", "Test_User", "-P", "secret",
                                            "-M", "-m", "-dm", articles, "-dd", data, "-dt", data,
                                            "-H", "-K", "-q", "-c"};
    auto fetchedArticles = [&] {
        std::vector<std::string> texts;
        for (const std::string& name : filesIn(articles)) texts.push_back(readFile(articles + "/" + name));
        return texts;
    };
    auto clearArticles = [&] {
        for (const std::string& name : filesIn(articles)) unlink((articles + "/" + name).c_str());
    };

    child::Result r = run(fetch, data, data);
    ASSERT_EQ(r.exitStatus, 0) << describe(r);
    std::vector<std::string> texts = fetchedArticles();
    ASSERT_EQ(texts.size(), 3u) << describe(r);
    std::set<const Sample*> found;
    for (const std::string& text : texts) {
        const Sample* s = sampleOf(text);
        ASSERT_NE(s, nullptr) << text;
        expectArticleOf(text, *s);
        found.insert(s);
    }
    EXPECT_EQ(found.size(), 3u) << "three different articles";
    EXPECT_EQ(readFile(data + "/sucknewsrc"), std::string(kGroup) + " 3\n");

    clearArticles();
    writeFile(data + "/suckothermsgs", all[1].messageId + "\n");
    r = run(fetch, data, data);
    ASSERT_EQ(r.exitStatus, 0) << describe(r);
    texts = fetchedArticles();
    ASSERT_EQ(texts.size(), 1u) << describe(r);
    expectArticleOf(texts[0], all[1]);

    const std::string article =
        "Newsgroups: fido.news.test\n"
        "From: Test User <test@example.org>\n"
        "Subject: Sent with rpost\n"
        "X-Comment-To: Max Kern\n"
        "Message-ID: <rpost.1@example.org>\n"
        "Content-Type: text/plain; charset=UTF-8\n"
        "\n"
        "Отправлено через rpost.\n";
    r = run({rpost, "127.0.0.1", "-N", port, "-U", "Test_User", "-P", "secret", "-M", "-u"}, data, data, article);
    ASSERT_EQ(r.exitStatus, 0) << describe(r);
    std::vector<StoredMessage> inArea = storedMessages(base());
    ASSERT_EQ(inArea.size(), 4u) << server.out();
    const StoredMessage& posted = inArea.back();
    EXPECT_EQ(posted.frame.msg.from, "Test User");
    EXPECT_EQ(posted.frame.msg.to, "Max Kern");
    EXPECT_EQ(posted.frame.msg.subject, "Sent with rpost");
    EXPECT_EQ(kludgeValue(posted.lines, "CHRS"), "CP866 2");
    ASSERT_FALSE(textOf(posted).empty());
    EXPECT_EQ(textOf(posted)[0], cp866("Отправлено через rpost."));

    // The group is left out this time: only the Message-ID brings the post.
    clearArticles();
    writeFile(data + "/sucknewsrc", "#" + std::string(kGroup) + " 3\n");
    writeFile(data + "/suckothermsgs", "<rpost.1@example.org>\n");
    r = run(fetch, data, data);
    ASSERT_EQ(r.exitStatus, 0) << describe(r);
    texts = fetchedArticles();
    ASSERT_EQ(texts.size(), 1u) << describe(r);
    news::Article a;
    ASSERT_TRUE(news::splitArticle(texts[0], a)) << texts[0];
    ASSERT_FALSE(a.body.empty());
    EXPECT_EQ(a.body[0], "Отправлено через rpost.");
}

// ---- inside TLS -------------------------------------------------------------------------

// The same node with the test certificate: NNTPS on its own port, STARTTLS on the plain one.
class NewsReadersOverTls : public NewsReaders {
protected:
    void SetUp() override {
        const std::string command = std::string(QUORVA_MAKE_CERT) + " test-set " + dir.subdir("certs");
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        NewsReaders::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_NE(server.newsTlsPort(), 0) << server.out();
        tlsPort = std::to_string(server.newsTlsPort());
    }

    std::string moreSettings() const override {
        return "tlsCertificate " + certificate("server.pem") + "\ntlsKey " + certificate("server.key") +
               "\nnntpsPort 0\n";
    }

    // A file of make-cert's test set: ca.pem, server.pem (names localhost, 127.0.0.1, ::1), ...
    std::string certificate(const std::string& name) const { return dir.file("certs/" + name); }

    std::string tlsPort;
};

// tin with -T, its certificate check on: as long as it trusts only the system's CAs it
// refuses the door at the handshake; trusting the test CA (tls_ca_cert_file), -Z finds the
// three articles unread, -S saves them and marks them read, -o posts the article waiting
// in its postponed file (tin wants a terminal for that), and -S brings the post back as
// article 4. Every run that got through logged in as the user.
TEST_F(NewsReadersOverTls, TinReadsAndPostsOverNntps) {
    REQUIRE_PROGRAM(tin, "tin", "tin");
    const std::string home = dir.subdir("home");
    writeFile(home + "/.newsauth", "127.0.0.1 secret Test_User\n");
    chmod((home + "/.newsauth").c_str(), 0600);
    writeFile(home + "/.newsrc", std::string(kGroup) + ":\n");
    makeDirectory(home + "/.tin");
    const std::string tinrc = home + "/.tin/tinrc";
    // The report of a batch run to a file, and no cancel-lock secret asked for when posting.
    const std::string common = "mailer_format=cat %F > " + home + "/batch-report\ncancel_lock_algo=none\n";
    const std::vector<std::string> remote = {tin, "-r", "-T", "-g", "127.0.0.1", "-p", tlsPort};
    auto withOptions = [&](std::vector<std::string> options) {
        std::vector<std::string> argv = remote;
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    };

    writeFile(tinrc, common);
    child::Result refused = run(withOptions({"-Z", "-v"}), home, home);
    EXPECT_NE(refused.exitStatus, 0) << describe(refused);
    EXPECT_NE(refused.out.find("TLS handshake failed"), std::string::npos) << refused.out;
    EXPECT_TRUE(server.waitForErr("unknown ca")) << server.err();

    writeFile(tinrc, common + "tls_ca_cert_file=" + certificate("ca.pem") + "\n");
    child::Result check = run(withOptions({"-Z", "-v"}), home, home);
    EXPECT_EQ(check.exitStatus, 2) << "2: unread news. " << describe(check);
    EXPECT_NE(check.out.find("TLS handshake done"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("3 unread"), std::string::npos) << check.out;

    child::Result save = run(withOptions({"-S", "-c", "-v"}), home, home);
    ASSERT_EQ(save.exitStatus, 0) << describe(save);
    const std::string saved = home + "/News/fido/news/test";
    ASSERT_EQ(filesIn(saved), (std::vector<std::string>{"1", "2", "3"})) << describe(save);
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE("article " + std::to_string(i + 1));
        expectArticleOf(readFile(saved + "/" + std::to_string(i + 1)), all[i]);
    }

    writeFile(home + "/.tin/postponed.articles",
              "From tin-postponed-article Thu Mar  5 10:00:00 2026\n"
              "From: Test User <test@example.org>\n"
              "Newsgroups: fido.news.test\n"
              "Subject: Posted by tin over NNTPS\n"
              "Message-ID: <tin.nntps.1@example.org>\n"
              "Content-Type: text/plain; charset=UTF-8\n"
              "Content-Transfer-Encoding: 8bit\n"
              "\n"
              "Sent over NNTPS.\n");
    child::Result post = run(withOptions({"-o", "-n"}), home, home, "", true);
    ASSERT_EQ(post.exitStatus, 0) << describe(post);
    EXPECT_NE(post.out.find("Article posted: <tin.nntps.1@example.org>"), std::string::npos) << post.out;
    std::vector<StoredMessage> inArea = storedMessages(base());
    ASSERT_EQ(inArea.size(), 4u) << server.out();
    EXPECT_EQ(inArea.back().frame.msg.subject, "Posted by tin over NNTPS");
    ASSERT_FALSE(textOf(inArea.back()).empty());
    EXPECT_EQ(textOf(inArea.back())[0], "Sent over NNTPS.");

    save = run(withOptions({"-S", "-v"}), home, home);
    ASSERT_EQ(save.exitStatus, 0) << describe(save);
    ASSERT_EQ(filesIn(saved), (std::vector<std::string>{"1", "2", "3", "4"})) << describe(save);
    news::Article again;
    ASSERT_TRUE(news::splitArticle(readFile(saved + "/4"), again)) << readFile(saved + "/4");
    ASSERT_TRUE(again.header("Subject"));
    EXPECT_EQ(*again.header("Subject"), "Posted by tin over NNTPS");
    ASSERT_FALSE(again.body.empty());
    EXPECT_EQ(again.body[0], "Sent over NNTPS.");

    EXPECT_EQ(server.countOut("news user: Test User, addr: 2:5020/999.1"), 4) << server.out();
}

// OpenSSL's s_client on the plain port: STARTTLS, the handshake with the test CA as the only
// one trusted and the address checked against the certificate, then a session typed ahead
// as one block: login, GROUP, OVER, POST, the post read back by its Message-ID, QUIT.
TEST_F(NewsReadersOverTls, OpensslStartTlsLogsInReadsAndPosts) {
    REQUIRE_PROGRAM(openssl, "openssl", "openssl");
    const std::string session =
        "AUTHINFO USER Test_User\r\nAUTHINFO PASS secret\r\nGROUP fido.news.test\r\nOVER 1-3\r\nPOST\r\n"
        "Newsgroups: fido.news.test\r\nFrom: Test User <test@example.org>\r\nSubject: After STARTTLS\r\n"
        "Message-ID: <starttls.1@example.org>\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n"
        "Написано после STARTTLS.\r\n.\r\n"
        "ARTICLE <starttls.1@example.org>\r\nQUIT\r\n";
    const std::string home = dir.subdir("home");
    child::Result r = run({openssl, "s_client", "-connect", "127.0.0.1:" + port, "-starttls", "nntp", "-CAfile",
                           certificate("ca.pem"), "-no-CApath", "-no-CAstore", "-verify_return_error", "-verify_ip",
                           "127.0.0.1", "-quiet"},
                          home, home, session, false, Errors::Apart);
    ASSERT_EQ(r.exitStatus, 0) << describe(r);
    // What the server sent after the handshake: its replies, in order.
    std::vector<std::string> lines;
    for (size_t at = 0; at < r.out.size();) {
        size_t end = r.out.find("\r\n", at);
        if (end == std::string::npos) end = r.out.size();
        lines.push_back(r.out.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_GE(lines.size(), 12u) << r.out;
    EXPECT_EQ(lines[0], "381 Password required");
    EXPECT_EQ(lines[1], "281 Authentication accepted (Posting Allowed)");
    EXPECT_EQ(lines[2], "211 3 1 3 fido.news.test");
    EXPECT_EQ(lines[3].substr(0, 4), "224 ");
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_NE(lines[4 + i].find("\t" + all[i].messageId + "\t"), std::string::npos) << lines[4 + i];
    EXPECT_EQ(lines[7], ".");
    EXPECT_EQ(lines[8].substr(0, 4), "340 ");
    EXPECT_EQ(lines[9], "240 Article received OK");
    EXPECT_EQ(lines[10].substr(0, 6), "220 0 ");
    EXPECT_EQ(lines.end()[-2], ".");
    EXPECT_EQ(lines.back(), "205 Bye");
    news::Article a;
    ASSERT_TRUE(news::splitArticle(std::vector<std::string>(lines.begin() + 11, lines.end() - 2), a)) << r.out;
    ASSERT_TRUE(a.header("Subject"));
    EXPECT_EQ(*a.header("Subject"), "After STARTTLS");
    ASSERT_FALSE(a.body.empty());
    EXPECT_EQ(a.body[0], "Написано после STARTTLS.");
    EXPECT_EQ(storedMessages(base()).size(), 4u);
}

}  // namespace
