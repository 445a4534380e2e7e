// The real worker thread and the real serial port module against the real simulator on a
// pseudo-terminal: notifications, every job's status and results, and the flash the device is
// left with, byte for byte.
#include "sim_identity.h"
#include "sim_session.h"
#include "tests/fakes/fake_dialog.h"
#include "tools/tq330-sim/sim_protocol.h"

#include "app/dialog.h"
#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "link/com.h"
#include "link/job_state.h"
#include "link/worker.h"
#include "update/crc16.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint16_t Crc(const std::vector<uint8_t>& bytes) {
    uint16_t crc;
    Crc16Init(crc);
    Crc16Update(crc, bytes.data(), static_cast<uint32_t>(bytes.size() - 1));
    return crc;
}

// Areas of awkward sizes and gaps: a 1-byte area, gaps of 1 and many bytes, a block boundary
// falling on an area's end, the flash's first and last addresses.
ImageStore* MakeMultiAreaImage() {
    ImageStore* pImage = ImageStore_Create();
    struct Span {
        uint32_t start, length;
    };
    const Span aSpans[] = {{0xA0000, 500}, {0xA01F5, 1}, {0xA01F7, 480}, {0xB1234, 4097}, {0xFDF00, 0x100}};
    uint32_t seed = 12345;
    for (const Span& s : aSpans) {
        std::vector<uint8_t> bytes(s.length);
        for (uint8_t& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        EXPECT_EQ(ImageStore_AddBytes(pImage, s.start, s.length, bytes.data()), 0);
    }
    return pImage;
}

ImageStore* MakeContiguousImage(uint32_t start, uint32_t length) {
    ImageStore* pImage = ImageStore_Create();
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + 1);
    EXPECT_EQ(ImageStore_AddBytes(pImage, start, length, bytes.data()), 0);
    return pImage;
}

void ForgetTarget(TargetInfo& info, void*) {
    info = TargetInfo{};
}

class WorkerSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        TargetInfo_Update(ForgetTarget, nullptr);
        jobState.JobType.store(JOB_IDENTIFY);
        jobState.AbortFlag.store(0);
        dir = Sim_TempDir();
        ASSERT_FALSE(dir.empty());
        dumpPath = dir + "/flash.bin";
    }
    void TearDown() override {
        Session_Stop(&sim);
        if (pImage != nullptr)
            ImageStore_Destroy(pImage);
    }
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--baud", "0", "--clear-ms", "50", "--dump", dumpPath};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(Session_Start(args, &sim));
    }
    void Restart(std::vector<std::string> extra) {
        Session_Stop(&sim);
        Start(extra);
    }
    bool WaitConnected(int count = 1) { return fake_dialog::WaitForPosted(ID_CONNECTED, count, 5s); }
    uint8_t Run(uint8_t jobType, ImageStore* pProgram = nullptr) {
        uint8_t status = Session_RunJob(jobType, pProgram);
        EXPECT_NE(status, 0xFF) << "job " << int(jobType) << " did not end";
        return status;
    }
    std::vector<uint8_t> Dump() {
        EXPECT_EQ(Sim_Stop(&sim), 0);
        return Sim_ReadFile(dumpPath);
    }
    // A programming job that did not end with STATUS_OK must not have the device hold more than
    // the blocks it acknowledged: everything from ResultAddress on is still erased.
    void ExpectNothingBeyond(const std::vector<uint8_t>& dump, uint32_t from) {
        ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
        for (uint32_t a = from; a < SIM_FLASH_START + SIM_FLASH_SIZE; ++a)
            if (dump[a - SIM_FLASH_START] != 0xFF)
                FAIL() << "byte written at " << std::hex << a << " beyond " << from;
    }

    SimChild sim;
    std::string dir, dumpPath;
    ImageStore* pImage = nullptr;
};

TEST_F(WorkerSimTest, AnsweringDeviceIsReportedOnEveryPollWithItsIdentity) {
    Start();
    ASSERT_TRUE(WaitConnected(3));
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 0);
    std::vector<int> posted = fake_dialog::Posted();
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted[0], ID_CONNECTED);
    EXPECT_EQ(posted[1], ID_POLL_DONE);
    ExpectSimIdentity();
}

