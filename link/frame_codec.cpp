#include "link/frame.h"

#include <cstring>

uint8_t Frame_Checksum(uint8_t command, const uint8_t* pData, uint8_t length) {
    uint8_t sum = command;
    for (uint8_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + pData[i]);
    return sum;
}

size_t Frame_Build(uint8_t* acFrame, uint8_t command, const uint8_t* pData, uint8_t length) {
    acFrame[0] = FRAME_START;
    acFrame[1] = length;
    acFrame[2] = length;
    acFrame[3] = FRAME_START;
    acFrame[4] = 0x00;
    acFrame[5] = 0x00;
    acFrame[6] = command;
    if (length != 0)
        std::memcpy(acFrame + 7, pData, length);
    acFrame[7 + length] = Frame_Checksum(command, pData, length);
    acFrame[8 + length] = FRAME_END;
    return FRAME_OVERHEAD + length;
}
