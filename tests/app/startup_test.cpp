// Start-up without a usable port, in a process of its own: TQ330_PORTS names a device that does
// not exist, so detection finds nothing whatever earlier tests opened.
#include "app/app.h"
#include "app/dialog.h"
#include "app/main_dialog.h"
#include "link/worker.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(StartupTest, NoPortShowsTheWarningAndReturnsWithoutADialog) {
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool dialogSeen = false;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
            text = pBox->text();
            caption = pBox->windowTitle();
            icon = pBox->icon();
            buttons = pBox->standardButtons();
            dialogSeen = dialogSeen || hMainDlg.load() != nullptr;
            pBox->button(QMessageBox::Ok)->click();
        } else if (hMainDlg.load()) {
            dialogSeen = true; // a wrong turn: end the dialog so the test ends
            DLG_Proc(ID_CLOSE, 0);
        }
    });
    timer.start(10);
    APP_Main();
    Worker_Stop();
    EXPECT_EQ(text, "No COM port detected. Application can not be executed!");
    EXPECT_EQ(caption, "Error");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, QMessageBox::Ok);
    EXPECT_EQ(PortCount, 0);
    EXPECT_FALSE(dialogSeen);
    ASSERT_NE(pProgramImage, nullptr); // the image was loaded before the ports were looked for
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("TQ330_PORTS", "/nonexistent/tq330-port", 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
