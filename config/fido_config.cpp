#include "config/fido_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/config.h"
#include "support/log.h"
#include "support/text.h"
#include "support/le.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool sameNoCase(const std::string& a, const std::string& b) { return equalsNoCase(a, b); }

// '*' stands for any run of characters, '?' for one; letters match in either case.
bool wildcardMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0;
    size_t starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || foldCase(pattern[p]) == foldCase(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

size_t skipBlanks(const std::string& s, size_t p) {
    while (p < s.size() && isBlank(s[p])) ++p;
    return p;
}

size_t wordEnd(const std::string& s, size_t p) {
    while (p < s.size() && !isBlank(s[p])) ++p;
    return p;
}

std::string trimmed(const std::string& s) {
    size_t b = skipBlanks(s, 0);
    size_t e = s.size();
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The next blank-delimited word from pos on; false when none is left.
bool nextWord(const std::string& s, size_t& pos, std::string& word) {
    size_t b = skipBlanks(s, pos);
    size_t e = wordEnd(s, b);
    pos = e;
    if (b == e) return false;
    word = s.substr(b, e - b);
    return true;
}

// The quote that closes a quoted text opened at `open`: the first quote after it that is
// followed by a blank or the end of the line; npos when there is none.
size_t closingQuote(const std::string& s, size_t open) {
    for (size_t i = open + 1; i < s.size(); ++i)
        if (s[i] == '"' && (i + 1 == s.size() || isBlank(s[i + 1]))) return i;
    return std::string::npos;
}

// The next option word: a quoted text (quotes kept) runs to its closing quote, or to the
// end of the line when it has none, so that a description may hold blanks and dashes.
bool nextOptionWord(const std::string& s, size_t& pos, std::string& word) {
    size_t b = skipBlanks(s, pos);
    if (b < s.size() && s[b] == '"') {
        size_t close = closingQuote(s, b);
        size_t e = close == std::string::npos ? s.size() : close + 1;
        word = s.substr(b, e - b);
        pos = e;
        return true;
    }
    return nextWord(s, pos, word);
}

// Surrounding quotes, when the text has both.
std::string unquoted(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// One line of the file as written, however many pieces the line reader delivers it in.
struct PhysicalLine {
    std::string text;
    bool tooLong = false;    // longer than kFidoLineMax: text holds only its start
    bool continues = false;  // ended by a space and a backslash (removed from text)
};

bool readPhysicalLine(ConfigReader& reader, PhysicalLine& line) {
    char piece[kConfigLineMax + 1];
    line.text.clear();
    line.tooLong = false;
    line.continues = false;
    int n = reader.readConfigLine(piece);
    if (n < 0) return false;
    char last = 0, beforeLast = 0;
    for (;;) {
        if (n >= 2) {
            beforeLast = piece[n - 2];
            last = piece[n - 1];
        } else if (n == 1) {
            beforeLast = last;
            last = piece[0];
        }
        if (line.text.size() + size_t(n) <= kFidoLineMax) {
            line.text.append(piece, size_t(n));
        } else {
            line.tooLong = true;
        }
        // A full piece means the physical line goes on in the next one.
        if (n < kConfigLineMax) break;
        n = reader.readConfigLine(piece);
        if (n < 0) break;
    }
    // Only a space before the backslash makes it a continuation (a tab does not).
    line.continues = last == '\\' && beforeLast == ' ';
    if (line.continues && !line.tooLong) line.text.pop_back();
    return true;
}

enum class AreaKind { Echo, Local, Netmail, Bad, Dupe };
enum class BaseFormat { Squish, Msg, Jam };

struct AreaOptions {
    BaseFormat format = BaseFormat::Squish;
    bool passthrough = false;
};

enum class Statement {
    Include,
    Set,
    CommentChar,
    If,
    IfDef,
    IfNDef,
    ElseIf,
    Else,
    EndIf,
    EchoAreaDefaults,
    Area,
    EchoTossLog,
};

struct Keyword {
    const char* name;
    Statement statement;
    AreaKind kind;
};

constexpr Keyword kKeywords[] = {
    {"include", Statement::Include, AreaKind::Echo},
    {"set", Statement::Set, AreaKind::Echo},
    {"commentChar", Statement::CommentChar, AreaKind::Echo},
    {"if", Statement::If, AreaKind::Echo},
    {"ifdef", Statement::IfDef, AreaKind::Echo},
    {"ifndef", Statement::IfNDef, AreaKind::Echo},
    {"elseif", Statement::ElseIf, AreaKind::Echo},
    {"elif", Statement::ElseIf, AreaKind::Echo},
    {"else", Statement::Else, AreaKind::Echo},
    {"endif", Statement::EndIf, AreaKind::Echo},
    {"EchoAreaDefaults", Statement::EchoAreaDefaults, AreaKind::Echo},
    {"EchoTossLog", Statement::EchoTossLog, AreaKind::Echo},
    {"EchoArea", Statement::Area, AreaKind::Echo},
    {"LocalArea", Statement::Area, AreaKind::Local},
    {"NetmailArea", Statement::Area, AreaKind::Netmail},
    {"NetArea", Statement::Area, AreaKind::Netmail},
    {"BadArea", Statement::Area, AreaKind::Bad},
    {"DupeArea", Statement::Area, AreaKind::Dupe},
};

const Keyword* findKeyword(const std::string& word) {
    for (const Keyword& k : kKeywords)
        if (sameNoCase(word, k.name)) return &k;
    return nullptr;
}

// Where a line starts, for error lines.
struct Place {
    const std::string* file;
    int line;
};

class FidoConfigReader {
public:
    explicit FidoConfigReader(std::vector<mArea>& areas) : areas_(areas) {}

    // False when the file itself could not be opened.
    bool readMain(const std::string& fileName) {
        readFile(fileName, nullptr);
        if (!branches_.empty() || overflowDepth_ > 0)
            reportError(0, "%s: %zu if block(s) without endif at the end of the configuration", fileName.c_str(),
                        branches_.size() + size_t(overflowDepth_));
        return filesRead_ > 0;
    }
    const std::string& echoTossLog() const { return echoTossLog_; }

private:
    struct OpenFile {
        dev_t device;
        ino_t inode;
    };
    struct Branch {
        bool outerActive;  // the lines around the block are read
        bool taken;        // one of its parts was chosen already
        bool active;       // the current part is read
        bool sawElse;
    };

    void error(const Place& at, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        reportError(0, "%s:%d: %s", at.file->c_str(), at.line, text);
    }

    bool active() const { return overflowDepth_ == 0 && (branches_.empty() || branches_.back().active); }

    void readFile(const std::string& name, const Place* from) {
        if (openFiles_.size() >= size_t(kFidoIncludeDepthMax)) {
            error(*from, "includes nested deeper than %d files; %s not read", kFidoIncludeDepthMax, name.c_str());
            return;
        }
        if (filesRead_ >= kFidoFilesMax) {
            error(*from, "more than %d configuration files; %s not read", kFidoFilesMax, name.c_str());
            return;
        }
        FileHandle f(fopen(name.c_str(), "rb"));
        if (!f) {
            int e = errno;
            if (from) {
                reportError(e, "%s:%d: cannot open the included file %s", from->file->c_str(), from->line,
                            name.c_str());
            } else {
                reportError(e, "cannot open %s", name.c_str());
            }
            return;
        }
        ++filesRead_;
        // The same file under another name is the same file: compare device and inode.
        struct stat st;
        if (fstat(fileno(f.get()), &st) != 0) {
            reportError(errno, "cannot read %s", name.c_str());
            return;
        }
        for (const OpenFile& open : openFiles_) {
            if (open.device == st.st_dev && open.inode == st.st_ino) {
                error(*from, "%s includes itself (directly or through other files); include refused", name.c_str());
                return;
            }
        }
        openFiles_.push_back({st.st_dev, st.st_ino});
        ConfigReader reader(f.get());
        int lineNumber = 0;
        PhysicalLine physical;
        while (readPhysicalLine(reader, physical)) {
            Place at{&name, ++lineNumber};
            std::string logical = std::move(physical.text);
            bool tooLong = physical.tooLong;
            while (physical.continues) {
                if (!readPhysicalLine(reader, physical)) break;
                ++lineNumber;
                if (physical.tooLong || logical.size() + physical.text.size() > kFidoLineMax) {
                    tooLong = true;
                } else {
                    logical += physical.text;
                }
            }
            if (tooLong) {
                error(at, "line longer than %zu characters left out", kFidoLineMax);
                continue;
            }
            handleLine(at, logical);
        }
        openFiles_.pop_back();
    }

    // A comment starts at the comment character first on the line, or elsewhere at one
    // that stands alone between blanks (so "path#1" and "#tag" in the middle stay text).
    void stripComment(std::string& line) const {
        size_t first = skipBlanks(line, 0);
        if (first < line.size() && line[first] == commentChar_) {
            line.clear();
            return;
        }
        for (size_t i = first + 1; i < line.size(); ++i) {
            if (line[i] == commentChar_ && isBlank(line[i - 1]) && (i + 1 == line.size() || isBlank(line[i + 1]))) {
                line.resize(i);
                return;
            }
        }
    }

    // Variables set in the file come first (names in any letter case), then the
    // environment (names as written); an unknown name stands for nothing.
    std::string lookup(const std::string& name) const {
        for (const auto& v : variables_)
            if (sameNoCase(v.first, name)) return v.second;
        if (name.find('\0') == std::string::npos) {
            if (const char* value = getenv(name.c_str())) return value;
        }
        return "";
    }

    // Replaces every [NAME] by its value (values are not expanded again); a '[' without a
    // ']' after it stays as it is. Notes text between backquotes, which the tosser would
    // run as a command. False when the result is too long.
    bool expand(const std::string& line, std::string& out, bool& runsCommand) const {
        out.clear();
        runsCommand = false;
        size_t i = 0;
        while (i < line.size()) {
            char c = line[i];
            if (c == '[') {
                size_t close = line.find(']', i + 1);
                if (close == std::string::npos) {
                    out.append(line, i, std::string::npos);
                    break;
                }
                out += lookup(line.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                if (c == '`' && line.find('`', i + 1) != std::string::npos) runsCommand = true;
                out += c;
                ++i;
            }
            if (out.size() > kFidoLineMax) return false;
        }
        return out.size() <= kFidoLineMax;
    }

    void handleLine(const Place& at, std::string& line) {
        stripComment(line);
        std::string text;
        bool runsCommand = false;
        if (!expand(line, text, runsCommand)) {
            if (active()) error(at, "line longer than %zu characters once its variables are filled in; left out", kFidoLineMax);
            return;
        }
        size_t pos = 0;
        std::string word;
        if (!nextWord(text, pos, word)) return;
        const Keyword* keyword = findKeyword(word);
        if (!keyword) return;  // statements for the tosser alone
        switch (keyword->statement) {
            case Statement::If:
            case Statement::IfDef:
            case Statement::IfNDef:
            case Statement::ElseIf:
            case Statement::Else:
            case Statement::EndIf:
                handleConditional(at, keyword->statement, text, pos, runsCommand);
                return;
            default:
                break;
        }
        if (!active()) return;
        if (runsCommand) {
            error(at, "commands in backquotes are not run by the server; line left out: %.200s", text.c_str());
            return;
        }
        switch (keyword->statement) {
            case Statement::Include: {
                std::string file, extra;
                if (!nextWord(text, pos, file) || nextWord(text, pos, extra)) {
                    error(at, "include takes one file name");
                    return;
                }
                readFile(file, &at);
                return;
            }
            case Statement::Set:
                handleSet(at, text, pos);
                return;
            case Statement::CommentChar: {
                std::string c;
                if (!nextWord(text, pos, c)) {
                    error(at, "commentChar without a character");
                    return;
                }
                commentChar_ = c[0];
                return;
            }
            case Statement::EchoAreaDefaults: {
                std::string rest = trimmed(text.substr(pos));
                AreaOptions defaults;
                defaults.format = BaseFormat::Msg;  // what the tosser takes once defaults are given without -b
                if (rest.empty() || sameNoCase(rest, "off") || readOptions(at, rest, 0, true, defaults)) {
                    echoDefaults_ = defaults;
                }
                return;
            }
            case Statement::Area:
                handleArea(at, keyword->kind, word, text, pos);
                return;
            case Statement::EchoTossLog: {
                std::string file;
                if (nextWord(text, pos, file)) echoTossLog_ = file;  // the last one counts, as in the tosser
                return;
            }
            default:
                return;
        }
    }

    void handleSet(const Place& at, const std::string& text, size_t pos) {
        size_t equals = text.find('=', pos);
        if (equals == std::string::npos) {
            error(at, "set takes NAME=VALUE");
            return;
        }
        std::string name = trimmed(text.substr(pos, equals - pos));
        std::string value = trimmed(text.substr(equals + 1));
        if (!value.empty() && value[0] == '"') {
            size_t close = value.find('"', 1);
            value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        }
        if (name.empty()) return;  // the tosser accepts it and sets nothing
        for (size_t i = 0; i < variables_.size(); ++i) {
            if (sameNoCase(variables_[i].first, name)) {
                if (value.empty()) {
                    variables_.erase(variables_.begin() + long(i));
                } else {
                    variables_[i].second = value;
                }
                return;
            }
        }
        if (value.empty()) return;  // an empty value unsets
        if (variables_.size() >= kFidoVariablesMax) {
            error(at, "more than %zu variables; %s not set", kFidoVariablesMax, name.c_str());
            return;
        }
        variables_.emplace_back(name, value);
    }

    // "left==right", "left!=right" compare in any letter case. The tosser's library reads
    // "=~" as "does not match the wildcard pattern" and "!~" as "matches"; the same reading
    // here keeps both programs on the same branch.
    bool evaluateIf(const Place& at, const std::string& expression) {
        size_t op = std::string::npos;
        for (size_t i = 0; i + 1 < expression.size(); ++i) {
            char a = expression[i], b = expression[i + 1];
            if ((a == '=' || a == '!') && (b == '=' || b == '~')) {
                op = i;
                break;
            }
        }
        if (op == std::string::npos) {
            error(at, "bad if expression: %.200s", expression.c_str());
            return false;
        }
        std::string left = unquoted(trimmed(expression.substr(0, op)));
        std::string right = unquoted(trimmed(expression.substr(op + 2)));
        char a = expression[op], b = expression[op + 1];
        if (b == '=') return sameNoCase(left, right) == (a == '=');
        return wildcardMatch(right, left) == (a == '!');
    }

    bool evaluate(const Place& at, Statement statement, const std::string& text, size_t pos, bool runsCommand) {
        if (runsCommand) {
            error(at, "commands in backquotes are not run by the server; condition taken as false");
            return false;
        }
        std::string rest = trimmed(text.substr(pos));
        if (statement == Statement::IfDef || statement == Statement::IfNDef) {
            if (rest.empty()) {
                error(at, "ifdef and ifndef take a variable name");
                return false;
            }
            bool defined = !lookup(rest).empty();
            return statement == Statement::IfDef ? defined : !defined;
        }
        return evaluateIf(at, rest);
    }

    void handleConditional(const Place& at, Statement statement, const std::string& text, size_t pos,
                           bool runsCommand) {
        switch (statement) {
            case Statement::If:
            case Statement::IfDef:
            case Statement::IfNDef: {
                if (overflowDepth_ > 0 || branches_.size() >= kFidoBranchDepthMax) {
                    if (overflowDepth_ == 0) error(at, "if blocks nested deeper than %zu; block left out", kFidoBranchDepthMax);
                    ++overflowDepth_;
                    return;
                }
                bool outer = active();
                bool chosen = outer && evaluate(at, statement, text, pos, runsCommand);
                branches_.push_back({outer, chosen, chosen, false});
                return;
            }
            case Statement::ElseIf:
            case Statement::Else: {
                if (overflowDepth_ > 0) return;
                if (branches_.empty() || branches_.back().sawElse) {
                    error(at, "%s without its if; ignored", statement == Statement::Else ? "else" : "elseif");
                    return;
                }
                Branch& b = branches_.back();
                bool chosen = b.outerActive && !b.taken;
                if (chosen && statement == Statement::ElseIf) chosen = evaluate(at, statement, text, pos, runsCommand);
                if (statement == Statement::Else) b.sawElse = true;
                b.active = chosen;
                b.taken = b.taken || chosen;
                return;
            }
            case Statement::EndIf:
                if (overflowDepth_ > 0) {
                    --overflowDepth_;
                } else if (branches_.empty()) {
                    error(at, "endif without its if; ignored");
                } else {
                    branches_.pop_back();
                }
                return;
            default:
                return;
        }
    }

    // The options after an area's path (or of EchoAreaDefaults): "-b FORMAT" names the
    // message base, "-pass" makes a passthrough area; the others concern the tosser
    // alone. False (with an error line) when the line is malformed.
    bool readOptions(const Place& at, const std::string& text, size_t pos, bool defaultsLine, AreaOptions& options) {
        std::string word;
        while (nextOptionWord(text, pos, word)) {
            if (sameNoCase(word, "-b")) {
                if (!nextOptionWord(text, pos, word)) {
                    error(at, "-b without a message base format");
                    return false;
                }
                if (sameNoCase(word, "squish")) {
                    options.format = BaseFormat::Squish;
                } else if (sameNoCase(word, "msg")) {
                    options.format = BaseFormat::Msg;
                } else if (sameNoCase(word, "jam")) {
                    options.format = BaseFormat::Jam;
                } else {
                    error(at, "-b takes squish, msg or jam, not %.100s", word.c_str());
                    return false;
                }
            } else if (sameNoCase(word, "-pass") || (defaultsLine && sameNoCase(word, "passthrough"))) {
                options.passthrough = true;
            }
        }
        return true;
    }

    void handleArea(const Place& at, AreaKind kind, const std::string& keyword, const std::string& text, size_t pos) {
        // The tag: a word, or a quoted text without blanks (the quotes removed).
        std::string tag;
        size_t start = skipBlanks(text, pos);
        size_t close = start < text.size() && text[start] == '"' ? closingQuote(text, start) : std::string::npos;
        if (close != std::string::npos) {
            tag = text.substr(start + 1, close - start - 1);
            pos = close + 1;
            if (tag.find_first_of(" \t") != std::string::npos) {
                error(at, "%s: an area tag cannot hold blanks: \"%.100s\"", keyword.c_str(), tag.c_str());
                return;
            }
        } else if (!nextWord(text, pos, tag)) {
            error(at, "%s without an area tag", keyword.c_str());
            return;
        }
        if (tag.empty()) {
            error(at, "%s with an empty area tag", keyword.c_str());
            return;
        }
        std::string path;
        size_t pathPos = pos;
        if (!nextWord(text, pathPos, path) || path[0] == '-') {
            error(at, "%s %.100s has no path", keyword.c_str(), tag.c_str());
            return;
        }
        pos = pathPos;
        AreaOptions options;
        if (kind == AreaKind::Echo || kind == AreaKind::Bad || kind == AreaKind::Dupe) options = echoDefaults_;
        if (!readOptions(at, text, pos, false, options)) return;
        if (sameNoCase(path, "passthrough")) options.passthrough = true;

        const char* reason = nullptr;
        std::string key = toUpperAscii(tag);
        if (!tags_.insert(key).second) {
            reason = "its tag names an earlier area";
        } else {
            if (kind == AreaKind::Bad) {
                reason = "bad mail area";
            } else if (kind == AreaKind::Dupe) {
                reason = "dupe mail area";
            } else if (options.passthrough) {
                reason = "passthrough area, no message base";
            } else if (options.format == BaseFormat::Jam) {
                reason = "JAM message base";
            } else if (kind == AreaKind::Netmail && options.format == BaseFormat::Squish) {
                reason = "netmail in a Squish base";
            } else if (kind != AreaKind::Netmail && options.format == BaseFormat::Msg) {
                reason = "echomail in *.MSG format";
            }
        }
        if (reason) {
            logLine("-> skipped area %s (%s)\n", tag.c_str(), reason);
            return;
        }
        if (kind == AreaKind::Netmail)
            areas_.push_back(makeArea(AreaFormat::Msg, AreaType::Netmail, tag, path));
        else
            areas_.push_back(makeArea(AreaFormat::Squish, AreaType::Echomail, tag, path));
    }

    std::vector<mArea>& areas_;
    std::vector<std::pair<std::string, std::string>> variables_{{"module", "hpt"}};
    char commentChar_ = '#';
    AreaOptions echoDefaults_;  // Squish until EchoAreaDefaults says otherwise
    std::vector<Branch> branches_;
    int overflowDepth_ = 0;  // if blocks beyond kFidoBranchDepthMax, all left out
    std::vector<OpenFile> openFiles_;
    int filesRead_ = 0;
    std::unordered_set<std::string> tags_;  // every area's tag so far, in upper case
    std::string echoTossLog_;  // the EchoTossLog statement's file
};

}  // namespace

bool loadFidoConfig(const char* fileName, std::vector<mArea>& areas, std::string* echoTossLog) {
    FidoConfigReader reader(areas);
    bool read = reader.readMain(fileName);
    if (echoTossLog) *echoTossLog = reader.echoTossLog();
    return read;
}
