// The program's entry: the common controls, the start-up sequence, then the end of the process.
#include "app/app.h"
#include "app/win32/main_dialog.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/, int /*nShowCmd*/) {
    // The progress bar's class must exist before the dialog creates one.
    InitCommonControls();
    hAppInstance = hInstance;

    APP_Main();

    // The process ends here without stopping the worker: it may be inside a job that waits up to
    // 30 seconds for the target (the clear), or inside a progress message sent to the dialog that
    // is gone. Ending the process ends the thread and closes the serial port.
    ExitProcess(0);
}
