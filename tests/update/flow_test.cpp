#include "app/app.h"
#include "app/dialog.h"
#include "fakes/fake_dialog.h"
#include "image/image_store.h"
#include "link/job_state.h"
#include "scripted_worker.h"
#include "update/crc16.h"
#include "update/flow.h"
#include "update/runner.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint32_t AREA_START = 0x1000;

using Jobs = std::vector<int>;

// Two bytes whose CRC is `want`: with them as the image's whole CRC area, the image CRC is known.
std::vector<uint8_t> BytesWithCrc(uint16_t want) {
    for (uint32_t v = 0; v < 0x10000; v++) {
        uint8_t ac[2] = {uint8_t(v >> 8), uint8_t(v)};
        uint16_t crc;
        Crc16Init(crc);
        Crc16Update(crc, ac, 1);
        if (crc == want)
            return {ac[0], ac[1]};
    }
    return {};
}

class FlowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        fake_dialog::SetHandler([this](int id) {
            if ((id == IDC_CANCEL || id == ID_CLOSE) && pfnCancelHook)
                pfnCancelHook();
            if (id == ID_CONNECTED && startOnConnect && !inNestedCall) {
                // What the dialog does with the start armed: it must not nest a second update.
                // One level only, so that a missing guard fails the test instead of recursing.
                nestedRunningSeen += UpdateRunning();
                inNestedCall = true;
                RunUpdate();
                inNestedCall = false;
            }
        });
        scripted_worker::Start(AREA_START, 2);
        pStore = ImageStore_Create();
        pProgramImage = pStore;
    }
    void TearDown() override {
        scripted_worker::Stop();
        pProgramImage = nullptr;
        ImageStore_Destroy(pStore);
    }
    // The image's CRC over the area becomes `imageCrc`; the target will report `targetCrc`.
    void Crcs(uint16_t imageCrc, uint32_t targetCrc) {
        std::vector<uint8_t> bytes = BytesWithCrc(imageCrc);
        ASSERT_EQ(bytes.size(), 2u);
        ImageStore_RemoveRange(pStore, AREA_START, AREA_START + 1);
        ASSERT_EQ(ImageStore_AddBytes(pStore, AREA_START, 2, bytes.data()), 0);
        scripted_worker::Script(JOB_GET_CRC, {0, 0, 0, targetCrc});
    }
    static std::string FinalStatus() {
        auto status = fake_dialog::EventsOf("ShowStatus");
        return status.empty() ? "" : status.back().text;
    }
    ImageStore* pStore = nullptr;
    bool startOnConnect = false;
    bool inNestedCall = false;
    int nestedRunningSeen = 0;
};

TEST_F(FlowTest, SuccessfulUpdateRunsTheFiveStepsInOrder) {
    Crcs(0xBEEF, 0xBEEF);
    RunUpdate();
    EXPECT_EQ(scripted_worker::Seen(), (Jobs{1, 2, 3, 5, 7}));
    EXPECT_EQ(FinalStatus(), "Target updated successfully");
    EXPECT_EQ(jobState.ProgramImage, pStore);
    EXPECT_TRUE(fake_dialog::EventsOf("MessageBox").empty());
    EXPECT_EQ(UpdateRunning(), 0);

    // The controls: port list disabled, Start hidden, Cancel shown, focused, "Cancel", then "Ok".
    auto ev = fake_dialog::Events();
    ASSERT_GE(ev.size(), 5u);
    EXPECT_EQ(ev[0].op, "Enable");
    EXPECT_EQ(ev[0].a, IDC_PORT);
    EXPECT_EQ(ev[0].b, 0);
    EXPECT_EQ(ev[1].op, "Show");
    EXPECT_EQ(ev[1].a, IDC_START);
    EXPECT_EQ(ev[1].b, 0);
    EXPECT_EQ(ev[2].op, "Show");
    EXPECT_EQ(ev[2].a, IDC_CANCEL);
    EXPECT_EQ(ev[2].b, 1);
    auto focus = fake_dialog::EventsOf("Focus");
    ASSERT_EQ(focus.size(), 1u);
    EXPECT_EQ(focus[0].a, IDC_CANCEL);
    auto texts = fake_dialog::EventsOf("Text");
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "Cancel");
    EXPECT_EQ(texts[1].text, "Ok");
    EXPECT_EQ(ev.back().op, "ShowStatus");
    for (const auto& e : ev) // nothing gives the port list or Start back
        EXPECT_FALSE((e.op == "Enable" && e.b == 1) || (e.op == "Show" && e.a == IDC_START && e.b == 1));
}

