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
// half under Wine, where finding a control by its id is a trip to the server as well) while the
// line waits, and the programming job reports after every block. So the worker sends only what
// changes the window: the percentage text when it differs from the one shown, and the position when
// the bar's fill moves by a pixel or more. The controls, the range and the bar's width are looked up
// once per range. This state is the worker's own: only the jobs call these two.
namespace {

struct ProgressShown {
    HWND hDialog = nullptr; // the dialog the rest was read from
    HWND hBar = nullptr;
    HWND hPercent = nullptr;
    bool RangeKnown = false;
    PBRANGE Range{};
    int BarWidth = 0;
    int32_t Pos = 0;         // the last position the bar was given
    char acPercent[16] = {}; // the last percentage text the worker set
};
ProgressShown Shown;

// The bar and the percentage text of the current dialog; false when there is none.
bool FindControls() {
    HWND hDlg = hMainDlg.load();
    if (!hDlg)
        return false;
    if (hDlg != Shown.hDialog) {
        Shown = ProgressShown{};
        Shown.hDialog = hDlg;
        Shown.hBar = GetDlgItem(hDlg, IDC_PROGRESS);
        Shown.hPercent = GetDlgItem(hDlg, IDC_PERCENT);
    }
    return Shown.hBar && Shown.hPercent;
}

// Whether going from the shown position to pos moves the bar's fill by at least one pixel.
bool BarMoves(int32_t pos) {
    int64_t span = static_cast<int64_t>(Shown.Range.iHigh) - Shown.Range.iLow;
    int64_t moved = static_cast<int64_t>(pos) - Shown.Pos;
    return span <= 0 || moved < 0 || moved * Shown.BarWidth >= span || pos == Shown.Range.iHigh;
}

} // namespace

void DLG_SetProgressRange(int32_t low, int32_t high) {
    if (!FindControls())
        return;
    SendMessageA(Shown.hBar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    SendMessageA(Shown.hBar, PBM_SETPOS, 0, 0);
    Shown.RangeKnown = false;
    Shown.Pos = 0;
}

void DLG_SetProgress(int32_t pos) {
    if (!FindControls())
        return;
    if (!Shown.RangeKnown) {
        SendMessageA(Shown.hBar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&Shown.Range));
        RECT client{};
        GetClientRect(Shown.hBar, &client);
        Shown.BarWidth = client.right;
        Shown.RangeKnown = true;
    }
    char acBuffer[16] = {};
    DLG_FormatPercentage(pos, Shown.Range.iLow, Shown.Range.iHigh, acBuffer, sizeof acBuffer);
    bool textChanges = std::strcmp(acBuffer, Shown.acPercent) != 0;
    if (textChanges) {
        SetWindowTextA(Shown.hPercent, acBuffer);
        std::memcpy(Shown.acPercent, acBuffer, sizeof acBuffer);
    }
    if (textChanges || BarMoves(pos)) {
        SendMessageA(Shown.hBar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
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
