// The configuration reader on arbitrary text: the settings file and the tosser
// configuration it names.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "fuzz/fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (silenceOutput(), true);
    (void)once;
    InputCutter in(data, size);
    std::string settings = in.part();
    std::string tosser = in.rest();
    std::string ini = scratchDir() + "/fuzz.INI";
    std::string cfg = scratchDir() + "/tosser.cfg";
    // Half of the inputs name the tosser file so that its reader is reached too.
    if (!settings.empty() && (settings[0] & 1)) settings = "squishCfg " + cfg + "\n" + settings;
    writeBytes(ini, reinterpret_cast<const uint8_t*>(settings.data()), settings.size());
    writeBytes(cfg, reinterpret_cast<const uint8_t*>(tosser.data()), tosser.size());
    ServerSettings loaded;
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
    (void)loadSettings(ini.c_str(), loaded, areaList, userList);
    for (int32_t i = 0; i < userList.getCount(); ++i) {
        const rClientInfo& u = *userList.getAt(i);
        if (strnlen(u.name, 36) == 0) __builtin_trap();  // a user always has a name
    }
    for (const mArea& a : areaList)
        if (a.name.empty() || a.name.size() > kAreaTagSize || a.path.size() > kAreaPathSize) __builtin_trap();
    return 0;
}
