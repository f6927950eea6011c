// Test helpers for the news door: a plain NNTP client that speaks line by line as a
// newsreader does, articles split into header fields and body lines (from the wire or from
// the files newsreaders save), and charset conversion through iconv, independent of the
// server's own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace news {

// A bound for any one reply of the server.
constexpr int kReplyMs = 20000;

class Client {
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to the loopback port and reads the greeting; false unless it is 200 or 201.
    bool connect(uint16_t port);
    void close();

    // Sends one command line (CRLF added) and returns the status line, "" when none came.
    std::string command(const std::string& line);
    // The same in two steps, for commands sent together before any reply is read: bytes
    // sent as they are, and the next status line ("" when none came).
    bool send(const std::string& bytes);
    std::string reply();
    // The lines of the multi-line block that follows a status line, dot-stuffing undone,
    // without the final "."; false when the block does not end in time.
    bool block(std::vector<std::string>& lines);
    // AUTHINFO USER and PASS; true for 281.
    bool login(const std::string& user, const std::string& password);
    // POST with the article's lines (any line ends; CRLF and dot-stuffing are added here);
    // the final status line ("240 ...", "441 ..."), or the refusal of POST itself.
    std::string post(const std::string& article);
    // Lines received so far that ended in a bare LF instead of CRLF.
    size_t linesWithoutCr() const { return linesWithoutCr_; }

private:
    bool readLine(std::string& line);

    int fd_ = -1;
    std::string buffer_;
    size_t linesWithoutCr_ = 0;
};

// An article: its header fields in order (continuation lines unfolded) and its body lines
// without their line ends.
struct Article {
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::string> body;

    // The first field of that name (any letter case); nullptr when there is none.
    const std::string* header(const std::string& name) const;
};

// Splits an article's text, with CRLF or LF line ends; false when no blank line ends the
// header.
bool splitArticle(const std::string& text, Article& out);
// The same for lines already split (a block of ARTICLE).
bool splitArticle(const std::vector<std::string>& lines, Article& out);

// Converts text between two charsets known to iconv; throws std::runtime_error when it
// does not convert.
std::string convert(const std::string& text, const char* from, const char* to);

}  // namespace news
