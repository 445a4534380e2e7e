// Frames of the boot loader's protocol:
//   68 L L 68 00 00 cmd data[L] checksum 16
// The pure half (building and checking byte buffers) is frame_codec.cpp and is shared with the
// device simulator; the exchanges (frame.cpp) reach the line only through COM_Write and COM_Read.
// Results: 0 success, 1 failure.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t FRAME_START = 0x68;
constexpr uint8_t FRAME_END = 0x16;
constexpr uint8_t FRAME_ACK = 0x90;
constexpr size_t FRAME_BUFFER_SIZE = 500;
constexpr size_t FRAME_OVERHEAD = 9;

enum ReceiveMode { RECEIVE_NORMAL, RECEIVE_CONTINUATION };
enum BlockResult { BLOCK_ACKED, BLOCK_REJECTED, BLOCK_NO_ANSWER };

// Pure: writes the 9 + length bytes of a Frame to acFrame and returns that count.
size_t Frame_Build(uint8_t* acFrame, uint8_t command, const uint8_t* pData, uint8_t length);
// Pure: the checksum the host puts on a Frame it sends (command byte plus data, modulo 256).
uint8_t Frame_Checksum(uint8_t command, const uint8_t* pData, uint8_t length);

void Link_SendFrame(uint8_t command, const uint8_t* pData, uint8_t length);
int Link_ReceiveFrame(uint8_t* acBuffer, uint32_t timeoutMs, ReceiveMode mode);
int Link_WaitAck(uint8_t& ack);
int Link_SendAcked(uint8_t command, const uint8_t* pData, uint8_t length);
int Link_Request(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer, uint32_t timeoutMs);
BlockResult Link_SendBlock(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer,
                           uint32_t timeoutMs);
