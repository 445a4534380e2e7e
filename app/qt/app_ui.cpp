// The boxes of start-up and of the serial-port module, in Qt.
#include "app/app.h"
#include "app/dialog_ui.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

namespace {

void ShowBox(QMessageBox::Icon icon, const char* text) {
    QMessageBox box(icon, QStringLiteral("Error"), QString::fromUtf8(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal); // every window of the program waits for it
    box.exec();
}

} // namespace

void APP_UiStartupBox(const char* text, bool warning) {
    ShowBox(warning ? QMessageBox::Warning : QMessageBox::NoIcon, text);
}

void APP_UiErrorBox(const char* text) {
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
    ShowBox(QMessageBox::NoIcon, text);
}
