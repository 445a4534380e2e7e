// The boxes of start-up and of the serial-port module, in Win32.
#include "app/app.h"
#include "app/dialog_ui.h"
#include "app/win32/win32.h"

void APP_UiStartupBox(const char* text, bool warning) {
    if (warning)
        MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONWARNING);
    else
        MessageBoxA(GetDesktopWindow(), text, "Error", MB_OK);
}

void APP_UiErrorBox(const char* text) {
    // Task-modal: every top-level window of the thread, the dialog too, waits for it.
    MessageBoxA(nullptr, text, "Error", MB_OK | MB_TASKMODAL);
}
