// The *.MSG reader and writer on arbitrary files and names.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "areas/tarnwick_area.h"
#include "fuzz/fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputCutter in(data, size);
    std::string dir = scratchDir() + "/netmail";
    removeTree(dir);
    mkdir(dir.c_str(), 0700);
    uint8_t files = in.byte() % 6;
    for (uint8_t i = 0; i < files; ++i) {
        std::string name = in.part();
        std::string content = in.part();
        // Names are single path components; "/" and NUL cannot occur in them.
        for (char& c : name)
            if (c == '/' || c == 0) c = '_';
        if (name.empty() || name == "." || name == ".." || name.size() > 200) continue;
        writeBytes(dir + "/" + name, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    }
    uint8_t actions = in.byte();
    uint32_t number = in.u32();

    CTarnwickArea area(dir.c_str(), 1);
    MCArray<pktMsgHeader> list;
    area.getMsgList(list);
    uint32_t counts[2];
    area.getAreaStats(dir.c_str(), counts);
    MCArray<char> message;
    for (int32_t i = 0; i < list.getCount() && i < 8; ++i) area.getMessage(list.getAt(i)->msgNumber, message);
    area.getMessage(number, message);
    FidoAddr requester{2, 5020, 1, 0};
    if (actions & 1) area.deleteMsg(number, &requester, (actions & 2) != 0);
    if (actions & 4) {
        pktMessage record;
        record.origAddr = requester;
        record.destAddr = FidoAddr{2, 5020, 2, uint16_t(actions)};
        std::string text = in.rest();
        (void)area.newMessage(&record, text.c_str(), wallTimeAt(0));
    }
    return 0;
}
