// Little-endian cursors over byte buffers. Nothing checks a cursor against its buffer's end:
// callers stay inside the layouts they read and write.
#pragma once
#include <cstdint>
#include <cstring>

inline uint8_t Cursor_GetU8(const uint8_t*& pRead) { return *pRead++; }
inline uint16_t Cursor_GetU16(const uint8_t*& pRead) {
    uint16_t value = static_cast<uint16_t>(pRead[0] | (pRead[1] << 8));
    pRead += 2;
    return value;
}
inline uint32_t Cursor_GetU32(const uint8_t*& pRead) {
    uint32_t value = static_cast<uint32_t>(pRead[0]) | (static_cast<uint32_t>(pRead[1]) << 8) |
                     (static_cast<uint32_t>(pRead[2]) << 16) | (static_cast<uint32_t>(pRead[3]) << 24);
    pRead += 4;
    return value;
}
inline void Cursor_GetBytes(const uint8_t*& pRead, uint8_t* pDest, uint32_t count) {
    std::memcpy(pDest, pRead, count);
    pRead += count;
}
inline void Cursor_PutU8(uint8_t*& pWrite, uint32_t value) { *pWrite++ = static_cast<uint8_t>(value); }
inline void Cursor_PutU32(uint8_t*& pWrite, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        *pWrite++ = static_cast<uint8_t>(value >> (8 * i));
}
