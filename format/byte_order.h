// Little-endian fields in file formats we read and write: the SZDD header, the
// checksum slot and the program file's headers.
#pragma once
#include <cstdint>

inline uint16_t ReadLe16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }

inline uint32_t ReadLe32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void WriteLe32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
