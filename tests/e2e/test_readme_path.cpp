// README's user path: the demo node copied to a scratch folder, the real server started
// on it, and README's quorva-client command lines run through the shell as a person would
// type them (with the test's port and the built client), checking their output and exit
// status; then the refusals a person meets, each with its exit status and message.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/client_run.h"
#include "common/server_process.h"
#include "common/squish_fixture.h"

#ifdef QUORVA_CLIENT_BIN

namespace {

// The words of the first output line whose first word is `first`.
std::vector<std::string> rowStarting(const std::string& out, const std::string& first) {
    for (const std::string& line : linesOf(out)) {
        std::vector<std::string> w = wordsOf(line);
        if (!w.empty() && w[0] == first) return w;
    }
    return {};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

const std::string kClientInReadme = "build/quorva-client";
const std::string kExportInReadme =
    "export QUORVA_PORT=9029 QUORVA_USER='Demo Sysop' QUORVA_ADDR=2:5020/1234 QUORVA_PASSWORD=demo";

class ReadmePath : public ::testing::Test {
protected:
    void SetUp() override {
        readme = readFile(std::string(QUORVA_SOURCE_DIR) + "/README.md");
        ASSERT_FALSE(readme.empty());
        std::filesystem::copy(std::string(QUORVA_SOURCE_DIR) + "/demo", dir.path(),
                              std::filesystem::copy_options::recursive);
        // The demo's settings without its port: the runner puts a free port first.
        std::string settings;
        for (const std::string& line : linesOf(dir.read("quorva.INI")))
            if (line.rfind("listenPort", 0) != 0) settings += line + "\n";
        ASSERT_TRUE(server.start(dir, settings)) << server.err();
    }

    // A command line of README, run through the shell after README's export line, with the
    // test's port and the built client put in, on a UTF-8 terminal.
    ClientRun readmeCommand(const std::string& command, const std::string& input = "") {
        EXPECT_TRUE(has(readme, "    " + command + "\n")) << "README no longer shows: " << command;
        std::string script = kExportInReadme + "\n" + command;
        replaceAll(script, "QUORVA_PORT=9029", "QUORVA_PORT=" + std::to_string(server.port()));
        replaceAll(script, kClientInReadme, std::string("'") + QUORVA_CLIENT_BIN + "'");
        return runProgram({"/bin/sh", "-c", script}, {{"QUORVA_HOST", "127.0.0.1"}, {"LC_ALL", "C.UTF-8"}}, input);
    }

    // The lines of README's indented block that follows the command line, up to the
    // next paragraph.
    std::vector<std::string> readmeBlockAfter(const std::string& command) const {
        std::vector<std::string> block;
        std::vector<std::string> lines = linesOf(readme);
        auto at = std::find(lines.begin(), lines.end(), "    " + command);
        if (at == lines.end() || ++at == lines.end() || !at->empty()) return block;
        for (++at; at != lines.end() && (at->empty() || at->rfind("    ", 0) == 0); ++at)
            block.push_back(at->empty() ? "" : at->substr(4));
        while (!block.empty() && block.back().empty()) block.pop_back();
        return block;
    }

    std::map<std::string, std::string> sysopEnv() const {
        return {{"QUORVA_HOST", "127.0.0.1"},
                {"QUORVA_PORT", std::to_string(server.port())},
                {"QUORVA_USER", "Demo Sysop"},
                {"QUORVA_ADDR", "2:5020/1234"},
                {"QUORVA_PASSWORD", "demo"}};
    }

    static std::map<std::string, std::string> withUtf8(std::map<std::string, std::string> env) {
        env["LC_ALL"] = "C.UTF-8";
        return env;
    }

    ClientRun client(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                     const std::string& input = "") {
        return runClient(args, env, input);
    }

    std::string readme;
    TempDir dir;
    ServerProcess server;
};

TEST_F(ReadmePath, DemoBasesAreSound) {
    for (const char* base : {"echo/qtalk", "echo/demotest"}) {
        SCOPED_TRACE(base);
        EXPECT_EQ(sqfix::checkBase(dir.file(base)), std::vector<std::string>{});
    }
}

TEST_F(ReadmePath, WalksTheDemo) {
    ASSERT_TRUE(has(readme, "    " + kExportInReadme + "\n"));

    // areas: README's sample table is what the demo shows.
    ClientRun areas = readmeCommand(kClientInReadme + " areas");
    ASSERT_EQ(areas.status, 0) << areas.err;
    EXPECT_EQ(rowStarting(areas.out, "0"), (std::vector<std::string>{"0", "NETMAIL", "netmail", "3", "2"}));
    EXPECT_EQ(rowStarting(areas.out, "1"), (std::vector<std::string>{"1", "QUORVA.TALK", "echomail", "12", "9"}));
    EXPECT_EQ(rowStarting(areas.out, "2"), (std::vector<std::string>{"2", "DEMO.TEST", "echomail", "2", "2"}));
    for (const std::string& line : linesOf(areas.out)) EXPECT_TRUE(has(readme, "    " + line + "\n")) << line;

    // list: twelve headers, the replies linked to the messages they answer.
    ClientRun list = readmeCommand(kClientInReadme + " list QUORVA.TALK");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(has(list.out, "QUORVA.TALK (area 1, echomail): 12 messages\n"));
    struct Row {
        const char* number;
        const char* date;
        const char* replyTo;  // "" for none
        const char* subject;
    };
    const Row rows[] = {
        {"1", "04 Mar 2024 19:12", "", "Welcome to QUORVA.TALK"},
        {"2", "05 Mar 2024 08:31", "#1", "Re: Welcome to QUORVA.TALK"},
        {"3", "05 Mar 2024 11:02", "", "Squish bases and *.MSG"},
        {"4", "05 Mar 2024 12:47", "#2", "Re: Welcome to QUORVA.TALK"},
        {"5", "06 Mar 2024 09:05", "#3", "Re: Squish bases and *.MSG"},
        {"6", "06 Mar 2024 17:20", "#5", "Re: Squish bases and *.MSG"},
        {"7", "07 Mar 2024 09:15", "", "Charsets in echomail"},
        {"8", "07 Mar 2024 14:40", "#7", "Re: Charsets in echomail"},
        {"9", "07 Mar 2024 12:02", "#7", "Re: Charsets in echomail"},
        {"10", "07 Mar 2024 18:25", "#8", "Re: Charsets in echomail"},
        {"11", "08 Mar 2024 08:10", "#10", "Re: Charsets in echomail"},
        {"12", "08 Mar 2024 10:30", "?", "Re: Point software"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.number);
        std::string line;
        for (const std::string& l : linesOf(list.out))
            if (!wordsOf(l).empty() && wordsOf(l)[0] == r.number) line = l;
        EXPECT_TRUE(has(line, r.date)) << line;
        EXPECT_TRUE(has(line, r.subject)) << line;
        if (*r.replyTo) {
            EXPECT_TRUE(has(line, std::string("  ") + r.replyTo + " ")) << line;
        } else {
            EXPECT_FALSE(has(line, "  #") || has(line, "  ?")) << line;
        }
    }

    // read: header, kludges apart from the text.
    ClientRun shown = readmeCommand(kClientInReadme + " read QUORVA.TALK 2");
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(has(shown.out, "From:    Ann Reader, 2:5020/1234.5\n"));
    EXPECT_TRUE(has(shown.out, "To:      Demo Sysop\n"));
    EXPECT_TRUE(has(shown.out, "Date:    05 Mar 2024 08:31\n"));
    EXPECT_TRUE(has(shown.out, "  ^AMSGID: 2:5020/1234.5 65e6da17\n"));
    EXPECT_TRUE(has(shown.out, "  ^AREPLY: 2:5020/1234 65e6f1a2\n"));
    EXPECT_TRUE(has(shown.out, "  ^APATH: 5020/1234\n"));
    size_t rule = shown.out.find("\n-----");
    ASSERT_NE(rule, std::string::npos);
    std::string text = shown.out.substr(rule);
    EXPECT_TRUE(has(text, "\nDoes it need its own copy of the areas, or does it work on the\n"));
    EXPECT_TRUE(has(text, "\n * Origin: Quorva demo node (2:5020/1234.5)\n"));
    EXPECT_FALSE(has(text, "MSGID")) << "kludges belong above the text";

    // post, read back, delete.
    ClientRun post = readmeCommand("echo 'Hello from the demo.' | " + kClientInReadme +
                             " post QUORVA.TALK --subject 'First post'");
    ASSERT_EQ(post.status, 0) << post.err;
    EXPECT_EQ(post.out, "Posted message #13 to QUORVA.TALK.\n");

    ClientRun back = readmeCommand(kClientInReadme + " read QUORVA.TALK 13");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(has(back.out, "From:    Demo Sysop, 2:5020/1234.0\n"));
    EXPECT_TRUE(has(back.out, "To:      All\n"));
    EXPECT_TRUE(has(back.out, "Subject: First post\n"));
    EXPECT_TRUE(has(back.out, "  ^AMSGID: 2:5020/1234.0 "));
    EXPECT_TRUE(has(back.out, "  ^ACHRS: UTF-8 4\n"));
    EXPECT_TRUE(has(back.out, "---\nHello from the demo.\n"));

    ClientRun del = readmeCommand(kClientInReadme + " delete QUORVA.TALK 13");
    ASSERT_EQ(del.status, 0) << del.err;
    EXPECT_EQ(del.out, "Deleted message #13 from QUORVA.TALK.\n");
    ClientRun gone = client({"read", "QUORVA.TALK", "13"}, sysopEnv());
    EXPECT_EQ(gone.status, 2);
    EXPECT_TRUE(has(gone.err, "no message #13 in QUORVA.TALK")) << gone.err;

    // Netmail post: stored with the addresses and the INTL kludge.
    ClientRun net = readmeCommand("echo 'Hello Max.' | " + kClientInReadme +
                            " post NETMAIL --to 'Max Kern' --dest 2:5020/100 --subject 'Hello'");
    ASSERT_EQ(net.status, 0) << net.err;
    EXPECT_EQ(net.out, "Posted message #4 to NETMAIL.\n");
    ClientRun netBack = client({"read", "NETMAIL", "4"}, sysopEnv());
    ASSERT_EQ(netBack.status, 0) << netBack.err;
    EXPECT_TRUE(has(netBack.out, "From:    Demo Sysop, 2:5020/1234.0\n"));
    EXPECT_TRUE(has(netBack.out, "To:      Max Kern, 2:5020/100.0\n"));
    EXPECT_TRUE(has(netBack.out, "Attr:    0x0100 (local)\n"));
    EXPECT_TRUE(has(netBack.out, "  ^AINTL 2:5020/100 2:5020/1234\n"));
    EXPECT_TRUE(has(netBack.out, "---\nHello Max.\n"));
    // The server may spell a new file's extension in either letter case.
    std::string stored = dir.read("netmail/4.MSG") + dir.read("netmail/4.msg");
    EXPECT_TRUE(has(stored, std::string("\rHello Max.\r\0", 13))) << "LF line ends are stored as CR";
    EXPECT_FALSE(has(stored, "\n"));

    // CR LF line ends from standard input become single CRs as well.
    ClientRun crlf = client({"post", "DEMO.TEST", "--subject", "Line ends"}, sysopEnv(), "one\r\ntwo\r\n\r\nthree");
    ASSERT_EQ(crlf.status, 0) << crlf.err;
    EXPECT_EQ(crlf.out, "Posted message #3 to DEMO.TEST.\n");
    EXPECT_TRUE(has(dir.read("echo/demotest.SQD"), "one\rtwo\r\rthree\r--- "));  // the server's tearline follows

    // Rights: Ann deletes her own unsent netmail, not the sysop's echomail.
    const std::string ann = "QUORVA_USER='Ann Reader' QUORVA_ADDR=2:5020/1234.5 QUORVA_PASSWORD=reader ";
    ClientRun own = readmeCommand(ann + kClientInReadme + " delete NETMAIL 3");
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("netmail/3.MSG")));
    ClientRun other = readmeCommand(ann + kClientInReadme + " delete QUORVA.TALK 1");
    EXPECT_EQ(other.status, 2);
    EXPECT_TRUE(has(other.err, "refused to delete message #1 in QUORVA.TALK")) << other.err;
    EXPECT_TRUE(server.waitForErr("fail to delete message #1"));

