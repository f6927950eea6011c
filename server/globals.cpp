// The program-wide objects, defined in one place so that they are constructed in this
// order before main() runs and destroyed in the reverse order at exit.
#include "areas/fidonet.h"
#include "config/config.h"
#include "protocol/handlers.h"
#include "protocol/reply.h"
#include "protocol/session.h"

CCRC32 kludgeHasher;
MCArray<mArea> areaList;
MCArray<rClientInfo> userList;
MCArray<sessionClient> clientList;
LZW12 compressor;
MCArray<pktAreaInfo> areaInfoList;
