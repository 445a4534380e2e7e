// CRC-16 with polynomial 0x1021, MSB first, initial value 0xFFFF, no final XOR, the message byte
// entering the register after the table step (the boot loader's own form). Pure; shared with the
// device simulator.
#pragma once
#include <cstdint>

void Crc16Init(uint16_t& crc);
// Feeds the bytes at indexes 0 .. lastIndex (lastIndex + 1 bytes).
void Crc16Update(uint16_t& crc, const uint8_t* pData, uint32_t lastIndex);