TEST_F(WorkerSimTest, DeviceThatGoesAwayIsLostOnceAndTheWorkerDoesNotSpin) {
    Start();
    ASSERT_TRUE(WaitConnected());
    Sim_Stop(&sim); // the device is gone: its end of the line closes
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTION_LOST, 1, 3s));
    EXPECT_EQ(TargetInfo_Connected(), 0);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    int polls = fake_dialog::CountPosted(ID_POLL_DONE);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 1);
    // A failed poll takes 300 ms, a port that is gone pauses; thousands would mean a spinning loop.
    EXPECT_LT(fake_dialog::CountPosted(ID_POLL_DONE) - polls, 50);
}

TEST_F(WorkerSimTest, StartedApplicationIsLostAndTheBootLoaderFoundAgain) {
    Start({"--app-ms", "1000"});
    ASSERT_TRUE(WaitConnected());
    EXPECT_EQ(Run(JOB_START_APPLICATION), STATUS_OK);
    fake_dialog::ClearPosted();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTION_LOST, 1, 2s));
    ASSERT_TRUE(WaitConnected());
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 1);
}

TEST_F(WorkerSimTest, SilentDeviceIsNeverConnectedAndNoJobSucceeds) {
    Start({"--silent"});
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 3, 3s));
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTED), 0);
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 0);
    EXPECT_EQ(Run(JOB_MAKE_VALID), STATUS_NOT_EXECUTED);
    pImage = MakeContiguousImage(0xA0000, 300);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_NOT_EXECUTED);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u);
    EXPECT_EQ(jobState.Remaining, 300u);
}

TEST_F(WorkerSimTest, EveryJobAgainstAHealthyDevice) {
    Start();
    ASSERT_TRUE(WaitConnected());
    pImage = MakeMultiAreaImage();
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);

    EXPECT_EQ(Run(JOB_CLEAR), STATUS_OK);
    EXPECT_EQ(Run(JOB_CHECK_BLANK), STATUS_OK);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_OK);
    EXPECT_EQ(jobState.Remaining, 0u);
    EXPECT_EQ(fake_dialog::EventsOf("Range").back().b, static_cast<int>(ImageStore_TotalBytes(pImage)));
    EXPECT_EQ(Run(JOB_CHECK_BLANK), STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u);
    EXPECT_EQ(jobState.ResultValue, expected[0]);
    EXPECT_EQ(Run(JOB_MAKE_VALID), STATUS_OK);
    EXPECT_EQ(Run(JOB_GET_CRC), STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(), Crc(expected));
    EXPECT_EQ(Run(JOB_START_APPLICATION), STATUS_OK);
    EXPECT_EQ(Dump(), expected);
}

TEST_F(WorkerSimTest, EmbeddedFirmwareLeavesTheFlashEqualToTheImage) {
    Start();
    ASSERT_TRUE(WaitConnected());
    pImage = ImageStore_Create();
    char acError[255] = {};
    ASSERT_EQ(SRecordReader_LoadText(pImage, acFirmwareText, acError, sizeof acError), 0) << acError;
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);
    EXPECT_EQ(Run(JOB_CLEAR), STATUS_OK);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_OK);
    EXPECT_EQ(Run(JOB_GET_CRC), STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(), Crc(expected));
    EXPECT_EQ(Dump(), expected);
}

TEST_F(WorkerSimTest, RejectedBlockReportsTheDevicesAddressAndValue) {
    Start({"--reject-at", "0xA0123"});
    ASSERT_TRUE(WaitConnected());
    pImage = MakeContiguousImage(0xA0000, 1000);
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_TARGET_ERROR);
    EXPECT_EQ(jobState.ResultAddress, 0xA0123u);
    EXPECT_EQ(jobState.ResultValue, expected[0x123]);
    std::vector<uint8_t> dump = Dump();
    ExpectNothingBeyond(dump, 0xA0123);
    EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + 0x123, expected.begin()));
}

