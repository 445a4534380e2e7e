// The main dialog: its window, its controls and the command rules that react to the user and to
// the worker's notifications. The display operations the other layers call are in dialog_seam.cpp.
#include "app/main_dialog.h"

#include "app/app.h"
#include "app/dialog.h"
#include "link/com.h"
#include "update/flow.h"
#include "update/runner.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>

std::atomic<MainDialog*> hMainDlg{nullptr};

namespace {

const char* const CONTROL_ID = "tq330ControlId";

QString TitleText;
int bConnected = 0;
int bStartRequested = 0;
int SelectedPort = 0;
PortSettings ComProps{};

// The stock variable-pitch font of the reference platform is about 13 pixels high; DejaVu Sans at
// 11 pixels has the same line height and keeps every text inside its control.
QFont ControlFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

void OpenPort(int portIndex) {
    ComProps.BaudRate = 57600;
    ComProps.PortIndex = static_cast<uint8_t>(portIndex);
    ComProps.DataBits = 8;
    ComProps.Parity = 1;   // odd
    ComProps.StopBits = 0; // one
    COM_ChangeSettings(ComProps);
}

void EndDialog() {
    // The update inside which this handler may run returns first, and only then exec(). It must
    // not wait for a job that runs on (a clear takes up to 30 s): the process ends right after.
    if (UpdateRunning())
        AbandonOperations();
    if (MainDialog* pDialog = hMainDlg.load())
        pDialog->done(0); // only marks it ended: exec() returns once control is back in its own loop
}

} // namespace

MainDialog::MainDialog(QWidget* pOwner)
    : QDialog(pOwner,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Blank"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/tq330/tq330-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/tq330/tq330-32.png"), QSize(32, 32));
    setWindowIcon(icon);
    setSizeGripEnabled(false);
}

void MainDialog::reject() {
    DLG_Proc(ID_CLOSE, 0);
}

void MainDialog::closeEvent(QCloseEvent* pEvent) {
    // DLG_Proc hides the dialog itself; accepting the event here would close it a second time.
    pEvent->ignore();
    DLG_Proc(ID_CLOSE, 0);
}

bool MainDialog::event(QEvent* pEvent) {
    bool handled = QDialog::event(pEvent);
    // The frame's size is known only once the window manager has framed the window.
    if (pEvent->type() == QEvent::Show || pEvent->type() == QEvent::Move)
        FitOuterSize();
    if (pEvent->type() == QEvent::Show)
        QTimer::singleShot(50, this, [this] { FitOuterSize(); });
    return handled;
}

void MainDialog::FitOuterSize() {
    QSize frame = frameGeometry().size() - geometry().size();
    QSize client(DLG_WIDTH - frame.width(), DLG_HEIGHT - frame.height());
    if (client != size())
        setFixedSize(client);
}

void DLG_CenterOnDesktop(QWidget* pWindow, int width, int height) {
    QScreen* pScreen = pWindow->screen() ? pWindow->screen() : QGuiApplication::primaryScreen();
    QRect desktop = pScreen->geometry();
    int right = desktop.x() + desktop.width(); // exclusive right and bottom edges
    int bottom = desktop.y() + desktop.height();
    QSize frame = pWindow->frameGeometry().size() - pWindow->geometry().size();
    pWindow->setFixedSize(width - frame.width(), height - frame.height());
    pWindow->move((right - width) / 2, (bottom - height) / 3); // move() places the frame
    pWindow->raise();
}

