#include "update/flow.h"

#include "app/app.h"
#include "app/dialog.h"
#include "link/job_state.h"
#include "update/image_crc.h"
#include "update/runner.h"

namespace {

int bUpdateRunning = 0;

// A step succeeded only if its job did and the user did not ask to stop meanwhile: the worker
// clears AbortFlag after every job, so only the runner's note tells of a cancel during a job that
// ran on regardless.
int StepResult(int result) {
    if (result == 0 && CancelRequested())
        return STATUS_CANCELLED;
    return result;
}

} // namespace

int CompareCrc() {
    // The image CRC first: the dialog handles no messages while it runs, and a click meanwhile is
    // dispatched by the Get CRC step.
    TargetInfo info;
    GetTargetInfo(&info);
    int32_t imageCrc = CalcImageCrc();
    int32_t targetCrc = GetTargetCrc(false);
    // 0 and 1 are refused even when they match: a target that reports them did not compute a CRC.
    // An empty area is refused too: both sides give the CRC of no bytes, whatever the flash holds.
    if (info.CrcLength != 0 && targetCrc > 1 && imageCrc >= 0 && imageCrc == targetCrc)
        return 0;
    return 1;
}

int UpdateTarget() {
    ResetCancelRequest();
    int result = StepResult(ClearTarget(false));
    if (result == 0)
        result = StepResult(ProgramTarget(false, pProgramImage));
    if (result == 0)
        result = StepResult(MakeValid(false));
    if (result == 0) {
        result = CompareCrc();
        if (CancelRequested())
            result = STATUS_CANCELLED;
    }
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
    int result = UpdateTarget();
    DLG_SetControlText(IDC_CANCEL, "Ok");
    DLG_ShowStatus(result == 0 ? "Target updated successfully" : "Target not updated successfully");
    bUpdateRunning = 0;
}

int UpdateRunning() {
    return bUpdateRunning;
}
