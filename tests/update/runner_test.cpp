#include "app/dialog.h"
#include "fakes/fake_dialog.h"
#include "image/image_store.h"
#include "link/job_state.h"
#include "scripted_worker.h"
#include "update/runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#ifdef TQ330_COVERAGE
// Coverage builds (scripts/coverage.sh): writes the counts of a death test's child, which
// std::_Exit would otherwise throw away.
extern "C" void __gcov_dump();
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The dialog's Cancel/Ok button and close box call the cancel hook, as the real dialog does.
void DialogHandler(int id) {
    if ((id == IDC_CANCEL || id == ID_CLOSE) && pfnCancelHook)
        pfnCancelHook();
}

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        fake_dialog::SetHandler(DialogHandler);
        scripted_worker::Start(0x1000, 2);
        pImage = ImageStore_Create();
    }
    void TearDown() override {
        scripted_worker::Stop();
        ImageStore_Destroy(pImage);
    }
    static std::vector<fake_dialog::Event> Boxes() { return fake_dialog::EventsOf("MessageBox"); }
    ImageStore* pImage = nullptr;
};

struct BoxCase {
    const char* name;
    uint8_t job;
    JobScript script;
    std::function<int()> run;
    int result;
    const char* caption;
    const char* text;
};

TEST_F(RunnerTest, InteractiveOperationsShowOneBoxWithTheirText) {
    auto clear = [] { return int(ClearTarget(true)); };
    auto blank = [] { return int(CheckBlank(true)); };
    auto program = [this] { return int(ProgramTarget(true, pImage)); };
    auto valid = [] { return int(MakeValid(true)); };
    auto crc = [] { return int(GetTargetCrc(true)); };
    auto start = [] { return int(StartApplication(true)); };
    const BoxCase cases[] = {
        {"clear ok", JOB_CLEAR, {}, clear, 0, "Clear target", "Target is blank"},
        {"clear error",
         JOB_CLEAR,
         {1, 0xA0000, 0x1234ABCD},
         clear,
         1,
         "Clear target",
         "Target not blank, CD at address A0000"},
        {"blank error",
         JOB_CHECK_BLANK,
         {1, 0xA0010, 0x100},
         blank,
         1,
         "Check blank",
         "Target not blank, 0 at address A0010"},
        {"program ok", JOB_PROGRAM, {}, program, 0, "Programming target", "Target programmed"},
        {"program error",
         JOB_PROGRAM,
         {1, 0x1234, 0x5A},
         program,
         1,
         "Programming target",
         "Error occured: 5A on address 1234"},
        {"program error, whole value",
         JOB_PROGRAM,
         {1, 0xFDFEF, 0xDEADBEEF},
         program,
         1,
         "Programming target",
         "Error occured: DEADBEEF on address FDFEF"},
        {"valid ok", JOB_MAKE_VALID, {}, valid, 0, "Make valid", "Target has been made valid"},
        {"valid not executed", JOB_MAKE_VALID, {2}, valid, 2, "Make valid", "Could not execute command"},
        {"crc ok", JOB_GET_CRC, {0, 0, 0, 0x1D0F}, crc, 0x1D0F, "Get CRC", "Target CRC is 1D0F\r\n"},
        {"crc failed", JOB_GET_CRC, {2, 0, 0, 0x1D0F}, crc, -1, "Get CRC", "Could not execute command"},
        {"start ok",
         JOB_START_APPLICATION,
         {},
         start,
         0,
         "Start application",
         "Application has been started"},
        {"start cancelled",
         JOB_START_APPLICATION,
         {3},
         start,
         3,
         "Start application",
         "Job has been cancelled\r\n"},
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake_dialog::ClearEvents();
        scripted_worker::Script(c.job, c.script);
        EXPECT_EQ(c.run(), c.result);
        auto boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, c.caption);
        EXPECT_EQ(boxes[0].text, c.text);
        // The job's name is shown while it runs and hidden afterwards.
        auto shown = fake_dialog::EventsOf("ShowJob");
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, c.caption);
        EXPECT_EQ(fake_dialog::EventsOf("HideJob").size(), 1u);
    }
    EXPECT_EQ(pfnCancelHook, &OnCancelJob);
    EXPECT_EQ(scripted_worker::Seen(), (std::vector<int>{1, 1, 4, 2, 2, 2, 3, 3, 5, 5, 7, 7}));
}

