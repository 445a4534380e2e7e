// The dialog's states and command rules, driven by the worker's commands and by clicks and keys.
#include "app_test.h"
#include "fake_update.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <vector>

namespace {

int HookCalls = 0;
void CountingHook() {
    HookCalls++;
}

class DialogTest : public ::testing::Test {
  protected:
    MainDialog* pDialog = nullptr;

    void Open(std::vector<int32_t> ports) {
        PortCount = static_cast<int32_t>(ports.size());
        for (size_t i = 0; i < ports.size(); i++)
            aPortList[i] = ports[i];
        fake_update::Reset();
        HookCalls = 0;
        pfnCancelHook = nullptr;
        pDialog = DLG_Create(nullptr, APP_GetTitle());
        pDialog->show();
        Pump();
    }
    void TearDown() override {
        if (pDialog) {
            DLG_Forget(pDialog);
            delete pDialog;
        }
        pfnCancelHook = nullptr;
        fake_update::Reset();
    }
    static void Post(int id) {
        DLG_PostCommand(id);
        Pump();
    }
    static QComboBox* Ports() { return static_cast<QComboBox*>(DLG_Control(IDC_PORT)); }
    static QPushButton* Button(int id) { return static_cast<QPushButton*>(DLG_Control(id)); }
    void ExpectDone(const char* status) {
        EXPECT_EQ(TextOf(IDC_STATUS), status);
        EXPECT_TRUE(Shown(IDC_STATUS));
        EXPECT_FALSE(Shown(IDC_START));
        EXPECT_TRUE(Shown(IDC_CANCEL));
        EXPECT_EQ(TextOf(IDC_CANCEL), "Ok");
        EXPECT_FALSE(Ports()->isEnabled());
    }
};

TEST_F(DialogTest, OnePortDisablesTheListAndFocusesStart) {
    Open({1});
    EXPECT_EQ(pDialog->windowTitle(), "TQ330 Updater  V03.11");
    ASSERT_EQ(Ports()->count(), 1);
    EXPECT_EQ(Ports()->itemText(0), "COM2");
    EXPECT_EQ(Ports()->itemData(0).toInt(), 1);
    EXPECT_EQ(Ports()->itemData(0, Qt::ToolTipRole).toString().toStdString(), TestPortDevice(1));
    EXPECT_FALSE(Ports()->isEnabled());
    EXPECT_EQ(pDialog->focusWidget(), DLG_Control(IDC_START));
    EXPECT_TRUE(TestPortHeld(1));
    EXPECT_FALSE(TestPortHeld(0));
    EXPECT_FALSE(TestPortHeld(2));

    EXPECT_EQ(TextOf(IDC_STATUS), "Please cycle power of TQ330");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_TRUE(Shown(IDC_START));
    EXPECT_FALSE(Shown(IDC_CANCEL));
    EXPECT_FALSE(Shown(IDC_PROGRESS));
    EXPECT_FALSE(Shown(IDC_PERCENT));
    EXPECT_EQ(TextOf(IDC_PERCENT), "0%");
}

TEST_F(DialogTest, ThreePortsEnableTheListOpenTheFirstAndFollowTheSelection) {
    Open({2, 0, 1});
    ASSERT_EQ(Ports()->count(), 3);
    const char* aTexts[] = {"COM3", "COM1", "COM2"};
    const int aData[] = {2, 0, 1};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Ports()->itemText(i), aTexts[i]);
        EXPECT_EQ(Ports()->itemData(i).toInt(), aData[i]);
    }
    EXPECT_TRUE(Ports()->isEnabled());
    EXPECT_EQ(Ports()->currentIndex(), 0);
    EXPECT_EQ(pDialog->focusWidget(), Ports());
    EXPECT_TRUE(TestPortHeld(2));
    EXPECT_FALSE(TestPortHeld(0));

    // The keyboard's way of choosing: the old port is closed, the chosen one opened.
    QTest::keyClick(Ports(), Qt::Key_Down);
    Pump();
    EXPECT_EQ(Ports()->currentIndex(), 1);
    EXPECT_TRUE(TestPortHeld(0));
    EXPECT_FALSE(TestPortHeld(2));
}

