// The program-wide objects, defined in one place so that they are constructed in this
// order before main() runs and destroyed in the reverse order at exit.
#include "server/globals.h"

MCArray<mArea> areaList;
MCArray<rClientInfo> userList;
MCArray<sessionClient> clientList;
LZW12 compressor;
MCArray<pktAreaInfo> areaInfoList;
ServerSettings settings;
SessionShared sessionShared;
char settingsPath[kSettingsPathSize] = {};
