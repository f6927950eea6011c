#include "support/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t reloadRequested = 0;
// The self-pipe: the signal handler writes a byte to [1], the main loop waits on [0].
int signalPipe[2] = {-1, -1};
bool terminal = false;
bool inputEnded = false;
bool savedValid = false;
struct termios saved;

void restoreTerminal() {
    if (savedValid) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void onStopSignal(int) {
    int savedErrno = errno;
    stopRequested = 1;
    if (signalPipe[1] >= 0) (void)!write(signalPipe[1], "s", 1);
    errno = savedErrno;
}

void onReloadSignal(int) {
    int savedErrno = errno;
    reloadRequested = 1;
    if (signalPipe[1] >= 0) (void)!write(signalPipe[1], "h", 1);
    errno = savedErrno;
}

bool inputReady() {
    if (inputEnded) return false;
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    int r;
    do r = poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    if (p.revents & POLLNVAL) {
        inputEnded = true;
        return false;
    }
    return true;
}

// Reads one byte; false at the end of the input (which then is never polled again).
bool readKey() {
    unsigned char c;
    ssize_t k;
    do k = read(STDIN_FILENO, &c, 1);
    while (k < 0 && errno == EINTR);
    if (k <= 0) {
        inputEnded = true;
        return false;
    }
    return true;
}

}  // namespace

ConsoleKeys::ConsoleKeys() {
    // A process started without a standard input has none to watch (and descriptor 0 may
    // later be a socket).
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) inputEnded = true;
    terminal = !inputEnded && isatty(STDIN_FILENO) == 1;
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        savedValid = true;
        atexit(restoreTerminal);
        struct termios raw = saved;
        raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) signalPipe[0] = signalPipe[1] = -1;
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onReloadSignal;
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

ConsoleKeys::~ConsoleKeys() { restoreTerminal(); }

int ConsoleKeys::signalDescriptor() const { return signalPipe[0]; }

int ConsoleKeys::inputDescriptor() const { return inputEnded ? -1 : STDIN_FILENO; }

bool ConsoleKeys::keyPressed() {
    if (signalPipe[0] >= 0) {
        char scratch[64];
        while (read(signalPipe[0], scratch, sizeof scratch) > 0) {
        }
    }
    if (stopRequested) return true;
    if (!inputReady()) return false;
    if (terminal) return true;
    // Not a terminal: a byte is a key press, the end of the input is not.
    return readKey();
}

bool ConsoleKeys::takeReloadRequest() {
    if (!reloadRequested) return false;
    reloadRequested = 0;
    return true;
}

void ConsoleKeys::consumePendingKeys() {
    while (inputReady() && readKey()) {
    }
}
