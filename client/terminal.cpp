#include "client/terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>

#include "client/failure.h"
#include "client/lib/charset.h"

namespace qclient::cli {

namespace {

std::string gTerminalCodeset = "ANSI_X3.4-1968";

// The terminal's settings from before the password prompt, restored on every way out
// of it, a signal's too.

int gTtyFd = -1;
struct termios gSavedTty;

void restoreTty() {
    if (gTtyFd >= 0) tcsetattr(gTtyFd, TCSAFLUSH, &gSavedTty);
}

void onSignalDuringPrompt(int sig) {
    restoreTty();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void useLocaleCharset() {
    setlocale(LC_CTYPE, "");
    gTerminalCodeset = qclient::localeCodeset();
}

const std::string& terminalCodeset() { return gTerminalCodeset; }

void say(const std::string& utf8) {
    std::string bytes = qclient::encodeForTerminal(utf8, gTerminalCodeset);
    bytes += '\n';
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::string column(const std::string& utf8, size_t width) {
    std::string s = qclient::displaySafe(utf8);
    if (utf8Length(s) > width) {
        size_t keep = 0, chars = 0;
        while (keep < s.size() && chars < width - 1) {
            ++keep;
            while (keep < s.size() && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) ++keep;
            ++chars;
        }
        s.resize(keep);
        s += '~';
    }
    s.append(width - utf8Length(s), ' ');
    return s;
}

std::string rightAligned(const std::string& s, size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string readAll(FILE* in) {
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
    return bytes;
}

std::string localeToUtf8(const std::string& bytes, const std::string& what, bool multiLine) {
    if (bytes.find('\0') != std::string::npos) fail(kExitUsage, what + " holds a zero byte");
    std::string utf8;
    ConversionError e;
    if (decodeStrict(bytes, gTerminalCodeset, utf8, e)) return utf8;
    if (e.kind == ConversionError::Kind::NoConverter)
        fail(kExitUsage, "no conversion from the terminal's charset " + gTerminalCodeset + " to UTF-8");
    char byte[8];
    snprintf(byte, sizeof byte, "0x%02X", e.character.empty() ? 0u : static_cast<unsigned char>(e.character[0]));
    std::string where = multiLine ? " on line " + std::to_string(e.line) + ", column " + std::to_string(e.column)
                                  : " at character " + std::to_string(e.column);
    fail(kExitUsage, what + " is not text in the terminal's charset " + gTerminalCodeset + ": byte " + byte + where +
                         " (set LC_ALL or LANG to the locale the text is written in)");
}

std::string askPassword(const std::string& prompt) {
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail(kExitUsage, "no password: set QUORVA_PASSWORD, or run on a terminal to be asked");
    struct termios quiet;
    if (tcgetattr(fd, &gSavedTty) != 0) {
        close(fd);
        fail(kExitUsage, "no password: set QUORVA_PASSWORD, or run on a terminal to be asked");
    }
    gTtyFd = fd;
    struct sigaction sa = {}, oldInt, oldTerm, oldHup;
    sa.sa_handler = onSignalDuringPrompt;
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGHUP, &sa, &oldHup);
    quiet = gSavedTty;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
    (void)!write(fd, prompt.data(), prompt.size());

    std::string password;
    bool ended = false;
    while (!ended) {
        char c;
        ssize_t k = read(fd, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0 || c == '\n' || c == '\r') ended = true;
        else if (password.size() < 1024) password += c;
    }
    (void)!write(fd, "\n", 1);
    restoreTty();
    gTtyFd = -1;
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    close(fd);
    return password;
}

}  // namespace qclient::cli
