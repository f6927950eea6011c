#include "protocol/message_layout.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "support/le.h"

namespace {

void emitLine(MCArray<char>& out, const char* line, int32_t n) {
    int32_t c = out.getCount();
    int64_t need = int64_t(c) + n + 2;
    if (need > INT32_MAX) throw std::bad_alloc();
    if (need > out.getCapacity()) {
        // The array grows by half again at least, never by its own small steps: a long
        // text costs a few copies of the output, not one per line.
        int64_t room = std::min<int64_t>(std::max<int64_t>(need, int64_t(out.getCapacity()) * 3 / 2), INT32_MAX);
        if (!out.setSize(int32_t(room)) || !out.setSize(c)) throw std::bad_alloc();
    }
    if (!out.setSize(int32_t(need))) throw std::bad_alloc();
    char* p = out.getData() + c;
    if (n > 0) memcpy(p, line, size_t(n));
    p[n] = 13;
    p[n + 1] = 0;
}

// Where the text after a walk starts: past the terminating zero without a bound, or the
// bound's end whether or not the walk stopped earlier.
const char* endOfWalk(const char* text, const char* stop, int32_t maxLength) {
    if (maxLength == kNoLengthBound) return stop;
    return text + maxLength;
}

// The walk of textToLines: hands every line to `emit` (its start and length) and returns
// where the walk stopped (past the terminating zero when it met one).
template <typename Emit>
const char* walkLines(const char* text, int32_t maxLength, Emit&& emit) {
    const char* lineStart = text;
    int32_t lineLength = 0;
    const char* p = text;
    for (int32_t walked = 0; walked < maxLength; ++walked, ++p) {
        char ch = *p;
        if (ch == 0) {
            ++p;  // past the terminating zero
            break;
        }
        if (ch == 13 || ch == 10) {
            emit(lineStart, lineLength);
            lineStart = p + 1;
            lineLength = 0;
        } else if (ch == 1) {
            if (lineLength != 0) {
                emit(lineStart, lineLength);
                lineStart = p;
            }
            lineLength = 1;
        } else {
            ++lineLength;
        }
    }
    if (lineLength != 0) emit(lineStart, lineLength);
    return p;
}

}  // namespace

const char* textToLines(const char* text, MCArray<char>& out, int32_t maxLength) {
    const char* stop = walkLines(text, maxLength, [&out](const char* line, int32_t n) { emitLine(out, line, n); });
    return endOfWalk(text, stop, maxLength);
}

bool reserveForLines(MCArray<char>& out, int64_t fixedBytes, int64_t textLength) {
    int32_t count = out.getCount();
    // Each line adds a CR and a zero byte: lines of 32 bytes and more on average fit.
    int64_t room = int64_t(count) + fixedBytes + textLength + textLength / 16 + 64;
    if (fixedBytes < 0 || textLength < 0 || room > INT32_MAX) return false;
    if (room <= out.getCapacity()) return true;
    if (!out.setSize(int32_t(room))) return false;
    return out.setSize(count);  // shrinking keeps the buffer
}

const char* extractKludges(const char* text, MCArray<char>& out, int32_t maxLength) {
    const char* start = nullptr;  // start of the current kludge, nullptr outside one
    int32_t length = 0;
    const char* p = text;
    for (int32_t walked = 0; walked < maxLength; ++walked, ++p) {
        char ch = *p;
        if (ch == 0) {
            ++p;
            break;
        }
        if (!start) {
            if (ch == 1) {
                start = p;
                length = 1;
            }
            continue;
        }
        if (ch == 1 || ch == 13 || ch == 10) {
            if (length > 1) emitLine(out, start, length);
            if (ch == 1) {
                start = p;
                length = 1;
            } else {
                start = nullptr;
                length = 0;
            }
        } else {
            ++length;
        }
    }
    if (start && length > 1) emitLine(out, start, length);
    return endOfWalk(text, p, maxLength);
}

pktMsgHeader msgHeaderOf(const MessageSummary& s) {
    pktMsgHeader h;
    h.msgNumber = s.number;
    copyField(h.fromName, s.fromName.c_str(), sizeof h.fromName);
    copyField(h.toName, s.toName.c_str(), sizeof h.toName);
    copyField(h.subject, s.subject.c_str(), sizeof h.subject);
    h.dateWritten = s.written();
    h.msgIdHash = s.msgIdHash;
    h.replyHash = s.replyHash;
    return h;
}

bool encodeFetchedMessage(const StoredMessage& message, MCArray<char>& out) {
    out.removeAll();
    const size_t controlLength = message.control.size();
    const size_t textLength = message.text.size();
    if (controlLength > size_t(INT32_MAX) || textLength > size_t(INT32_MAX)) return false;

    pktMessage m;
    m.header = msgHeaderOf(message.summary);
    m.header.msgIdHash = 0;
    m.header.replyHash = 0;
    m.origAddr = message.summary.origAddr;
    m.destAddr = message.summary.destAddr;
    m.attributes = uint16_t(message.attributes & 0xFFFFu);

    // The output is sized once, from the lengths, for the record and the lines, so that
    // the lines are then appended without growing the array step by step.
    if (!reserveForLines(out, int64_t(kMessageRecordSize), int64_t(controlLength + textLength)) ||
        !out.setSize(int32_t(kMessageRecordSize)))
        return false;
    encodeMessage(m, reinterpret_cast<uint8_t*>(out.getData()));
    try {
        textToLines(message.control.data(), out, int32_t(controlLength));
        textToLines(message.text.data(), out, int32_t(textLength));
    } catch (const std::bad_alloc&) {
        out.removeAll();
        return false;
    }
    return true;
}
