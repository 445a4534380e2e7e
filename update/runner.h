// The operation runner: hands one job at a time to the worker and waits for it in the dialog's
// message loop, then turns JobStatus into a result and, when interactive, into a message box.
#pragma once
#include <cstdint>

struct ImageStore;
struct TargetInfo;

void RunOperation(uint8_t jobType, const char* caption);
void OnCancelJob();
void ReportJobResult(bool interactive, const char* caption);

uint8_t ClearTarget(bool interactive);
uint8_t ProgramTarget(bool interactive, ImageStore* pImage);
uint8_t MakeValid(bool interactive);
uint8_t CheckBlank(bool interactive);
int32_t GetTargetCrc(bool interactive);
uint8_t StartApplication(bool interactive);

void GetTargetInfo(TargetInfo* pOut);
