// The CRC-16 of the program's image over the target's CRC area, 0xFF for every address the image
// does not hold.
#pragma once
#include <cstdint>

// 0 .. 0xFFFF: the CRC of the area (0xFFFF for an empty area: CrcLength 0 with CrcStart not 0).
// -1 when there is nothing sound to compare: no image, no target (the all-zero record would mean
// an area of 4 GiB that wraps), an area that runs past address 0xFFFFFFFF, or a failed store read.
// The update flow counts -1 as a mismatch.
int32_t CalcImageCrc();
