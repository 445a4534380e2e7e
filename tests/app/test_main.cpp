// Runs the app tests on the offscreen platform with three pseudo-terminals as COM1 to COM3.
#include "app_test.h"

#include "app/qt/main_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int aMasters[3] = {-1, -1, -1};
std::string aDevices[3];

} // namespace

std::string TestPortDevice(int index) {
    return aDevices[index];
}

bool TestPortHeld(int index) {
    int fd = open(aDevices[index].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY; // exclusive mode keeps out everyone but root
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (!held)
        flock(fd, LOCK_UN);
    close(fd);
    return held;
}

QString TextOf(int id) {
    QWidget* pControl = DLG_Control(id);
    if (auto* pLabel = qobject_cast<QLabel*>(pControl))
        return pLabel->text();
    if (auto* pButton = qobject_cast<QAbstractButton*>(pControl))
        return pButton->text();
    return QString();
}

bool Shown(int id) {
    QWidget* pControl = DLG_Control(id);
    return pControl && !pControl->isHidden();
}

void Pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef TQ330_OFFSET_SCREEN
    // Two screens, the primary one not at the origin of the coordinates (1920, 100).
    char acConfig[] = "/tmp/tq330-screens-XXXXXX";
    int configFd = mkstemp(acConfig);
    if (configFd < 0)
        return 2;
    const char acScreens[] = R"({"screens": [
        {"name": "primary", "x": 1920, "y": 100, "width": 1280, "height": 1024, "logicalDpi": 96, "dpr": 1},
        {"name": "right", "x": 3200, "y": 0, "width": 1920, "height": 1080, "logicalDpi": 96, "dpr": 1}]})";
    bool written =
        write(configFd, acScreens, sizeof acScreens - 1) == static_cast<ssize_t>(sizeof acScreens - 1);
    close(configFd);
    if (!written)
        return 2;
    setenv("QT_QPA_PLATFORM", (std::string("offscreen:configfile=") + acConfig).c_str(), 1);
#else
    setenv("QT_QPA_PLATFORM", "offscreen",
           0); // also for test discovery, which runs without CTest's environment
#endif
    std::string ports;
    for (int i = 0; i < 3; i++) {
        int slave = -1;
        char acName[256] = {};
        if (openpty(&aMasters[i], &slave, acName, nullptr, nullptr) != 0)
            return 2;
        close(slave); // the master keeps the pair alive; the serial-port module opens the slave by name
        aDevices[i] = acName;
        ports += (i ? ":" : "") + aDevices[i];
    }
    // Read once, on the serial-port module's first use.
    setenv("TQ330_PORTS", ports.c_str(), 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int result = RUN_ALL_TESTS();
#ifdef TQ330_OFFSET_SCREEN
    unlink(acConfig);
#endif
    return result;
}
