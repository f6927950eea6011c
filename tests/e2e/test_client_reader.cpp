// quorva-client as an everyday reader, end to end: the real server on a copy of the demo
// node and the built client run as a person would run it. Charsets (reading by the CHRS
// kludge, posting in the area's charset, refusals, controls kept off the terminal), replies
// (quote, subject, REPLY kludge, netmail destination, the original's charset, private
// netmail, the editor and standard input), the thread view, and the post options (empty
// texts, netmail attributes and their names in --help).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/client_run.h"
#include "common/server_process.h"
#include "support/le.h"
#include "fido/attributes.h"
#include "wire/packets.h"

#ifdef QUORVA_CLIENT_BIN

namespace {

const std::string kA = "\x01";  // kludge mark (kept apart: "\x01C..." would be one escape)
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr int32_t kDemoTest = 2;  // the demo's area numbers: 0 NETMAIL, 1 QUORVA.TALK, 2 DEMO.TEST

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The text of a `read` output: the lines after the rule.
std::string textPart(const std::string& out) {
    size_t rule = out.find("\n-----");
    if (rule == std::string::npos) return "";
    size_t start = out.find('\n', rule + 1);
    return start == std::string::npos ? "" : out.substr(start + 1);
}

class ClientReader : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(std::string(QUORVA_SOURCE_DIR) + "/demo", dir.path(),
                              std::filesystem::copy_options::recursive);
        std::string settings;
        for (const std::string& line : linesOf(dir.read("quorva.INI")))
            if (line.rfind("listenPort", 0) != 0) settings += line + "\n";
        ASSERT_TRUE(server.start(dir, settings)) << server.err();
        tmp = dir.subdir("tmp");
    }

    // The sysop on a UTF-8 terminal, drafts in the test's own temporary folder.
    std::map<std::string, std::string> sysop(const std::string& locale = "C.UTF-8") const {
        return {{"QUORVA_HOST", "127.0.0.1"}, {"QUORVA_PORT", std::to_string(server.port())},
                {"QUORVA_USER", "Demo Sysop"}, {"QUORVA_ADDR", "2:5020/1234"},
                {"QUORVA_PASSWORD", "demo"},   {"LC_ALL", locale},
                {"TMPDIR", tmp}};
    }
    std::map<std::string, std::string> ann() const {
        std::map<std::string, std::string> env = sysop();
        env["QUORVA_USER"] = "Ann Reader";
        env["QUORVA_ADDR"] = "2:5020/1234.5";
        env["QUORVA_PASSWORD"] = "reader";
        return env;
    }

    ClientRun client(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                     const std::string& input = "") {
        return runClient(args, env, input);
    }
    ClientRun clientOnTerminal(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
        return runClientOnTerminal(args, env);
    }

    // Posts bytes as they are, past the client's conversions, as the sysop.
    void postRaw(int32_t area, const std::string& subject, const std::string& text, const FidoAddr& dest = {}) {
        qclient::Connection c;
        ASSERT_TRUE(c.connect("127.0.0.1", server.port()));
        ASSERT_EQ(c.login("Demo Sysop", "demo", FidoAddr{2, 5020, 1234, 0}), qclient::Status::Ok);
        pktMessage m;
        copyField(m.header.fromName, "Demo Sysop", sizeof m.header.fromName);
        copyField(m.header.toName, "Max Kern", sizeof m.header.toName);
        copyField(m.header.subject, subject.c_str(), sizeof m.header.subject);
        m.destAddr = dest;
        m.areaNumber = area;
        m.attributes = 0x0100;
        ASSERT_EQ(c.post(m, text), qclient::Status::Ok);
        EXPECT_EQ(c.logout(), qclient::Status::Ok);
    }

    // Message count of an area, as `areas` shows it.
    int count(const std::string& tag) {
        ClientRun r = client({"areas"}, sysop());
        for (const std::string& line : linesOf(r.out)) {
            std::vector<std::string> w = wordsOf(line);
            if (w.size() == 5 && w[1] == tag) return std::stoi(w[3]);
        }
        return -1;
    }

    // The words of the `list` row of a message.
    std::vector<std::string> listRow(const std::string& area, const std::string& number) {
        ClientRun r = client({"list", area}, sysop());
        for (const std::string& line : linesOf(r.out))
            if (!wordsOf(line).empty() && wordsOf(line)[0] == number) return wordsOf(line);
        return {};
    }

    bool listsAsReplyTo(const std::string& area, const std::string& number, const std::string& original) {
        std::vector<std::string> row = listRow(area, number);
        return std::find(row.begin(), row.end(), "#" + original) != row.end();
    }

    bool emptyFolder(const std::string& path) const {
        return std::filesystem::is_empty(std::filesystem::path(path));
    }

    TempDir dir;
    ServerProcess server;
    std::string tmp;
};

