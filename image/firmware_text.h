// The firmware the program carries: one NUL-terminated block of S-record text, generated at build
// time from the file named by the CMake cache variable TQ330_FIRMWARE_FILE.
#pragma once
#include <cstddef>

extern const char acFirmwareText[];
extern const size_t FirmwareTextLength; // characters before the NUL
