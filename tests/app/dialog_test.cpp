// The dialog's states and command rules, driven by the worker's commands and by clicks and keys.
#include "app_test.h"
#include "fake_update.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/com.h"

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

// ---- Network ports: the window never waits on a connect ---------------------------------------

// A server on 127.0.0.1 that takes connections and never says a word (the kernel completes the
// connect; the line set-up then waits for answers that never come), or a port nobody listens on.
struct SilentServer {
    int Listen = -1;
    int Conn = -1;
    int Port = 0;
    explicit SilentServer(bool listening = true) {
        Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (bind(Listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (listening && listen(Listen, 4) != 0))
            ADD_FAILURE() << "no server socket";
        getsockname(Listen, reinterpret_cast<sockaddr*>(&a), &length);
        Port = ntohs(a.sin_port);
    }
    ~SilentServer() {
        if (Conn >= 0)
            close(Conn);
        close(Listen);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port); }
    // Takes the connection the port made, without a word to it.
    bool Accept() {
        pollfd p{Listen, POLLIN, 0};
        Conn = poll(&p, 1, 5000) == 1 ? accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return Conn >= 0;
    }
    // True once the port has closed its connection (within 10 s); what it sent is dropped.
    bool ClosedByThePort() const {
        char acJunk[256];
        pollfd p{Conn, POLLIN, 0};
        while (poll(&p, 1, 10000) == 1) {
            ssize_t n = recv(Conn, acJunk, sizeof acJunk, 0);
            if (n <= 0)
                return n == 0;
        }
        return false;
    }
};

// Closes every "Error" box as soon as it is open, noting its text in the log.
struct BoxCloser {
    QTimer Timer;
    explicit BoxCloser(std::vector<std::string>* pLog) {
        QObject::connect(&Timer, &QTimer::timeout, [pLog] {
            if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                pLog->push_back("box: " + pBox->text().toStdString());
                pBox->button(QMessageBox::Ok)->click();
            }
        });
        Timer.start(5);
    }
};

// Lets the event loop run until the condition holds (at most 10 s).
bool PumpUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000 && !condition(); i++)
        Pump(10);
    return condition();
}

// What the user sees after choosing a port that did not open, and the port's state.
struct Outcome {
    std::vector<std::string> Boxes;
    int State;
    std::string Status;
    bool StatusShown, StartShown, PortsEnabled, ChoiceKept;
    bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& o, std::ostream* pOut) {
    for (const std::string& box : o.Boxes)
        *pOut << "\"" << box << "\" ";
    *pOut << "state " << o.State << ", \"" << o.Status << "\" shown " << o.StatusShown << ", start "
          << o.StartShown << ", list " << o.PortsEnabled << ", choice kept " << o.ChoiceKept;
}

class DialogNetTest : public DialogTest {
  protected:
    // COM1 the first pseudo-terminal, COM2 the network port, COM3 a device that does not exist.
    void OpenWith(const std::string& network) {
        const std::string pty = TestPortDevice(0);
        const char* apPaths[] = {pty.c_str(), network.c_str(), "/dev/tq330-test-no-such-device"};
        COM_SetPortTable(apPaths, 3);
        Open({0, 1, 2});
    }
    void TearDown() override {
        DialogTest::TearDown();
        COM_ResetPortTable(); // TQ330_PORTS again for the other tests
    }
    // Chooses the item as the keyboard does and notes when the choice returned (and when a click
    // queued before it was handled); then lets the dialog run until the open's outcome is in, each
    // box closed as it opens.
    Outcome Choose(int item, std::vector<std::string>* pLog,
                   const std::function<void()>& queuedClick = nullptr) {
        BoxCloser closer(pLog);
        if (queuedClick)
            QMetaObject::invokeMethod(
                qApp,
                [pLog, queuedClick] {
                    pLog->push_back("queued click");
                    queuedClick();
                },
                Qt::QueuedConnection);
        while (Ports()->currentIndex() != item)
            QTest::keyClick(Ports(), Ports()->currentIndex() < item ? Qt::Key_Down : Qt::Key_Up);
        pLog->push_back("chosen");
        auto boxes = [pLog] {
            std::vector<std::string> found;
            for (const std::string& line : *pLog)
                if (line.rfind("box: ", 0) == 0)
                    found.push_back(line.substr(5));
            return found;
        };
        EXPECT_TRUE(PumpUntil([&] { return !DLG_PortOpening() && !boxes().empty(); }));
        Pump(50); // a second box would be open by now
        return {boxes(),          COM_GetPortState(),   TextOf(IDC_STATUS).toStdString(), Shown(IDC_STATUS),
                Shown(IDC_START), Ports()->isEnabled(), Ports()->currentIndex() == item};
    }
};

