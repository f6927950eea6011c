#include "common/client_run.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "common/child_process.h"

extern char** environ;

namespace {

constexpr int kRunLimitMs = 60000;

bool inheritedVariable(const char* entry) {
    static const char* const kDropped[] = {"QUORVA_", "VISUAL=", "EDITOR=", "LANG=", "LANGUAGE=", "LC_"};
    for (const char* prefix : kDropped)
        if (strncmp(entry, prefix, strlen(prefix)) == 0) return false;
    return true;
}

ClientRun run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& input, bool onTerminal) {
    child::Options o;
    o.environment.emplace();
    for (char** e = environ; *e; ++e)
        if (inheritedVariable(*e)) o.environment->push_back(*e);
    for (const auto& [k, v] : env) o.environment->push_back(k + "=" + v);
    o.input = input;
    o.terminal = onTerminal;
    o.timeoutMs = kRunLimitMs;
    child::Result r = child::run(argv, o);
    ClientRun result;
    result.status = r.exitStatus;
    result.out = std::move(r.out);
    result.err = std::move(r.err);
    return result;
}

}  // namespace

ClientRun runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     const std::string& input) {
    return run(argv, env, input, false);
}

ClientRun runProgramOnTerminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    return run(argv, env, "", true);
}

void writeScript(const std::string& path, const std::string& body) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    chmod(path.c_str(), 0700);
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

#ifdef QUORVA_CLIENT_BIN
namespace {
std::vector<std::string> clientArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QUORVA_CLIENT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}
}  // namespace

ClientRun runClient(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                    const std::string& input) {
    return runProgram(clientArgv(args), env, input);
}

ClientRun runClientOnTerminal(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    return runProgramOnTerminal(clientArgv(args), env);
}
#endif
