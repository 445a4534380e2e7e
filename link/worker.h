// The worker thread: the only user of the serial line once the dialog has opened it. It runs the job
// that JobType names, and whenever no job is set it polls the target with the identify command and
// posts ID_CONNECTED / ID_CONNECTION_LOST / ID_POLL_DONE to the dialog.
#pragma once

void Worker_Start();
void Worker_Main();
// Orderly stop: sets StopRequest and waits until the thread has ended. Used by tests and at the
// program's end; returns within one poll or one line exchange.
void Worker_Stop();

void Job_Identify();
void ResetTargetCrc();
void SetCancelHook(void (*pfnHook)());
