// The dialog seam in Win32: the worker's progress calls and notifications, the message loop, the
// message box and the control operations that the update flow and the link call.
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/win32/main_dialog.h"

#include <cstring>

void (*pfnCancelHook)() = nullptr;

// The progress calls come from the worker thread and act on the main thread's controls by sent
// messages: each returns once the main thread has handled it (inside the runner's loop or a message
// box's). The main thread never waits for the worker, so a sent message cannot deadlock; when the
// dialog is gone (hMainDlg cleared as its window is destroyed) nothing is sent, and a worker caught
// inside a send while the program ends is ended with the process.
//
// A sent message costs the worker a trip through the main thread's queue (about a millisecond and a
// half under Wine) while the line waits, and the programming job reports after every block. So the
// worker sends only what changes the window: the percentage text when it differs from the one shown,
// and the position when the bar's fill moves by a pixel or more. The range is read from the bar once
// after each change of range. This state is the worker's own: only the jobs call these two.
namespace {

struct ProgressShown {
    bool RangeKnown = false;
    PBRANGE Range{};
    int32_t Pos = 0;         // the last position the bar was given
    char acPercent[16] = {}; // the last percentage text the worker set
};
ProgressShown Shown;

// Whether going from the shown position to pos moves the bar's fill by at least one pixel.
bool BarMoves(HWND hBar, int32_t pos) {
    RECT client{};
    GetClientRect(hBar, &client);
    int64_t span = static_cast<int64_t>(Shown.Range.iHigh) - Shown.Range.iLow;
    int64_t moved = static_cast<int64_t>(pos) - Shown.Pos;
    return span <= 0 || moved < 0 || moved * client.right >= span || pos == Shown.Range.iHigh;
}

} // namespace

void DLG_SetProgressRange(int32_t low, int32_t high) {
    HWND hBar = DLG_Control(IDC_PROGRESS);
    if (!hBar)
        return;
    SendMessageA(hBar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    SendMessageA(hBar, PBM_SETPOS, 0, 0);
    Shown.RangeKnown = false;
    Shown.Pos = 0;
}

void DLG_SetProgress(int32_t pos) {
    HWND hBar = DLG_Control(IDC_PROGRESS);
    HWND hPercent = DLG_Control(IDC_PERCENT);
    if (!hBar || !hPercent)
        return;
    if (!Shown.RangeKnown) {
        SendMessageA(hBar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&Shown.Range));
        Shown.RangeKnown = true;
    }
    char acBuffer[16] = {};
    DLG_FormatPercentage(pos, Shown.Range.iLow, Shown.Range.iHigh, acBuffer, sizeof acBuffer);
    bool textChanges = std::strcmp(acBuffer, Shown.acPercent) != 0;
    if (textChanges) {
        SetWindowTextA(hPercent, acBuffer);
        std::memcpy(Shown.acPercent, acBuffer, sizeof acBuffer);
    }
    if (textChanges || BarMoves(hBar, pos)) {
        SendMessageA(hBar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
        Shown.Pos = pos;
    }
}

void DLG_PostCommand(int id) {
    // Before the initialisation and after the end there is no receiver: the notification is lost.
    if (HWND hDlg = hMainDlg.load())
        PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

void DLG_WaitMessage() {
    MSG msg{};
    // The sent progress messages are handled inside GetMessageA; it returns with a posted one.
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0)
        return;
    // The dialog's own loop gives the keyboard to the dialog (Escape, Tab, Enter); this loop runs
    // while a job runs and does the same, so that Escape closes the dialog in every state.
    HWND hDlg = hMainDlg.load();
    if (hDlg && IsDialogMessageA(hDlg, &msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void DLG_MessageBox(const char* caption, const char* text) {
    MessageBoxA(hMainDlg.load(), text, caption, MB_OK);
}

void DLG_EnableControl(int id, bool enable) {
    if (HWND hControl = DLG_Control(id))
        EnableWindow(hControl, enable ? TRUE : FALSE);
}

void DLG_ShowControl(int id, bool show) {
    if (HWND hControl = DLG_Control(id))
        ShowWindow(hControl, show ? SW_SHOW : SW_HIDE);
}

void DLG_SetControlText(int id, const char* text) {
    if (HWND hControl = DLG_Control(id))
        SetWindowTextA(hControl, text ? text : "");
}

void DLG_SetFocus(int id) {
    if (HWND hControl = DLG_Control(id))
        SetFocus(hControl);
}
