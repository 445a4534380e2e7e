// Start-up's two failure boxes, each in a process of its own. Built twice: with the real image and
// TQ330_PORTS naming a device that does not exist (no port found), and with a defective image
// embedded in place of the real one (TQ330_DEFECTIVE_IMAGE).
#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"
#include "link/worker.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string DeniedPort; // the port this user may not open (the permission build)

struct SeenBox {
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::Question;
    QMessageBox::StandardButtons buttons;
    int count = 0;
    bool dialogSeen = false;
};

// Runs APP_Main, closing every box it shows and recording the last one.
SeenBox RunStartup() {
    SeenBox seen;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            seen.text = pBox->text();
            seen.caption = pBox->windowTitle();
            seen.icon = pBox->icon();
            seen.buttons = pBox->standardButtons();
            seen.count++;
            pBox->button(QMessageBox::Ok)->click();
        } else if (hMainDlg.load()) {
            seen.dialogSeen = true; // a wrong turn: end the dialog so the test ends
            DLG_Proc(ID_CLOSE, 0);
        }
    });
    timer.start(10);
    APP_Main();
    return seen;
}

#ifdef TQ330_DEFECTIVE_IMAGE
TEST(StartupTest, DefectiveImageShowsDataFileNotFoundAndTouchesNoPort) {
    SeenBox seen = RunStartup();
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.text, "Data file not found!");
    EXPECT_EQ(seen.caption, "Error");
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok);
    EXPECT_FALSE(seen.dialogSeen);
    EXPECT_EQ(pProgramImage, nullptr);
    EXPECT_EQ(PortCount, 0); // detection never ran
}
#elif !defined(TQ330_PERMISSION_DENIED)
TEST(StartupTest, NoPortShowsTheWarningAndReturnsWithoutADialog) {
    SeenBox seen = RunStartup();
    Worker_Stop();
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.text, "No COM port detected. Application can not be executed!");
    EXPECT_EQ(seen.caption, "Error");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok);
    EXPECT_EQ(PortCount, 0);
    EXPECT_FALSE(seen.dialogSeen);
    ASSERT_NE(pProgramImage, nullptr); // the image was loaded before the ports were looked for
}
#else
// A port that exists but refuses this user: the same box, with one line that says what to do.
TEST(StartupTest, APortRefusedForLackOfPermissionIsNamedInTheBox) {
    if (DeniedPort.empty())
        GTEST_SKIP() << "no port could be made unreadable for this user";
    SeenBox seen = RunStartup();
    Worker_Stop();
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.text.toStdString(),
              "No COM port detected. Application can not be executed!\npermission denied on " + DeniedPort +
                  ": add yourself to the dialout group and log in again");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_FALSE(seen.dialogSeen);
}
#endif

#ifdef TQ330_PERMISSION_DENIED
// A pseudo-terminal the test's user may not open: as root, one left to root with mode 600 after
// dropping to nobody; otherwise one whose owner took away his own rights.
std::string MakeDeniedPort() {
    int master = -1;
    int slave = -1;
    char acName[256] = {};
    if (openpty(&master, &slave, acName, nullptr, nullptr) != 0)
        return "";
    close(slave); // the master keeps the pair for the life of the process
    if (geteuid() == 0) {
        if (chmod(acName, 0600) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return "";
    } else if (chmod(acName, 0) != 0) {
        return "";
    }
    int probe = open(acName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (probe >= 0 || errno != EACCES) {
        if (probe >= 0)
            close(probe);
        return "";
    }
    return acName;
}
#endif

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("TQ330_PORTS", "/nonexistent/tq330-port", 1);
#ifdef TQ330_PERMISSION_DENIED
    DeniedPort = MakeDeniedPort();
    if (!DeniedPort.empty())
        setenv("TQ330_PORTS", DeniedPort.c_str(), 1);
    // Qt's run-time folder of a user without a home of his own.
    setenv("XDG_RUNTIME_DIR", "/tmp", 0);
#endif
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