    // Threads: README's tree is what the demo shows, line for line.
    const std::string threadsCommand = kClientInReadme + " list --threads QUORVA.TALK";
    ClientRun threads = readmeCommand(threadsCommand);
    ASSERT_EQ(threads.status, 0) << threads.err;
    std::vector<std::string> tree = readmeBlockAfter(threadsCommand);
    EXPECT_EQ(linesOf(threads.out), tree) << threads.out;
    ASSERT_EQ(tree.size(), 14u);
    EXPECT_EQ(tree[0], "QUORVA.TALK (area 1, echomail): 12 messages in 4 threads");

    ClientRun one = readmeCommand(kClientInReadme + " thread QUORVA.TALK 10");
    ASSERT_EQ(one.status, 0) << one.err;
    std::vector<std::string> oneLines = linesOf(one.out);
    ASSERT_EQ(oneLines.size(), 7u) << one.out;
    EXPECT_EQ(oneLines[0], "Thread of #10 in QUORVA.TALK (area 1, echomail): 5 messages");
    EXPECT_EQ(oneLines[1], tree[1]);  // the column heads
    for (size_t i = 2; i < oneLines.size(); ++i) EXPECT_EQ(oneLines[i], tree[i + 6]) << "rows of #7 to #11";

    // Charsets: the CP866 message with its CHRS kludge reads as README shows it.
    const std::string readCp866 = kClientInReadme + " read QUORVA.TALK 8";
    ClientRun cp866 = readmeCommand(readCp866);
    ASSERT_EQ(cp866.status, 0) << cp866.err;
    std::vector<std::string> excerpt = readmeBlockAfter(readCp866);
    ASSERT_GT(excerpt.size(), 10u);
    EXPECT_TRUE(has(cp866.out, [&] {
        std::string joined;
        for (const std::string& l : excerpt) joined += l + "\n";
        return joined;
    }())) << cp866.out;
    EXPECT_TRUE(has(cp866.out, "\nПривет, Max!\n"));
    EXPECT_TRUE(has(dir.read("echo/qtalk.SQD"), "\x8f\xe0\xa8\xa2\xa5\xe2, Max!\r")) << "stored in CP866";

