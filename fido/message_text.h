// The text of a FidoNet message, line by line: lines end at CR (LF counts as a line end
// too, as the stores show it as one), kludges begin with ^A, echomail ends with a tearline
// and an Origin line naming the address it comes from.
#pragma once
#include <string>
#include <string_view>
#include <vector>

constexpr char kKludgeMark = '\x01';
constexpr std::string_view kOriginPrefix = " * Origin:";

// One line of a text: its bytes and the byte that ended it (CR or LF; 0 for a last line
// without one).
struct TextLine {
    std::string_view body;
    char end = 0;
};
std::vector<TextLine> splitLines(std::string_view text);
// The line with its line end.
void appendLine(std::string& out, const TextLine& line);

bool isBlankLine(std::string_view body);
bool isTearLine(std::string_view body);
bool isOriginLine(std::string_view body);
// The last line that is not blank, or lines.size() when there is none.
size_t lastNonBlankLine(const std::vector<TextLine>& lines);

// Whether a kludge (the text after its ^A) is the one named `keyword`: the keyword, then
// its colon, a blank or nothing, so that "MSGIDX" is another kludge.
bool isKludgeNamed(std::string_view kludge, std::string_view keyword);

// The kludges of one line: every run from a ^A to the next ^A or the line's end (the
// stores start a new line at a ^A inside a line as well). `head` is what comes before
// the first ^A.
struct LineKludges {
    std::string_view head;
    std::vector<std::string_view> kludges;  // each with its ^A
};
LineKludges kludgesOfLine(std::string_view body);

// Whether the kludge lines at the start of the text (those a Squish base keeps as control
// information) hold a kludge named `keyword`.
bool leadingKludgesHave(std::string_view text, std::string_view keyword);
