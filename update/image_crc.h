// The CRC-16 of an image over an area, 0xFF for every address the image does not hold: what a
// device reports for that area once the image is programmed.
#pragma once
#include <cstdint>

struct ImageStore;

// 0 .. 0xFFFF: the CRC of the `length` bytes of the store from `start`, 0xFF for every address it
// lacks (0xFFFF for length 0). -1 for an area that runs past address 0xFFFFFFFF or a failed store
// read (its lock timed out). Main thread only. For the target's CRC area and for the command line's
// CRC of the image's whole span alike, so that the two cannot differ in how they fill or read.
int32_t ImageAreaCrc(ImageStore* pImage, uint32_t start, uint64_t length);

// 0 .. 0xFFFF: the CRC of the area (0xFFFF for an empty area: CrcLength 0 with CrcStart not 0).
// -1 when there is nothing sound to compare: no image, no target (the all-zero record would mean
// an area of 4 GiB that wraps), an area that runs past address 0xFFFFFFFF, or a failed store read.
// The update flow counts -1 as a mismatch.
int32_t CalcImageCrc();
