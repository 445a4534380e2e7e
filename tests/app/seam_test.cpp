// The seam's operations on the Qt dialog: the percentage rule, the worker's progress calls and
// notifications across threads, and what happens to them when there is no dialog.
#include "app_test.h"

#include "app/app.h"
#include "app/dialog.h"
#include "app/qt/main_dialog.h"

#include <QProgressBar>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

class SeamTest : public ::testing::Test {
  protected:
    MainDialog* pDialog = nullptr;
    void SetUp() override {
        aPortList[0] = 0;
        PortCount = 1;
        pDialog = DLG_Create(nullptr, "t");
        pDialog->show();
    }
    void TearDown() override {
        if (pDialog) {
            DLG_Forget(pDialog);
            delete pDialog;
        }
    }
    static QProgressBar* Bar() { return static_cast<QProgressBar*>(DLG_Control(IDC_PROGRESS)); }
};

TEST_F(SeamTest, PercentageFollowsTheTruncatingRule) {
    EXPECT_EQ(TextOf(IDC_PERCENT), "0%");
    DLG_SetProgressRange(0, 2);
    DLG_SetProgress(1);
    EXPECT_EQ(TextOf(IDC_PERCENT), "50%");
    EXPECT_EQ(Bar()->value(), 1);

    DLG_SetProgressRange(0, 3); // the bar goes back to 0, the text stays until the next position
    EXPECT_EQ(TextOf(IDC_PERCENT), "50%");
    EXPECT_EQ(Bar()->value(), 0);
    DLG_SetProgress(2);
    EXPECT_EQ(TextOf(IDC_PERCENT), "66%");

    DLG_SetProgressRange(0, 322785);
    DLG_SetProgress(322785);
    EXPECT_EQ(TextOf(IDC_PERCENT), "100%");
    EXPECT_EQ(Bar()->value(), 322785);

    DLG_SetProgressRange(5, 5); // an empty range: 0%, and no busy animation
    DLG_SetProgress(5);
    EXPECT_EQ(TextOf(IDC_PERCENT), "0%");
    EXPECT_LT(Bar()->minimum(), Bar()->maximum());
}

TEST_F(SeamTest, JobDisplayShowsAndHidesTogether) {
    DLG_ShowJob("Clear target");
    EXPECT_EQ(TextOf(IDC_STATUS), "Clear target");
    EXPECT_TRUE(Shown(IDC_STATUS) && Shown(IDC_PROGRESS) && Shown(IDC_PERCENT));
    DLG_HideJob();
    EXPECT_FALSE(Shown(IDC_STATUS) || Shown(IDC_PROGRESS) || Shown(IDC_PERCENT));
}

TEST_F(SeamTest, WorkerProgressReturnsOnlyAfterTheDialogShowsIt) {
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        DLG_SetProgressRange(0, 4);
        DLG_SetProgress(1);
        returned = true;
    });
    // The main thread handles no messages: the worker must still be waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    for (int i = 0; i < 500 && !returned.load(); i++)
        Pump(10);
    worker.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(TextOf(IDC_PERCENT), "25%");
    EXPECT_EQ(Bar()->value(), 1);
}

TEST_F(SeamTest, WorkerWaitingForProgressIsReleasedWhenTheDialogEnds) {
    auto call = std::async(std::launch::async, [] { DLG_SetProgress(1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DLG_Forget(pDialog); // without handling a single message
    EXPECT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    delete pDialog;
    pDialog = nullptr;
    Pump(); // the stale call finds no dialog
    auto late = std::async(std::launch::async, [] { DLG_SetProgress(1); });
    EXPECT_EQ(late.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST_F(SeamTest, CommandsArriveInOrderFromAnyThread) {
    std::thread worker([] {
        DLG_PostCommand(ID_CONNECTED);
        DLG_PostCommand(ID_CONNECTION_LOST);
        DLG_PostCommand(ID_CONNECTED);
    });
    worker.join();
    Pump();
    EXPECT_EQ(TextOf(IDC_STATUS), "Connection to target established");
    EXPECT_TRUE(Shown(IDC_STATUS));
}

TEST(SeamWithoutDialogTest, CommandsPostedBeforeTheDialogAreLost) {
    ASSERT_EQ(hMainDlg.load(), nullptr);
    DLG_PostCommand(ID_CONNECTED);
    DLG_SetProgress(1); // returns at once
    aPortList[0] = 0;
    PortCount = 1;
    MainDialog* pDialog = DLG_Create(nullptr, "t");
    Pump();
    EXPECT_EQ(TextOf(IDC_STATUS), "Please cycle power of TQ330");
    EXPECT_EQ(TextOf(IDC_PERCENT), "0%");
    DLG_Forget(pDialog);
    delete pDialog;
}

} // namespace
