// The CRC-16 of the program's image over the target's CRC area, 0xFF for every address the image
// does not hold.
#pragma once
#include <cstdint>

uint16_t CalcImageCrc();
