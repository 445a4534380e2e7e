// The device commands run as jobs on the worker thread. Each reports only through JobStatus and the
// result fields of jobState and ends with JobType = 0, after its results, on every path.
#pragma once
#include <cstdint>

// Most image bytes in one programming Frame (behind the 4-byte address).
constexpr uint32_t BLOCK_MAX = 240;

void Job_Clear();
void Job_Program();
void Job_MakeValid();
void Job_CheckBlank();
void Job_GetCrc();
void Job_StartApplication();
