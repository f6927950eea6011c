// Test helper: runs a program (quorva-client, or a shell running it) as a person would,
// with its own environment and input, and collects its output and exit status.
#pragma once
#include <map>
#include <string>
#include <vector>

struct ClientRun {
    int status = -1;  // exit status; -1 for a signal death or a time-out
    std::string out, err;
};

// Runs argv with the test's environment less every QUORVA_ variable and the editor and
// locale variables (VISUAL, EDITOR, LANG, LC_*), plus `env`, with no controlling terminal
// (so a password prompt cannot wait for a person), `input` on its standard input, and a
// bound on its run time.
ClientRun runProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     const std::string& input = "");

// The same, but with a pseudo-terminal as its standard input and controlling terminal
// (nothing is typed into it): the program believes a person sits at a terminal.
ClientRun runProgramOnTerminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);

// quorva-client with these arguments, as runProgram and runProgramOnTerminal run it.
ClientRun runClient(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                    const std::string& input = "");
ClientRun runClientOnTerminal(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);

// The lines of a program's output (without their line ends), and the blank-separated words
// of one line.
std::vector<std::string> linesOf(const std::string& text);
std::vector<std::string> wordsOf(const std::string& line);

// Writes an executable shell script.
void writeScript(const std::string& path, const std::string& body);
