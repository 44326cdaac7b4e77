// Devices store their numbers in a fixed byte order; assembling them byte
// by byte keeps the result the same on every host.
#pragma once

#include <stdint.h>

inline uint32_t get_le16(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t get_le32(const unsigned char *p) {
    return get_le16(p) | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t get_le64(const unsigned char *p) {
    return get_le32(p) | uint64_t(get_le32(p + 4)) << 32;
}
inline uint32_t get_be16(const unsigned char *p) {
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}
inline uint32_t get_be32(const unsigned char *p) {
    return get_be16(p) << 16 | get_be16(p + 2);
}