TEST_F(FlowTest, AFailingStepStopsTheFlow) {
    struct Case {
        uint8_t job;
        uint8_t status;
        Jobs seen;
        int result;
    };
    const Case cases[] = {
        {JOB_CLEAR, STATUS_TARGET_ERROR, {1}, 1},
        {JOB_CLEAR, STATUS_NOT_EXECUTED, {1}, 2},
        {JOB_PROGRAM, STATUS_TARGET_ERROR, {1, 2}, 1},
        {JOB_MAKE_VALID, STATUS_NOT_EXECUTED, {1, 2, 3}, 2},
        {JOB_GET_CRC, STATUS_NOT_EXECUTED, {1, 2, 3, 5}, 1},
    };
    Crcs(0x4321, 0x4321);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.job) * 10 + c.status);
        JobScript failing = {c.status};
        if (c.job == JOB_GET_CRC)
            failing.crc = 0x4321; // not used: a failed Get CRC leaves 0xFFFFFFFF
        scripted_worker::Script(c.job, failing);
        size_t before = scripted_worker::Seen().size();
        EXPECT_EQ(UpdateTarget(), c.result);
        Jobs seen = scripted_worker::Seen();
        EXPECT_EQ(Jobs(seen.begin() + before, seen.end()), c.seen);
        scripted_worker::Script(c.job, {});
        scripted_worker::Script(JOB_GET_CRC, {0, 0, 0, 0x4321});
    }
    scripted_worker::Script(JOB_CLEAR, {STATUS_TARGET_ERROR});
    RunUpdate();
    EXPECT_EQ(FinalStatus(), "Target not updated successfully");
    auto texts = fake_dialog::EventsOf("Text");
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().text, "Ok");
}

