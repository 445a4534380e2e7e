// The dialog seam in Qt: the display operations, the worker's progress calls and notifications, the
// message box and the control operations that the update flow and the link call.
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

void (*pfnCancelHook)() = nullptr;

namespace {

// The bar's logical range. A QProgressBar with an empty range would show a busy animation, so the
// bar gets a widened range and the percentage rule reads these.
int32_t ProgressLow = 0;
int32_t ProgressHigh = 100;

// Worker threads waiting for a progress call to be shown. A call ends when the main thread has
// handled it or when the dialog is gone: a worker inside a job must never wait for a dialog that
// will not handle messages again (the program's end), so no Qt::BlockingQueuedConnection here.
std::mutex SyncLock;
std::condition_variable SyncDone;
uint64_t DialogGeneration = 0;

QProgressBar* Bar() {
    return qobject_cast<QProgressBar*>(DLG_Control(IDC_PROGRESS));
}

void ApplyRange(int32_t low, int32_t high) {
    ProgressLow = low;
    ProgressHigh = high;
    if (QProgressBar* pBar = Bar()) {
        pBar->setRange(low, high > low ? high : low + 1);
        pBar->setValue(std::clamp(0, pBar->minimum(), pBar->maximum()));
    }
}

void ApplyProgress(int32_t pos) {
    char acBuffer[16] = {};
    DLG_FormatPercentage(pos, ProgressLow, ProgressHigh, acBuffer, sizeof acBuffer);
    DLG_SetControlText(IDC_PERCENT, acBuffer);
    if (QProgressBar* pBar = Bar())
        pBar->setValue(std::clamp(pos, pBar->minimum(), pBar->maximum()));
}

bool OnMainThread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

// Runs apply on the main thread for the current dialog and returns after it ran, or at once
// when there is no dialog, or when the dialog ends before handling it.
template <typename F> void CallOnDialog(F apply) {
    uint64_t generation;
    {
        // Read before looking at the dialog: a dialog that ends after this changes the generation.
        std::lock_guard<std::mutex> guard(SyncLock);
        generation = DialogGeneration;
    }
    if (!hMainDlg.load() || !qApp)
        return;
    if (OnMainThread()) {
        apply();
        return;
    }
    auto pDone = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        qApp,
        [apply, pDone] {
            if (hMainDlg.load())
                apply();
            std::lock_guard<std::mutex> guard(SyncLock);
            *pDone = true;
            SyncDone.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(SyncLock);
    SyncDone.wait(guard, [&] { return *pDone || DialogGeneration != generation; });
}

} // namespace

void DLG_ReleaseProgressWaiters() {
    std::lock_guard<std::mutex> guard(SyncLock);
    DialogGeneration++;
    SyncDone.notify_all();
}

void DLG_SetProgressRange(int32_t low, int32_t high) {
    CallOnDialog([low, high] { ApplyRange(low, high); });
}

void DLG_SetProgress(int32_t pos) {
    CallOnDialog([pos] { ApplyProgress(pos); });
}

void DLG_PostCommand(int id) {
    if (!hMainDlg.load() || !qApp)
        return;
    // Posted to the application object, which outlives every dialog; the handler looks the dialog
    // up again when the command is handled, so a dialog that ended in between drops it.
    QMetaObject::invokeMethod(
        qApp,
        [id] {
            if (hMainDlg.load())
                DLG_Proc(id, 0);
        },
        Qt::QueuedConnection);
}

void DLG_WaitMessage() {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void DLG_MessageBox(const char* caption, const char* text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption ? caption : ""),
                    QString::fromUtf8(text ? text : ""), QMessageBox::Ok, hMainDlg.load());
    box.exec();
}

void DLG_EnableControl(int id, bool enable) {
    if (QWidget* pControl = DLG_Control(id))
        pControl->setEnabled(enable);
}

void DLG_ShowControl(int id, bool show) {
    QWidget* pControl = DLG_Control(id);
    if (!pControl)
        return;
    pControl->setVisible(show);
    // Start and Cancel/Ok share one place; Enter presses whichever of them is shown.
    if (auto* pButton = qobject_cast<QPushButton*>(pControl); pButton && show)
        pButton->setDefault(true);
}

void DLG_SetControlText(int id, const char* text) {
    QWidget* pControl = DLG_Control(id);
    QString value = QString::fromUtf8(text ? text : "");
    if (auto* pLabel = qobject_cast<QLabel*>(pControl))
        pLabel->setText(value);
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pControl))
        pButton->setText(value);
    else if (pControl)
        pControl->setWindowTitle(value);
}

void DLG_SetFocus(int id) {
    if (QWidget* pControl = DLG_Control(id))
        pControl->setFocus(Qt::OtherFocusReason);
}
