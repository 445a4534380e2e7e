#include "link/protocol.h"

#include <cstring>

uint8_t Frame_Checksum(uint8_t command, const uint8_t* pData, uint8_t length) {
    uint8_t sum = command;
    for (uint8_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + pData[i]);
    return sum;
}

size_t Frame_Build(uint8_t* acFrame, uint8_t command, const uint8_t* pData, uint8_t length) {
    acFrame[0] = FRAME_START;
    acFrame[FRAME_LENGTH_AT] = length;
    acFrame[FRAME_LENGTH_AT + 1] = length;
    acFrame[3] = FRAME_START;
    acFrame[4] = 0x00;
    acFrame[5] = 0x00;
    acFrame[FRAME_COMMAND_AT] = command;
    if (length != 0)
        std::memcpy(acFrame + FRAME_HEADER_SIZE, pData, length);
    acFrame[FRAME_HEADER_SIZE + length] = Frame_Checksum(command, pData, length);
    acFrame[FRAME_HEADER_SIZE + length + 1] = FRAME_END;
    return FRAME_OVERHEAD + length;
}

const char* Command_Name(uint8_t command) {
    switch (command) {
    case CMD_IDENTIFY:
        return "identify";
    case CMD_CLEAR:
        return "clear";
    case CMD_PROGRAM:
        return "program";
    case CMD_MAKE_VALID:
        return "make valid";
    case CMD_CHECK_BLANK:
        return "check blank";
    case CMD_GET_CRC:
        return "get CRC";
    case CMD_START_APPLICATION:
        return "start application";
    default:
        return "unknown command";
    }
}