TEST_F(WorkerSimTest, LostAcksAreRetriedThreeTimesButNeverForABlock) {
    Start({"--drop-acks", "2", "--drop-acks-cmd", "3"});
    ASSERT_TRUE(WaitConnected());
    EXPECT_EQ(Run(JOB_MAKE_VALID), STATUS_OK); // third try
    Restart({"--drop-acks", "3", "--drop-acks-cmd", "3"});
    EXPECT_EQ(Run(JOB_MAKE_VALID), STATUS_NOT_EXECUTED);
    Restart({"--drop-acks", "1", "--drop-acks-cmd", "2"});
    pImage = MakeContiguousImage(0xA0000, 600);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_NOT_EXECUTED);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u);
    EXPECT_EQ(jobState.Remaining, 600u);
    ExpectNothingBeyond(Dump(), 0xA0000);
}

TEST_F(WorkerSimTest, DamagedAnswersFailTheirJobsButNotTheAckOnlyOnes) {
    Start({"--corrupt-every", "1"});
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 2, 3s));
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTED), 0);
    EXPECT_EQ(Run(JOB_CLEAR), STATUS_NOT_EXECUTED);
    EXPECT_EQ(Run(JOB_CHECK_BLANK), STATUS_NOT_EXECUTED);
    EXPECT_EQ(Run(JOB_GET_CRC), STATUS_NOT_EXECUTED);
    EXPECT_EQ(TargetInfo_TargetCrc(), TARGET_CRC_UNKNOWN);
    EXPECT_EQ(Run(JOB_MAKE_VALID), STATUS_OK);
    pImage = MakeContiguousImage(0xA0000, 700);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_OK);
    EXPECT_EQ(Dump(), Sim_FlashOf(pImage));
}

TEST_F(WorkerSimTest, CorruptedEverySecondFrameIsRetriedByThePoll) {
    Start({"--corrupt-every", "2"});
    ASSERT_TRUE(WaitConnected(5));
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 0);
}

TEST_F(WorkerSimTest, WrongCrcIsReportedAsTheDeviceSaysIt) {
    Start({"--wrong-crc"});
    ASSERT_TRUE(WaitConnected());
    EXPECT_EQ(Run(JOB_GET_CRC), STATUS_OK);
    EXPECT_EQ(TargetInfo_TargetCrc(),
              static_cast<uint16_t>(Crc(std::vector<uint8_t>(SIM_FLASH_SIZE, 0xFF)) + 1));
}

TEST_F(WorkerSimTest, UnpluggedDeviceStopsTheProgrammingAfterItsLastBlock) {
    Start({"--unplug-after-blocks", "3"});
    ASSERT_TRUE(WaitConnected());
    pImage = MakeContiguousImage(0xA0000, 2000);
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);
    EXPECT_EQ(Run(JOB_PROGRAM, pImage), STATUS_NOT_EXECUTED);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u + 3 * 240);
    EXPECT_EQ(jobState.Remaining, 2000u - 3 * 240);
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTION_LOST, 1, 3s));
    std::vector<uint8_t> dump = Dump();
    ExpectNothingBeyond(dump, 0xA0000 + 3 * 240);
    EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + 3 * 240, expected.begin()));
}

TEST_F(WorkerSimTest, CancelStopsAfterTheBlockInFlightAndTheDeviceHoldsWhatWasAcknowledged) {
    Start({"--baud", "57600"}); // line time, so the cancel meets a running job
    ASSERT_TRUE(WaitConnected());
    pImage = MakeContiguousImage(0xA0000, 60000); // 250 blocks, about 12 s on the line
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);
    jobState.ProgramImage = pImage;
    jobState.JobType.store(JOB_PROGRAM, std::memory_order_release);
    // Two blocks acknowledged (the job shows each), however slowly a loaded machine starts it.
    auto deadline = Clock::now() + 30s;
    while (fake_dialog::EventsOf("Progress").size() < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    jobState.AbortFlag.store(1);
    deadline = Clock::now() + 5s;
    while (jobState.JobType.load(std::memory_order_acquire) != JOB_IDENTIFY && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(jobState.JobType.load(), JOB_IDENTIFY);
    EXPECT_EQ(jobState.JobStatus, STATUS_CANCELLED);
    uint32_t done = jobState.ResultAddress - 0xA0000;
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, 60000u);
    EXPECT_EQ(jobState.Remaining, 60000u - done);
    std::vector<uint8_t> dump = Dump();
    ExpectNothingBeyond(dump, jobState.ResultAddress);
    EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + done, expected.begin()));
}

} // namespace
