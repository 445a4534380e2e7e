// The worker thread: the only user of the serial line once the dialog has opened it. It runs the job
// that JobType names, and whenever no job is set it polls the target with the identify command and
// posts ID_CONNECTED / ID_CONNECTION_LOST / ID_POLL_DONE to the dialog.
#pragma once

void Worker_Start();
void Worker_Main();
// Orderly stop: sets StopRequest and waits until the thread has ended: within one poll, or at the
// end of a running job (a clear waits up to 30 s for the target). For tests and benchmarks; the
// program does not stop the worker at its end but ends the process (_Exit), so that closing the
// dialog never waits for a job.
void Worker_Stop();

void Job_Identify();
void ResetTargetCrc();
void SetCancelHook(void (*pfnHook)());
