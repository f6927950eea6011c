#include "common/interop_checks.h"

#include <vector>

#include "support/crc32.h"

namespace interop {

uint32_t kludgeHash(const std::string& value) {
    static const CCRC32 crc;
    return value.empty() ? 0 : crc.compute(value.data(), value.size());
}

void expectHeaderAsPacked(const pktMsgHeader& h, const fidopkt::PackedMsg& p) {
    EXPECT_EQ(cleanField(h.fromName), p.fromName);
    EXPECT_EQ(cleanField(h.toName), p.toName);
    EXPECT_EQ(cleanField(h.subject), p.subject);
    EXPECT_EQ(h.dateWritten, fidopkt::packedDate(p.dateTime)) << p.dateTime;
}

void expectListedAsPacked(const pktMsgHeader& h, const fidopkt::PackedMsg& p) {
    expectHeaderAsPacked(h, p);
    const std::vector<std::string> lines = fidopkt::textLines(p.text);
    EXPECT_EQ(h.msgIdHash, kludgeHash(fidopkt::kludgeValue(lines, "MSGID")));
    EXPECT_EQ(h.replyHash, kludgeHash(fidopkt::kludgeValue(lines, "REPLY")));
}

}  // namespace interop