// The verdict as a value: the status line is its text, and the failed step is the job that ended the
// flow, as the runner saw it end (a front end reports it without reading the dialog's words).
TEST_F(FlowTest, TheResultValueIsTheStatusLinesVerdictWithItsFailedStep) {
    struct Case {
        const char* name;
        uint8_t job; // scripted to fail; 0: none
        JobScript failing;
        uint16_t targetCrc;
        bool updated;
        uint8_t failedJob; // 0: no job failed
        const char* failedName;
        bool crcsDiffer;
        uint32_t reportedCrc;
    };
    JobScript programError = {STATUS_TARGET_ERROR, 0xC0000, 0x83};
    JobScript programClicked;
    programClicked.durationMs = 20000;
    programClicked.watchAbort = true;
    programClicked.clickCancel = true;
    const Case cases[] = {
        {"updated", 0, {}, 0x4321, true, 0, "", false, 0x4321},
        {"program error", JOB_PROGRAM, programError, 0x4321, false, JOB_PROGRAM, "Programming target", false,
         TARGET_CRC_UNKNOWN},
        {"no CRC",
         JOB_GET_CRC,
         {STATUS_NOT_EXECUTED},
         0x4321,
         false,
         JOB_GET_CRC,
         "Get CRC",
         false,
         TARGET_CRC_UNKNOWN},
        {"CRCs differ", 0, {}, 0x4322, false, 0, "", true, 0x4322},
        {"start fails", JOB_START_APPLICATION, {STATUS_TARGET_ERROR}, 0x4321, true, 0, "", false, 0x4321},
        {"cancelled", JOB_PROGRAM, programClicked, 0x4321, false, JOB_PROGRAM, "Programming target", false,
         TARGET_CRC_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Crcs(0x4321, c.targetCrc);
        if (c.job != 0)
            scripted_worker::Script(c.job, c.failing);
        unsigned before = UpdateLastResult().Number;
        fake_dialog::ClearEvents();
        RunUpdate();
        const UpdateResult& r = UpdateLastResult();
        EXPECT_EQ(r.Number, before + 1);
        EXPECT_EQ(r.Updated, c.updated);
        EXPECT_EQ(r.Result == 0, c.updated);
        EXPECT_EQ(FinalStatus(), UpdateStatusText(r));
        EXPECT_EQ(FinalStatus(),
                  c.updated ? "Target updated successfully" : "Target not updated successfully");
        EXPECT_EQ(r.FailedStep.Job, c.failedJob);
        EXPECT_EQ(r.FailedStep.Number != 0, c.failedJob != 0);
        EXPECT_STREQ(r.FailedStep.Name, c.failedName);
        if (c.failedJob != 0) {
            EXPECT_EQ(r.FailedStep.Status, c.failing.clickCancel ? STATUS_CANCELLED : c.failing.status);
        }
        if (c.failing.status == STATUS_TARGET_ERROR && c.failedJob != 0) {
            EXPECT_EQ(r.FailedStep.Value, 0x83u);
            EXPECT_EQ(r.FailedStep.Address, 0xC0000u);
        }
        EXPECT_EQ(r.CrcsDiffer, c.crcsDiffer);
        EXPECT_EQ(r.TargetCrc, c.reportedCrc);
        if (c.job != 0)
            scripted_worker::Script(c.job, {});
    }

    // A flow that could not hand its programming job over names no failed step; an update nested in
    // a running one publishes nothing.
    Crcs(0x4321, 0x4321);
    pProgramImage = nullptr;
    unsigned before = UpdateLastResult().Number;
    RunUpdate();
    EXPECT_EQ(UpdateLastResult().Number, before + 1);
    EXPECT_EQ(UpdateLastResult().Result, STATUS_NOT_EXECUTED);
    EXPECT_EQ(UpdateLastResult().FailedStep.Number, 0u);
    EXPECT_EQ(LastJobStep().Job, JOB_CLEAR);
    pProgramImage = pStore;
    startOnConnect = true;
    RunUpdate();
    EXPECT_GT(nestedRunningSeen, 0);
    EXPECT_EQ(UpdateLastResult().Number, before + 2);
    EXPECT_TRUE(UpdateLastResult().Updated);
}

TEST_F(FlowTest, TargetCrcMustBeAboveOne) {
    struct Case {
        uint16_t image;
        uint32_t target;
        int result;
    };
    const Case cases[] = {{0x0001, 0x0001, 1},
                          {0x0000, 0x0000, 1},
                          {0x0002, 0x0002, 0},
                          {0xFFFF, 0xFFFF, 0},
                          {0x1235, 0x1234, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        Crcs(c.image, c.target);
        size_t before = scripted_worker::Seen().size();
        EXPECT_EQ(UpdateTarget(), c.result);
        Jobs seen = scripted_worker::Seen();
        const Jobs expected = c.result ? Jobs{1, 2, 3, 5} : Jobs{1, 2, 3, 5, 7};
        EXPECT_EQ(Jobs(seen.begin() + before, seen.end()), expected);
    }
}

TEST_F(FlowTest, CrcAreaThatWrapsIsAMismatch) {
    Crcs(0x2468, 0xFFFF);
    // A naive count from 0xFFFFFF00 would never end; 512 bytes of fill would also not be 0xFFFF.
    scripted_worker::SetTarget(true, 0xFFFFFF00, 0x200);
    EXPECT_EQ(CompareCrc(), 1);
    EXPECT_EQ(scripted_worker::Seen(), Jobs{JOB_GET_CRC});
}

TEST_F(FlowTest, EmptyCrcAreaVerifiesNothing) {
    // Both sides give 0xFFFF, the CRC of no bytes, whatever was programmed.
    Crcs(0x2468, 0xFFFF);
    scripted_worker::SetTarget(true, 0xA0000, 0);
    EXPECT_EQ(CompareCrc(), 1);
}

TEST_F(FlowTest, FailedStartApplicationStillSucceeds) {
    Crcs(0x5555, 0x5555);
    scripted_worker::Script(JOB_START_APPLICATION, {STATUS_NOT_EXECUTED});
    RunUpdate();
    EXPECT_EQ(scripted_worker::Seen(), (Jobs{1, 2, 3, 5, 7}));
    EXPECT_EQ(FinalStatus(), "Target updated successfully");
}

TEST_F(FlowTest, StepWhoseTargetVanishedIsAFailure) {
    Crcs(0x5555, 0x5555);
    JobScript lastClear;
    lastClear.loseTarget = true;
    scripted_worker::Script(JOB_CLEAR, lastClear);
    // The clear itself ended well, so JobStatus reads 0 when programming is refused.
    EXPECT_EQ(UpdateTarget(), STATUS_NOT_EXECUTED);
    EXPECT_EQ(scripted_worker::Seen(), Jobs{JOB_CLEAR});

    scripted_worker::SetTarget(true, AREA_START, 2);
    scripted_worker::Script(JOB_CLEAR, {});
    JobScript lastValid;
    lastValid.loseTarget = true;
    scripted_worker::Script(JOB_MAKE_VALID, lastValid);
    RunUpdate(); // the CRC compare cannot pass without a target
    EXPECT_EQ(scripted_worker::Seen(), (Jobs{1, 1, 2, 3}));
    EXPECT_EQ(FinalStatus(), "Target not updated successfully");
}

TEST_F(FlowTest, CancelEndsTheFlowAfterTheJobHasEnded) {
    Crcs(0x5555, 0x5555);
    struct Case {
        uint8_t job;
        bool watchAbort;
        Jobs seen;
    };
    // Programming stops on the flag; the others run on, and the flow waits for them.
    const Case cases[] = {{JOB_CLEAR, false, {1}},
                          {JOB_PROGRAM, true, {1, 2}},
                          {JOB_MAKE_VALID, false, {1, 2, 3}},
                          {JOB_GET_CRC, false, {1, 2, 3, 5}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.job));
        JobScript clicked;
        clicked.durationMs = c.watchAbort ? 20000 : 300;
        clicked.watchAbort = c.watchAbort;
        clicked.clickCancel = true;
        clicked.crc = 0x5555;
        scripted_worker::Script(c.job, clicked);
        size_t before = scripted_worker::Seen().size();
        fake_dialog::ClearEvents();
        RunUpdate();
        EXPECT_EQ(jobState.JobType.load(), JOB_IDENTIFY); // the worker is free again
        EXPECT_EQ(FinalStatus(), "Target not updated successfully");
        Jobs seen = scripted_worker::Seen();
        EXPECT_EQ(Jobs(seen.begin() + before, seen.end()), c.seen);
        scripted_worker::Script(c.job, {0, 0, 0, 0x5555});
    }
    EXPECT_EQ(scripted_worker::Overwritten(), 0);
    // A later update is not held back by the earlier cancel.
    fake_dialog::ClearEvents();
    RunUpdate();
    EXPECT_EQ(FinalStatus(), "Target updated successfully");
}

TEST_F(FlowTest, NoUpdateStartsInsideARunningOne) {
    Crcs(0x5555, 0x5555);
    startOnConnect = true; // every ID_CONNECTED during the run asks for an update
    RunUpdate();
    EXPECT_GT(fake_dialog::CountPosted(ID_CONNECTED), 0);
    EXPECT_GT(nestedRunningSeen, 0);
    EXPECT_EQ(scripted_worker::Seen(), (Jobs{1, 2, 3, 5, 7}));
    EXPECT_EQ(fake_dialog::EventsOf("Text").size(), 2u); // one "Cancel", one "Ok"
    EXPECT_EQ(UpdateRunning(), 0);
    startOnConnect = false;
    RunUpdate(); // the next run, after the first has ended, goes ahead
    EXPECT_EQ(scripted_worker::Seen().size(), 10u);
}

} // namespace
