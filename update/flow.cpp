#include "update/flow.h"

#include "app/app.h"
#include "app/dialog.h"
#include "link/job_state.h"
#include "update/image_crc.h"

namespace {

int bUpdateRunning = 0;
UpdateResult lastResult;
UpdateResult current; // filled by UpdateTarget, published by RunUpdate

// A step succeeded only if its job did and the user did not ask to stop meanwhile: the worker
// clears AbortFlag after every job, so only the runner's note tells of a cancel during a job that
// ran on regardless.
int StepResult(int result) {
    if (result == 0 && CancelRequested())
        return STATUS_CANCELLED;
    return result;
}

// The compare, and the target's CRC when its Get CRC job succeeded.
int Compare(uint32_t* pTargetCrc) {
    // The image CRC first: the dialog handles no messages while it runs, and a click meanwhile is
    // dispatched by the Get CRC step.
    TargetInfo info;
    GetTargetInfo(&info);
    int32_t imageCrc = CalcImageCrc();
    unsigned stepsBefore = LastJobStep().Number;
    int32_t targetCrc = GetTargetCrc(false);
    const JobStep& step = LastJobStep();
    *pTargetCrc = step.Number != stepsBefore && step.Status == STATUS_OK ? static_cast<uint32_t>(targetCrc)
                                                                         : TARGET_CRC_UNKNOWN;
    // 0 and 1 are refused even when they match: a target that reports them did not compute a CRC.
    // An empty area is refused too: both sides give the CRC of no bytes, whatever the flash holds.
    if (info.CrcLength != 0 && targetCrc > 1 && imageCrc >= 0 && imageCrc == targetCrc)
        return 0;
    return 1;
}

} // namespace

int CompareCrc() {
    uint32_t targetCrc;
    return Compare(&targetCrc);
}

int UpdateTarget() {
    current = UpdateResult();
    ResetCancelRequest();
    const unsigned stepsBefore = LastJobStep().Number;
    int result = StepResult(ClearTarget(false));
    if (result == 0)
        result = StepResult(ProgramTarget(false, pProgramImage));
    if (result == 0)
        result = StepResult(MakeValid(false));
    if (result == 0) {
        result = Compare(&current.TargetCrc);
        current.CrcsDiffer = result != 0 && current.TargetCrc != TARGET_CRC_UNKNOWN;
        if (CancelRequested())
            result = STATUS_CANCELLED;
    }
    // The flow stops at the first step that fails; its job failed too unless it was never handed
    // over or the cancel came after it.
    const JobStep& last = LastJobStep();
    if (result != 0 && last.Number != stepsBefore && last.Status != STATUS_OK)
        current.FailedStep = last;
    current.Result = result;
    current.Updated = result == 0;
    // The image is in place and verified: neither the start job's outcome nor a cancel during it
    // changes that.
    if (result == 0)
        StartApplication(false);
    return result;
}

void RunUpdate() {
    if (bUpdateRunning)
        return; // reached again from inside the runner's wait, by a reconnect between two steps
    bUpdateRunning = 1;
    DLG_EnableControl(IDC_PORT, false);
    DLG_ShowControl(IDC_START, false);
    DLG_ShowControl(IDC_CANCEL, true);
    DLG_SetFocus(IDC_CANCEL);
    DLG_SetControlText(IDC_CANCEL, "Cancel");
    UpdateTarget();
    DLG_SetControlText(IDC_CANCEL, "Ok");
    // Shown first: a front end that hears status lines late hears every earlier one before this
    // value is published.
    DLG_ShowStatus(UpdateStatusText(current));
    current.Number = lastResult.Number + 1;
    lastResult = current;
    bUpdateRunning = 0;
}

const UpdateResult& UpdateLastResult() {
    return lastResult;
}

const char* UpdateStatusText(const UpdateResult& result) {
    return result.Updated ? "Target updated successfully" : "Target not updated successfully";
}

int UpdateRunning() {
    return bUpdateRunning;
}
