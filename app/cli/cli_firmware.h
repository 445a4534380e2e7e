// The image tq330-flash writes: the firmware built into the program, or an S-record file.
#pragma once
#include <cstdint>
#include <string>

// Fills the program's image store (pProgramImage) from the file, or from the embedded text when
// path is empty. False with the reader's "Error in line N: ..." (or why the file did not open).
bool CLI_LoadFirmware(const std::string& path, std::string* pError);
// CRC-16 of the loaded image over its whole address span, first to last address it holds, with
// 0xFF for the addresses between its areas: what a device reports for that area once programmed.
uint16_t CLI_ImageSpanCrc(uint32_t* pFirst, uint32_t* pLast);
// The SHA-256 of the firmware's S-record text (what sha256sum prints for the file; the embedded
// text when path is empty), in lower-case hex. False with a one-line reason.
bool CLI_FirmwareSha256(const std::string& path, std::string* pSha256, std::string* pError);
// The --version text.
std::string CLI_VersionText(const std::string& path);
