// Fixed-width little-endian helpers. Every integer that goes into a file or onto the
// wire passes through these, byte by byte, whatever the host's byte order.
#pragma once
#include <cstdint>
#include <cstring>

inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void putI32(uint8_t* p, int32_t v) { putU32(p, uint32_t(v)); }
inline void putU64(uint8_t* p, uint64_t v) {
    putU32(p, uint32_t(v));
    putU32(p + 4, uint32_t(v >> 32));
}

inline uint16_t getU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int32_t getI32(const uint8_t* p) { return int32_t(getU32(p)); }

inline void putBytes(uint8_t* p, const char* bytes, size_t field) { memcpy(p, bytes, field); }
inline void getBytes(char* out, const uint8_t* p, size_t field) { memcpy(out, p, field); }

// Fixed-size text fields: a bounded copy of a text, zero-padded after it, without a
// terminator when the text fills the field. Readers copy with the same bound.
inline void copyField(char* dst, const char* src, size_t field) {
    size_t n = strnlen(src, field);
    memcpy(dst, src, n);
    memset(dst + n, 0, field - n);
}

// Length of a fixed field's text: up to the first NUL, at most the field size.
inline size_t fieldLength(const char* field, size_t size) { return strnlen(field, size); }
