// Ctrl-C (and SIGTERM): the first press is the Cancel button, queued for the main thread; the
// second ends the process at once with 130.
#pragma once

// Call before any thread starts (the worker inherits the blocked signals on POSIX).
void CLI_CatchInterrupts();
// For a child process about to be started: the signals back to their defaults.
void CLI_RestoreSignalsForChild();
