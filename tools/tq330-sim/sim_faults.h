// The damage the simulator's fault options do to what it sends: frames made faulty in one chosen
// way, and line noise in front of a reply.
#pragma once
#include "sim_options.h"

#include <cstddef>
#include <cstdint>

// Damages a built frame of `size` bytes in place, as `kind` says.
void Faults_DamageFrame(uint8_t* acFrame, size_t size, CorruptKind kind);
// Fills pData with count bytes of noise from a fixed sequence (the same in every run). The noise
// never holds the frame start 0x68 or the Ack byte 0x90: it is what a noisy line adds, not a
// reply that happens to look right.
void Faults_Noise(uint8_t* pData, size_t count);