TEST_F(DialogTest, WindowAndControlsHaveTheirGeometry) {
    Open({0, 1});
    Pump(80);
    EXPECT_EQ(pDialog->frameGeometry().size(), QSize(320, 170));
    // On the primary screen's own rectangle; the offset-screen build (test_main.cpp) puts that
    // screen at 1920, 100, where the old formula (from desktop.x() + width) put the window across
    // two monitors.
    QRect desktop = QGuiApplication::primaryScreen()->geometry();
#ifdef TQ330_OFFSET_SCREEN
    ASSERT_EQ(desktop, QRect(1920, 100, 1280, 1024));
    EXPECT_EQ(pDialog->frameGeometry().topLeft(), QPoint(1920 + 480, 100 + 284));
#else
    EXPECT_EQ(pDialog->frameGeometry().topLeft(),
              QPoint(desktop.x() + (desktop.width() - 320) / 2, desktop.y() + (desktop.height() - 170) / 3));
#endif
    EXPECT_EQ(pDialog->minimumSize(), pDialog->maximumSize()); // fixed size
    EXPECT_FALSE(pDialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(pDialog->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(pDialog->windowFlags() & Qt::WindowContextHelpButtonHint);
    EXPECT_TRUE(pDialog->windowFlags() & Qt::WindowCloseButtonHint);

    struct Expected {
        int id;
        QRect rect;
    };
    const Expected aTable[] = {{0, {95, 10, 65, 15}},
                               {IDC_STATUS, {11, 40, 290, 28}},
                               {IDC_PERCENT, {11, 60, 290, 14}},
                               {IDC_PROGRESS, {11, 80, 290, 20}},
                               {IDC_START, {100, 112, 120, 23}},
                               {IDC_CANCEL, {100, 112, 120, 23}}};
    for (const Expected& e : aTable)
        EXPECT_EQ(DLG_Control(e.id)->geometry(), e.rect) << "control " << e.id;
    // The list's 100 pixels include the dropped-down part; the closed box keeps its own height.
    QRect combo = Ports()->geometry();
    EXPECT_EQ(combo.topLeft(), QPoint(160, 8));
    EXPECT_EQ(combo.width(), 65);
    EXPECT_LE(combo.height(), 100);
    // Every control lies inside the client area.
    for (QObject* pChild : pDialog->children()) {
        if (pChild->isWidgetType()) {
            EXPECT_TRUE(pDialog->rect().contains(static_cast<QWidget*>(pChild)->geometry()));
        }
    }
    EXPECT_FALSE(static_cast<QProgressBar*>(DLG_Control(IDC_PROGRESS))->isTextVisible());
}

TEST_F(DialogTest, EveryTextFitsItsControl) {
    Open({0});
    auto fits = [](int id, const QString& text) {
        QWidget* pControl = DLG_Control(id);
        QFontMetrics metrics(pControl->font());
        QStringList lines = text.split(QLatin1Char('\n'));
        int widest = 0;
        for (const QString& line : lines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        int margin = qobject_cast<QPushButton*>(pControl) ? 12 : 0;
        return widest + margin <= pControl->width() &&
               lines.size() * metrics.lineSpacing() <= pControl->height();
    };
    EXPECT_TRUE(fits(0, "COM port:"));
    for (const char* text :
         {"Please cycle power of TQ330", "No connection to TQ330.\nPlease cycle power of TQ330",
          "Connection to target established", "Target not updated successfully", "Programming target"})
        EXPECT_TRUE(fits(IDC_STATUS, text)) << text;
    EXPECT_TRUE(fits(IDC_PERCENT, "100%"));
    EXPECT_TRUE(fits(IDC_START, "Start"));
    EXPECT_TRUE(fits(IDC_CANCEL, "Cancel"));
}

TEST_F(DialogTest, StartBeforeConnectionArmsTheUpdate) {
    Open({0});
    QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
    EXPECT_EQ(TextOf(IDC_STATUS), "No connection to TQ330.\nPlease cycle power of TQ330");
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_TRUE(Shown(IDC_START));
    EXPECT_EQ(fake_update::Calls, 0);

    QString statusWhenStarted;
    fake_update::Body = [&] {
        statusWhenStarted = TextOf(IDC_STATUS);
        EXPECT_FALSE(Shown(IDC_START));
        EXPECT_EQ(TextOf(IDC_CANCEL), "Cancel");
        return 0;
    };
    Post(ID_CONNECTED); // no click: the request stays in force
    EXPECT_EQ(fake_update::Calls, 1);
    EXPECT_EQ(statusWhenStarted, "Connection to target established");
    ExpectDone("Target updated successfully");
}

TEST_F(DialogTest, SecondConnectedChangesNothing) {
    Open({0, 1});
    Post(ID_CONNECTED);
    EXPECT_EQ(TextOf(IDC_STATUS), "Connection to target established");
    EXPECT_EQ(pDialog->focusWidget(), DLG_Control(IDC_START));
    EXPECT_EQ(fake_update::Calls, 0);

    DLG_ShowStatus("something else");
    Ports()->setFocus();
    Post(ID_CONNECTED);
    Post(ID_POLL_DONE);
    EXPECT_EQ(TextOf(IDC_STATUS), "something else");
    EXPECT_EQ(pDialog->focusWidget(), Ports());
    EXPECT_EQ(fake_update::Calls, 0);
}

TEST_F(DialogTest, ConnectionLostHidesTheStatusOnlyWhenConnected) {
    Open({0});
    Post(ID_CONNECTION_LOST); // not connected: nothing
    EXPECT_TRUE(Shown(IDC_STATUS));
    EXPECT_EQ(TextOf(IDC_STATUS), "Please cycle power of TQ330");

    Post(ID_CONNECTED);
    Post(ID_CONNECTION_LOST);
    EXPECT_FALSE(Shown(IDC_STATUS));

    // Done: the device's new application no longer answers the poll, and the result must stay
    // readable; a new connection still runs the update again by itself.
    Post(ID_CONNECTED);
    QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
    ExpectDone("Target updated successfully");
    Post(ID_CONNECTION_LOST);
    Post(ID_POLL_DONE);
    ExpectDone("Target updated successfully");
    QString statusWhenRerun;
    fake_update::Body = [&] {
        statusWhenRerun = TextOf(IDC_STATUS);
        return 2;
    };
    Post(ID_CONNECTED);
    EXPECT_EQ(fake_update::Calls, 2);
    EXPECT_EQ(statusWhenRerun, "Connection to target established");
    ExpectDone("Target not updated successfully");
    // A loss during the second run hides the status line as before an update.
    fake_update::Body = [&] {
        DLG_ShowStatus("Programming target");
        Post(ID_CONNECTION_LOST);
        EXPECT_FALSE(Shown(IDC_STATUS));
        return 2;
    };
    Post(ID_CONNECTION_LOST);
    Post(ID_CONNECTED);
    EXPECT_EQ(fake_update::Calls, 3);
    ExpectDone("Target not updated successfully");
}

TEST_F(DialogTest, CancelOnlyCallsTheHookOkEndsTheDialog) {
    Open({0});
    pfnCancelHook = CountingHook;
    Post(ID_CONNECTED);
    fake_update::Body = [&] {
        QTest::mouseClick(Button(IDC_CANCEL), Qt::LeftButton);
        EXPECT_EQ(HookCalls, 1);
        EXPECT_TRUE(pDialog->isVisible());
        return 3;
    };
    QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
    ExpectDone("Target not updated successfully");
    EXPECT_TRUE(pDialog->isVisible());

    QTest::mouseClick(Button(IDC_CANCEL), Qt::LeftButton);
    EXPECT_EQ(HookCalls, 2);
    EXPECT_FALSE(pDialog->isVisible());
}

TEST_F(DialogTest, NoUpdateStartsInsideARunningOne) {
    Open({0});
    Post(ID_CONNECTED);
    fake_update::Body = [&] {
        DLG_ShowJob("Programming target");
        Post(ID_CONNECTION_LOST);
        Post(ID_CONNECTED);
        Post(ID_CONNECTED);
        EXPECT_EQ(pDialog->focusWidget(), DLG_Control(IDC_CANCEL));
        return 0;
    };
    QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
    Pump();
    EXPECT_EQ(fake_update::Calls, 1);
    EXPECT_EQ(fake_update::MaxDepth, 1);
    ExpectDone("Target updated successfully");
}

TEST_F(DialogTest, EscapeClosesInEveryStateAfterTheHook) {
    enum { WAITING, START_PRESSED, CONNECTED, LOST, DONE };
    for (int state : {WAITING, START_PRESSED, CONNECTED, LOST, DONE}) {
        SCOPED_TRACE(state);
        Open({0});
        pfnCancelHook = CountingHook;
        if (state == START_PRESSED || state == DONE)
            QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
        if (state == CONNECTED || state == LOST || state == DONE)
            Post(ID_CONNECTED);
        if (state == LOST)
            Post(ID_CONNECTION_LOST);
        EXPECT_TRUE(pDialog->isVisible());
        QTest::keyClick(pDialog, Qt::Key_Escape);
        EXPECT_EQ(HookCalls, 1);
        EXPECT_FALSE(pDialog->isVisible());
        TearDown();
        pDialog = nullptr;
    }
}

TEST_F(DialogTest, CloseBoxActsAsClose) {
    Open({0});
    pfnCancelHook = CountingHook;
    EXPECT_FALSE(pDialog->close()); // the handler hides the dialog itself
    EXPECT_EQ(HookCalls, 1);
    EXPECT_FALSE(pDialog->isVisible());
}

// The modal loop: closing during an update ends the dialog only after the update has returned.
TEST(DialogRunTest, CloseDuringAnUpdateReturnsAfterTheUpdate) {
    aPortList[0] = 0;
    PortCount = 1;
    fake_update::Reset();
    HookCalls = 0;
    pfnCancelHook = CountingHook;
    std::vector<std::string>& log = fake_update::Log;
    fake_update::Body = [&] {
        QTest::keyClick(hMainDlg.load(), Qt::Key_Escape);
        log.push_back("closed");
        // The update goes on waiting for its job; the worker's notifications still arrive.
        DLG_PostCommand(ID_POLL_DONE);
        DLG_WaitMessage();
        log.push_back("update ends");
        return 0;
    };
    QTimer::singleShot(0, [] {
        DLG_Proc(IDC_START, 0);
        DLG_PostCommand(ID_CONNECTED);
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { DLG_Proc(ID_CLOSE, 0); });
    watchdog.start(10000);
    EXPECT_EQ(DLG_Run("t"), 0);
    log.push_back("dialog ended");
    EXPECT_EQ(log, (std::vector<std::string>{"abandoned", "closed", "update ends", "RunUpdate returned",
                                             "dialog ended"}));
    EXPECT_EQ(HookCalls, 1);
    EXPECT_EQ(hMainDlg.load(), nullptr);
    pfnCancelHook = nullptr;
}

} // namespace
