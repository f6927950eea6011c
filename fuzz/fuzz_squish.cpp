// The Squish reader and writer on arbitrary .SQD/.SQI/.SQL bytes: list, statistics,
// fetch and delete must treat anything damaged as unreadable, never crash or hang.
#include <cstdint>
#include <string>

#include "areas/squish_area.h"
#include "fuzz/fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputCutter in(data, size);
    std::string sqd = in.part();
    std::string sqi = in.part();
    std::string sql = in.part();
    uint8_t actions = in.byte();
    uint32_t number = in.u32();
    std::string base = scratchDir() + "/base";
    writeBytes(base + ".SQD", reinterpret_cast<const uint8_t*>(sqd.data()), sqd.size());
    writeBytes(base + ".SQI", reinterpret_cast<const uint8_t*>(sqi.data()), sqi.size());
    if (actions & 1) writeBytes(base + ".SQL", reinterpret_cast<const uint8_t*>(sql.data()), sql.size());

    CSquishArea area(base.c_str(), 0);
    MCArray<pktMsgHeader> list;
    area.getMsgList(list);
    uint32_t counts[2];
    area.getAreaStats(base.c_str(), counts);
    MCArray<char> message;
    for (int32_t i = 0; i < list.getCount() && i < 8; ++i) area.getMessage(list.getAt(i)->msgNumber, message);
    area.getMessage(number, message);
    FidoAddr requester{2, 5020, 1, 0};
    if (actions & 2) area.deleteMsg(number, &requester, (actions & 4) != 0);
    if (actions & 8) {
        pktMessage record;
        record.origAddr = requester;
        std::string text = in.rest();
        (void)area.newMessage(&record, text.c_str(), wallTimeAt(0));
    }
    if (actions & 0x10) area.getMsgList(list);
    removeTree(base + ".SQL");
    return 0;
}
