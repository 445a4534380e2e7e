#include "update/crc16.h"

#include <array>

namespace {

// The standard MSB-first table of polynomial 0x1021, built at compile time.
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i << 8;
        for (int bit = 0; bit < 8; bit++)
            r = (r & 0x8000) ? ((r << 1) ^ 0x1021) & 0xFFFF : (r << 1) & 0xFFFF;
        table[i] = static_cast<uint16_t>(r);
    }
    return table;
}

constexpr std::array<uint16_t, 256> crcTable = MakeTable();

static_assert(crcTable[0] == 0x0000 && crcTable[1] == 0x1021 && crcTable[2] == 0x2042);
static_assert(crcTable[128] == 0x9188 && crcTable[255] == 0x1EF0);

} // namespace

void Crc16Init(uint16_t& crc) {
    crc = 0xFFFF;
}

void Crc16Update(uint16_t& crc, const uint8_t* pData, uint32_t lastIndex) {
    // The byte enters at the low end after the table step; this is the form the boot loader uses,
    // not the usual direct CRC-CCITT, so the two must not be swapped for one another.
    uint16_t r = crc;
    uint32_t i = 0;
    do {
        r = static_cast<uint16_t>(crcTable[r >> 8] ^ ((r << 8) & 0xFFFF) ^ pData[i]);
    } while (i++ != lastIndex);
    crc = r;
}