// A server that takes the connection and never answers holds the line set-up for its 2 s: the choice
// returns at once, a click queued before it is handled before the connect's outcome comes back, and
// the outcome is the error box and the port state that a local port that does not open gives.
TEST_F(DialogNetTest, TheWindowAnswersWhileAPortConnectsAndItsFailureIsALocalPorts) {
    SilentServer silent;
    OpenWith(silent.Url());
    std::vector<std::string> log;
    std::string statusOfTheClick;
    Outcome net = Choose(1, &log, [&] {
        QTest::mouseClick(Button(IDC_START), Qt::LeftButton);
        statusOfTheClick = TextOf(IDC_STATUS).toStdString();
    });
    const std::string setupFailed = "COM::COM_ChangeBaudrate: SetCommState failed: the server did not take "
                                    "up COM-PORT-OPTION (RFC 2217)";
    EXPECT_EQ(log, (std::vector<std::string>{"chosen", "queued click", "box: " + setupFailed}));
    EXPECT_EQ(statusOfTheClick, "No connection to TQ330.\nPlease cycle power of TQ330");
    EXPECT_EQ(net.Boxes, std::vector<std::string>{setupFailed});
    EXPECT_FALSE(TestPortHeld(0));

    // A local device that does not exist, and the same server gone: the same box, the same states.
    log.clear();
    Outcome local = Choose(2, &log);
    SilentServer gone(false);
    TearDown();
    OpenWith(gone.Url());
    DLG_Proc(IDC_START, 0);
    log.clear();
    Outcome refused = Choose(1, &log);
    EXPECT_EQ(local.Boxes, std::vector<std::string>{"COM::_InitCOM: Port not available"});
    EXPECT_EQ(refused, local);
    net.Boxes = local.Boxes;
    EXPECT_EQ(net, local);
    EXPECT_EQ(local.State, PORT_CLOSED);
}

// Another port chosen while the first still connects opens at once; the first one's connection is
// closed when it comes, and nothing of it is shown.
TEST_F(DialogNetTest, AnotherChoiceWhileConnectingTakesOverAndTheFirstIsDropped) {
    SilentServer silent;
    OpenWith(silent.Url());
    std::vector<std::string> log;
    BoxCloser closer(&log);
    QTest::keyClick(Ports(), Qt::Key_Down);
    EXPECT_TRUE(DLG_PortOpening());
    ASSERT_TRUE(silent.Accept());
    QTest::keyClick(Ports(), Qt::Key_Up);
    EXPECT_FALSE(DLG_PortOpening());
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_TRUE(TestPortHeld(0));
    EXPECT_TRUE(silent.ClosedByThePort());
    Pump(100);
    EXPECT_EQ(log, std::vector<std::string>{});
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_TRUE(TestPortHeld(0));
}

// Closing the window while its port connects ends the dialog at once; the outcome that comes later
// has no window to show a box in.
TEST_F(DialogNetTest, ClosingWhileConnectingEndsTheDialogAtOnce) {
    SilentServer silent;
    const std::string url = silent.Url();
    const char* apPaths[] = {url.c_str()};
    COM_SetPortTable(apPaths, 1);
    aPortList[0] = 0;
    PortCount = 1;
    std::vector<std::string> log;
    BoxCloser closer(&log);
    QTimer::singleShot(0, [&] {
        log.push_back(DLG_PortOpening() ? "connecting" : "not connecting");
        QTest::keyClick(hMainDlg.load(), Qt::Key_Escape);
    });
    QTimer watchdog; // a dialog that missed the close ends all the same
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { DLG_Proc(ID_CLOSE, 0); });
    watchdog.start(10000);
    DLG_Run("t");
    log.push_back("dialog ended");
    EXPECT_TRUE(PumpUntil([] { return COM_GetPortState() != PORT_OPENING; }));
    Pump(100);
    EXPECT_EQ(log, (std::vector<std::string>{"connecting", "dialog ended"}));
}

} // namespace
