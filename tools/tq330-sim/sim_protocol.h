// The boot loader's side of the protocol: finds frames in what arrives, answers the commands
// 0, 1, 2, 3, 4, 5 and 7 with the Ack byte, answer frames and timings the updater expects, and
// injects the faults chosen on the command line.
#pragma once
#include "sim_line.h"
#include "sim_options.h"

#include <cstdint>
#include <cstdio>

// What the simulated boot loader tells about itself in its identify answer.
constexpr uint8_t SIM_ID_BYTE = 0x33; // the defaults of --id-byte and --id-word
constexpr uint32_t SIM_ID_WORD = 0x00030B01;
constexpr const char* SIM_ID_TEXT1 = "TQ330";
constexpr const char* SIM_ID_TEXT2 = "Boot loader (simulated)";

// A partial frame whose next byte does not arrive within this time is given up, so a truncated
// frame never blocks the frames behind it.
constexpr uint32_t SIM_INTER_BYTE_TIMEOUT_MS = 100;

void Protocol_Init(const SimOptions* pOptions, FILE* pLog, SimTime now);
// Does everything that is due by now: the answer deferred by a clear, the frames read so far.
void Protocol_Step(SimTime now);
// The next moment at which Protocol_Step has work without new input; false when there is none.
bool Protocol_NextEvent(SimTime* pAt);
