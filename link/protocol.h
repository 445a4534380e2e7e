// The boot loader's protocol as bytes: the frame's layout, the Ack byte, the command codes and their
// names, the line's speed. Pure (no state, no port): the link, the command line's trace and record
// and the device simulator all read it here. A frame:
//   68 L L 68 00 00 cmd data[L] checksum 16
// Frame building and the host's checksum are pure as well (frame_codec.cpp, shared with the
// simulator); the exchanges over the line are link/frame.h.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t FRAME_START = 0x68;
constexpr uint8_t FRAME_END = 0x16;
constexpr uint8_t FRAME_ACK = 0x90;
constexpr size_t FRAME_LENGTH_AT = 1;   // L; its copy follows at 2
constexpr size_t FRAME_COMMAND_AT = 6;  // the command byte
constexpr size_t FRAME_HEADER_SIZE = 7; // 68 L L 68 00 00 cmd: the data starts here
constexpr size_t FRAME_OVERHEAD = 9;    // the header, the checksum and the end byte
constexpr size_t FRAME_BUFFER_SIZE = 500;

// The command codes; the answer frames carry the code of the command they answer (a clear's answer
// that of check blank).
constexpr uint8_t CMD_IDENTIFY = 0;
constexpr uint8_t CMD_CLEAR = 1;
constexpr uint8_t CMD_PROGRAM = 2;
constexpr uint8_t CMD_MAKE_VALID = 3;
constexpr uint8_t CMD_CHECK_BLANK = 4;
constexpr uint8_t CMD_GET_CRC = 5;
constexpr uint8_t CMD_START_APPLICATION = 7;

// The line the boot loader listens on: 57600 baud, 8 data bits, odd parity, one stop bit (8O1).
constexpr uint32_t LINE_BAUD = 57600;

// The commands the boot loader acknowledges with the Ack byte: all but identify, which it answers
// with a frame alone.
constexpr bool Command_IsAcknowledged(uint32_t command) {
    return command >= CMD_CLEAR && command <= CMD_START_APPLICATION && command != 6;
}
// The command's name as the trace shows it ("get CRC"); "unknown command" for any other code.
const char* Command_Name(uint8_t command);

// The command of the bytes the host wrote, which hold one whole frame; -1 for bytes that do not
// begin with a frame's header.
inline int Frame_CommandOf(const uint8_t* pData, size_t count) {
    return count >= FRAME_HEADER_SIZE && pData[0] == FRAME_START ? pData[FRAME_COMMAND_AT] : -1;
}

// Writes the 9 + length bytes of a Frame to acFrame and returns that count.
size_t Frame_Build(uint8_t* acFrame, uint8_t command, const uint8_t* pData, uint8_t length);
// The checksum the host puts on a Frame it sends (command byte plus data, modulo 256).
uint8_t Frame_Checksum(uint8_t command, const uint8_t* pData, uint8_t length);
