// Helpers that play the target's side of the line in the link tests: building Frames, reading the
// host's requests back from the fake line, and the identify answer.
#pragma once
#include "fakes/fake_com.h"

#include <cstdint>
#include <string>

namespace device {

using fake_com::Bytes;

// The Frame the target would send: 68 L L 68 00 00 cmd data checksum 16.
Bytes Frame(uint8_t command, const Bytes& data = {});
// The data of an identify answer: IdByte, IdWord, T1, text 1, T2, text 2, CrcStart, CrcLength.
Bytes IdentifyData(const std::string& text1, const std::string& text2, uint32_t crcStart, uint32_t crcLength,
                   uint8_t idByte = 0x11, uint32_t idWord = 0x44332211);
Bytes U32(uint32_t value);
Bytes Concat(const Bytes& a, const Bytes& b);

// The command byte of a Frame the host wrote (0xFF if it is no Frame).
uint8_t CommandOf(const Bytes& written);

// Fresh fake line and dialog, job state and target record back to zero.
void ResetAll();

} // namespace device
