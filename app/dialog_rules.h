// The main dialog's rules, toolkit-free: the initialisation's steps, the command rules, the status
// and job display, the percentage and the window's place. Every front end runs exactly these.
#pragma once
#include "app/dialog_ui.h"

#include <cstdint>

// Style and notification values of the reference platform, named apart from the platform's own
// macros (a Win32 front end checks them against <windows.h>).
constexpr uint32_t CTL_SS_CENTER = 0x0001;
constexpr uint32_t CTL_CBS_DROPDOWNLIST = 0x0003;
constexpr uint32_t CTL_PBS_SMOOTH = 0x0001;
constexpr uint32_t CTL_BS_DEFPUSHBUTTON = 0x0001;
constexpr uint32_t CTL_WS_TABSTOP = 0x00010000;
constexpr uint32_t CTL_WS_VSCROLL = 0x00200000;
constexpr uint32_t CTL_WS_EX_CLIENTEDGE = 0x0200;
constexpr int CTL_CBN_SELCHANGE = 1; // the high word of a command: the port list's selection changed

// Outer size of the dialog, frame and caption included, and the client area it leaves on the
// reference platform: no front end may leave less room for the controls.
constexpr int DLG_WIDTH = 320;
constexpr int DLG_HEIGHT = 170;
constexpr int DLG_CLIENT_WIDTH = 314;
constexpr int DLG_CLIENT_HEIGHT = 141;

constexpr int DLG_CONTROL_COUNT = 7;
// The seven controls in the order of creation.
extern const DialogControl aDialogControls[DLG_CONTROL_COUNT];

// Kept by DLG_Run before it shows the dialog; nullptr keeps the empty text.
void DLG_SetTitle(const char* title);
// The initialisation after hMainDlg was set: place, caption, controls, port list, the first port
// opened, the first status and the focus. Starts from the documented state (not connected, Start
// not requested).
void DLG_Init();
// The command rules: 1 when the command ended the dialog, else 0.
int DLG_Proc(int id, int code);

// Where a window of width x height goes on a desktop rectangle (right and bottom exclusive):
// centred across, one third of the free height above it.
void DLG_CenterPosition(int left, int top, int right, int bottom, int width, int height, int* pX, int* pY);
// The outer size that keeps the reference client area whatever the window manager's frame: the
// reference size, grown by as much as the frame exceeds the reference frame.
void DLG_OuterSize(int frameWidth, int frameHeight, int* pWidth, int* pHeight);

// pos * 100 / (high - low) in 32-bit signed arithmetic, truncated; 0 when high equals low.
int32_t DLG_Percentage(int32_t pos, int32_t low, int32_t high);
// The percentage text, "%d%%", into a buffer of at least 16 characters.
void DLG_FormatPercentage(int32_t pos, int32_t low, int32_t high, char* acText, size_t size);

// For the front ends' tests and the terminal: the rules' state.
int DLG_IsConnected();
int DLG_IsStartRequested();
// 1 while the selected network port is connecting: its outcome (an error box when it did not open)
// is still to come as ID_PORT_OPENED.
int DLG_PortOpening();
// 1 once an update has ended and its button reads "Ok".
int DLG_UpdateEnded();
