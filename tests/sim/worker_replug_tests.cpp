// The real worker and serial port module against the simulator's pulled USB adapter, opened by its
// --link path as a /dev/serial/by-id/ name would be: the target is lost once, the port closes, and
// the worker's poll finds the adapter again by itself, without a message and without spinning.
#include "sim_identity.h"
#include "sim_session.h"
#include "tests/fakes/fake_dialog.h"

#include "app/dialog.h"
#include "image/image_store.h"
#include "link/com.h"
#include "link/job_state.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Forget(TargetInfo& info, void*) {
    info = TargetInfo{};
}

class WorkerReplugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        TargetInfo_Update(Forget, nullptr);
        jobState.JobType.store(JOB_IDENTIFY);
        dir = Sim_TempDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        Session_Stop(&sim);
        if (pImage != nullptr)
            ImageStore_Destroy(pImage);
    }
    void Start(std::vector<std::string> unplug) {
        std::vector<std::string> args = {"--baud",          "0",
                                         "--clear-ms",      "50",
                                         "--dump",          dir + "/flash",
                                         "--link",          dir + "/usb-TQ330",
                                         "--unplug-adapter"};
        args.insert(args.end(), unplug.begin(), unplug.end());
        ASSERT_TRUE(Session_Start(args, &sim));
    }
    // Lost once, the port closed at once; returns when the adapter is back (announced by the
    // simulator), with the CPU share the test process used while it was away.
    double AwayUntilBack(Clock::time_point* pBack) {
        EXPECT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTION_LOST, 1, 10s));
        const double cpu = ProcessCpuSeconds();
        const auto lost = Clock::now();
        EXPECT_EQ(COM_GetPortState(), PORT_GONE);
        fake_dialog::ClearPosted();
        EXPECT_TRUE(Sim_NextDevice(&sim, 10000));
        *pBack = Clock::now();
        return (ProcessCpuSeconds() - cpu) / SecondsSince(lost);
    }
    // The seconds from the adapter's return to the next answered poll.
    double Reconnect(Clock::time_point back) {
        EXPECT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 1, 5s)) << "not found again";
        return SecondsSince(back);
    }

    SimChild sim;
    std::string dir;
    ImageStore* pImage = nullptr;
};

TEST_F(WorkerReplugTest, IdleAdapterPulledAndBackIsFoundAgainQuietly) {
    Start({"--unplug-after-polls", "5", "--replug-ms", "2500"});
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 1, 5s));
    Clock::time_point back;
    const double share = AwayUntilBack(&back);
    const double seconds = Reconnect(back);
    std::printf("while away: %.2f %% of a core; found again %.3f s after the return\n", share * 100, seconds);
    RecordProperty("cpu_percent_while_away", std::to_string(share * 100));
    RecordProperty("reconnect_seconds", std::to_string(seconds));
    EXPECT_LT(share, 0.05) << "the worker spins while the adapter is away";
    EXPECT_LT(seconds, 3.0); // one try a second, and a poll
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 0);
    EXPECT_TRUE(fake_dialog::EventsOf("ErrorBox").empty());
    ExpectSimIdentity();
}

// The job meets the hang-up and fails at once (no 2 s wait for an Ack the line can no longer
// bring); the adapter back, the same worker updates the device.
TEST_F(WorkerReplugTest, PulledDuringProgrammingFailsTheJobAndTheNextRunWorks) {
    Start({"--unplug-after-blocks", "3", "--replug-ms", "1500"});
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 1, 5s));
    pImage = ImageStore_Create();
    std::vector<uint8_t> bytes(2000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(ImageStore_AddBytes(pImage, 0xA0000, static_cast<uint32_t>(bytes.size()), bytes.data()), 0);

    const auto start = Clock::now();
    EXPECT_EQ(Session_RunJob(JOB_PROGRAM, pImage), STATUS_NOT_EXECUTED);
    EXPECT_LT(SecondsSince(start), 1.5);
    EXPECT_EQ(jobState.ResultAddress, 0xA0000u + 3 * 240);
    Clock::time_point back;
    AwayUntilBack(&back);
    Reconnect(back);
    EXPECT_EQ(Session_RunJob(JOB_CLEAR, nullptr), STATUS_OK);
    EXPECT_EQ(Session_RunJob(JOB_PROGRAM, pImage), STATUS_OK);
    EXPECT_EQ(Sim_Stop(&sim), 0);
    EXPECT_TRUE(Sim_ReadFile(dir + "/flash") == Sim_FlashOf(pImage));
    EXPECT_TRUE(fake_dialog::EventsOf("ErrorBox").empty());
}

} // namespace