    // A post in CP866: stored as CP866 bytes with the kludge, read back in UTF-8.
    ClientRun inCp866 = readmeCommand("echo 'Спасибо, Иван!' | " + kClientInReadme +
                                      " post QUORVA.TALK --charset CP866 --to 'Ivan Petrov' --subject 'Spasibo'");
    ASSERT_EQ(inCp866.status, 0) << inCp866.err;
    EXPECT_EQ(inCp866.out, "Posted message #14 to QUORVA.TALK.\n");
    std::string base = dir.read("echo/qtalk.SQD");
    EXPECT_TRUE(has(base, "\x01" "CHRS: CP866 2")) << "the kludge goes with the text";
    EXPECT_TRUE(has(base, "\x91\xaf\xa0\xe1\xa8\xa1\xae, \x88\xa2\xa0\xad!\r")) << "the text in CP866 bytes";
    EXPECT_FALSE(has(base, "Спасибо")) << "no UTF-8 bytes stored";
    ClientRun spasibo = client({"read", "QUORVA.TALK", "14"}, withUtf8(sysopEnv()));
    ASSERT_EQ(spasibo.status, 0) << spasibo.err;
    EXPECT_TRUE(has(spasibo.out, "---\nСпасибо, Иван!\n")) << spasibo.out;

