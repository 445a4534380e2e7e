// The program's entry: the window system, then the start-up sequence, then the end of the process.
#include "app/app.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // The dialog's end is the program's end, decided by APP_Main returning, not by the last
    // window being hidden (a running update may still be returning then).
    QApplication::setQuitOnLastWindowClosed(false);
    QIcon icon;
    icon.addFile(QStringLiteral(":/tq330/tq330-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/tq330/tq330-32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

    APP_Main();

    // The process ends here without stopping the worker: it may be inside a job that waits up to
    // 30 seconds for the target (the clear), and an orderly stop would wait that long. Ending the
    // process closes the serial port (which drops its lock and exclusive mode) and ends the
    // thread, and skips the destructors that would run while the worker still uses the port.
    std::fflush(nullptr);
    std::_Exit(0);
}
