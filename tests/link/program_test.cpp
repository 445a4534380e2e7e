// The programming job against a scripted target: how the image is cut into blocks, how the three
// outcomes of a block end the job, cancelling, and the progress the dialog is shown.
#include "device.h"
#include "fakes/fake_dialog.h"
#include "image/image_store.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/jobs.h"

#include <gtest/gtest.h>

#include <memory>

using device::Bytes;
using device::Frame;

namespace {

struct Block {
    uint32_t address;
    Bytes bytes;
};

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device::ResetAll();
        pImage = ImageStore_Create();
        ASSERT_NE(pImage, nullptr);
        jobState.ProgramImage = pImage;
        blocks = std::make_shared<std::vector<Block>>();
    }
    void TearDown() override { ImageStore_Destroy(pImage); }

    void Add(uint32_t address, uint32_t length) {
        Bytes bytes(length);
        for (uint32_t i = 0; i < length; ++i)
            bytes[i] = static_cast<uint8_t>((address + i) * 13);
        ASSERT_EQ(ImageStore_AddBytes(pImage, address, length, bytes.data()), 0);
    }
    // The target: records each block; `answer` gives what it sends back for block n (0-based).
    void Target(std::function<Bytes(size_t n)> answer) {
        auto list = blocks;
        fake_com::SetResponder([list, answer](const Bytes& written) {
            ASSERT_EQ(device::CommandOf(written), JOB_PROGRAM);
            const uint8_t length = written[1];
            uint32_t address = written[7] | written[8] << 8 | written[9] << 16 | uint32_t{written[10]} << 24;
            list->push_back({address, Bytes(written.begin() + 11, written.begin() + 7 + length)});
            fake_com::Feed(answer(list->size() - 1));
        });
    }
    void Run() {
        jobState.JobType.store(JOB_PROGRAM);
        Job_Program();
        EXPECT_EQ(jobState.JobType.load(), 0);
    }
    std::vector<int> ProgressShown() {
        std::vector<int> out;
        for (const auto& e : fake_dialog::EventsOf("Progress"))
            out.push_back(e.a);
        return out;
    }

    ImageStore* pImage = nullptr;
    std::shared_ptr<std::vector<Block>> blocks;
};

Bytes Ack(size_t) {
    return {FRAME_ACK};
}

TEST_F(ProgramTest, ConsecutiveBytesGoInFullBlocks) {
    Add(0x1000, 500);
    Target(Ack);
    TargetInfo_SetTargetCrc(0x1234);
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    ASSERT_EQ(blocks->size(), 3u);
    EXPECT_EQ((*blocks)[0].address, 0x1000u);
    EXPECT_EQ((*blocks)[1].address, 0x10F0u);
    EXPECT_EQ((*blocks)[2].address, 0x11E0u);
    EXPECT_EQ((*blocks)[0].bytes.size(), 240u);
    EXPECT_EQ((*blocks)[1].bytes.size(), 240u);
    EXPECT_EQ((*blocks)[2].bytes.size(), 20u);
    for (const Block& b : *blocks)
        for (size_t i = 0; i < b.bytes.size(); ++i)
            ASSERT_EQ(b.bytes[i], ImageStore_GetByte(pImage, b.address + static_cast<uint32_t>(i)));
    EXPECT_EQ(jobState.Remaining, 0u);
    EXPECT_EQ(jobState.ResultAddress, 0x1000u + 500);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);

    auto range = fake_dialog::EventsOf("Range");
    ASSERT_EQ(range.size(), 1u);
    EXPECT_EQ(range[0].a, 0);
    EXPECT_EQ(range[0].b, 500);
    // Moved at the first step after each block: the last block's progress is never shown.
    EXPECT_EQ(ProgressShown(), (std::vector<int>{240, 480}));
}

TEST_F(ProgramTest, BlocksNeverSpanAGap) {
    Add(0x1000, 10);
    Add(0x1010, 10);
    Target(Ack);
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    ASSERT_EQ(blocks->size(), 2u);
    EXPECT_EQ((*blocks)[0].address, 0x1000u);
    EXPECT_EQ((*blocks)[0].bytes.size(), 10u);
    EXPECT_EQ((*blocks)[1].address, 0x1010u);
    EXPECT_EQ((*blocks)[1].bytes.size(), 10u);
    EXPECT_EQ(ProgressShown(), (std::vector<int>{10}));
}

