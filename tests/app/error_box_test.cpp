// The "Error" box: its look, and a report made while one is open is dropped, not queued.
#include "app_test.h"

#include "app/app.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

namespace {

struct SeenBox {
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::Question;
    QMessageBox::StandardButtons buttons;
    Qt::WindowModality modality = Qt::NonModal;
};

QMessageBox* OpenBox() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

int OpenBoxCount() {
    int n = 0;
    for (QWidget* pWidget : QApplication::topLevelWidgets())
        n += qobject_cast<QMessageBox*>(pWidget) && pWidget->isVisible();
    return n;
}

// Closes the box that opens next, after running `inside` while it is open; records what it saw.
void CloseNextBox(std::vector<SeenBox>* pSeen, std::function<void()> inside = nullptr) {
    auto* pTimer = new QTimer;
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, pSeen, inside] {
        QMessageBox* pBox = OpenBox();
        if (!pBox)
            return;
        pTimer->stop();
        pTimer->deleteLater();
        pSeen->push_back({pBox->text(), pBox->windowTitle(), pBox->icon(), pBox->standardButtons(),
                          pBox->windowModality()});
        if (inside)
            inside();
        pBox->button(QMessageBox::Ok)->click();
    });
    pTimer->start(10);
}

TEST(ErrorBoxTest, ShowsTheTextAndDropsAReportWhileOpen) {
    std::vector<SeenBox> seen;
    int boxesDuringNested = -1;
    CloseNextBox(&seen, [&] {
        APP_ErrorBox("COM::_InitCOM: SetupComm failed"); // returns at once, shows nothing
        boxesDuringNested = OpenBoxCount();
    });
    APP_ErrorBox("COM::_InitCOM: Port not available");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "COM::_InitCOM: Port not available");
    EXPECT_EQ(seen[0].caption, "Error");
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(seen[0].modality, Qt::ApplicationModal);
    EXPECT_EQ(boxesDuringNested, 1);

    // The dropped report is not shown later; the next one after the box is closed is.
    Pump(50);
    EXPECT_EQ(OpenBox(), nullptr);
    CloseNextBox(&seen);
    APP_ErrorBox("COM::COM_ChangeBaudrate: SetCommState failed");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, "COM::COM_ChangeBaudrate: SetCommState failed");
}

TEST(ErrorBoxTest, AReportFromAnotherThreadIsShownOnTheMainThread) {
    std::vector<SeenBox> seen;
    std::thread other([] { APP_ErrorBox("COM::_InitCOM: Port not available"); });
    other.join();
    CloseNextBox(&seen);
    for (int i = 0; i < 200 && seen.empty(); i++)
        Pump(10);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "COM::_InitCOM: Port not available");
}

} // namespace