    // Replies: quoted under the author's initials, REPLY = the original's MSGID, linked.
    ClientRun reply = readmeCommand("echo 'Thank you, Ivan.' | " + kClientInReadme + " reply QUORVA.TALK 11");
    ASSERT_EQ(reply.status, 0) << reply.err;
    EXPECT_EQ(reply.out, "Posted message #15 to QUORVA.TALK, a reply to #11.\n");
    ClientRun answer = readmeCommand(kClientInReadme + " read QUORVA.TALK 15");
    ASSERT_EQ(answer.status, 0) << answer.err;
    EXPECT_TRUE(has(answer.out, "To:      Ivan Petrov\n"));
    EXPECT_TRUE(has(answer.out, "Subject: Re: Charsets in echomail\n"));
    EXPECT_TRUE(has(answer.out, "  ^AREPLY: 2:5020/200 65eaa03f\n"));
    EXPECT_TRUE(has(answer.out, "  ^ACHRS: CP866 2\n")) << "a reply to Ivan's CP866 message is in CP866";
    EXPECT_TRUE(has(answer.out, "\n IP> Именно так: quorva-client показывает это письмо по-русски.\n"));
    EXPECT_TRUE(has(answer.out, "\n MK> So a reader that honours CHRS shows your text right on any terminal,\n"))
        << "an already-quoted line keeps its prefix";
    EXPECT_TRUE(has(answer.out, "\n IP> Иван\n\nThank you, Ivan.\n"));
    EXPECT_FALSE(has(answer.out, "IP> ---") || has(answer.out, "IP>  * Origin") || has(answer.out, "IP> SEEN-BY"));
    ClientRun linked = client({"list", "QUORVA.TALK"}, sysopEnv());
    std::vector<std::string> row15 = rowStarting(linked.out, "15");
    EXPECT_NE(std::find(row15.begin(), row15.end(), "#11"), row15.end()) << linked.out;

