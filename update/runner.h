// The operation runner: hands one job at a time to the worker and waits for it in the dialog's
// message loop, then turns JobStatus into a result and, when interactive, into a message box.
// Main thread only.
#pragma once
#include <cstdint>

struct ImageStore;
struct TargetInfo;

// Shows the caption, installs the cancel hook, writes JobType and dispatches messages until the job
// has ended, AbortFlag is set or operations are abandoned. 1 when the job was handed over; 0 when
// no target is connected, in which case nothing is shown and JobType and JobStatus are left as
// they are.
int RunOperation(uint8_t jobType, const char* caption);
// The cancel hook: sets AbortFlag and notes the request (see CancelRequested).
void OnCancelJob();
// Dispatches messages until the worker is back at JobType 0 (after a cancel the job may run on).
// Returns at once when it is already there, or after AbandonOperations.
void WaitForWorker();
// The box for JobStatus 2 and 3 when interactive; nothing otherwise.
void ReportJobResult(bool interactive, const char* caption, uint8_t status);

// Each runs its job and returns its final JobStatus, STATUS_NOT_EXECUTED when the job was not
// handed over (no target; for ProgramTarget also no image) and STATUS_CANCELLED when abandoned.
// After a cancel each waits for its job to end, so the status is its own job's and the worker is
// free for the next one.
uint8_t ClearTarget(bool interactive);
uint8_t ProgramTarget(bool interactive, ImageStore* pImage);
uint8_t MakeValid(bool interactive);
uint8_t CheckBlank(bool interactive);
// TargetCrc as signed: the CRC the target reported, or -1 when the job failed or did not run.
int32_t GetTargetCrc(bool interactive);
uint8_t StartApplication(bool interactive);

// A copy of TargetInfo while a target is connected, all zeros otherwise.
void GetTargetInfo(TargetInfo* pOut);

// How the last job handed over ended, read when its wait ended (the moment the front end hides its
// name): its JobStatus, or STATUS_CANCELLED when a cancel or an abandon ended the wait while the job
// still ran. Written before DLG_HideJob, so a front end can read it there.
struct JobStep {
    unsigned Number = 0; // jobs handed over since the program started; 0 before the first
    uint8_t Job = 0;
    char Name[32] = {}; // the caption shown while the job ran
    uint8_t Status = 0;
    uint32_t Value = 0; // ResultValue and ResultAddress of a target error
    uint32_t Address = 0;
};
const JobStep& LastJobStep();

// Whether the user asked to cancel (through the cancel hook) since the last ResetCancelRequest.
// The worker clears AbortFlag after every job, so a request made during a job that does not watch
// the flag leaves no other trace.
int CancelRequested();
void ResetCancelRequest();

// For the dialog when it ends during an update: stop waiting for a job that runs on and hand no
// further job to the worker, so that the program can end at once. Not undone.
void AbandonOperations();
