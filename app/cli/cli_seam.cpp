// The dialog seam on a terminal: the controls are plain state on the main thread, posted commands
// go through a queue and a condition variable, the worker's progress calls update a progress model
// under a lock and are shown at once, and the boxes become one-line messages.
#include "app/app.h"
#include "app/cli/cli_front.h"
#include "app/cli/cli_output.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/dialog_ui.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

void (*pfnCancelHook)() = nullptr;

namespace {

constexpr int ID_INTERRUPT = -1; // the front end's own message, never a dialog command

struct Control {
    std::string Text;
    bool Visible = true;
    bool Enabled = true;
};

// Main thread only.
std::map<int, Control> Controls;
std::vector<int32_t> PortItems;
int SelectedItem = -1;
bool bEnded = false;
bool bStepShown = false;
// A status line shown but not yet known to be a job's name (the job's progress follows at once).
bool bStatusPending = false;
// While the selected port opens, the status line is not reported: a port that does not open ends
// the session before the dialog's first status means anything.
bool bStatusHeld = false;

// Any thread.
std::mutex QueueLock;
std::condition_variable QueueReady;
std::deque<int> Queue;
bool bDialogExists = false;

// The worker's progress calls.
std::mutex ProgressLock;
int32_t ProgressLow = 0;
int32_t ProgressHigh = 100;

// A status shown and not followed by a job's progress is a status message of its own.
void FlushStatus() {
    if (!bStatusPending || bStatusHeld)
        return;
    bStatusPending = false;
    CLI_OnStatus(Controls[IDC_STATUS].Text);
}

void Dispatch(int id) {
    FlushStatus();
    if (id == ID_INTERRUPT) {
        CLI_OnInterrupt();
    } else if (!bEnded) {
        CLI_OnNotification(id);
        DLG_Proc(id, 0);
    }
    FlushStatus();
}

} // namespace

void CLI_OpenDialog() {
    std::lock_guard<std::mutex> guard(QueueLock);
    bDialogExists = true;
}

bool CLI_DialogEnded() {
    return bEnded;
}

bool CLI_WaitMessageFor(int timeoutMs) {
    FlushStatus();
    int id;
    {
        std::unique_lock<std::mutex> guard(QueueLock);
        if (!QueueReady.wait_for(guard, std::chrono::milliseconds(timeoutMs), [] { return !Queue.empty(); }))
            return false;
        id = Queue.front();
        Queue.pop_front();
    }
    Dispatch(id);
    return true;
}

void CLI_WaitForPort() {
    bStatusHeld = true;
    while (DLG_PortOpening() && !bEnded)
        CLI_WaitMessageFor(100);
    bStatusHeld = false;
}

void CLI_Click(int id) {
    FlushStatus();
    DLG_Proc(id, 0);
    FlushStatus();
}

void CLI_PostInterrupt() {
    std::lock_guard<std::mutex> guard(QueueLock);
    Queue.push_back(ID_INTERRUPT);
    QueueReady.notify_one();
}

void DLG_PostCommand(int id) {
    std::lock_guard<std::mutex> guard(QueueLock);
    if (!bDialogExists)
        return;
    Queue.push_back(id);
    QueueReady.notify_one();
}

void DLG_WaitMessage() {
    FlushStatus();
    int id;
    {
        std::unique_lock<std::mutex> guard(QueueLock);
        QueueReady.wait(guard, [] { return !Queue.empty(); });
        id = Queue.front();
        Queue.pop_front();
    }
    Dispatch(id);
}

void DLG_SetProgressRange(int32_t low, int32_t high) {
    std::lock_guard<std::mutex> guard(ProgressLock);
    ProgressLow = low;
    ProgressHigh = high;
}

void DLG_SetProgress(int32_t pos) {
    // Shown before the call returns, as the window's sent message is; the output has its own lock.
    std::lock_guard<std::mutex> guard(ProgressLock);
    OUT_StepProgress(ProgressLow, ProgressHigh, pos);
}

void DLG_MessageBox(const char* caption, const char* text) {
    FlushStatus();
    std::string line = std::string(caption ? caption : "") + ": " + (text ? text : "");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    OUT_Line(line);
}

void DLG_EnableControl(int id, bool enable) {
    Controls[id].Enabled = enable;
}

void DLG_ShowControl(int id, bool show) {
    if (id == IDC_PROGRESS) {
        if (show && !bStepShown) {
            bStatusPending = false; // the status line holds the job's name
            bStepShown = true;
            {
                std::lock_guard<std::mutex> guard(ProgressLock);
                ProgressLow = 0;
                ProgressHigh = 100;
            }
            CLI_OnStepBegin(Controls[IDC_STATUS].Text);
        } else if (!show && bStepShown) {
            bStepShown = false;
            CLI_OnStepEnd();
        }
    }
    if (id == IDC_STATUS) {
        if (show)
            bStatusPending = true;
        else
            FlushStatus(); // hidden before anyone saw it: still a status that was shown
    }
    Controls[id].Visible = show;
}

void DLG_SetControlText(int id, const char* text) {
    if (id == IDC_STATUS)
        FlushStatus();
    Controls[id].Text = text ? text : "";
    if (id == IDC_CANCEL && Controls[id].Text == "Cancel")
        CLI_OnUpdateBegun();
}

void DLG_SetFocus(int) {}

// dialog_ui.h

void DLG_UiCenter(int, int) {}

void DLG_UiSetCaption(const char* text) {
    Controls[-2].Text = text ? text : "";
}

void DLG_UiCreateControl(const DialogControl& control) {
    Control c;
    c.Text = control.Text ? control.Text : "";
    Controls[control.Id] = c;
}

void DLG_UiAddPortItem(const char*, int32_t portIndex) {
    PortItems.push_back(portIndex);
}

void DLG_UiSelectPortItem(int item) {
    SelectedItem = item >= 0 && item < static_cast<int>(PortItems.size()) ? item : -1;
}

int32_t DLG_UiSelectedPortIndex() {
    return SelectedItem >= 0 ? PortItems[static_cast<size_t>(SelectedItem)] : -1;
}

void DLG_UiGetControlText(int id, char* acText, size_t size) {
    if (size == 0)
        return;
    std::snprintf(acText, size, "%s", Controls[id].Text.c_str());
}

void DLG_UiBeep() {}

void DLG_UiEndDialog() {
    FlushStatus();
    bEnded = true;
    std::lock_guard<std::mutex> guard(QueueLock);
    bDialogExists = false; // later notifications go nowhere, as after the window's end
}

int DLG_Run(const char* title) {
    DLG_SetTitle(title);
    CLI_OpenDialog();
    DLG_Init();
    while (!bEnded)
        DLG_WaitMessage();
    return 0;
}

void APP_UiStartupBox(const char* text, bool) {
    OUT_Always(std::string("Error: ") + text);
}

void APP_UiErrorBox(const char* text) {
    CLI_OnErrorBox(text);
}
