// tq330-screenshots [FOLDER]: renders each state of the real main dialog to a PNG file (default
// folder: ./screenshots). Runs on the offscreen platform; a pseudo-terminal stands in for COM1, and
// the scripted update flow of the tests holds the dialog in the programming state.
#include "fake_update.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <unistd.h>

namespace {

QString Folder;
int Failures = 0;

void Settle() {
    for (int i = 0; i < 20; i++)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void Save(const char* name) {
    Settle();
    QString path = Folder + QLatin1Char('/') + QLatin1String(name) + QLatin1String(".png");
    bool saved = hMainDlg.load()->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toUtf8().constData());
    Failures += saved ? 0 : 1;
}

MainDialog* Open() {
    fake_update::Reset();
    MainDialog* pDialog = DLG_Create(nullptr, APP_GetTitle());
    pDialog->show();
    Settle();
    return pDialog;
}

void Close(MainDialog* pDialog) {
    DLG_Forget(pDialog);
    delete pDialog;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int master = -1, slave = -1;
    char acName[256] = {};
    if (openpty(&master, &slave, acName, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    setenv("TQ330_PORTS", acName, 1);
    QApplication application(argc, argv);
    Folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(Folder);
    aPortList[0] = 0;
    aPortList[1] = 2;
    PortCount = 2;

    MainDialog* pDialog = Open();
    Save("screenshot-waiting");
    DLG_Proc(IDC_START, 0);
    Save("screenshot-start-without-connection");
    Close(pDialog);

    pDialog = Open();
    DLG_PostCommand(ID_CONNECTED);
    Save("screenshot-connected");
    fake_update::Body = [] {
        DLG_ShowJob("Programming target");
        DLG_SetProgressRange(0, 322785);
        DLG_SetProgress(119430);
        Save("screenshot-programming");
        DLG_HideJob(); // as the operation runner does after each step
        return 0;
    };
    DLG_Proc(IDC_START, 0);
    Save("screenshot-done");
    Close(pDialog);

    pDialog = Open();
    DLG_PostCommand(ID_CONNECTED);
    Settle();
    fake_update::Body = [] { return 1; };
    DLG_Proc(IDC_START, 0);
    Save("screenshot-done-unsuccessfully");
    Close(pDialog);
    return Failures == 0 ? 0 : 1;
}
