// What a front end supplies to the shell's rules (app/dialog_rules.cpp, app/startup.cpp): the one
// window and its seven controls, the boxes and the beep. The Qt window (app/qt/), the Win32 window
// (app/win32/) and the terminal (app/cli/) each implement these and the control operations of
// app/dialog.h; the rules themselves are written once and never see a toolkit. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

// One control as the dialog's initialisation creates it; the style bits are the reference
// platform's (CTL_* in app/dialog_rules.h).
struct DialogControl {
    const char* ClassName; // "STATIC", "COMBOBOX", "msctls_progress32", "BUTTON"
    const char* Text;      // nullptr: none
    int X, Y, Width, Height;
    int Id;
    uint32_t Style; // added to WS_CHILD, WS_VISIBLE and WS_CLIPCHILDREN
    uint32_t ExStyle;
};

// Applied to the dialog being initialised, the one DLG_Run shows.
void DLG_UiCenter(int width, int height); // outer size, placed by DLG_CenterPosition
void DLG_UiSetCaption(const char* text);
void DLG_UiCreateControl(const DialogControl& control);
void DLG_UiAddPortItem(const char* text, int32_t portIndex); // appended; the index is its item data
void DLG_UiSelectPortItem(int item);
int32_t DLG_UiSelectedPortIndex(); // the selected item's data; -1 when nothing is selected
// The control's text, cut to size - 1 characters, always terminated.
void DLG_UiGetControlText(int id, char* acText, size_t size);
void DLG_UiBeep();      // the error kind (MB_ICONHAND)
void DLG_UiEndDialog(); // marks it ended; DLG_Run returns once control is back in the dialog's own loop

// Shows the modal dialog with the title, runs DLG_Init inside it (after setting hMainDlg) and
// returns when it has ended. Always 0.
int DLG_Run(const char* title);

// Start-up's boxes, shown before any dialog exists: "Error" caption, OK only; warning: the warning
// icon and no owner, else no icon and the desktop as owner.
void APP_UiStartupBox(const char* text, bool warning);
// The task-modal "Error" box, OK only, no icon, no owner; returns when it is closed.
void APP_UiErrorBox(const char* text);
