// The update behind the Start button: clear, program, make valid, CRC compare, start application.
// Main thread only.
#pragma once
#include "link/job_state.h"
#include "update/runner.h"

#include <cstdint>

// An update's verdict as a value. The status line shows UpdateStatusText of it, so the window's
// words and a front end's exit code come from the same decision.
struct UpdateResult {
    unsigned Number = 0;  // updates RunUpdate ended since the program started; 0 before the first
    bool Updated = false; // the image is in place and its CRC verified
    int Result = 0;       // what UpdateTarget returned
    // The first step whose job did not succeed, as it ended (Number 0 when every job handed over
    // succeeded: the CRC compare failed, a job could not be handed over, or a cancel came after).
    JobStep FailedStep;
    bool CrcsDiffer = false;                 // the target gave its CRC and it is not the image's
    uint32_t TargetCrc = TARGET_CRC_UNKNOWN; // what its Get CRC job reported when it succeeded
};

// Runs the whole update and shows its outcome in the dialog. Returns at once, doing nothing, when
// called inside a running update (the runner's wait dispatches the dialog's handlers).
void RunUpdate();
// The last update RunUpdate ended, kept until the next one ends. Published after its status text was
// handed to the dialog, so that a front end that hears the text late finds its value ready.
const UpdateResult& UpdateLastResult();
// The status line for a verdict: "Target updated successfully" or "Target not updated successfully".
const char* UpdateStatusText(const UpdateResult& result);
// 0 when the target was updated, else the nonzero result of the step that failed. A step whose job
// could not be handed over fails with STATUS_NOT_EXECUTED; a step during which the user cancelled
// fails with STATUS_CANCELLED, even when its job did not watch AbortFlag and ran to its end.
int UpdateTarget();
// 0 when the target's CRC is above 1 and equals the image's, else 1.
int CompareCrc();
// 1 while RunUpdate runs (the dialog must not start a second update inside the first).
int UpdateRunning();
