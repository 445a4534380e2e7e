#include "app/cli/cli_signals.h"

#include "app/cli/cli_front.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<int> Presses{0};

// Runs on a thread of its own that the console starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (++Presses == 1) {
        CLI_PostInterrupt();
        return TRUE;
    }
    std::fputs("Interrupted again: ending now\n", stderr);
    std::_Exit(130);
}

} // namespace

void CLI_CatchInterrupts() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void CLI_RestoreSignalsForChild() {}
