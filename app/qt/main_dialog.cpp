// The main dialog in Qt: the window and its controls, and the front-end operations the dialog's
// rules (app/dialog_rules.cpp) call. The display operations the other layers call are in
// dialog_seam.cpp.
#include "app/qt/main_dialog.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "link/com.h"

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
#include <cstring>

std::atomic<MainDialog*> hMainDlg{nullptr};

namespace {

const char* const CONTROL_ID = "tq330ControlId";

// The stock variable-pitch font of the reference platform is about 13 pixels high; DejaVu Sans at
// 11 pixels has the same line height and keeps every text inside its control.
QFont ControlFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QIcon ProgramIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/tq330/tq330-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/tq330/tq330-32.png"), QSize(32, 32));
    return icon;
}

QComboBox* PortList() {
    return qobject_cast<QComboBox*>(DLG_Control(IDC_PORT));
}

} // namespace

void QT_SetUpApplication() {
    // The dialog's end is the program's end, decided by APP_Main returning, not by the last window
    // being hidden (a running update may still be returning then).
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ProgramIcon());
}

MainDialog::MainDialog(QWidget* pOwner)
    : QDialog(pOwner,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Blank"));
    setWindowIcon(ProgramIcon());
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

// The outer size is the reference's as long as the frame is no larger than the reference frame;
// a larger frame (a taller title bar) grows the window, so the client area never shrinks below the
// reference's and the button stays whole.
void MainDialog::FitOuterSize() {
    QSize frame = frameGeometry().size() - geometry().size();
    int width = 0;
    int height = 0;
    DLG_OuterSize(frame.width(), frame.height(), &width, &height);
    QSize client(width - frame.width(), height - frame.height());
    if (client != size())
        setFixedSize(client);
}

void DLG_CenterOnDesktop(QWidget* pWindow, int width, int height) {
    // The desktop is the primary screen, wherever it lies in the virtual desktop.
    QScreen* pScreen = QGuiApplication::primaryScreen();
    if (pScreen == nullptr)
        pScreen = pWindow->screen();
    QRect desktop = pScreen->geometry();
    QSize frame = pWindow->frameGeometry().size() - pWindow->geometry().size();
    pWindow->setFixedSize(width - frame.width(), height - frame.height());
    int x = 0;
    int y = 0;
    DLG_CenterPosition(desktop.x(), desktop.y(), desktop.x() + desktop.width(),
                       desktop.y() + desktop.height(), width, height, &x, &y);
    pWindow->move(x, y); // move() places the frame
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
        pLabel->setAlignment(((style & CTL_SS_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        pLabel->setTextFormat(Qt::PlainText);
        pControl = pLabel;
    } else if (name == QLatin1String("COMBOBOX")) {
        auto* pCombo = new QComboBox(pParent);
        // The height given includes the dropped-down list; the closed box keeps its natural height
        // and the list shows as many items as fit in the rest.
        pCombo->setFrame((exStyle & CTL_WS_EX_CLIENTEDGE) != 0);
        pCombo->setInsertPolicy(QComboBox::InsertAtBottom); // not sorted: items in the order added
        pCombo->setFont(ControlFont());
        int closed = pCombo->sizeHint().height();
        pCombo->setMaxVisibleItems(std::max(1, (height - closed) / 15));
        height = closed;
        QObject::connect(pCombo, &QComboBox::activated, pCombo,
                         [id](int) { DLG_Proc(id, CTL_CBN_SELCHANGE); });
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
        pButton->setDefault((style & CTL_BS_DEFPUSHBUTTON) != 0);
        QObject::connect(pButton, &QPushButton::clicked, pButton, [id] { DLG_Proc(id, 0); });
        pControl = pButton;
    } else {
        return nullptr;
    }
    pControl->setFocusPolicy((style & CTL_WS_TABSTOP) ? Qt::StrongFocus : Qt::NoFocus);
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

void DLG_UiCenter(int width, int height) {
    MainDialog* pDialog = hMainDlg.load();
    if (!pDialog)
        return;
    // Grown when the window manager's frame is larger than the reference frame (see FitOuterSize).
    QSize frame = pDialog->frameGeometry().size() - pDialog->geometry().size();
    int outerWidth = width;
    int outerHeight = height;
    if (width == DLG_WIDTH && height == DLG_HEIGHT)
        DLG_OuterSize(frame.width(), frame.height(), &outerWidth, &outerHeight);
    DLG_CenterOnDesktop(pDialog, outerWidth, outerHeight);
}

void DLG_UiSetCaption(const char* text) {
    if (MainDialog* pDialog = hMainDlg.load())
        pDialog->setWindowTitle(QString::fromUtf8(text));
}

void DLG_UiCreateControl(const DialogControl& c) {
    DLG_CreateControl(hMainDlg.load(), c.ClassName, c.Text, c.X, c.Y, c.Width, c.Height, c.Id, c.Style,
                      c.ExStyle);
}

void DLG_UiAddPortItem(const char* text, int32_t portIndex) {
    QComboBox* pPorts = PortList();
    if (!pPorts)
        return;
    pPorts->addItem(QString::fromLatin1(text), portIndex);
    // Which device stands behind the COM name, for the user who has several adapters.
    pPorts->setItemData(pPorts->count() - 1, QString::fromUtf8(COM_PortDevice(portIndex)), Qt::ToolTipRole);
}

void DLG_UiSelectPortItem(int item) {
    if (QComboBox* pPorts = PortList())
        pPorts->setCurrentIndex(item);
}

int32_t DLG_UiSelectedPortIndex() {
    QComboBox* pPorts = PortList();
    if (!pPorts || pPorts->currentIndex() < 0)
        return -1;
    return pPorts->currentData().toInt();
}

void DLG_UiGetControlText(int id, char* acText, size_t size) {
    if (size == 0)
        return;
    acText[0] = '\0';
    QWidget* pControl = DLG_Control(id);
    QString text;
    if (auto* pLabel = qobject_cast<QLabel*>(pControl))
        text = pLabel->text();
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pControl))
        text = pButton->text();
    std::snprintf(acText, size, "%s", text.toUtf8().constData());
}

void DLG_UiBeep() {
    QApplication::beep();
}

void DLG_UiEndDialog() {
    if (MainDialog* pDialog = hMainDlg.load())
        pDialog->done(0); // only marks it ended: exec() returns once control is back in its own loop
}

MainDialog* DLG_Create(QWidget* pOwner, const char* title) {
    DLG_SetTitle(title);
    auto* pDialog = new MainDialog(pOwner);
    hMainDlg.store(pDialog);
    DLG_Init();
    return pDialog;
}

void DLG_Forget(MainDialog* pDialog) {
    hMainDlg.compare_exchange_strong(pDialog, nullptr);
    DLG_ReleaseProgressWaiters();
}

int DLG_Run(const char* title) {
    MainDialog* pDialog = DLG_Create(nullptr, title);
    pDialog->exec();
    DLG_Forget(pDialog);
    delete pDialog;
    return 0;
}
