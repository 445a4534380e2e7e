// Start-up and the error box: the program's one sequence from the embedded image to the dialog.
#include "app/app.h"
#include "app/main_dialog.h"
#include "link/com.h"
#include "link/worker.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <algorithm>
#include <cstdio>

int32_t aPortList[9] = {};
int32_t PortCount = 0;

namespace {

int ErrorBoxNesting = 0;

void ShowErrorBox(QMessageBox::Icon icon, const char* text) {
    QMessageBox box(icon, QStringLiteral("Error"), QString::fromUtf8(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal); // every window of the program waits for it
    box.exec();
}

} // namespace

void APP_ErrorBox(const char* text) {
    if (!qApp) {
        std::fprintf(stderr, "Error: %s\n", text);
        return;
    }
    if (QThread::currentThread() != qApp->thread()) {
        // Only the main thread may show a box. The serial-port module reports from the dialog's
        // handlers; should a report ever come from another thread it is shown later, not lost.
        QString copy = QString::fromUtf8(text);
        QMetaObject::invokeMethod(
            qApp, [copy] { APP_ErrorBox(copy.toUtf8().constData()); }, Qt::QueuedConnection);
        return;
    }
    int before = ErrorBoxNesting++;
    // A report raised while a box is open (by a handler running inside the box's own loop) is
    // dropped, not queued.
    if (before == 0)
        ShowErrorBox(QMessageBox::NoIcon, text);
    ErrorBoxNesting--;
}

void APP_Main() {
    if (APP_LoadImage() != 0) {
        // Every reader failure gives the same box; the reader's message stays in APP_LoadError().
        ShowErrorBox(QMessageBox::NoIcon, "Data file not found!");
        return;
    }
    Worker_Start();
    PortCount = std::clamp<int32_t>(COM_DetectPorts(aPortList), 0, COM_PORT_COUNT);
    if (PortCount == 0) {
        COM_ReleaseDetectedPorts();
        ShowErrorBox(QMessageBox::Warning, "No COM port detected. Application can not be executed!");
        return;
    }
    DLG_Run(nullptr, APP_GetTitle());
}
