// The update behind the Start button: clear, program, make valid, CRC compare, start application.
// Main thread only.
#pragma once

// Runs the whole update and shows its outcome in the dialog. Returns at once, doing nothing, when
// called inside a running update (the runner's wait dispatches the dialog's handlers).
void RunUpdate();
// 0 when the target was updated, else the nonzero result of the step that failed. A step whose job
// could not be handed over fails with STATUS_NOT_EXECUTED; a step during which the user cancelled
// fails with STATUS_CANCELLED, even when its job did not watch AbortFlag and ran to its end.
int UpdateTarget();
// 0 when the target's CRC is above 1 and equals the image's, else 1.
int CompareCrc();
// 1 while RunUpdate runs (the dialog must not start a second update inside the first).
int UpdateRunning();
