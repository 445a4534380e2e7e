#include "matrix_front.h"

#include "app/dialog.h"
#include "fakes/fake_dialog.h"
#include "update/flow.h"

namespace {

int bConnected = 0;
int bStartRequested = 0;
int updatesStarted = 0;
int updatesDone = 0;
std::vector<std::string> results;

std::string LastStatus() {
    std::vector<fake_dialog::Event> shown = fake_dialog::EventsOf("ShowStatus");
    return shown.empty() ? std::string() : shown.back().text;
}

void RunAndRecord() {
    ++updatesStarted;
    RunUpdate();
    ++updatesDone;
    results.push_back(LastStatus());
}

} // namespace

void Front_Reset() {
    bConnected = 0;
    bStartRequested = 0;
    updatesStarted = 0;
    updatesDone = 0;
    results.clear();
}

// As the main dialog: a new connection while Start is armed starts the update, but never a second
// one inside a running update; a loss hides the status line; Cancel calls the runner's hook.
void Front_Handle(int id) {
    switch (id) {
    case ID_CONNECTED:
        if (bConnected)
            return;
        bConnected = 1;
        if (UpdateRunning())
            return;
        DLG_SetFocus(IDC_START);
        DLG_ShowStatus("Connection to target established");
        if (bStartRequested)
            RunAndRecord();
        return;
    case ID_CONNECTION_LOST:
        if (bConnected) {
            bConnected = 0;
            DLG_HideStatus();
        }
        return;
    case IDC_START:
        bStartRequested = 1;
        if (!bConnected)
            DLG_ShowStatus("No connection to TQ330.\nPlease cycle power of TQ330");
        else if (!UpdateRunning())
            RunAndRecord();
        return;
    case IDC_CANCEL:
        if (pfnCancelHook)
            pfnCancelHook();
        return;
    default:
        return;
    }
}

int Front_UpdatesStarted() {
    return updatesStarted;
}

int Front_UpdatesDone() {
    return updatesDone;
}

const std::vector<std::string>& Front_Results() {
    return results;
}
