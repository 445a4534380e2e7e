// The main dialog in Qt Widgets: the window and its seven controls. The rules it follows are in
// app/dialog_rules.cpp; this header is for the Qt front end itself and for its tests and tools.
#pragma once
#include <QDialog>

#include <atomic>
#include <cstdint>

class QWidget;

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

// The dialog, set as the first step of its initialisation and cleared when DLG_Run has ended it.
// The worker reads it to decide whether a notification has a receiver.
extern std::atomic<MainDialog*> hMainDlg;

// Creates the dialog and runs its initialisation, without showing it: DLG_Run's first half, also
// used by the tests and the screenshot tool to drive the dialog without a modal loop.
MainDialog* DLG_Create(QWidget* pOwner, const char* title);
// Ends the dialog's life as a receiver: clears hMainDlg and releases a worker waiting for progress.
void DLG_Forget(MainDialog* pDialog);

QWidget* DLG_CreateControl(QWidget* pParent, const char* className, const char* text, int x, int y, int width,
                           int height, int id, uint32_t style, uint32_t exStyle);
void DLG_CenterOnDesktop(QWidget* pWindow, int width, int height);
// The control with the given id in the current dialog, or none.
QWidget* DLG_Control(int id);

// The application object's set-up shared by the program and its test-only drivers: the icon, and
// the end of the program decided by the dialog, not by the last window closing. Call after the
// QApplication exists.
void QT_SetUpApplication();

// Used by the seam (dialog_seam.cpp): release every worker waiting in a progress call.
void DLG_ReleaseProgressWaiters();
