// The dialog under a real window manager whose title bar is taller than the reference platform's:
// the window grows by the difference, so the client area and every control stay whole. Runs on
// a virtual display (with_window_manager.sh).
#include "app_test.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/dialog_rules.h"
#include "app/qt/main_dialog.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(FrameTest, ATallTitleBarGrowsTheWindowAndKeepsEveryControlWhole) {
    aPortList[0] = 0;
    PortCount = 1;
    MainDialog* pDialog = DLG_Create(nullptr, APP_GetTitle());
    pDialog->show();
    // The frame is known once the window manager has framed the window; the dialog then fits.
    QElapsedTimer timer;
    timer.start();
    QSize frame;
    while (timer.elapsed() < 5000) {
        Pump(50);
        frame = pDialog->frameGeometry().size() - pDialog->geometry().size();
        if (frame.height() > 0 && timer.elapsed() > 300)
            break;
    }
    ASSERT_GT(frame.height(), DLG_HEIGHT - DLG_CLIENT_HEIGHT) << "the window manager's title bar is not tall";

    QSize outer = pDialog->frameGeometry().size();
    EXPECT_EQ(outer, QSize(DLG_WIDTH + std::max(0, frame.width() - (DLG_WIDTH - DLG_CLIENT_WIDTH)),
                           DLG_HEIGHT + std::max(0, frame.height() - (DLG_HEIGHT - DLG_CLIENT_HEIGHT))));
    EXPECT_GE(pDialog->width(), DLG_CLIENT_WIDTH);
    EXPECT_GE(pDialog->height(), DLG_CLIENT_HEIGHT);
    for (int id : {IDC_STATUS, IDC_PERCENT, IDC_PROGRESS, IDC_START, IDC_CANCEL, IDC_PORT}) {
        QWidget* pControl = DLG_Control(id);
        ASSERT_NE(pControl, nullptr);
        EXPECT_TRUE(pDialog->rect().contains(pControl->geometry())) << "control " << id << " is clipped";
    }
    DLG_Forget(pDialog);
    delete pDialog;
}

} // namespace
