// The program's entry: the window system, then the start-up sequence, then the end of the process.
#include "app/app.h"
#include "app/qt/main_dialog.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    // The program takes no command line: Qt gets only the program's name, so no option of Qt's
    // own (-platform, -style, ...) can change what the program does.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    QT_SetUpApplication();

    APP_Main();

    // The process ends here without stopping the worker: it may be inside a job that waits up to
    // 30 seconds for the target (the clear), and an orderly stop would wait that long. Ending the
    // process closes the serial port (which drops its lock and exclusive mode) and ends the
    // thread, and skips the destructors that would run while the worker still uses the port.
    std::fflush(nullptr);
    std::_Exit(0);
}
