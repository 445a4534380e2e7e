#include "sim_flash.h"

#include "update/crc16.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

uint8_t acFlash[FLASH_SIZE];
uint32_t aRejected[16];
uint32_t rejectedCount = 0;

bool InFlash(uint32_t address) {
    return address >= FLASH_START && address <= FLASH_END;
}

bool IsRejected(uint32_t address) {
    for (uint32_t i = 0; i < rejectedCount; ++i)
        if (aRejected[i] == address)
            return true;
    return false;
}

} // namespace

void Flash_Erase() {
    Flash_Fill(0xFF);
}

void Flash_Fill(uint8_t value) {
    std::memset(acFlash, value, sizeof acFlash);
}

void Flash_SetRejected(const uint32_t* pAddresses, uint32_t count) {
    rejectedCount = count < 16 ? count : 16;
    std::memcpy(aRejected, pAddresses, rejectedCount * sizeof(uint32_t));
}

int Flash_Program(uint32_t address, const uint8_t* pData, uint32_t count, uint32_t* pFailAddress,
                  uint8_t* pFailValue) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t at = address + i;
        bool failed = !InFlash(at) || IsRejected(at);
        if (!failed) {
            // A flash cell can only go from 1 to 0; the verify after writing catches the rest.
            uint8_t& cell = acFlash[at - FLASH_START];
            cell = static_cast<uint8_t>(cell & pData[i]);
            failed = cell != pData[i];
        }
        if (failed) {
            *pFailAddress = at;
            *pFailValue = pData[i];
            return 1;
        }
    }
    return 0;
}

int Flash_FindNonBlank(uint32_t* pAddress, uint8_t* pValue) {
    for (uint32_t i = 0; i < FLASH_SIZE; ++i) {
        if (acFlash[i] != 0xFF) {
            *pAddress = FLASH_START + i;
            *pValue = acFlash[i];
            return 1;
        }
    }
    return 0;
}

uint8_t Flash_Read(uint32_t address) {
    return InFlash(address) ? acFlash[address - FLASH_START] : 0xFF;
}

uint16_t Flash_Crc(uint32_t start, uint32_t length) {
    uint16_t crc;
    Crc16Init(crc);
    // Fed in runs, so a long area costs table steps only; 0xFF stands in for what lies outside.
    uint8_t acRun[4096];
    uint32_t address = start;
    uint32_t left = length;
    while (left != 0) {
        uint32_t run = left < sizeof acRun ? left : static_cast<uint32_t>(sizeof acRun);
        if (InFlash(address) && FLASH_END - address + 1 >= run) {
            Crc16Update(crc, acFlash + (address - FLASH_START), run - 1);
        } else {
            for (uint32_t i = 0; i < run; ++i)
                acRun[i] = Flash_Read(address + i);
            Crc16Update(crc, acRun, run - 1);
        }
        address += run;
        left -= run;
    }
    return crc;
}

int Flash_Dump(const char* pPath) {
    char acTemp[4096];
    if (snprintf(acTemp, sizeof acTemp, "%s.tmp", pPath) >= static_cast<int>(sizeof acTemp))
        return 1;
    int fd = open(acTemp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    size_t done = 0;
    while (done < sizeof acFlash) {
        ssize_t n = write(fd, acFlash + done, sizeof acFlash - done);
        if (n < 0) {
            close(fd);
            unlink(acTemp);
            return 1;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(acTemp, pPath) != 0) {
        unlink(acTemp);
        return 1;
    }
    return 0;
}