TEST_F(ClientReader, ReadConvertsFromTheCharsetOfTheKludge) {
    struct Case {
        const char* name;
        std::string subject;  // stored bytes
        std::string text;     // stored bytes
        const char* charset;  // --charset, "" for none
        const char* locale;
        std::string subjectShown;
        std::string lineShown;  // the first line of the text as shown
        const char* note;       // on standard error, "" for none
    };
    const Case cases[] = {
        {"CP866 with its kludge", "\x8f\xe0\xa8\xa2\xa5\xe2", kA + "CHRS: CP866 2\r\x8f\xe0\xa8\xa2\xa5\xe2, Max!\r", "",
         "C.UTF-8", "Привет", "Привет, Max!", ""},
        {"the kludge wins over --charset", "x", kA + "CHRS: CP866 2\r\x88\xa2\xa0\xad\r", "LATIN-1", "C.UTF-8", "x",
         "Иван", ""},
        {"an alias of CP866", "x", kA + "CHRS: +7_FIDO 2\r\x88\xa2\xa0\xad\r", "", "C.UTF-8", "x", "Иван", ""},
        {"IBMPC in a CP866 area", "x", kA + "CHRS: IBMPC 2\r\x88\xa2\xa0\xad\r", "CP866", "C.UTF-8", "x", "Иван", ""},
        {"IBMPC elsewhere is CP437", "x", kA + "CHRS: IBMPC 2\rcaf\x82\r", "", "C.UTF-8", "x", "café", ""},
        {"no kludge: CP437", "caf\x82", "caf\x82\r", "", "C.UTF-8", "café", "café", ""},
        {"no kludge: --charset", "caf\xe9", "caf\xe9\r", "LATIN-1", "C.UTF-8", "café", "café", ""},
        {"UTF-8 with its kludge", "Zo\xc3\xab", kA + "CHRS: UTF-8 4\rZo\xc3\xab\r", "CP437", "C.UTF-8", "Zoë", "Zoë", ""},
        {"broken UTF-8", "x", kA + "CHRS: UTF-8 4\rab\xc3(cd\xe2\x82\r", "", "C.UTF-8", "x",
         "ab" + kReplacement + "(cd" + kReplacement + kReplacement, ""},
        {"bytes ASCII does not define", "x", kA + "CHRS: ASCII 1\rA\xe9Z\r", "", "C.UTF-8", "x", "A" + kReplacement + "Z",
         ""},
        {"unknown charset name", "x", kA + "CHRS: KLINGON 2\rcaf\x82\r", "", "C.UTF-8", "x", "café",
         "names the charset 'KLINGON' in its CHRS kludge, which this client does not know; it is shown as CP437"},
        {"unknown name in a LATIN-1 area", "x", kA + "CHRS: KLINGON 2\rcaf\xe9\r", "LATIN-1", "C.UTF-8", "x", "café",
         "it is shown as LATIN-1"},
        {"C1 controls do not reach the terminal", "x", kA + "CHRS: LATIN-1 2\rX\x9b" "31mY\r", "", "C.UTF-8", "x",
         "X?31mY", ""},
        {"bidi controls do not reach the terminal", "\xE2\x80\xAE" "gnp.exe",
         kA + "CHRS: UTF-8 4\rsee \xE2\x81\xA7" "abc\xE2\x81\xA9 \xE2\x80\x8F!\r", "", "C.UTF-8", "?gnp.exe",
         "see ?abc? ?!", ""},
        {"an ASCII terminal", "\x8f\xe0\xa8\xa2\xa5\xe2", kA + "CHRS: CP866 2\r\x8f\xe0\xa8\xa2\xa5\xe2, Max!\r", "", "C",
         "??????", "??????, Max!", ""},
    };
    uint32_t number = 3;  // DEMO.TEST holds #1 and #2
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        postRaw(kDemoTest, c.subject, c.text);
        std::vector<std::string> args = {"read", "DEMO.TEST", std::to_string(number++)};
        if (*c.charset) args.insert(args.end(), {"--charset", c.charset});
        ClientRun r = client(args, sysop(c.locale));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.out, "\nSubject: " + c.subjectShown + "\n")) << r.out;
        std::vector<std::string> text = linesOf(textPart(r.out));
        ASSERT_FALSE(text.empty()) << r.out;
        EXPECT_EQ(text[0], c.lineShown);
        if (*c.note) {
            EXPECT_TRUE(has(r.err, c.note)) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST_F(ClientReader, PostConvertsFromTheLocaleAndLabelsTheCharset) {
    struct Case {
        const char* name;
        const char* charset;  // "" for the default
        std::string input;    // UTF-8
        std::string subject;
        std::string storedKludge;
        std::string storedSubject;
        std::string storedText;
    };
    const Case cases[] = {
        {"CP866", "CP866", "Привет, Иван!\n", "Привет", kA + "CHRS: CP866 2",
         "\x8f\xe0\xa8\xa2\xa5\xe2", "\x8f\xe0\xa8\xa2\xa5\xe2, \x88\xa2\xa0\xad!\r"},
        {"an alias names the same set", "ibm866", "Иван\n", "x", kA + "CHRS: CP866 2", "x", "\x88\xa2\xa0\xad\r"},
        {"LATIN-1", "LATIN-1", "Jürgen\r\n", "Zoë", kA + "CHRS: LATIN-1 2", "Zo\xeb", "J\xfcrgen\r"},
        {"UTF-8 when none is named", "", "Jürgen — Иван\n", "Zoë", kA + "CHRS: UTF-8 4", "Zo\xc3\xab",
         "J\xc3\xbcrgen \xe2\x80\x94 \xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"post", "DEMO.TEST", "--subject", c.subject};
        if (*c.charset) args.insert(args.end(), {"--charset", c.charset});
        ClientRun r = client(args, sysop(), c.input);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string base = dir.read("echo/demotest.SQD");
        EXPECT_TRUE(has(base, c.storedKludge));
        EXPECT_TRUE(has(base, c.storedSubject + std::string(1, '\0')));
        EXPECT_TRUE(has(base, c.storedText));
    }
    // The stored CP866 message reads back as the UTF-8 that was posted.
    ClientRun back = client({"read", "DEMO.TEST", "3"}, sysop());
    EXPECT_TRUE(has(back.out, "Subject: Привет\n")) << back.out;
    EXPECT_TRUE(has(back.out, "---\nПривет, Иван!\n")) << back.out;
    // QUORVA_CHARSET stands in for --charset.
    std::map<std::string, std::string> env = sysop();
    env["QUORVA_CHARSET"] = "CP866";
    ClientRun byEnv = client({"post", "DEMO.TEST", "--subject", "env"}, env, "Иван\n");
    ASSERT_EQ(byEnv.status, 0) << byEnv.err;
    ClientRun envBack = client({"read", "DEMO.TEST", "7"}, sysop());
    EXPECT_TRUE(has(envBack.out, "Subject: env\n") && has(envBack.out, "  ^ACHRS: CP866 2\n")) << envBack.out;
    EXPECT_TRUE(has(dir.read("echo/demotest.SQD"), "\x88\xa2\xa0\xad\r"));
}

TEST_F(ClientReader, PostRefusesTextTheCharsetCannotHold) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* locale;
        std::string input;
        std::string message;
    };
    const Case cases[] = {
        {"a letter LATIN-1 lacks", {"--charset", "LATIN-1"}, "C.UTF-8", "fine\nok Жук\n",
         "the message text has the character 'Ж' (U+0416) on line 2, column 4, which LATIN-1 cannot represent"},
        {"a subject CP437 lacks", {"--charset", "CP437", "--subject", "Жук"}, "C.UTF-8", "text\n",
         "--subject has the character 'Ж' (U+0416) at character 1, which CP437 cannot represent"},
        {"an addressee ASCII lacks", {"--charset", "ASCII", "--to", "Zoë"}, "C.UTF-8", "text\n",
         "--to has the character 'ë' (U+00EB) at character 3, which ASCII cannot represent"},
        {"a byte sequence that is not UTF-8", {}, "C.UTF-8", "ab\nc\xff" "d\n",
         "the message text is not text in the terminal's charset UTF-8: byte 0xFF on line 2, column 2"},
        {"8-bit text in the C locale", {}, "C", "caf\xc3\xa9\n",
         "the message text is not text in the terminal's charset ANSI_X3.4-1968: byte 0xC3 on line 1, column 4"},
        {"a subject too long in UTF-8", {"--subject", std::string(36, 'x') + std::string(18, 'a') + "ЖЖЖЖЖЖЖЖЖЖ"},
         "C.UTF-8", "text\n", "--subject is longer than 72 bytes in UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"post", "DEMO.TEST"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "--subject") == args.end()) args.insert(args.end(), {"--subject", "x"});
        ClientRun r = client(args, sysop(c.locale), c.input);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(has(r.err, c.message)) << r.err;
    }
    EXPECT_EQ(count("DEMO.TEST"), 2) << "nothing was posted";
}

TEST_F(ClientReader, EmptyTextIsPostedOnlyWhenAllowed) {
    for (const char* input : {"", "\n", " \r\n\t\n"}) {
        SCOPED_TRACE(testing::PrintToString(input));
        ClientRun r = client({"post", "DEMO.TEST", "--subject", "Nothing"}, sysop(), input);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, "the message text is empty: nothing posted (--allow-empty posts it anyway)")) << r.err;
    }
    EXPECT_EQ(count("DEMO.TEST"), 2);
    ClientRun allowed = client({"post", "DEMO.TEST", "--subject", "Nothing", "--allow-empty"}, sysop(), "");
    ASSERT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_EQ(allowed.out, "Posted message #3 to DEMO.TEST.\n");
    EXPECT_EQ(count("DEMO.TEST"), 3);
    ClientRun misplaced = client({"read", "DEMO.TEST", "3", "--allow-empty"}, sysop());
    EXPECT_EQ(misplaced.status, 1);
    EXPECT_TRUE(has(misplaced.err, "belong to the post command")) << misplaced.err;
}

