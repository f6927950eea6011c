// The program-wide objects: built before main() runs and kept for the whole run.
#pragma once
#include "config/config.h"
#include "protocol/session.h"
#include "support/array.h"
#include "support/lzw12.h"
#include "wire/packets.h"

extern MCArray<mArea> areaList;
extern MCArray<rClientInfo> userList;
extern MCArray<sessionClient> clientList;
extern LZW12 compressor;
extern MCArray<pktAreaInfo> areaInfoList;
extern ServerSettings settings;
extern SessionShared sessionShared;

// The settings file's name, derived from the program's path at start-up.
constexpr size_t kSettingsPathSize = 260;
extern char settingsPath[kSettingsPathSize];
