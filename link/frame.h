// The exchanges of the boot loader's protocol over the line (frame.cpp): they reach it only through
// COM_Write and COM_Read. The frame's layout, the command codes and the pure frame building are
// link/protocol.h. Results: 0 success, 1 failure.
#pragma once
#include "link/protocol.h"

#include <cstddef>
#include <cstdint>

enum ReceiveMode { RECEIVE_NORMAL, RECEIVE_CONTINUATION };
enum BlockResult { BLOCK_ACKED, BLOCK_REJECTED, BLOCK_NO_ANSWER };

void Link_SendFrame(uint8_t command, const uint8_t* pData, uint8_t length);
int Link_ReceiveFrame(uint8_t* acBuffer, uint32_t timeoutMs, ReceiveMode mode);
int Link_WaitAck(uint8_t& ack);
int Link_SendAcked(uint8_t command, const uint8_t* pData, uint8_t length);
int Link_Request(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer,
                 uint32_t timeoutMs);
BlockResult Link_SendBlock(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer,
                           uint32_t timeoutMs);