TEST_F(RunnerTest, NonInteractiveOperationsNeverShowABox) {
    for (uint8_t status = 0; status <= 3; status++) {
        SCOPED_TRACE(int(status));
        for (uint8_t job : {JOB_CLEAR, JOB_PROGRAM, JOB_MAKE_VALID, JOB_CHECK_BLANK, JOB_START_APPLICATION})
            scripted_worker::Script(job, {status, 0xA0000, 0x42});
        scripted_worker::Script(JOB_GET_CRC, {status, 0, 0, 0x1234});
        EXPECT_EQ(ClearTarget(false), status);
        EXPECT_EQ(ProgramTarget(false, pImage), status);
        EXPECT_EQ(MakeValid(false), status);
        EXPECT_EQ(CheckBlank(false), status);
        EXPECT_EQ(GetTargetCrc(false), status == 0 ? 0x1234 : -1);
        EXPECT_EQ(StartApplication(false), status);
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(jobState.ProgramImage, pImage);
}

TEST_F(RunnerTest, WithoutATargetNothingIsHandedOverAndNoStaleStatusIsReported) {
    scripted_worker::SetTarget(false, 0x1000, 2);
    jobState.JobStatus = STATUS_OK; // left by an earlier job
    TargetInfo_SetTargetCrc(0x2222);
    EXPECT_EQ(RunOperation(JOB_CLEAR, "Clear target"), 0);
    EXPECT_EQ(ClearTarget(false), STATUS_NOT_EXECUTED);
    EXPECT_EQ(ProgramTarget(false, pImage), STATUS_NOT_EXECUTED);
    EXPECT_EQ(MakeValid(false), STATUS_NOT_EXECUTED);
    EXPECT_EQ(GetTargetCrc(false), -1);
    EXPECT_EQ(StartApplication(false), STATUS_NOT_EXECUTED);
    EXPECT_TRUE(fake_dialog::EventsOf("ShowJob").empty());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(CheckBlank(true), STATUS_NOT_EXECUTED);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, "Could not execute command");
    EXPECT_TRUE(scripted_worker::Seen().empty());
    EXPECT_EQ(jobState.JobType.load(), JOB_IDENTIFY);
}

TEST_F(RunnerTest, ProgrammingWithoutAnImageIsNotHandedOver) {
    EXPECT_EQ(ProgramTarget(true, nullptr), STATUS_NOT_EXECUTED);
    EXPECT_TRUE(scripted_worker::Seen().empty());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, "Programming target");
}

TEST_F(RunnerTest, AbortFlagStillSetReturnsWithoutWaiting) {
    scripted_worker::SetPaused(true);
    int dispatched = 0;
    fake_dialog::SetHandler([&](int) { dispatched++; });
    DLG_PostCommand(ID_POLL_DONE); // would be dispatched by a first wait
    jobState.AbortFlag.store(1);
    EXPECT_EQ(RunOperation(JOB_MAKE_VALID, "Make valid"), 1);
    EXPECT_EQ(dispatched, 0);
    EXPECT_EQ(jobState.JobType.load(), JOB_MAKE_VALID);
    EXPECT_EQ(fake_dialog::EventsOf("HideJob").size(), 1u);
    // The job was handed over all the same: the worker must be let back to JobType 0.
    scripted_worker::SetPaused(false);
    WaitForWorker();
    EXPECT_EQ(jobState.JobType.load(), JOB_IDENTIFY);
    EXPECT_EQ(scripted_worker::Seen(), std::vector<int>{JOB_MAKE_VALID});
}

TEST_F(RunnerTest, CancelStopsTheProgrammingJob) {
    JobScript longProgram;
    longProgram.durationMs = 20000;
    longProgram.watchAbort = true;
    longProgram.clickCancel = true;
    scripted_worker::Script(JOB_PROGRAM, longProgram);
    ResetCancelRequest();
    auto begin = Clock::now();
    EXPECT_EQ(ProgramTarget(true, pImage), STATUS_CANCELLED);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_TRUE(CancelRequested());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, "Job has been cancelled\r\n");
    EXPECT_EQ(Boxes()[0].caption, "Programming target");
}

