// The target commands other than programming, run directly on the test thread against a scripted
// target: what they send, how they read the answers, and what they leave in the job state.
#include "device.h"
#include "fakes/fake_dialog.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/jobs.h"

#include <gtest/gtest.h>

using device::Bytes;
using device::Frame;

namespace {

class JobsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device::ResetAll();
        TargetInfo_SetTargetCrc(0x1234);
        jobState.ResultAddress = 0xAAAA;
        jobState.ResultValue = 0xBBBB;
    }
    // Runs the job as the worker would: JobType set first; every path must hand it back as 0.
    void Run(void (*pfnJob)(), uint8_t jobType) {
        jobState.JobStatus = 0xEE;
        jobState.JobType.store(jobType);
        pfnJob();
        EXPECT_EQ(jobState.JobType.load(), 0) << "job did not hand JobType back";
    }
};

// A target that acknowledges every Frame and answers with `answer` (none when empty).
void AckAndAnswer(const Bytes& answer) {
    fake_com::SetResponder([answer](const Bytes&) {
        fake_com::Feed({FRAME_ACK});
        fake_com::Feed(answer, 5);
    });
}

void SetCrcRange(uint32_t start, uint32_t length) {
    struct Range {
        uint32_t start, length;
    } range{start, length};
    TargetInfo_Update(
        [](TargetInfo& info, void* p) {
            info.CrcStart = static_cast<Range*>(p)->start;
            info.CrcLength = static_cast<Range*>(p)->length;
        },
        &range);
}

TEST_F(JobsTest, ClearOfABlankTarget) {
    AckAndAnswer(Frame(4));
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    EXPECT_EQ(fake_com::Writes().at(0).bytes, (Bytes{0x68, 0, 0, 0x68, 0, 0, 1, 1, 0x16}));
    EXPECT_EQ(fake_com::Reads().at(1).timeoutMs, 30000u); // the answer's header
    auto range = fake_dialog::EventsOf("Range");
    auto progress = fake_dialog::EventsOf("Progress");
    ASSERT_EQ(range.size(), 1u);
    EXPECT_EQ(range[0].b, 2);
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0].a, 1);
}

TEST_F(JobsTest, ClearReportsWhereTheTargetIsNotBlank) {
    AckAndAnswer(Frame(4, device::Concat(device::U32(0x20000), device::U32(0xFF))));
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0x20000u);
    EXPECT_EQ(jobState.ResultValue, 0xFFu);
}

TEST_F(JobsTest, ShortNotBlankAnswerReadsUncoveredFieldsAsZero) {
    AckAndAnswer(Frame(4, {0x34, 0x12}));
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0x1234u); // not the Frame's own checksum and end byte
    EXPECT_EQ(jobState.ResultValue, 0u);
}

TEST_F(JobsTest, ClearFailuresAreNotExecutedAndKeepEarlierResults) {
    // Answer of the wrong kind.
    AckAndAnswer(Frame(5, device::U32(0x20000)));
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(jobState.ResultAddress, 0xAAAAu);

    // Acknowledged, but the answer never comes: one wait of 30 s, the command is not repeated.
    device::ResetAll();
    jobState.ResultAddress = 0xAAAA;
    AckAndAnswer({});
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
    EXPECT_EQ(fake_com::Now(), 30000u);

    // Silent target: three sends, no answer read.
    device::ResetAll();
    TargetInfo_SetTargetCrc(0x1234);
    jobState.ResultAddress = 0xAAAA;
    Run(Job_Clear, JOB_CLEAR);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(fake_com::Writes().size(), 3u);
    EXPECT_EQ(fake_com::Now(), 3000u);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    EXPECT_EQ(jobState.ResultAddress, 0xAAAAu);
}

TEST_F(JobsTest, CheckBlankLeavesTheTargetCrcAlone) {
    AckAndAnswer(Frame(4, device::Concat(device::U32(0xA0000), device::U32(0x1234ABCD))));
    Run(Job_CheckBlank, JOB_CHECK_BLANK);
    EXPECT_EQ(jobState.JobStatus, STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u);
    EXPECT_EQ(jobState.ResultValue, 0x1234ABCDu);
    EXPECT_EQ(TargetInfo_TargetCrc(), 0x1234u);
    EXPECT_EQ(device::CommandOf(fake_com::Writes().at(0).bytes), JOB_CHECK_BLANK);
    EXPECT_EQ(fake_com::Reads().at(1).timeoutMs, 10000u);
}

