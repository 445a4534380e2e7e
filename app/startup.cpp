// Start-up and the error box, written once for every front end: the program's one sequence from
// the embedded image to the dialog.
#include "app/app.h"
#include "app/dialog_ui.h"
#include "link/com.h"
#include "link/worker.h"

#include <algorithm>
#include <cstdio>

int32_t aPortList[9] = {};
int32_t PortCount = 0;
const char* const APP_NO_PORT_TEXT = "No COM port detected. Application can not be executed!";

namespace {

int ErrorBoxNesting = 0;

} // namespace

void APP_ErrorBox(const char* text) {
    int before = ErrorBoxNesting++;
    // A report raised while a box is open (by a handler running inside the box's own loop) is
    // dropped, not queued.
    if (before == 0)
        APP_UiErrorBox(text);
    ErrorBoxNesting--;
}

int32_t APP_DetectPorts() {
    PortCount = std::clamp<int32_t>(COM_DetectPorts(aPortList), 0, COM_PORT_COUNT);
    if (PortCount == 0)
        COM_ReleaseDetectedPorts();
    return PortCount;
}

void APP_Main() {
    if (APP_LoadImage() != 0) {
        // Every reader failure gives the same box; the reader's message stays in APP_LoadError().
        APP_UiStartupBox("Data file not found!", false);
        return;
    }
    Worker_Start();
    if (APP_DetectPorts() == 0) {
        // A port that exists but refused this user (Linux: not in the dialout group) is named in
        // one more line, so the user learns what to do rather than that nothing is there.
        char acText[300];
        std::snprintf(acText, sizeof acText, "%s%s%s", APP_NO_PORT_TEXT,
                      COM_PermissionDeniedText()[0] ? "\n" : "", COM_PermissionDeniedText());
        APP_UiStartupBox(acText, true);
        return;
    }
    DLG_Run(APP_GetTitle());
}