QWidget* DLG_CreateControl(QWidget* pParent, const char* className, const char* text, int x, int y, int width,
                           int height, int id, uint32_t style, uint32_t exStyle) {
    QString name = QString::fromLatin1(className);
    QString label = text ? QString::fromUtf8(text) : QString();
    QWidget* pControl = nullptr;
    if (name == QLatin1String("STATIC")) {
        auto* pLabel = new QLabel(label, pParent);
        // A static control draws its text from the top; SS_CENTER centres it horizontally only.
        pLabel->setAlignment(((style & SS_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        pLabel->setTextFormat(Qt::PlainText);
        pControl = pLabel;
    } else if (name == QLatin1String("COMBOBOX")) {
        auto* pCombo = new QComboBox(pParent);
        // The height given includes the dropped-down list; the closed box keeps its natural height
        // and the list shows as many items as fit in the rest.
        pCombo->setFrame((exStyle & WS_EX_CLIENTEDGE) != 0);
        pCombo->setInsertPolicy(QComboBox::InsertAtBottom); // not sorted: items in the order added
        pCombo->setFont(ControlFont());
        int closed = pCombo->sizeHint().height();
        pCombo->setMaxVisibleItems(std::max(1, (height - closed) / 15));
        height = closed;
        QObject::connect(pCombo, &QComboBox::activated, pCombo, [id](int) { DLG_Proc(id, CBN_SELCHANGE); });
        pControl = pCombo;
    } else if (name == QLatin1String("msctls_progress32")) {
        auto* pBar = new QProgressBar(pParent);
        pBar->setTextVisible(false);
        pBar->setRange(0, 100);
        pBar->setValue(0);
        pControl = pBar;
    } else if (name == QLatin1String("BUTTON")) {
        auto* pButton = new QPushButton(label, pParent);
        pButton->setAutoDefault(true);
        pButton->setDefault((style & BS_DEFPUSHBUTTON) != 0);
        QObject::connect(pButton, &QPushButton::clicked, pButton, [id] { DLG_Proc(id, 0); });
        pControl = pButton;
    } else {
        return nullptr;
    }
    pControl->setFocusPolicy((style & WS_TABSTOP) ? Qt::StrongFocus : Qt::NoFocus);
    pControl->setFont(ControlFont());
    pControl->setGeometry(x, y, width, height);
    pControl->setProperty(CONTROL_ID, id);
    pControl->show();
    return pControl;
}

QWidget* DLG_Control(int id) {
    MainDialog* pDialog = hMainDlg.load();
    if (!pDialog)
        return nullptr;
    for (QObject* pChild : pDialog->children()) {
        QVariant value = pChild->property(CONTROL_ID);
        if (value.isValid() && value.toInt() == id && pChild->isWidgetType())
            return static_cast<QWidget*>(pChild);
    }
    return nullptr;
}

void DLG_Init(MainDialog* pDialog) {
    // The program runs one dialog per process; starting each from the documented state also lets
    // the tests run several in a row.
    bConnected = 0;
    bStartRequested = 0;
    SelectedPort = 0;

    hMainDlg.store(pDialog);
    DLG_CenterOnDesktop(pDialog, DLG_WIDTH, DLG_HEIGHT);
    pDialog->setWindowTitle(TitleText);

    DLG_CreateControl(pDialog, "STATIC", "COM port:", 95, 10, 65, 15, 0, 0, 0);
    DLG_CreateControl(pDialog, "COMBOBOX", nullptr, 160, 8, 65, 100, IDC_PORT,
                      CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE);
    DLG_CreateControl(pDialog, "STATIC", "", 11, 40, 290, 28, IDC_STATUS, SS_CENTER, 0);
    DLG_CreateControl(pDialog, "STATIC", "0%", 11, 60, 290, 14, IDC_PERCENT, SS_CENTER, 0);
    DLG_CreateControl(pDialog, "msctls_progress32", nullptr, 11, 80, 290, 20, IDC_PROGRESS, PBS_SMOOTH, 0);
    DLG_CreateControl(pDialog, "BUTTON", "Start", 100, 112, 120, 23, IDC_START, BS_DEFPUSHBUTTON | WS_TABSTOP,
                      0);
    DLG_CreateControl(pDialog, "BUTTON", "Cancel", 100, 112, 120, 23, IDC_CANCEL,
                      BS_DEFPUSHBUTTON | WS_TABSTOP, 0);

    DLG_ShowControl(IDC_CANCEL, false);
    DLG_HideJob();

    auto* pPorts = static_cast<QComboBox*>(DLG_Control(IDC_PORT));
    int count = std::clamp<int>(PortCount, 0, COM_PORT_COUNT);
    for (int i = 0; i < count; i++) {
        char acBuffer[50] = {};
        std::snprintf(acBuffer, sizeof acBuffer, "COM%d", aPortList[i] + 1);
        pPorts->addItem(QString::fromLatin1(acBuffer), aPortList[i]);
        pPorts->setItemData(i, QString::fromUtf8(COM_PortDevice(aPortList[i])), Qt::ToolTipRole);
    }
    COM_ReleaseDetectedPorts();
    pPorts->setCurrentIndex(0);
    if (count > 0) {
        SelectedPort = aPortList[0];
        OpenPort(SelectedPort);
    }
    DLG_ShowStatus("Please cycle power of TQ330");

    if (count == 1) {
        DLG_EnableControl(IDC_PORT, false);
        DLG_SetFocus(IDC_START);
    } else {
        DLG_SetFocus(IDC_PORT);
    }
}

int DLG_Proc(int id, int code) {
    if (code == CBN_SELCHANGE && id == IDC_PORT) {
        auto* pPorts = static_cast<QComboBox*>(DLG_Control(IDC_PORT));
        if (pPorts && pPorts->currentIndex() >= 0) {
            SelectedPort = pPorts->currentData().toInt();
            OpenPort(SelectedPort); // does nothing when this port is already in force
        }
    }
    switch (id) {
    case ID_CONNECTED:
        if (bConnected)
            return 0;
        bConnected = 1;
        // A loss and a new connection between two steps of a running update: the update owns the
        // status line and the focus, and a second update must not start inside the first.
        if (UpdateRunning())
            return 0;
        DLG_SetFocus(IDC_START);
        DLG_ShowStatus("Connection to target established");
        if (bStartRequested)
            RunUpdate();
        return 0;
    case ID_CONNECTION_LOST:
        if (bConnected) {
            bConnected = 0;
            DLG_HideStatus();
        }
        return 0;
    case IDC_START:
        bStartRequested = 1;
        if (bConnected) {
            if (!UpdateRunning())
                RunUpdate();
        } else {
            QApplication::beep();
            DLG_ShowStatus("No connection to TQ330.\nPlease cycle power of TQ330");
        }
        return 0;
    case IDC_CANCEL: {
        if (pfnCancelHook)
            pfnCancelHook();
        auto* pButton = qobject_cast<QPushButton*>(DLG_Control(IDC_CANCEL));
        if (pButton && pButton->text().left(2).startsWith(QLatin1Char('O'))) {
            EndDialog();
            return 1;
        }
        return 0;
    }
    case ID_CLOSE:
        if (pfnCancelHook)
            pfnCancelHook();
        EndDialog();
        return 1;
    default: // ID_POLL_DONE and anything else
        return 0;
    }
}

MainDialog* DLG_Create(QWidget* pOwner, const char* title) {
    TitleText = title ? QString::fromUtf8(title) : QString();
    auto* pDialog = new MainDialog(pOwner);
    DLG_Init(pDialog);
    return pDialog;
}

void DLG_Forget(MainDialog* pDialog) {
    hMainDlg.compare_exchange_strong(pDialog, nullptr);
    DLG_ReleaseProgressWaiters();
}

int DLG_Run(QWidget* pOwner, const char* title) {
    MainDialog* pDialog = DLG_Create(pOwner, title);
    DLG_StartTestDrive(pDialog);
    pDialog->exec();
    DLG_Forget(pDialog);
    delete pDialog;
    return 0;
}