TEST_F(ClientReader, NetmailAttributesAddToTheLocalBit) {
    struct Case {
        const char* name;
        bool asAnn;
        const char* attr;  // "" for none
        const char* shown;
    };
    const Case cases[] = {
        {"no option", false, "", "Attr:    0x0100 (local)"},
        {"a name", false, "private", "Attr:    0x0101 (private, local)"},
        {"a number", false, "0x0002", "Attr:    0x0102 (crash, local)"},
        {"an ordinary user", true, "crash,hold", "Attr:    0x0302 (crash, local, hold)"},
    };
    uint32_t number = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"post", "NETMAIL", "--to", "Max Kern",
                                         "--dest", "2:5020/100", "--subject", c.name};
        if (*c.attr) args.insert(args.end(), {"--attr", c.attr});
        ClientRun r = client(args, c.asAnn ? ann() : sysop(), "text\n");
        ASSERT_EQ(r.status, 0) << r.err;
        ClientRun back = client({"read", "NETMAIL", std::to_string(number++)}, sysop());
        EXPECT_TRUE(has(back.out, std::string(c.shown) + "\n")) << back.out;
    }
}

TEST_F(ClientReader, NetmailRepliesGoBackToWhereTheOriginalCameFrom) {
    struct Case {
        const char* original;
        const char* to;       // "To:" line of the reply
        const char* subject;  // "Subject:" line
        const char* reply;    // the REPLY kludge: the original's MSGID
        const char* quoted;   // a quoted line
    };
    const Case cases[] = {
        {"1", "Max Kern, 2:5020/100.0", "Re: Link request", "2:5020/100 65e1a0f3", " MK> Hello Demo,"},
        {"2", "Demo Sysop, 2:5020/1234.0", "Re: Link request", "2:5020/1234 65e1b9a5",
         " DS> both echoes arrive, thank you."},
        {"3", "Ann Reader, 2:5020/1234.5", "Re: Point setup", "2:5020/1234.5 65e78b20", " AR> QUORVA.TALK echo?"},
    };
    uint32_t number = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.original);
        ClientRun r = client({"reply", "NETMAIL", c.original}, sysop(), "Noted.\n");
        ASSERT_EQ(r.status, 0) << r.err;
        std::string mine = std::to_string(number++);
        EXPECT_EQ(r.out, "Posted message #" + mine + " to NETMAIL, a reply to #" + c.original + ".\n");
        ClientRun back = client({"read", "NETMAIL", mine}, sysop());
        EXPECT_TRUE(has(back.out, std::string("\nTo:      ") + c.to + "\n")) << back.out;
        EXPECT_TRUE(has(back.out, std::string("\nSubject: ") + c.subject + "\n")) << back.out;
        EXPECT_TRUE(has(back.out, std::string("  ^AREPLY: ") + c.reply + "\n")) << back.out;
        EXPECT_TRUE(has(back.out, std::string("\n") + c.quoted + "\n")) << back.out;
        EXPECT_FALSE(has(textPart(back.out), "INTL")) << "kludges are not quoted";
        EXPECT_TRUE(listsAsReplyTo("NETMAIL", mine, c.original));
    }
}

