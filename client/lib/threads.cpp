#include "client/lib/threads.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace qclient {

std::vector<size_t> replyParents(const std::vector<pktMsgHeader>& headers) {
    std::unordered_map<uint32_t, size_t> firstWithMsgId;
    for (size_t i = 0; i < headers.size(); ++i)
        if (headers[i].msgIdHash) firstWithMsgId.emplace(headers[i].msgIdHash, i);
    std::vector<size_t> parents(headers.size(), kNoParent);
    for (size_t i = 0; i < headers.size(); ++i) {
        if (!headers[i].replyHash) continue;
        auto it = firstWithMsgId.find(headers[i].replyHash);
        if (it != firstWithMsgId.end() && it->second != i) parents[i] = it->second;
    }
    return parents;
}

uint32_t dateOrder(uint32_t packed) { return (packed << 16) | (packed >> 16); }

std::vector<ThreadRow> threadRows(const std::vector<pktMsgHeader>& headers) {
    const size_t n = headers.size();
    std::vector<size_t> parents = replyParents(headers);
    auto earlier = [&](size_t a, size_t b) {
        uint32_t da = dateOrder(headers[a].dateWritten), db = dateOrder(headers[b].dateWritten);
        return da != db ? da < db : headers[a].msgNumber < headers[b].msgNumber;
    };

    std::vector<std::vector<size_t>> children(n);
    std::vector<size_t> starts;
    for (size_t i = 0; i < n; ++i) {
        if (parents[i] == kNoParent)
            starts.push_back(i);
        else
            children[parents[i]].push_back(i);
    }
    for (std::vector<size_t>& c : children) std::sort(c.begin(), c.end(), earlier);
    std::sort(starts.begin(), starts.end(), earlier);

    std::vector<ThreadRow> rows;
    rows.reserve(n);
    std::vector<bool> shown(n, false);
    // Depth first without recursion: a long chain of replies cannot exhaust the stack.
    auto walk = [&](size_t start) {
        std::vector<std::pair<size_t, size_t>> stack = {{start, 0}};
        while (!stack.empty()) {
            auto [i, depth] = stack.back();
            stack.pop_back();
            if (shown[i]) continue;
            shown[i] = true;
            rows.push_back(ThreadRow{i, depth, headers[i].replyHash != 0 && parents[i] == kNoParent});
            for (auto c = children[i].rbegin(); c != children[i].rend(); ++c)
                if (!shown[*c]) stack.emplace_back(*c, depth + 1);
        }
    };
    for (size_t s : starts) walk(s);
    // What is left hangs from a loop of replies (A answers B, B answers A); each of its
    // messages has a listed parent. The earliest message of the loop starts the tree.
    std::vector<size_t> passedFrom(n, kNoParent);  // the i whose walk up passed the message
    for (size_t i = 0; i < n; ++i) {
        if (shown[i]) continue;
        size_t x = i;
        while (passedFrom[x] != i) {
            passedFrom[x] = i;
            x = parents[x];
        }
        size_t first = x;
        for (size_t y = parents[x]; y != x; y = parents[y])
            if (earlier(y, first)) first = y;
        if (!shown[first]) walk(first);
    }
    return rows;
}

std::vector<ThreadRow> threadRowsOf(const std::vector<pktMsgHeader>& headers, uint32_t number) {
    std::vector<ThreadRow> rows = threadRows(headers);
    auto at = std::find_if(rows.begin(), rows.end(),
                           [&](const ThreadRow& r) { return headers[r.index].msgNumber == number; });
    if (at == rows.end()) return {};
    auto begin = at;
    while (begin->depth != 0) --begin;
    auto end = at + 1;
    while (end != rows.end() && end->depth != 0) ++end;
    return std::vector<ThreadRow>(begin, end);
}

}  // namespace qclient
