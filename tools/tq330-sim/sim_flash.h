// The simulated flash memory: 0xA0000 .. 0xFDFFF, erased to 0xFF. Programming can only clear bits,
// as on the real part, so a block written over unerased memory fails its verify.
#pragma once
#include <cstdint>

constexpr uint32_t FLASH_START = 0xA0000;
constexpr uint32_t FLASH_END = 0xFDFFF; // inclusive
constexpr uint32_t FLASH_SIZE = FLASH_END - FLASH_START + 1;

void Flash_Erase();
void Flash_Fill(uint8_t value); // every cell, as an earlier firmware might have left them
// Addresses at which programming always fails, as a defective cell would.
void Flash_SetRejected(const uint32_t* pAddresses, uint32_t count);
// Writes the bytes in ascending order and stops at the first one that fails: outside the flash, a
// rejected address, or a verify mismatch. 0 when all were written; otherwise 1 with the failing
// address and the value reported for it (the byte that was to be written there).
int Flash_Program(uint32_t address, const uint8_t* pData, uint32_t count, uint32_t* pFailAddress,
                  uint8_t* pFailValue);
// 0 when every byte is 0xFF; otherwise 1 with the first address that is not, and its value.
int Flash_FindNonBlank(uint32_t* pAddress, uint8_t* pValue);
// CRC-16 of length bytes from start in ascending address order, 0xFF for addresses outside the
// flash, exactly as the updater computes its image CRC. Addresses wrap at 2^32.
uint16_t Flash_Crc(uint32_t start, uint32_t length);
uint8_t Flash_Read(uint32_t address); // 0xFF outside the flash
// Writes the whole flash as binary through a temporary file and a rename, so a reader never sees a
// half-written dump. 0 on success.
int Flash_Dump(const char* pPath);
