// The main dialog in Win32: the modal dialog from the empty template, its controls, and the
// front-end operations the dialog's rules (app/dialog_rules.cpp) call. The display operations the
// other layers call are in dialog_seam.cpp.
#include "app/win32/main_dialog.h"

#include "app/dialog.h"
#include "app/dialog_rules.h"

#include <cstdio>

// The rules name the reference platform's values without its headers; they must be the same.
static_assert(CTL_SS_CENTER == SS_CENTER);
static_assert(CTL_CBS_DROPDOWNLIST == CBS_DROPDOWNLIST);
static_assert(CTL_PBS_SMOOTH == PBS_SMOOTH);
static_assert(CTL_BS_DEFPUSHBUTTON == BS_DEFPUSHBUTTON);
static_assert(CTL_WS_TABSTOP == WS_TABSTOP);
static_assert(CTL_WS_VSCROLL == WS_VSCROLL);
static_assert(CTL_WS_EX_CLIENTEDGE == WS_EX_CLIENTEDGE);
static_assert(CTL_CBN_SELCHANGE == CBN_SELCHANGE);
static_assert(ID_CLOSE == IDCANCEL);

HINSTANCE hAppInstance = nullptr;
std::atomic<HWND> hMainDlg{nullptr};

namespace {

HWND Dialog() {
    return hMainDlg.load();
}

// LR_SHARED: the system keeps the icon for the life of the process, as LoadIcon's are kept.
void SetIcon(HWND hDlg, WPARAM which, int widthMetric, int heightMetric) {
    HANDLE hIcon = LoadImageA(hAppInstance, MAKEINTRESOURCEA(IDI_PROGRAM), IMAGE_ICON,
                              GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), LR_SHARED);
    if (hIcon)
        SendMessageA(hDlg, WM_SETICON, which, reinterpret_cast<LPARAM>(hIcon));
}

} // namespace

INT_PTR CALLBACK DLG_Proc(HWND hDlg, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        hMainDlg.store(hDlg);
        // The caption and the task bar show the program's icon rather than the generic one, each
        // from the image drawn for its size (the 32 x 32 one shrunk to 16 x 16 loses its lines).
        SetIcon(hDlg, ICON_BIG, SM_CXICON, SM_CYICON);
        SetIcon(hDlg, ICON_SMALL, SM_CXSMICON, SM_CYSMICON);
        DLG_Init();
        return FALSE; // the initialisation has set the focus itself
    case WM_COMMAND:
        // The close box, the window menu's Close and Escape all arrive as IDCANCEL (2): the default
        // dialog handling turns WM_CLOSE into that command.
        return DLG_Proc(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_DESTROY:
        // From here on the worker's notifications and progress calls have no receiver.
        hMainDlg.store(nullptr);
        return FALSE;
    default:
        return FALSE;
    }
}

HWND DLG_CreateControl(HWND hParent, const char* className, const char* text, int x, int y, int width,
                       int height, int id, DWORD style, DWORD exStyle) {
    HWND hControl = CreateWindowExA(exStyle, className, text, style | WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN,
                                    x, y, width, height, hParent, nullptr, hAppInstance, nullptr);
    if (!hControl)
        return nullptr;
    SendMessageA(hControl, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_VAR_FONT)), TRUE);
    SetWindowLongA(hControl, GWL_ID, id);
    return hControl;
}

void DLG_CenterOnDesktop(HWND hWindow, int width, int height) {
    RECT desktop{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    int x = 0;
    int y = 0;
    DLG_CenterPosition(desktop.left, desktop.top, desktop.right, desktop.bottom, width, height, &x, &y);
    SetWindowPos(hWindow, HWND_TOP, x, y, width, height, 0);
}

HWND DLG_Control(int id) {
    HWND hDlg = Dialog();
    return hDlg ? GetDlgItem(hDlg, id) : nullptr;
}

void DLG_UiCenter(int width, int height) {
    HWND hDlg = Dialog();
    if (!hDlg)
        return;
    // A frame larger than the reference one (a taller caption of a newer Windows or a theme) grows
    // the window, so the client area never shrinks below the reference's.
    RECT outer{};
    RECT client{};
    GetWindowRect(hDlg, &outer);
    GetClientRect(hDlg, &client);
    int frameWidth = (outer.right - outer.left) - (client.right - client.left);
    int frameHeight = (outer.bottom - outer.top) - (client.bottom - client.top);
    int outerWidth = width;
    int outerHeight = height;
    if (width == DLG_WIDTH && height == DLG_HEIGHT)
        DLG_OuterSize(frameWidth, frameHeight, &outerWidth, &outerHeight);
    DLG_CenterOnDesktop(hDlg, outerWidth, outerHeight);
}

void DLG_UiSetCaption(const char* text) {
    if (HWND hDlg = Dialog())
        SetWindowTextA(hDlg, text);
}

void DLG_UiCreateControl(const DialogControl& c) {
    DLG_CreateControl(Dialog(), c.ClassName, c.Text, c.X, c.Y, c.Width, c.Height, c.Id, c.Style, c.ExStyle);
}

void DLG_UiAddPortItem(const char* text, int32_t portIndex) {
    HWND hPorts = DLG_Control(IDC_PORT);
    if (!hPorts)
        return;
    LRESULT item = SendMessageA(hPorts, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (item >= 0)
        SendMessageA(hPorts, CB_SETITEMDATA, static_cast<WPARAM>(item), portIndex);
}

void DLG_UiSelectPortItem(int item) {
    if (HWND hPorts = DLG_Control(IDC_PORT))
        SendMessageA(hPorts, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
}

int32_t DLG_UiSelectedPortIndex() {
    HWND hPorts = DLG_Control(IDC_PORT);
    if (!hPorts)
        return -1;
    LRESULT item = SendMessageA(hPorts, CB_GETCURSEL, 0, 0);
    if (item == CB_ERR)
        return -1;
    return static_cast<int32_t>(SendMessageA(hPorts, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
}

void DLG_UiGetControlText(int id, char* acText, size_t size) {
    if (size == 0)
        return;
    acText[0] = '\0';
    if (HWND hControl = DLG_Control(id))
        GetWindowTextA(hControl, acText, static_cast<int>(size));
}

void DLG_UiBeep() {
    MessageBeep(MB_ICONHAND);
}

void DLG_UiEndDialog() {
    // Only marks the dialog ended: DialogBoxParamA returns once control is back in its own loop.
    if (HWND hDlg = Dialog())
        EndDialog(hDlg, 0);
}

int DLG_Run(const char* title) {
    DLG_SetTitle(title);
    DialogBoxParamA(hAppInstance, MAKEINTRESOURCEA(IDD_MAIN), GetDesktopWindow(), DLG_Proc, 0);
    hMainDlg.store(nullptr);
    return 0;
}
