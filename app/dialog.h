// The dialog seam: the few services of the main dialog that the worker, the jobs, the operation
// runner and the update flow need. Each program links its front end's implementation: the Qt
// window's (app/qt/dialog_seam.cpp), the Win32 window's (app/win32/dialog_seam.cpp) or the
// terminal's (app/cli/cli_seam.cpp); the tests of link/ and update/ link the headless one of
// tests/fakes/. Toolkit-free on purpose.
#pragma once
#include <cstdint>

// Command ids of the main dialog (the low word of a command message).
constexpr int ID_POLL_DONE = 0;          // worker: after every identify poll
constexpr int ID_CLOSE = 2;              // Escape, the close box, the window menu's Close
constexpr int IDC_PORT = 50;             // port drop-down list
constexpr int IDC_START = 101;           // Start button
constexpr int IDC_PROGRESS = 102;        // progress bar
constexpr int IDC_PERCENT = 103;         // percentage text
constexpr int IDC_STATUS = 104;          // status line
constexpr int IDC_CANCEL = 105;          // Cancel/Ok button
constexpr int ID_CONNECTED = 1024;       // worker: after every answered identify poll
constexpr int ID_CONNECTION_LOST = 1025; // worker: a connected target stopped answering
constexpr int ID_PORT_OPENED = 1026;     // serial-port module: the open of a selected network port ended

// Display operations, main thread.
void DLG_ShowStatus(const char* text);
void DLG_HideStatus();
void DLG_ShowJob(const char* name);
void DLG_HideJob();

// Progress operations, called by the jobs on the worker thread; each returns after the dialog
// shows the change (as a sent window message does).
void DLG_SetProgressRange(int32_t low, int32_t high);
void DLG_SetProgress(int32_t pos);

// Any thread: queued for the dialog, handled on the main thread in the order posted; dropped
// while no dialog exists.
void DLG_PostCommand(int id);

// Main thread: blocks until at least one queued message was handled. Never spins or sleeps.
void DLG_WaitMessage();

// Main thread: modal box owned by the dialog, OK only, no icon.
void DLG_MessageBox(const char* caption, const char* text);

// Control operations the update flow needs (main thread).
void DLG_EnableControl(int id, bool enable);
void DLG_ShowControl(int id, bool show);
void DLG_SetControlText(int id, const char* text);
void DLG_SetFocus(int id);

// Filled by the operation runner, called by the dialog on Cancel/Ok and on close.
extern void (*pfnCancelHook)();