TEST_F(ClientReader, RepliesToPrivateNetmailArePrivate) {
    // Netmail #1 (private, received) and #3 (private, local) name no charset; #4, posted
    // here, is not private.
    ClientRun notPrivate = client({"post", "NETMAIL", "--to", "Max Kern", "--dest", "2:5020/100", "--subject", "Open"},
                            sysop(), "For anyone.\n");
    ASSERT_EQ(notPrivate.status, 0) << notPrivate.err;
    ASSERT_EQ(notPrivate.out, "Posted message #4 to NETMAIL.\n");
    struct Case {
        const char* original;
        std::vector<std::string> options;
        const char* attr;  // the reply's "Attr:" line
    };
    const Case cases[] = {
        {"1", {}, "0x0101 (private, local)"},
        {"3", {"--attr", "crash"}, "0x0103 (private, crash, local)"},
        {"4", {}, "0x0100 (local)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.original);
        std::vector<std::string> args = {"reply", "NETMAIL", c.original};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ClientRun r = client(args, sysop(), "Noted.\n");
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> posted = wordsOf(r.out);  // "Posted message #N to ..."
        ASSERT_GE(posted.size(), 3u) << r.out;
        ClientRun back = client({"read", "NETMAIL", posted[2].substr(1)}, sysop());
        EXPECT_TRUE(has(back.out, std::string("\nAttr:    ") + c.attr + "\n")) << back.out;
        EXPECT_TRUE(has(back.out, "  ^ACHRS: UTF-8 4\n")) << back.out;
    }
}

TEST_F(ClientReader, ReplyInTheAreasCharsetQuotesInIt) {
    const size_t demoSize = dir.read("echo/qtalk.SQD").size();
    ClientRun r = client({"reply", "QUORVA.TALK", "8", "--charset", "CP866"}, sysop(), "Да.\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Posted message #13 to QUORVA.TALK, a reply to #8.\n");
    std::string added = dir.read("echo/qtalk.SQD").substr(demoSize);  // the new frame
    EXPECT_TRUE(has(added, kA + "REPLY: 2:5020/200 65e9a7f5"));
    EXPECT_TRUE(has(added, kA + "CHRS: CP866 2"));
    EXPECT_TRUE(has(added, std::string(" IP> \x8f\xe0\xa8\xa2\xa5\xe2, Max!\r\r MK> The CHRS kludge says")));
    EXPECT_TRUE(has(added, std::string(" IP> \x88\xa2\xa0\xad\r\r\x84\xa0.\r")));
    EXPECT_TRUE(listsAsReplyTo("QUORVA.TALK", "13", "8"));

    // An echomail reply goes to the sender, its subject is not given a second "Re: ".
    ClientRun again = client({"reply", "QUORVA.TALK", "2"}, sysop(), "Yes.\n");
    ASSERT_EQ(again.status, 0) << again.err;
    ClientRun back = client({"read", "QUORVA.TALK", "14"}, sysop());
    EXPECT_TRUE(has(back.out, "\nTo:      Ann Reader\n"));
    EXPECT_TRUE(has(back.out, "\nSubject: Re: Welcome to QUORVA.TALK\n"));
    EXPECT_TRUE(has(back.out, "  ^AREPLY: 2:5020/1234.5 65e6da17\n"));
    EXPECT_TRUE(listsAsReplyTo("QUORVA.TALK", "14", "2"));

    // No text on standard input: nothing is posted.
    ClientRun empty = client({"reply", "QUORVA.TALK", "2"}, sysop(), "\n");
    EXPECT_EQ(empty.status, 1);
    EXPECT_TRUE(has(empty.err, "nothing posted")) << empty.err;
    EXPECT_EQ(count("QUORVA.TALK"), 14);
}

TEST_F(ClientReader, ReplyKeepsTheCharsetOfTheOriginalWhenItFits) {
    // QUORVA.TALK #8 is Ivan's CP866 message, #2 Ann's LATIN-1 one; DEMO.TEST #3 (posted
    // here) has its subject in CP866 as well, so the reply's header shows the charset too.
    postRaw(kDemoTest, "\x8f\xe0\xa8\xa2\xa5\xe2", kA + "CHRS: CP866 2\r\x8f\xe0\xa8\xa2\xa5\xe2, Max!\r");
    const std::string cp866Privet = "\x8f\xe0\xa8\xa2\xa5\xe2";
    const std::string zero(1, '\0');
    struct Case {
        const char* name;
        const char* area;
        const char* file;  // the area's base
        const char* original;
        std::vector<std::string> options;
        std::string input;                // UTF-8
        const char* chrs;                 // of the reply
        std::vector<std::string> stored;  // bytes of the stored reply
    };
    const Case cases[] = {
        {"a CP866 original, a text CP866 holds", "QUORVA.TALK", "echo/qtalk.SQD", "8", {}, "Да, верно.\n", "CP866 2",
         {" IP> " + cp866Privet + ", Max!\r", "\x84\xa0, \xa2\xa5\xe0\xad\xae.\r"}},
        {"a CP866 original, a text with a letter CP866 lacks", "QUORVA.TALK", "echo/qtalk.SQD", "8", {},
         "Danke, Zoë.\n", "UTF-8 4", {" IP> Привет, Max!\r", "Danke, Zo\xc3\xab.\r"}},
        {"a LATIN-1 original", "QUORVA.TALK", "echo/qtalk.SQD", "2", {}, "Merci, Zoë.\n", "LATIN-1 2",
         {" AR> Hello Demo!\r", "Merci, Zo\xeb.\r"}},
        {"--charset wins over the original's", "QUORVA.TALK", "echo/qtalk.SQD", "8", {"--charset", "UTF-8"}, "Да.\n",
         "UTF-8 4", {" IP> Привет, Max!\r", "Да.\r"}},
        {"a CP866 header", "DEMO.TEST", "echo/demotest.SQD", "3", {}, "Хорошо.\n", "CP866 2",
         {"Re: " + cp866Privet + zero, " DS> " + cp866Privet + ", Max!\r", "\x95\xae\xe0\xae\xe8\xae.\r"}},
        {"a CP866 header, a text CP866 cannot hold", "DEMO.TEST", "echo/demotest.SQD", "3", {}, "Zoë\n", "UTF-8 4",
         {"Re: Привет" + zero, " DS> Привет, Max!\r", "Zo\xc3\xab\r"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = dir.read(c.file).size();
        std::vector<std::string> args = {"reply", c.area, c.original};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ClientRun r = client(args, sysop(), c.input);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string added = dir.read(c.file).substr(before);  // the reply's frame
        EXPECT_TRUE(has(added, kA + "CHRS: " + c.chrs));
        EXPECT_EQ(added.find(kA + "CHRS: "), added.rfind(kA + "CHRS: ")) << "one CHRS kludge";
        for (const std::string& part : c.stored)
            EXPECT_TRUE(has(added, part)) << testing::PrintToString(part);

        // It reads back as it was written.
        std::vector<std::string> posted = wordsOf(r.out);  // "Posted message #N to ..."
        ASSERT_GE(posted.size(), 3u) << r.out;
        ClientRun back = client({"read", c.area, posted[2].substr(1)}, sysop());
        EXPECT_TRUE(has(back.out, std::string("  ^ACHRS: ") + c.chrs + "\n")) << back.out;
        EXPECT_TRUE(has(textPart(back.out), "\n" + c.input)) << back.out;
    }
}

TEST_F(ClientReader, ReplyOpensTheEditorOnATerminal) {
    // #2 by Ann: its own quote of the sysop keeps its prefix, the rest gets " AR> ".
    const std::string expectedDraft =
        " AR> Hello Demo!\n"
        "\n"
        " DS> Questions and reports welcome.\n"
        "\n"
        " AR> Does it need its own copy of the areas, or does it work on the\n"
        " AR> tosser's files as they are?\n"
        "\n"
        " AR> Ann\n"
        "\n";
    const std::string seen = dir.file("draft-seen");
    writeScript(dir.file("append"), "cp \"$1\" '" + seen + "'\nprintf 'Answer from the editor.\\n' >> \"$1\"\n");
    writeScript(dir.file("keep"), "exit 0\n");
    writeScript(dir.file("empty"), ": > \"$1\"\n");
    writeScript(dir.file("fail"), "printf 'half an answer\\n' >> \"$1\"\nexit 3\n");

    struct Case {
        const char* name;
        std::map<std::string, std::string> editors;
        int status;
        const char* message;  // on standard output for 0, standard error otherwise
    };
    const Case cases[] = {
        {"VISUAL", {{"VISUAL", dir.file("append")}, {"EDITOR", dir.file("fail")}}, 0,
         "Posted message #13 to QUORVA.TALK, a reply to #2.\n"},
        {"EDITOR without VISUAL", {{"EDITOR", dir.file("append")}}, 0,
         "Posted message #14 to QUORVA.TALK, a reply to #2.\n"},
        {"left unchanged", {{"VISUAL", dir.file("keep")}}, 1, "the draft was left empty or unchanged: nothing posted"},
        {"emptied", {{"VISUAL", dir.file("empty")}}, 1, "the draft was left empty or unchanged: nothing posted"},
        {"no editor", {}, 1, "no editor for the reply: set VISUAL or EDITOR"},
        {"the editor fails", {{"VISUAL", dir.file("fail")}}, 1, "failed; nothing posted (the draft is kept in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> env = sysop();
        env.insert(c.editors.begin(), c.editors.end());
        ClientRun r = clientOnTerminal({"reply", "QUORVA.TALK", "2"}, env);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_TRUE(has(c.status == 0 ? r.out : r.err, c.message)) << r.out << r.err;
        if (c.status == 0) {
            EXPECT_EQ(readFile(seen), expectedDraft);
            EXPECT_TRUE(emptyFolder(tmp)) << "the draft is removed after the post";
        }
    }
    EXPECT_EQ(count("QUORVA.TALK"), 14);
    ClientRun back = client({"read", "QUORVA.TALK", "13"}, sysop());
    EXPECT_TRUE(has(textPart(back.out), expectedDraft + "Answer from the editor.\n")) << back.out;

    // The failed editor's draft is kept, with what was written into it.
    std::vector<std::filesystem::path> kept;
    for (const auto& entry : std::filesystem::directory_iterator(tmp)) kept.push_back(entry.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0].string()), expectedDraft + "half an answer\n");
    std::filesystem::remove(kept[0]);

    // So is a draft the charset refuses: the text written is not lost.
    writeScript(dir.file("russian"), "printf 'Жук\\n' >> \"$1\"\n");
    std::map<std::string, std::string> env = sysop();
    env["VISUAL"] = dir.file("russian");
    ClientRun refused = clientOnTerminal({"reply", "QUORVA.TALK", "2", "--charset", "LATIN-1"}, env);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(has(refused.err, "the reply's text has the character 'Ж' (U+0416) on line 10, column 1, which LATIN-1 "
                                 "cannot represent (choose another --charset) (the draft is kept in " + tmp + "/"))
        << refused.err;
    kept.clear();
    for (const auto& entry : std::filesystem::directory_iterator(tmp)) kept.push_back(entry.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0].string()), expectedDraft + "Жук\n");
    EXPECT_EQ(count("QUORVA.TALK"), 14);
}