TEST_F(RunnerTest, CancelDuringAJobThatRunsOnReportsThatJobsFinalStatus) {
    EXPECT_EQ(MakeValid(false), STATUS_OK); // leaves JobStatus 0 behind
    JobScript slowClear{STATUS_TARGET_ERROR, 0xA0010, 0x77};
    slowClear.durationMs = 300;
    slowClear.clickCancel = true;
    scripted_worker::Script(JOB_CLEAR, slowClear);
    ResetCancelRequest();
    EXPECT_EQ(ClearTarget(true), STATUS_TARGET_ERROR);
    EXPECT_TRUE(CancelRequested());
    EXPECT_EQ(jobState.JobType.load(), JOB_IDENTIFY);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, "Target not blank, 77 at address A0010");
    EXPECT_EQ(MakeValid(false), STATUS_OK);
    EXPECT_EQ(scripted_worker::Seen(), (std::vector<int>{3, 1, 3}));
    EXPECT_EQ(scripted_worker::Overwritten(), 0);
}

TEST_F(RunnerTest, TargetInfoIsCopiedOnlyWhileConnected) {
    TargetInfo info;
    GetTargetInfo(&info);
    EXPECT_EQ(info.Connected, 1);
    EXPECT_EQ(info.CrcStart, 0x1000u);
    EXPECT_EQ(info.CrcLength, 2u);
    scripted_worker::SetTarget(false, 0x1000, 2);
    GetTargetInfo(&info);
    EXPECT_EQ(info.CrcStart, 0u);
    EXPECT_EQ(info.CrcLength, 0u);
    EXPECT_EQ(info.TargetCrc, 0u);
}

#ifdef TQ330_TEST_EMULATOR
const char* const NoReexecUnderEmulator = "a threadsafe death test starts the test program again, which an "
                                          "emulated program cannot do without binfmt registration";
#endif

// The dialog ending during a job that runs on: the runner stops waiting and hands over nothing
// more. Run in a child process, since abandoning is for good.
TEST_F(RunnerTest, AbandonedOperationsEndAtOnce) {
#ifdef TQ330_TEST_EMULATOR
    GTEST_SKIP() << NoReexecUnderEmulator;
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fake_dialog::SetHandler([](int id) {
                if (id == IDC_CANCEL) {
                    pfnCancelHook();
                    AbandonOperations();
                }
            });
            JobScript longClear;
            longClear.durationMs = 20000;
            longClear.clickCancel = true;
            scripted_worker::Script(JOB_CLEAR, longClear);
            auto begin = Clock::now();
            bool ok = ClearTarget(false) == STATUS_CANCELLED;
            ok = ok && Clock::now() - begin < std::chrono::seconds(10);
            ok = ok && MakeValid(false) == STATUS_NOT_EXECUTED;
            ok = ok && scripted_worker::Seen() == std::vector<int>{JOB_CLEAR};
#ifdef TQ330_COVERAGE
            __gcov_dump();
#endif
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The close can come while AbortFlag is clear again: the worker clears it after every poll, so a
// close just before the job is picked up leaves only the abandon. The wait must end on that alone.
TEST_F(RunnerTest, AbandonWithoutAbortFlagEndsTheWait) {
#ifdef TQ330_TEST_EMULATOR
    GTEST_SKIP() << NoReexecUnderEmulator;
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fake_dialog::SetHandler([](int id) {
                if (id == IDC_CANCEL)
                    AbandonOperations();
            });
            JobScript longClear;
            longClear.durationMs = 8000;
            longClear.clickCancel = true;
            scripted_worker::Script(JOB_CLEAR, longClear);
            auto begin = Clock::now();
            bool ok = ClearTarget(false) == STATUS_CANCELLED;
            ok = ok && Clock::now() - begin < std::chrono::seconds(4);
            ok = ok && jobState.JobType.load() == JOB_CLEAR; // the job runs on, unwaited for
#ifdef TQ330_COVERAGE
            __gcov_dump();
#endif
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