    // The repository's demo files were not touched.
    EXPECT_TRUE(std::filesystem::exists(std::string(QUORVA_SOURCE_DIR) + "/demo/netmail/3.MSG"));
    for (const char* name : {"/demo/netmail/4.MSG", "/demo/netmail/4.msg", "/demo/netmail/4.MST", "/demo/netmail/4.mst"})
        EXPECT_FALSE(std::filesystem::exists(std::string(QUORVA_SOURCE_DIR) + name)) << name;
}

TEST_F(ReadmePath, RefusalsAndFailuresSayWhyAndExitNonZero) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::map<std::string, std::string> envChange;  // "" removes the variable
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"wrong password", {"areas"}, {{"QUORVA_PASSWORD", "wrong"}}, 2, "login refused for Demo Sysop, 2:5020/1234.0"},
        {"unknown user", {"areas"}, {{"QUORVA_USER", "Nobody"}}, 2, "login refused for Nobody"},
        {"user at another address", {"areas"}, {{"QUORVA_ADDR", "2:5020/1234.9"}}, 2, "login refused"},
        {"unknown area tag", {"list", "NO.SUCH.AREA"}, {}, 2, "no area 'NO.SUCH.AREA'"},
        {"area number out of range", {"list", "3"}, {}, 2, "no area number 3"},
        {"missing message", {"read", "NETMAIL", "99"}, {}, 2, "no message #99 in NETMAIL"},
        {"delete of a missing message", {"delete", "DEMO.TEST", "42"}, {}, 2, "refused to delete message #42"},
        {"no server", {"ping"}, {{"QUORVA_PORT", "1"}}, 3, "cannot connect to 127.0.0.1:1"},
        {"no password and no terminal", {"areas"}, {{"QUORVA_PASSWORD", ""}}, 1, "no password"},
        {"no user", {"areas"}, {{"QUORVA_USER", ""}}, 1, "no user name"},
        {"bad address", {"areas"}, {{"QUORVA_ADDR", "5020/1234"}}, 1, "is not a FidoNet address"},
        {"unknown command", {"frobnicate"}, {}, 1, "unknown command 'frobnicate'"},
        {"missing argument", {"read", "NETMAIL"}, {}, 1, "usage: quorva-client read AREA NUMBER"},
        {"post without subject", {"post", "DEMO.TEST"}, {}, 1, "post needs --subject"},
        {"netmail post without destination",
         {"post", "NETMAIL", "--to", "Max Kern", "--subject", "x"}, {}, 1, "needs --dest"},
        {"unknown attribute", {"post", "DEMO.TEST", "--subject", "x", "--attr", "loud"}, {}, 1, "unknown attribute"},
        {"attributes in echomail", {"post", "DEMO.TEST", "--subject", "x", "--attr", "private"}, {}, 1,
         "--attr applies to netmail only: the server gives every new echomail message its own attribute word"},
        {"attributes of an echomail reply", {"reply", "QUORVA.TALK", "1", "--attr", "crash"}, {}, 1,
         "--attr applies to netmail only"},
        {"unknown charset", {"read", "QUORVA.TALK", "8", "--charset", "KLINGON"}, {}, 1, "unknown charset 'KLINGON'"},
        {"unknown charset in the environment", {"list", "QUORVA.TALK"}, {{"QUORVA_CHARSET", "EBCDIC-XX"}}, 1,
         "QUORVA_CHARSET: unknown charset 'EBCDIC-XX'"},
        {"threads outside list", {"read", "QUORVA.TALK", "1", "--threads"}, {}, 1, "--threads belongs to the list"},
        {"thread of a missing message", {"thread", "QUORVA.TALK", "99"}, {}, 2, "no message #99 in QUORVA.TALK"},
        {"reply to a missing message", {"reply", "QUORVA.TALK", "99"}, {}, 2, "no message #99 in QUORVA.TALK"},
        {"unreachable host", {"ping", "--host", "255.255.255.255"}, {}, 3, "cannot connect to 255.255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> env = sysopEnv();
        for (const auto& [k, v] : c.envChange) {
            if (v.empty()) {
                env.erase(k);
            } else {
                env[k] = v;
            }
        }
        ClientRun r = client(c.args, env, "text\n");
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_TRUE(has(r.err, c.message)) << r.err;
        EXPECT_TRUE(r.err.rfind("quorva-client: ", 0) == 0) << r.err;
    }
    // Nothing was posted by the refused posts and replies.
    ClientRun areas = client({"areas"}, sysopEnv());
    EXPECT_EQ(rowStarting(areas.out, "1"), (std::vector<std::string>{"1", "QUORVA.TALK", "echomail", "12", "9"}));
    EXPECT_EQ(rowStarting(areas.out, "2"), (std::vector<std::string>{"2", "DEMO.TEST", "echomail", "2", "2"}));

    // The hint about the server is given only when nothing listens at the port.
    std::map<std::string, std::string> noServer = sysopEnv();
    noServer["QUORVA_PORT"] = "1";
    ClientRun refused = client({"ping"}, noServer);
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(has(refused.err, "Connection refused (is the server running?)")) << refused.err;
    ClientRun unreachable = client({"ping", "--host", "255.255.255.255"}, sysopEnv());
    EXPECT_EQ(unreachable.status, 3);
    EXPECT_FALSE(has(unreachable.err, "is the server running")) << unreachable.err;

    ClientRun help = client({"--help"}, {});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "usage: quorva-client"));
    for (const char* part : {"thread AREA NUMBER", "reply AREA NUMBER", "--charset CS", "--threads", "--allow-empty",
                             "--version", "VISUAL"})
        EXPECT_TRUE(has(help.out, part)) << part;
}

TEST_F(ReadmePath, VersionIsTheProjectVersion) {
    std::string cmake = readFile(std::string(QUORVA_SOURCE_DIR) + "/CMakeLists.txt");
    size_t at = cmake.find("project(quorva VERSION ");
    ASSERT_NE(at, std::string::npos);
    std::string version = wordsOf(cmake.substr(at + 23, 20))[0];
    ClientRun r = client({"--version"}, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "quorva-client " + version + "\n");
    EXPECT_TRUE(r.err.empty()) << r.err;
}

}  // namespace

#endif  // QUORVA_CLIENT_BIN
