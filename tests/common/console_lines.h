// Test helpers for the server's console lines: the time stamp that may begin a line, and
// the peer text of a loopback connection.
#pragma once
#include <cstddef>
#include <string>

// The length of the time stamp and its space at the start of a line
// ("2026-03-05T07:08:09.123+01:00 "), or 0 when the line does not begin with one.
size_t timeStampLength(const std::string& line);

// True for "127.0.0.1:PORT" with a port of digits.
bool isLoopbackPeer(const std::string& text);

// True when `text` is exactly the two lines of one connection that came and went:
// "client: PEER\n" and "PEER client disconnected.\n", PEER a loopback peer.
bool isConnectAndCloseLines(const std::string& text);
