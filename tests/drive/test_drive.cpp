// tq330-updater-driven: the real program (the same start-up, dialog, worker and port) with switches
// that let tests, benchmarks and the headless demo drive it without a user. A test-only build: the
// shipped tq330-updater has none of this.
//   TQ330_AUTOSTART=1      press Start once the dialog is shown
//   TQ330_AUTOCLOSE=N      each time the button comes to read "Ok", print the final state on stdout;
//                          the Nth time (1 when N is 1 or not a number) press Ok
//   TQ330_OK_DELAY_MS=N    with TQ330_AUTOCLOSE: wait N ms after the button reads "Ok" before looking
//                          (what a user reads a moment after the end)
//   TQ330_STATUS_TRACE=1   print 'status visible=V "TEXT"' whenever the status line changes (seen
//                          within 50 ms)
//   TQ330_CLOSE_ON_INPUT=1 close the dialog (as the close box does) when standard input ends or
//                          gives a line: the test chooses the moment
//   TQ330_CLOSE_AFTER_MS=N close the dialog (as the close box does) N ms after it was shown
//   TQ330_BENCH_STARTUP=1  print the wall-clock time at which the dialog was first shown, then close
//   TQ330_TIMESTAMPS=1     with the two above: print "start <wall clock>" when Start is pressed and
//                          "end <wall clock>" when the final state is seen (benchmarks time updates)
#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

bool Switch(const char* name) {
    const char* pValue = std::getenv(name);
    return pValue && std::strcmp(pValue, "1") == 0;
}

void PrintTimestamp(const char* what) {
    if (!Switch("TQ330_TIMESTAMPS"))
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::printf("%s %lld.%06ld\n", what, static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
    std::fflush(stdout);
}

// One line a script can parse: the status line (line breaks as \n) and the controls' state.
void PrintFinalState() {
    auto* pStatus = qobject_cast<QLabel*>(DLG_Control(IDC_STATUS));
    QString status = pStatus ? pStatus->text() : QString();
    status.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    QWidget* pStart = DLG_Control(IDC_START);
    QWidget* pPorts = DLG_Control(IDC_PORT);
    auto* pButton = qobject_cast<QPushButton*>(DLG_Control(IDC_CANCEL));
    std::printf("final status=\"%s\" status_visible=%d start_visible=%d port_enabled=%d button=\"%s\"\n",
                status.toUtf8().constData(), pStatus && !pStatus->isHidden() ? 1 : 0,
                pStart && !pStart->isHidden() ? 1 : 0, pPorts && pPorts->isEnabled() ? 1 : 0,
                pButton ? pButton->text().toUtf8().constData() : "");
    std::fflush(stdout);
}

std::string StatusState() {
    auto* pStatus = qobject_cast<QLabel*>(DLG_Control(IDC_STATUS));
    if (!pStatus)
        return "";
    QString text = pStatus->text();
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return std::string("visible=") + (pStatus->isHidden() ? "0" : "1") + " \"" + text.toUtf8().constData() +
           "\"";
}

void Close() {
    std::printf("closing\n");
    std::fflush(stdout);
    DLG_Proc(ID_CLOSE, 0);
}

// Every change of the status line, looked at every 50 ms (a state that lasts less may be missed;
// the connection states last seconds), so that the look costs the program little.
void TraceStatus(MainDialog* pDialog) {
    auto* pTimer = new QTimer(pDialog);
    auto* pLast = new std::string;
    QObject::connect(pTimer, &QTimer::timeout, pDialog, [pLast] {
        std::string now = StatusState();
        if (now == *pLast)
            return;
        *pLast = now;
        std::printf("status %s\n", now.c_str());
        std::fflush(stdout);
    });
    pTimer->start(50);
}

void CloseOnInput(MainDialog* pDialog) {
    auto* pNotifier = new QSocketNotifier(0, QSocketNotifier::Read, pDialog);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pDialog, [pNotifier] {
        char acLine[64];
        [[maybe_unused]] ssize_t n = read(0, acLine, sizeof acLine); // a line or the end: either closes
        pNotifier->setEnabled(false);
        Close();
    });
}

void StartTestDrive(MainDialog* pDialog) {
    if (Switch("TQ330_BENCH_STARTUP")) {
        QTimer::singleShot(0, pDialog, [] {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("shown %lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
            std::fflush(stdout);
            DLG_Proc(ID_CLOSE, 0);
        });
        return;
    }
    if (Switch("TQ330_AUTOSTART"))
        QTimer::singleShot(0, pDialog, [] {
            PrintTimestamp("start");
            DLG_Proc(IDC_START, 0);
        });
    if (const char* pAfter = std::getenv("TQ330_CLOSE_AFTER_MS"))
        QTimer::singleShot(std::atoi(pAfter), pDialog, Close);
    if (Switch("TQ330_STATUS_TRACE"))
        TraceStatus(pDialog);
    if (Switch("TQ330_CLOSE_ON_INPUT"))
        CloseOnInput(pDialog);
    if (const char* pResults = std::getenv("TQ330_AUTOCLOSE")) {
        // The results to wait for: a re-run after a reconnection ends with "Ok" again.
        const int wanted = std::atoi(pResults) > 1 ? std::atoi(pResults) : 1;
        auto* pTimer = new QTimer(pDialog);
        auto* pSeen = new int(0);
        auto* pWasOk = new bool(false);
        QObject::connect(pTimer, &QTimer::timeout, pDialog, [pTimer, pSeen, pWasOk, wanted] {
            auto* pButton = qobject_cast<QPushButton*>(DLG_Control(IDC_CANCEL));
            const bool ok = pButton && !pButton->isHidden() && pButton->text() == QLatin1String("Ok");
            const bool ended = ok && !*pWasOk;
            *pWasOk = ok;
            if (!ended)
                return;
            const bool last = ++*pSeen == wanted;
            if (last)
                pTimer->stop();
            PrintTimestamp("end");
            const char* pDelay = std::getenv("TQ330_OK_DELAY_MS");
            int delayMs = pDelay ? std::atoi(pDelay) : 0;
            QTimer::singleShot(delayMs, [last] {
                PrintFinalState();
                if (auto* pOk = qobject_cast<QPushButton*>(DLG_Control(IDC_CANCEL)); pOk && last)
                    pOk->click();
            });
        });
        pTimer->start(10); // also the resolution of the "end" timestamp
    }
}

// Starts the drive when the dialog is first shown, as a user would begin once the window is there.
class DriveOnShow : public QObject {
  public:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Show && !bStarted) {
            if (auto* pDialog = qobject_cast<MainDialog*>(pWatched)) {
                bStarted = true;
                StartTestDrive(pDialog);
            }
        }
        return false;
    }

  private:
    bool bStarted = false;
};

} // namespace

int main(int argc, char** argv) {
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    QT_SetUpApplication();
    DriveOnShow drive;
    application.installEventFilter(&drive);
    APP_Main();
    std::fflush(nullptr);
    std::_Exit(0);
}