TEST_F(ClientReader, HelpListsTheAttributeNamesThatAttrTakes) {
    ClientRun help = client({"--help"}, {});
    ASSERT_EQ(help.status, 0) << help.err;
    size_t start = help.out.find("  --attr WORD"), end = help.out.find("  --allow-empty");
    ASSERT_LT(start, end) << help.out;
    std::string attr = help.out.substr(start, end - start);
    EXPECT_FALSE(has(attr, "...")) << attr;
    size_t names = attr.find("The names:");
    ASSERT_NE(names, std::string::npos) << attr;

    std::vector<std::string> listed;
    std::istringstream words(attr.substr(names + 10));
    for (std::string word; words >> word;) {
        if (word.back() == ',') word.pop_back();
        listed.push_back(word);
    }
    std::vector<std::string> table;
    for (const AttributeName& a : kAttributeNames) table.push_back(a.name);
    EXPECT_EQ(listed, table);

    // --attr takes every listed name: the post gets as far as the area, which is echomail.
    std::string all;
    for (const std::string& name : listed) all += (all.empty() ? "" : ",") + name;
    ClientRun r = client({"post", "DEMO.TEST", "--subject", "x", "--attr", all}, sysop(), "text\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "--attr applies to netmail only")) << r.err;
}

TEST_F(ClientReader, ThreadViewOfNetmail) {
    ClientRun r = client({"list", "--threads", "NETMAIL"}, sysop());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "NETMAIL (area 0, netmail): 3 messages in 2 threads");
    EXPECT_EQ(wordsOf(lines[2])[0], "1");
    EXPECT_EQ(wordsOf(lines[3])[0], "2");
    EXPECT_EQ(wordsOf(lines[4])[0], "3");
    // The subjects: a reply two columns in from the message it answers.
    size_t root = lines[2].find("Link request"), reply = lines[3].find("Re: Link request");
    ASSERT_NE(root, std::string::npos);
    EXPECT_EQ(reply, root + 2) << lines[3];
    EXPECT_EQ(lines[4].find("Point setup"), root) << lines[4];
    EXPECT_TRUE(has(lines[3], "  #1  ")) << lines[3];

    ClientRun one = client({"thread", "NETMAIL", "3"}, sysop());
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(linesOf(one.out).size(), 3u) << one.out;
    EXPECT_TRUE(has(one.out, "Thread of #3 in NETMAIL (area 0, netmail): 1 message\n"));
}

}  // namespace

#endif  // QUORVA_CLIENT_BIN
