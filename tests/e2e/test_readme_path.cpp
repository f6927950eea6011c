// README's user path: the demo node copied to a scratch folder, the real server started
// on it, and README's quorva-client command lines run through the shell as a person would
// type them (with the test's port and the built client), checking their output and exit
// status; then the refusals a person meets, each with its exit status and message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/server_process.h"
#include "common/squish_fixture.h"

#ifdef QUORVA_CLIENT_BIN

extern char** environ;

namespace {

struct ClientRun {
    int status = -1;  // exit status; -1 for a signal death or a time-out
    std::string out, err;
};

// Runs argv with the test's environment less every QUORVA_ variable, plus `env`, with no
// controlling terminal (so a password prompt cannot wait for a person), `input` on its
// standard input, and a bound on its run time.
ClientRun runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& input = "") {
    ClientRun result;
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return result;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "QUORVA_", 7) != 0) envText.push_back(*e);
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (std::string& s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        setsid();
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        int r = poll(fds, 2, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t k = read(fds[i].fd, buf, sizeof buf);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buf, size_t(k));
            }
        }
    }
    bool timedOut = open > 0;
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

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
    // test's port and the built client put in.
    ClientRun readmeCommand(const std::string& command, const std::string& input = "") {
        EXPECT_TRUE(has(readme, "    " + command + "\n")) << "README no longer shows: " << command;
        std::string script = kExportInReadme + "\n" + command;
        replaceAll(script, "QUORVA_PORT=9029", "QUORVA_PORT=" + std::to_string(server.port()));
        replaceAll(script, kClientInReadme, std::string("'") + QUORVA_CLIENT_BIN + "'");
        return runProgram({"/bin/sh", "-c", script}, {{"QUORVA_HOST", "127.0.0.1"}}, input);
    }

    std::map<std::string, std::string> sysopEnv() const {
        return {{"QUORVA_HOST", "127.0.0.1"},
                {"QUORVA_PORT", std::to_string(server.port())},
                {"QUORVA_USER", "Demo Sysop"},
                {"QUORVA_ADDR", "2:5020/1234"},
                {"QUORVA_PASSWORD", "demo"}};
    }

    ClientRun client(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const std::string& input = "") {
        std::vector<std::string> argv = {QUORVA_CLIENT_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, env, input);
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
    EXPECT_EQ(rowStarting(areas.out, "1"), (std::vector<std::string>{"1", "QUORVA.TALK", "echomail", "6", "3"}));
    EXPECT_EQ(rowStarting(areas.out, "2"), (std::vector<std::string>{"2", "DEMO.TEST", "echomail", "2", "2"}));
    for (const std::string& line : linesOf(areas.out)) EXPECT_TRUE(has(readme, "    " + line + "\n")) << line;

    // list: six headers, the replies linked to the messages they answer.
    ClientRun list = readmeCommand(kClientInReadme + " list QUORVA.TALK");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(has(list.out, "QUORVA.TALK (area 1, echomail): 6 messages"));
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
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.number);
        std::string line;
        for (const std::string& l : linesOf(list.out))
            if (!wordsOf(l).empty() && wordsOf(l)[0] == r.number) line = l;
        EXPECT_TRUE(has(line, r.date)) << line;
        EXPECT_TRUE(has(line, r.subject)) << line;
        EXPECT_EQ(has(line, "  #"), *r.replyTo != 0) << line;
        if (*r.replyTo) {
            EXPECT_TRUE(has(line, std::string("  ") + r.replyTo + "  ")) << line;
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
    EXPECT_EQ(post.out, "Posted message #7 to QUORVA.TALK.\n");

    ClientRun back = readmeCommand(kClientInReadme + " read QUORVA.TALK 7");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(has(back.out, "From:    Demo Sysop, 2:5020/1234.0\n"));
    EXPECT_TRUE(has(back.out, "To:      All\n"));
    EXPECT_TRUE(has(back.out, "Subject: First post\n"));
    EXPECT_TRUE(has(back.out, "  ^AMSGID: 2:5020/1234.0 "));
    EXPECT_TRUE(has(back.out, "---\nHello from the demo.\n"));

    ClientRun del = readmeCommand(kClientInReadme + " delete QUORVA.TALK 7");
    ASSERT_EQ(del.status, 0) << del.err;
    EXPECT_EQ(del.out, "Deleted message #7 from QUORVA.TALK.\n");
    ClientRun gone = client({"read", "QUORVA.TALK", "7"}, sysopEnv());
    EXPECT_EQ(gone.status, 2);
    EXPECT_TRUE(has(gone.err, "no message #7 in QUORVA.TALK")) << gone.err;

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
    EXPECT_TRUE(has(dir.read("echo/demotest.SQD"), std::string("one\rtwo\r\rthree\0", 15)));

    // Rights: Ann deletes her own unsent netmail, not the sysop's echomail.
    const std::string ann = "QUORVA_USER='Ann Reader' QUORVA_ADDR=2:5020/1234.5 QUORVA_PASSWORD=reader ";
    ClientRun own = readmeCommand(ann + kClientInReadme + " delete NETMAIL 3");
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("netmail/3.MSG")));
    ClientRun other = readmeCommand(ann + kClientInReadme + " delete QUORVA.TALK 1");
    EXPECT_EQ(other.status, 2);
    EXPECT_TRUE(has(other.err, "refused to delete message #1 in QUORVA.TALK")) << other.err;
    EXPECT_TRUE(server.waitForErr("fail to delete message #1"));

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
    // Nothing was posted by the refused posts.
    ClientRun areas = client({"areas"}, sysopEnv());
    EXPECT_EQ(rowStarting(areas.out, "2"), (std::vector<std::string>{"2", "DEMO.TEST", "echomail", "2", "2"}));

    ClientRun help = client({"--help"}, {});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "usage: quorva-client"));
}

}  // namespace

#endif  // QUORVA_CLIENT_BIN