TEST_F(JobsTest, GetCrcAsksForTheIdentifiedRange) {
    SetCrcRange(0xEEC70, 0x1000);
    auto calls = std::make_shared<int>(0);
    fake_com::SetResponder([calls](const Bytes&) {
        fake_com::Feed({FRAME_ACK});
        if (++*calls == 1)
            fake_com::Feed(Frame(0x33, {1, 2, 3, 4}), 10); // the first answer is not looked at
        else
            fake_com::Feed(Frame(5, {0x00, 0x0F, 0x1D}), 10);
    });
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(), 0x1D0Fu);
    auto writes = fake_com::Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, Frame(5));
    EXPECT_EQ(writes[1].bytes, (Bytes{0x68, 0x08, 0x08, 0x68, 0x00, 0x00, 0x05, 0x70, 0xEC, 0x0E, 0x00, 0x00,
                                      0x10, 0x00, 0x00, 0x7F, 0x16}));
    for (const auto& r : fake_com::Reads()) {
        EXPECT_EQ(r.timeoutMs, r.count == 1 ? 1000u : 10000u); // the Ack byte has its own 1000 ms
    }
}

TEST_F(JobsTest, GetCrcFailures) {
    // The second answer has the wrong command byte.
    fake_com::SetResponder([](const Bytes& written) {
        fake_com::Feed({FRAME_ACK});
        fake_com::Feed(written[1] == 0 ? Frame(5) : Frame(4, {0x00, 0x0F, 0x1D}));
    });
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);

    // The first answer is missing: the second request is never sent.
    device::ResetAll();
    TargetInfo_SetTargetCrc(0x1234);
    AckAndAnswer({});
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
}

// The range request is the one that yields the CRC: when it goes unacknowledged or unanswered
// after a good first exchange, no CRC is known, however well the first exchange went.
TEST_F(JobsTest, GetCrcFailsWhenTheRangeRequestGoesUnanswered) {
    // Not acknowledged: sent three times, then given up.
    fake_com::SetResponder([](const Bytes& written) {
        if (written[1] == 0) {
            fake_com::Feed({FRAME_ACK});
            fake_com::Feed(Frame(5));
        }
    });
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    EXPECT_EQ(fake_com::Writes().size(), 4u);

    // Acknowledged, but its answer never comes: one request, waited for 10000 ms.
    device::ResetAll();
    TargetInfo_SetTargetCrc(0x1234);
    fake_com::SetResponder([](const Bytes& written) {
        fake_com::Feed({FRAME_ACK});
        if (written[1] == 0)
            fake_com::Feed(Frame(5));
    });
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    EXPECT_EQ(fake_com::Writes().size(), 2u);
    EXPECT_EQ(fake_com::Reads().back().timeoutMs, 10000u);
}

TEST_F(JobsTest, GetCrcWithAShortAnswerReadsZero) {
    fake_com::SetResponder([](const Bytes& written) {
        fake_com::Feed({FRAME_ACK});
        fake_com::Feed(written[1] == 0 ? Frame(5) : Frame(5, {0x00}));
    });
    Run(Job_GetCrc, JOB_GET_CRC);
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(), 0u);
}

TEST_F(JobsTest, AckOnlyCommands) {
    Run(Job_MakeValid, JOB_MAKE_VALID);
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(fake_com::Now(), 3000u);
    EXPECT_EQ(fake_com::Writes().size(), 3u);
    EXPECT_EQ(device::CommandOf(fake_com::Writes().at(0).bytes), JOB_MAKE_VALID);

    device::ResetAll();
    AckAndAnswer({});
    Run(Job_StartApplication, JOB_START_APPLICATION);
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    EXPECT_EQ(fake_com::Writes().at(0).bytes, Frame(7));
    EXPECT_EQ(fake_com::Reads().size(), 1u);    // no answer Frame is read
    EXPECT_TRUE(fake_dialog::Events().empty()); // the progress display is left alone

    device::ResetAll();
    AckAndAnswer({});
    Run(Job_MakeValid, JOB_MAKE_VALID);
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
}

} // namespace
