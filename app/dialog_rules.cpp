// The main dialog's rules: what the initialisation does and how the dialog answers each command,
// written once for every front end. The front end creates the controls and moves the messages
// (app/dialog_ui.h); everything the user can see change is decided here.
#include "app/dialog_rules.h"

#include "app/app.h"
#include "app/dialog.h"
#include "link/com.h"
#include "update/flow.h"
#include "update/runner.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

const DialogControl aDialogControls[DLG_CONTROL_COUNT] = {
    {"STATIC", "COM port:", 95, 10, 65, 15, 0, 0, 0},
    {"COMBOBOX", nullptr, 160, 8, 65, 100, IDC_PORT, CTL_CBS_DROPDOWNLIST | CTL_WS_VSCROLL | CTL_WS_TABSTOP,
     CTL_WS_EX_CLIENTEDGE},
    {"STATIC", "", 11, 40, 290, 28, IDC_STATUS, CTL_SS_CENTER, 0},
    {"STATIC", "0%", 11, 60, 290, 14, IDC_PERCENT, CTL_SS_CENTER, 0},
    {"msctls_progress32", nullptr, 11, 80, 290, 20, IDC_PROGRESS, CTL_PBS_SMOOTH, 0},
    {"BUTTON", "Start", 100, 112, 120, 23, IDC_START, CTL_BS_DEFPUSHBUTTON | CTL_WS_TABSTOP, 0},
    {"BUTTON", "Cancel", 100, 112, 120, 23, IDC_CANCEL, CTL_BS_DEFPUSHBUTTON | CTL_WS_TABSTOP, 0},
};

namespace {

// The reference frame: the outer size minus the client area it leaves there.
constexpr int REFERENCE_FRAME_WIDTH = DLG_WIDTH - DLG_CLIENT_WIDTH;
constexpr int REFERENCE_FRAME_HEIGHT = DLG_HEIGHT - DLG_CLIENT_HEIGHT;

char acTitle[64];
int bConnected = 0;
int bStartRequested = 0;
int SelectedPort = 0;
int bPortOpening = 0; // the selected network port is still being connected
PortSettings ComProps{};

// On the thread that opened the port: the dialog hears of it in its own queue, where the error box
// belongs.
void PostPortOpened() {
    DLG_PostCommand(ID_PORT_OPENED);
}

void OpenPort(int portIndex) {
    ComProps = COM_BootLoaderLine(portIndex);
    // Nothing when this port is in force already. A network port connects away from this thread (the
    // window must keep answering), and its outcome comes back as ID_PORT_OPENED.
    bPortOpening = COM_SelectPort(ComProps, PostPortOpened);
}

int ButtonReadsOk() {
    char acText[3] = {};
    DLG_UiGetControlText(IDC_CANCEL, acText, sizeof acText);
    return acText[0] == 'O';
}

void CloseDialog() {
    // The update inside which this handler may run returns first, and only then the dialog's loop.
    // It must not wait for a job that runs on (a clear takes up to 30 s): the process ends after.
    if (UpdateRunning())
        AbandonOperations();
    DLG_UiEndDialog();
}

} // namespace

void DLG_SetTitle(const char* title) {
    std::snprintf(acTitle, sizeof acTitle, "%s", title ? title : "");
}

void DLG_Init() {
    // One dialog per process in the programs; starting each from the documented state also lets the
    // tests run several in a row.
    bConnected = 0;
    bStartRequested = 0;
    SelectedPort = 0;
    bPortOpening = 0;

    DLG_UiCenter(DLG_WIDTH, DLG_HEIGHT);
    DLG_UiSetCaption(acTitle);
    for (const DialogControl& control : aDialogControls)
        DLG_UiCreateControl(control);
    DLG_ShowControl(IDC_CANCEL, false);
    DLG_HideJob();

    int count = std::clamp<int>(PortCount, 0, COM_PORT_COUNT);
    for (int i = 0; i < count; i++) {
        char acBuffer[50] = {};
        std::snprintf(acBuffer, sizeof acBuffer, "COM%d", aPortList[i] + 1);
        DLG_UiAddPortItem(acBuffer, aPortList[i]);
    }
    // Detection held the ports open so that none vanished before the list was filled.
    COM_ReleaseDetectedPorts();
    DLG_UiSelectPortItem(0);
    if (count > 0) {
        SelectedPort = aPortList[0];
        OpenPort(SelectedPort); // a failure shows the serial module's box; the dialog goes on
    }
    DLG_ShowStatus("Please cycle power of TQ330");

    if (count == 1) {
        DLG_EnableControl(IDC_PORT, false);
        DLG_SetFocus(IDC_START);
    } else {
        DLG_SetFocus(IDC_PORT);
    }
}

