// The main dialog in Qt Widgets: the window, its seven controls and its command handler. The
// Qt-free seam that the worker and the update flow call is app/dialog.h; this header is for the
// shell itself (start-up) and for the tests and tools of app/.
#pragma once
#include <QDialog>

#include <atomic>
#include <cstdint>

class QWidget;

// Notification code of a command (the high word on the reference platform). Only the port list's
// selection change is looked at; buttons and the worker's notifications send 0.
constexpr int CBN_SELCHANGE = 1;

// Styles of DLG_CreateControl, named after the window styles they stand for.
constexpr uint32_t SS_CENTER = 0x0001;
constexpr uint32_t CBS_DROPDOWNLIST = 0x0003;
constexpr uint32_t PBS_SMOOTH = 0x0001;
constexpr uint32_t BS_DEFPUSHBUTTON = 0x0001;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t WS_VSCROLL = 0x00200000;
constexpr uint32_t WS_EX_CLIENTEDGE = 0x0200;

// Outer size of the dialog, frame and caption included.
constexpr int DLG_WIDTH = 320;
constexpr int DLG_HEIGHT = 170;

class MainDialog : public QDialog {
    Q_OBJECT
  public:
    explicit MainDialog(QWidget* pOwner = nullptr);
    // The close box, the window menu's Close and Escape all arrive here and go to DLG_Proc as id 2.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* pEvent) override;
    bool event(QEvent* pEvent) override;

  private:
    void FitOuterSize();
};

// The dialog, set as the first step of DLG_Init and cleared when DLG_Run has ended it. The worker
// reads it to decide whether a notification has a receiver.
extern std::atomic<MainDialog*> hMainDlg;

// Shows the modal dialog with the title (the empty text when none) and returns when it has ended
// (after any update inside it has returned). Always 0.
int DLG_Run(QWidget* pOwner, const char* title);
// Creates the dialog and runs DLG_Init, without showing it: DLG_Run's first half, also used by the
// tests and the screenshot tool to drive the dialog without a modal loop.
MainDialog* DLG_Create(QWidget* pOwner, const char* title);
// Ends the dialog's life as a receiver: clears hMainDlg and releases a worker waiting for progress.
void DLG_Forget(MainDialog* pDialog);

void DLG_Init(MainDialog* pDialog);
// The command handler: 1 when the command ended the dialog, else 0.
int DLG_Proc(int id, int code);

QWidget* DLG_CreateControl(QWidget* pParent, const char* className, const char* text, int x, int y, int width,
                           int height, int id, uint32_t style, uint32_t exStyle);
void DLG_CenterOnDesktop(QWidget* pWindow, int width, int height);
// The control with the given id in the current dialog, or none.
QWidget* DLG_Control(int id);

// Scripted runs of the real program (test_drive.cpp): reads its environment switches.
void DLG_StartTestDrive(MainDialog* pDialog);

// Used by the seam (dialog_seam.cpp): release every worker waiting in a progress call.
void DLG_ReleaseProgressWaiters();
