// --record FILE: the production line's record, one JSON line per device attempt. Each line is
// written whole by one write on a file opened for appending and flushed to disk before the next
// device starts, so that lines of several processes never interleave and a crash or a power cut
// of the station loses at most the line of the device it was on. An existing file is only ever
// appended to. The platform's half (cli_record_posix.cpp, cli_record_win32.cpp) holds the file,
// the host name and the clock.
#pragma once
#include "app/cli/cli_output.h"
#include "link/job_state.h"

#include <string>

// What the session knows of one attempt when it ends.
struct RecordAttempt {
    std::string Port, Device;
    bool Identified = false;
    TargetInfo Info{}; // the identify record, when Identified
    uint32_t CrcBefore = TARGET_CRC_UNKNOWN, CrcAfter = TARGET_CRC_UNKNOWN;
    std::string Result;
    int ExitCode = 0;
    std::string FailedStep;
    double Seconds = 0;
};

// Opens the file for appending (created when missing) and takes the loaded firmware's size, CRC-16
// and SHA-256 (of the S-record text: what sha256sum prints for the file). False with a one-line
// reason: the caller stops before any device is touched. path "" turns the record off.
bool REC_Open(const std::string& path, const std::string& firmwarePath, std::string* pError);
bool REC_IsOn();
// Appends the attempt's line and flushes it to disk; counts the frames the link sent again since
// the last line as its retries. False with the reason when the line could not be written whole.
bool REC_Write(const RecordAttempt& attempt, std::string* pError);

// The link's resends are counted from here on with or without a record (the result events carry
// them); REC_Retries says how many since the last record line or REC_ResetRetries.
void REC_CountRetries();
long long REC_Retries();
void REC_ResetRetries();

// The identify record as fields and as a line of text; the texts printable (other bytes \xNN).
void REC_AddIdentify(JsonLine& line, const TargetInfo& info);
std::string REC_IdentifyText(const TargetInfo& info);
std::string REC_Printable(const uint8_t* pText, uint8_t length);

// The SHA-256 of a buffer, in lower-case hex.
std::string REC_Sha256(const uint8_t* pData, size_t length);

// The platform's half.
// Opens for appending only (O_APPEND / FILE_APPEND_DATA), creating it when missing.
bool REC_OpenFile(const std::string& path, std::string* pError);
// One write of the whole line, then a flush to the disk (fsync / FlushFileBuffers).
bool REC_AppendLine(const std::string& line, std::string* pError);
std::string REC_HostName();
// The UTC time now, ISO 8601 with milliseconds: "2025-03-01T09:30:12.345Z".
std::string REC_UtcNow();