TEST_F(ProgramTest, RejectedBlockReportsTheTargetsAddressAndValue) {
    Add(0x1000, 500);
    Target([](size_t n) {
        return n == 1 ? Frame(2, {0x00, 0x34, 0x12, 0x00, 0x00, 0x5A}) : Bytes{FRAME_ACK};
    });
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0x1234u);
    EXPECT_EQ(jobState.ResultValue, 0x5Au);
    EXPECT_EQ(jobState.Remaining, 260u); // the rejected block is not counted as sent
    EXPECT_EQ(blocks->size(), 2u);       // and nothing after it
}

// A short error Frame must not make an address out of its own checksum, end byte and the block that
// was sent: what it does not hold reads as 0.
TEST_F(ProgramTest, ShortErrorFrameReadsUncoveredFieldsAsZero) {
    Add(0x1000, 300);
    Target([](size_t n) { return n == 1 ? Frame(2, {0x00, 0x34}) : Bytes{FRAME_ACK}; });
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0x34u);
    EXPECT_EQ(jobState.ResultValue, 0u);
}

TEST_F(ProgramTest, UnansweredBlockIsNotExecutedAfterTwoSeconds) {
    Add(0x1000, 500);
    Target([](size_t) { return Bytes{}; });
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_EQ(blocks->size(), 1u); // never repeated
    EXPECT_EQ(fake_com::Now(), 2000u);
    EXPECT_EQ(jobState.ResultAddress, 0x1000u);
    EXPECT_EQ(jobState.Remaining, 500u);
}

TEST_F(ProgramTest, CancelStopsAfterTheBlockInFlight) {
    Add(0x1000, 24000);
    Target([](size_t n) {
        if (n == 1)
            jobState.AbortFlag.store(1); // the user cancels while the second block is on the line
        return Bytes{FRAME_ACK};
    });
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_CANCELLED);
    EXPECT_EQ(blocks->size(), 2u);
    EXPECT_EQ(jobState.ResultAddress, 0x1000u + 480);
    EXPECT_EQ(jobState.Remaining, 24000u - 480);
}

TEST_F(ProgramTest, EmptyImageSendsNothing) {
    Target(Ack);
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    EXPECT_TRUE(fake_com::Writes().empty());
    EXPECT_TRUE(ProgressShown().empty());
}

TEST_F(ProgramTest, MissingImageIsNotExecuted) {
    jobState.ProgramImage = nullptr;
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    EXPECT_TRUE(fake_com::Writes().empty());
}

TEST_F(ProgramTest, PendingWriteOutsideTheAreasDoesNotRunAway) {
    // The store counts area bytes only; a queued write behind the last area is sent as well and
    // must not make the job walk the address space for bytes it can never find.
    Add(0x1000, 10);
    ImageStore_QueueWrite(pImage, 0x100A, 0x77);
    Target(Ack);
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    ASSERT_EQ(blocks->size(), 1u);
    EXPECT_EQ((*blocks)[0].bytes.size(), 11u);
    EXPECT_EQ((*blocks)[0].bytes.back(), 0x77);
}

TEST_F(ProgramTest, ImageShrinkingUnderTheJobEndsItAtTheOldEnd) {
    // Bytes counted at the start vanish while the job runs (another thread edits the store): the
    // job must stop at the image's former end, not walk the address space looking for them.
    Add(0x1000, 300);
    Add(0x2000, 10);
    ImageStore* pStore = pImage;
    Target([pStore](size_t n) {
        if (n == 0)
            ImageStore_RemoveRange(pStore, 0x2000, 0x2009);
        return Bytes{FRAME_ACK};
    });
    Run();
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
    ASSERT_EQ(blocks->size(), 2u); // the first area in full, nothing of the vanished one
    EXPECT_EQ((*blocks)[1].address, 0x1000u + 240);
    EXPECT_EQ((*blocks)[1].bytes.size(), 60u);
    EXPECT_EQ(jobState.Remaining, 10u);
    EXPECT_LE(jobState.ResultAddress, 0x2009u);
}

} // namespace
