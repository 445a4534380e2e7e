// The main dialog in Win32: the window from the empty template, its seven controls and the dialog
// procedure that hands their commands to the rules (app/dialog_rules.cpp). For the Win32 front end
// itself; the other layers see only app/dialog.h.
#pragma once
#include "app/win32/win32.h"

#include <atomic>
#include <cstdint>

// The empty dialog template of the resource file.
constexpr int IDD_MAIN = 15;
// The program icon (16 and 32 pixels).
constexpr int IDI_PROGRAM = 420;

// The module handle the entry received: the template and every control are created with it.
extern HINSTANCE hAppInstance;

// The dialog, set as the first step of its initialisation. The worker reads it to decide whether a
// notification or a progress call has a receiver; it is cleared when the window is destroyed, so
// that the worker never sends to a window that is gone.
extern std::atomic<HWND> hMainDlg;

INT_PTR CALLBACK DLG_Proc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

HWND DLG_CreateControl(HWND hParent, const char* className, const char* text, int x, int y, int width,
                       int height, int id, DWORD style, DWORD exStyle);
void DLG_CenterOnDesktop(HWND hWindow, int width, int height);

// The control with the given id in the current dialog, or none.
HWND DLG_Control(int id);
