// The worker thread, the frame layer and the jobs of the Windows build against the Linux simulator
// through a COM port: the identify poll finds the device, and the embedded image is programmed
// whole. The script compares the simulator's flash dump with the file written here.
#include "com_win32_test.h"
#include "tests/fakes/fake_dialog.h"
#include "tests/sim/sim_identity.h"
#include "tests/sim/sim_session.h"
#include "tools/tq330-sim/sim_protocol.h"

#include "app/dialog.h"
#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "link/job_state.h"
#include "link/worker.h"
#include "update/crc16.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

void ForgetTarget(TargetInfo& info, void*) {
    info = TargetInfo{};
}

class ComWin32Sim : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(comWin32Config.SimPort, 0) << "run with --sim-port=N (scripts/test-windows.sh)";
        fake_dialog::Reset();
        TargetInfo_Update(ForgetTarget, nullptr);
        jobState.JobType.store(JOB_IDENTIFY);
        jobState.AbortFlag.store(0);
        COM_ResetPortTable();
        COM_ChangeSettings(DevicePort(comWin32Config.SimPort));
        ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
        Worker_Start();
        started = true;
    }
    void TearDown() override {
        if (started)
            Worker_Stop();
        COM_ResetPortTable();
        if (pImage != nullptr)
            ImageStore_Destroy(pImage);
        EXPECT_EQ(ErrorBoxTexts(), "");
    }
    uint8_t Run(uint8_t jobType, ImageStore* pProgram = nullptr) {
        const uint8_t status = Session_RunJob(jobType, pProgram, 300s);
        EXPECT_NE(status, 0xFF) << "job " << int(jobType) << " did not end";
        return status;
    }
    bool started = false;
    ImageStore* pImage = nullptr;
};

TEST_F(ComWin32Sim, IdentifyPollFindsTheDeviceAndReadsItsIdentity) {
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 3, 10s));
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 0);
    ExpectSimIdentity();
}

TEST_F(ComWin32Sim, EmbeddedImageIsProgrammedWholeAndItsCrcMatches) {
    ASSERT_FALSE(comWin32Config.FlashOut.empty()) << "run with --flash-out=FILE (scripts/test-windows.sh)";
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 1, 10s));
    pImage = ImageStore_Create();
    char acError[255] = {};
    ASSERT_EQ(SRecordReader_LoadText(pImage, acFirmwareText, acError, sizeof acError), 0) << acError;
    const std::vector<uint8_t> expected = Sim_FlashOf(pImage);

    EXPECT_EQ(Run(JOB_CLEAR), STATUS_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Run(JOB_PROGRAM, pImage), STATUS_OK);
    RecordProperty("program_ms", std::to_string(MsSince(start)));
    RecordProperty("program_bytes", std::to_string(ImageStore_TotalBytes(pImage)));
    EXPECT_EQ(jobState.Remaining, 0u);
    EXPECT_EQ(Run(JOB_GET_CRC), STATUS_OK);
    uint16_t crc;
    Crc16Init(crc);
    Crc16Update(crc, expected.data(), static_cast<uint32_t>(expected.size() - 1));
    EXPECT_EQ(TargetInfo_TargetCrc(), crc);

    std::ofstream out(comWin32Config.FlashOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(expected.data()), static_cast<std::streamsize>(expected.size()));
    EXPECT_TRUE(out.good()) << comWin32Config.FlashOut;
}

} // namespace