int DLG_Proc(int id, int code) {
    if (code == CTL_CBN_SELCHANGE && id == IDC_PORT) {
        int32_t port = DLG_UiSelectedPortIndex();
        if (port >= 0) {
            SelectedPort = port;
            OpenPort(SelectedPort);
        }
    }
    switch (id) {
    case ID_CONNECTED:
        if (bConnected)
            return 0;
        bConnected = 1;
        // A loss and a new connection between two steps of a running update: the update owns the
        // status line and the focus, and a second update must not start inside the first.
        if (UpdateRunning())
            return 0;
        DLG_SetFocus(IDC_START);
        DLG_ShowStatus("Connection to target established");
        if (bStartRequested)
            RunUpdate();
        return 0;
    case ID_CONNECTION_LOST:
        if (bConnected) {
            bConnected = 0;
            // The result line is the only report of an update: a device whose new application no
            // longer answers the boot loader's poll must not wipe it. Before and during an update
            // the loss hides the status line as always.
            if (!DLG_UpdateEnded())
                DLG_HideStatus();
        }
        return 0;
    case ID_PORT_OPENED:
        // The error box of a port that did not open, as a local port's selection shows it; nothing
        // for an open that a later selection superseded.
        if (COM_ReportSelection())
            bPortOpening = 0;
        return 0;
    case IDC_START:
        bStartRequested = 1; // never cleared: the next device to connect is updated by itself
        if (bConnected) {
            if (!UpdateRunning())
                RunUpdate();
        } else {
            DLG_UiBeep();
            DLG_ShowStatus("No connection to TQ330.\nPlease cycle power of TQ330");
        }
        return 0;
    case IDC_CANCEL:
        if (pfnCancelHook)
            pfnCancelHook();
        if (ButtonReadsOk()) {
            CloseDialog();
            return 1;
        }
        return 0;
    case ID_CLOSE:
        if (pfnCancelHook)
            pfnCancelHook();
        CloseDialog();
        return 1;
    default: // ID_POLL_DONE and anything else
        return 0;
    }
}

void DLG_ShowStatus(const char* text) {
    DLG_SetControlText(IDC_STATUS, text);
    DLG_ShowControl(IDC_STATUS, true);
}

void DLG_HideStatus() {
    DLG_ShowControl(IDC_STATUS, false);
}

void DLG_ShowJob(const char* name) {
    DLG_SetControlText(IDC_STATUS, name);
    DLG_ShowControl(IDC_STATUS, true);
    DLG_ShowControl(IDC_PROGRESS, true);
    DLG_ShowControl(IDC_PERCENT, true);
}

void DLG_HideJob() {
    DLG_ShowControl(IDC_STATUS, false);
    DLG_ShowControl(IDC_PROGRESS, false);
    DLG_ShowControl(IDC_PERCENT, false);
}

void DLG_CenterPosition(int left, int top, int right, int bottom, int width, int height, int* pX, int* pY) {
    // On the desktop's own rectangle: a primary screen that does not start at 0, 0 (a second monitor
    // on its left) must not put the window across two monitors.
    *pX = left + (right - left - width) / 2;
    *pY = top + (bottom - top - height) / 3;
}

void DLG_OuterSize(int frameWidth, int frameHeight, int* pWidth, int* pHeight) {
    *pWidth = DLG_WIDTH + std::max(0, frameWidth - REFERENCE_FRAME_WIDTH);
    *pHeight = DLG_HEIGHT + std::max(0, frameHeight - REFERENCE_FRAME_HEIGHT);
}

int32_t DLG_Percentage(int32_t pos, int32_t low, int32_t high) {
    if (high == low)
        return 0;
    // 32-bit signed arithmetic wraps as on the reference platform, without the undefined behaviour
    // of a signed overflow in C++.
    int32_t span = static_cast<int32_t>(static_cast<uint32_t>(high) - static_cast<uint32_t>(low));
    int32_t scaled = static_cast<int32_t>(static_cast<uint32_t>(pos) * 100u);
    if (scaled == INT32_MIN && span == -1)
        return INT32_MIN;
    return scaled / span;
}

void DLG_FormatPercentage(int32_t pos, int32_t low, int32_t high, char* acText, size_t size) {
    std::snprintf(acText, size, "%d%%", DLG_Percentage(pos, low, high));
}

int DLG_IsConnected() {
    return bConnected;
}

int DLG_IsStartRequested() {
    return bStartRequested;
}

int DLG_PortOpening() {
    return bPortOpening;
}

int DLG_UpdateEnded() {
    return !UpdateRunning() && ButtonReadsOk();
}
