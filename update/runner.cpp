#include "update/runner.h"

#include "app/dialog.h"
#include "link/job_state.h"
#include "link/worker.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t MESSAGE_SIZE = 500;

int bCancelRequested = 0; // main thread only, like the hook that sets it
int bAbandoned = 0;
JobStep lastStep;

// Runs one job to its end. Returns the job's final status, or STATUS_NOT_EXECUTED when it was not
// handed over: JobStatus then still holds an earlier job's outcome and must not be read.
uint8_t RunJob(uint8_t jobType, const char* caption) {
    if (bAbandoned || !RunOperation(jobType, caption))
        return STATUS_NOT_EXECUTED;
    // A cancel ends RunOperation's wait while the job may still run: wait for its real outcome.
    WaitForWorker();
    if (jobState.JobType.load(std::memory_order_acquire) != JOB_IDENTIFY)
        return STATUS_CANCELLED; // abandoned while the job runs on
    return jobState.JobStatus;
}

// The operations' shared pattern for jobs whose JobStatus 1 names a value and an address.
uint8_t RunReportedJob(bool interactive, uint8_t jobType, const char* caption, const char* okText,
                       const char* failFormat, bool lowByteOnly) {
    char acCaption[64];
    std::snprintf(acCaption, sizeof acCaption, "%s", caption);
    uint8_t status = RunJob(jobType, acCaption);
    char acMessage[MESSAGE_SIZE] = {};
    if (status == STATUS_OK && okText != nullptr && interactive) {
        DLG_MessageBox(acCaption, okText);
    } else if (status == STATUS_TARGET_ERROR && failFormat != nullptr && interactive) {
        uint32_t value = lowByteOnly ? (jobState.ResultValue & 0xFF) : jobState.ResultValue;
        std::snprintf(acMessage, sizeof acMessage, failFormat, static_cast<unsigned>(value),
                      static_cast<unsigned>(jobState.ResultAddress));
        DLG_MessageBox(acCaption, acMessage);
    }
    ReportJobResult(interactive, acCaption, status);
    return status;
}

} // namespace

int RunOperation(uint8_t jobType, const char* caption) {
    if (TargetInfo_Connected() != 1)
        return 0;
    DLG_ShowJob(caption);
    SetCancelHook(OnCancelJob);
    jobState.JobType.store(jobType, std::memory_order_release); // the hand-over
    // Tested before the first wait, so an AbortFlag that is still set returns without waiting. The
    // abandon ends it too: the worker clears AbortFlag after every poll, so a close that comes just
    // before the job is picked up leaves only the abandon behind.
    while (!bAbandoned && jobState.JobType.load(std::memory_order_acquire) != JOB_IDENTIFY &&
           jobState.AbortFlag.load() == 0)
        DLG_WaitMessage();
    JobStep step;
    step.Number = lastStep.Number + 1;
    step.Job = jobType;
    std::snprintf(step.Name, sizeof step.Name, "%s", caption);
    if (jobState.JobType.load(std::memory_order_acquire) == JOB_IDENTIFY) {
        step.Status = jobState.JobStatus;
        step.Value = jobState.ResultValue;
        step.Address = jobState.ResultAddress;
    } else {
        step.Status = STATUS_CANCELLED;
    }
    lastStep = step;
    DLG_HideJob();
    return 1;
}

void OnCancelJob() {
    jobState.AbortFlag.store(1);
    bCancelRequested = 1;
}

void WaitForWorker() {
    // The worker posts ID_POLL_DONE after the poll that follows every job, which wakes this wait.
    while (!bAbandoned && jobState.JobType.load(std::memory_order_acquire) != JOB_IDENTIFY)
        DLG_WaitMessage();
}

void ReportJobResult(bool interactive, const char* caption, uint8_t status) {
    if (!interactive)
        return;
    if (status == STATUS_NOT_EXECUTED)
        DLG_MessageBox(caption, "Could not execute command");
    else if (status == STATUS_CANCELLED)
        DLG_MessageBox(caption, "Job has been cancelled\r\n");
}

uint8_t ClearTarget(bool interactive) {
    return RunReportedJob(interactive, JOB_CLEAR, "Clear target", "Target is blank",
                          "Target not blank, %X at address %X", true);
}

uint8_t ProgramTarget(bool interactive, ImageStore* pImage) {
    if (pImage == nullptr) { // nothing to send: the job would have to read a missing store
        ReportJobResult(interactive, "Programming target", STATUS_NOT_EXECUTED);
        return STATUS_NOT_EXECUTED;
    }
    jobState.ProgramImage = pImage; // an input of the job: written before JobType
    return RunReportedJob(interactive, JOB_PROGRAM, "Programming target", "Target programmed",
                          "Error occured: %X on address %X", false);
}

uint8_t MakeValid(bool interactive) {
    return RunReportedJob(interactive, JOB_MAKE_VALID, "Make valid", "Target has been made valid", nullptr,
                          false);
}

uint8_t CheckBlank(bool interactive) {
    return RunReportedJob(interactive, JOB_CHECK_BLANK, "Check blank", "Target is blank",
                          "Target not blank, %X at address %X", true);
}

int32_t GetTargetCrc(bool interactive) {
    const char acCaption[] = "Get CRC";
    uint8_t status = RunJob(JOB_GET_CRC, acCaption);
    // Only a job that ran tells anything about the target's CRC now.
    uint32_t crc = (status == STATUS_CANCELLED || status == STATUS_NOT_EXECUTED) ? TARGET_CRC_UNKNOWN
                                                                                 : TargetInfo_TargetCrc();
    if (status == STATUS_OK) {
        char acMessage[MESSAGE_SIZE] = {};
        std::snprintf(acMessage, sizeof acMessage, "Target CRC is %X\r\n", static_cast<unsigned>(crc));
        if (interactive)
            DLG_MessageBox(acCaption, acMessage);
    }
    ReportJobResult(interactive, acCaption, status);
    return static_cast<int32_t>(crc);
}

uint8_t StartApplication(bool interactive) {
    return RunReportedJob(interactive, JOB_START_APPLICATION, "Start application",
                          "Application has been started", nullptr, false);
}

void GetTargetInfo(TargetInfo* pOut) {
    TargetInfo_Copy(pOut);
    if (pOut->Connected != 1)
        std::memset(static_cast<void*>(pOut), 0, sizeof *pOut);
}

const JobStep& LastJobStep() {
    return lastStep;
}

int CancelRequested() {
    return bCancelRequested;
}

void ResetCancelRequest() {
    bCancelRequested = 0;
}

void AbandonOperations() {
    bAbandoned = 1;
}
