#include "common/console_lines.h"

#include <cctype>

size_t timeStampLength(const std::string& line) {
    // 9: a digit, #: the sign of the offset; every other character stands for itself.
    static const std::string shape = "9999-99-99T99:99:99.999#99:99 ";
    if (line.size() < shape.size()) return 0;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = line[i];
        switch (shape[i]) {
        case '9':
            if (!isdigit(static_cast<unsigned char>(c))) return 0;
            break;
        case '#':
            if (c != '+' && c != '-') return 0;
            break;
        default:
            if (c != shape[i]) return 0;
        }
    }
    return shape.size();
}

bool isLoopbackPeer(const std::string& text) {
    const std::string host = "127.0.0.1:";
    if (text.size() <= host.size() || text.compare(0, host.size(), host) != 0) return false;
    for (size_t i = host.size(); i < text.size(); ++i)
        if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

bool isConnectAndCloseLines(const std::string& text) {
    const std::string head = "client: ";
    size_t end = text.find('\n');
    if (text.compare(0, head.size(), head) != 0 || end == std::string::npos) return false;
    const std::string peer = text.substr(head.size(), end - head.size());
    return isLoopbackPeer(peer) && text.substr(end + 1) == peer + " client disconnected.\n";
}
