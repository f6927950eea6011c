#include "client/draft.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/failure.h"
#include "client/options.h"
#include "client/terminal.h"

namespace qclient::cli {

DraftFile::DraftFile(const std::string& content) {
    std::string dir = fromEnv("TMPDIR");
    if (dir.empty()) dir = "/tmp";
    std::string pattern = dir + "/quorva-reply-XXXXXX.txt";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), 4);
    if (fd < 0) fail(kExitUsage, "cannot create the reply's draft in " + dir + ": " + strerror(errno));
    path_ = name.data();
    size_t done = 0;
    while (done < content.size()) {
        ssize_t k = write(fd, content.data() + done, content.size() - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            close(fd);
            fail(kExitUsage, "cannot write the reply's draft " + path_ + ": " + strerror(errno));
        }
        done += size_t(k);
    }
    if (close(fd) != 0) fail(kExitUsage, "cannot write the reply's draft " + path_ + ": " + strerror(errno));
}

DraftFile::~DraftFile() {
    if (!keep_ && !path_.empty()) unlink(path_.c_str());
}

std::string DraftFile::read() const {
    FILE* f = fopen(path_.c_str(), "rb");
    if (!f) fail(kExitUsage, "cannot read the reply's draft " + path_ + ": " + strerror(errno));
    std::string bytes = readAll(f);
    fclose(f);
    return bytes;
}

void runEditor(DraftFile& draft) {
    std::string editor = fromEnv("VISUAL");
    if (editor.empty()) editor = fromEnv("EDITOR");
    if (editor.empty())
        fail(kExitUsage, "no editor for the reply: set VISUAL or EDITOR, or give the text on standard input");
    fflush(stdout);
    fflush(stderr);
    struct sigaction ignore = {}, oldInt, oldQuit;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    std::string script = editor + " \"$1\"";
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", script.c_str(), "sh", draft.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    pid_t waited = pid;
    if (pid > 0)
        while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    if (pid < 0 || waited < 0) fail(kExitUsage, std::string("cannot run the editor: ") + strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        draft.keep();
        fail(kExitUsage, "the editor '" + editor + "' failed; nothing posted (the draft is kept in " + draft.path() +
                             ")");
    }
}

}  // namespace qclient::cli
