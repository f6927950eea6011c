// The message attribute word of stored FidoNet messages (the low 16 bits travel in
// pktMessage's `attributes`), with the names clients show and accept.
#pragma once
#include <cstdint>

constexpr uint16_t kAttrPrivate = 0x0001;
constexpr uint16_t kAttrCrash = 0x0002;
constexpr uint16_t kAttrReceived = 0x0004;
constexpr uint16_t kAttrSent = 0x0008;
constexpr uint16_t kAttrFileAttach = 0x0010;
constexpr uint16_t kAttrInTransit = 0x0020;
constexpr uint16_t kAttrOrphan = 0x0040;
constexpr uint16_t kAttrKillSent = 0x0080;
constexpr uint16_t kAttrLocal = 0x0100;
constexpr uint16_t kAttrHold = 0x0200;
constexpr uint16_t kAttrFileRequest = 0x0800;
constexpr uint16_t kAttrReturnReceiptRequest = 0x1000;
constexpr uint16_t kAttrIsReturnReceipt = 0x2000;
constexpr uint16_t kAttrAuditRequest = 0x4000;
constexpr uint16_t kAttrUpdateRequest = 0x8000;

struct AttributeName {
    const char* name;
    uint16_t bit;
};
inline constexpr AttributeName kAttributeNames[] = {
    {"private", kAttrPrivate},     {"crash", kAttrCrash},
    {"received", kAttrReceived},   {"sent", kAttrSent},
    {"file", kAttrFileAttach},     {"transit", kAttrInTransit},
    {"orphan", kAttrOrphan},       {"kill", kAttrKillSent},
    {"local", kAttrLocal},         {"hold", kAttrHold},
    {"freq", kAttrFileRequest},    {"rrq", kAttrReturnReceiptRequest},
    {"receipt", kAttrIsReturnReceipt}, {"arq", kAttrAuditRequest},
    {"urq", kAttrUpdateRequest},
};
