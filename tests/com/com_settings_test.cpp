// Opening, re-opening and detecting ports: the state machine, its messages, exclusive ownership, and
// a change of settings while the worker reads.
#include "fakes/fake_dialog.h"
#include "link/com.h"
#include "pty.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const char* const NOT_AVAILABLE = "COM::_InitCOM: Port not available";

std::vector<std::string> ErrorTexts() {
    std::vector<std::string> texts;
    for (const auto& e : fake_dialog::EventsOf("ErrorBox"))
        texts.push_back(e.text);
    return texts;
}

// Another program holding a port the way serial tools do: its own open and an exclusive flock.
int HoldPort(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    return fd;
}

class ComSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        a = Pty_Open();
        b = Pty_Open();
    }
    void TearDown() override {
        COM_ResetPortTable();
        Pty_Close(a);
        Pty_Close(b);
    }
    Pty a, b;
};

TEST_F(ComSettings, NotReadyPortSendsNothingAndReadsNothingAtOnce) {
    Com_UsePorts({a.SlavePath});
    EXPECT_EQ(COM_GetPortState(), PORT_NOT_CONFIGURED);
    EXPECT_EQ(_CheckCOM(), 1);
    uint8_t acData[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 1000), 0u);
    EXPECT_LT(Com_ElapsedMs(start), 500);
    EXPECT_EQ(COM_Write(acData, 7), 1);
}

TEST_F(ComSettings, SettingsInForceChangeNothing) {
    Com_UsePorts({a.SlavePath});
    EXPECT_NE(COM_ChangeSettings(Com_DialogSettings(0)), 0);
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    uint8_t acData[1];
    COM_Read(acData, 1, 20);
    const uint32_t programmed = COM_GetTimeoutProgramCount();
    EXPECT_EQ(COM_ChangeSettings(Com_DialogSettings(0)), 0);
    // Not re-opened: the read timeout and the port stay as they were.
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 20u);
    EXPECT_EQ(COM_GetTimeoutProgramCount(), programmed);
    EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(ComSettings, FailedOpenIsReportedOnceAndRetriedOnlyAfterAnotherPort) {
    Com_UsePorts({"/nonexistent/tq330-port", a.SlavePath});
    EXPECT_EQ(COM_ChangeSettings(Com_DialogSettings(0)), 0);
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{NOT_AVAILABLE});
    EXPECT_NE(COM_GetPortState(), PORT_READY);

    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(ErrorTexts().size(), 1u);

    EXPECT_NE(COM_ChangeSettings(Com_DialogSettings(1)), 0);
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(ErrorTexts().size(), 1u);

    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(ErrorTexts(), (std::vector<std::string>{NOT_AVAILABLE, NOT_AVAILABLE}));
    EXPECT_EQ(COM_GetPortState(), PORT_CLOSED);
}

TEST_F(ComSettings, DetectionListsPresentPortsInOrderAndHoldsThem) {
    Com_UsePorts({"/nonexistent/com1", a.SlavePath, "/nonexistent/com3", b.SlavePath});
    int32_t aPorts[COM_PORT_COUNT] = {};
    ASSERT_EQ(COM_DetectPorts(aPorts), 2);
    EXPECT_EQ(aPorts[0], 1);
    EXPECT_EQ(aPorts[1], 3);

    // Held: nobody else can lock them until they are released. Releasing twice is harmless.
    int other = open(b.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other >= 0) { // TIOCEXCL refuses the open itself except to root
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    COM_ReleaseDetectedPorts();
    COM_ReleaseDetectedPorts();
    other = HoldPort(b.SlavePath);
    close(other);

    // The module's own open port counts as present.
    COM_ChangeSettings(Com_DialogSettings(1));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    ASSERT_EQ(COM_DetectPorts(aPorts), 2);
    EXPECT_EQ(aPorts[0], 1);
    EXPECT_EQ(aPorts[1], 3);
    COM_ReleaseDetectedPorts();
    EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(ComSettings, NoPortsAtAll) {
    Com_UsePorts({});
    int32_t aPorts[COM_PORT_COUNT] = {};
    EXPECT_EQ(COM_DetectPorts(aPorts), 0);
    EXPECT_STREQ(COM_PortDevice(0), "");
}

TEST_F(ComSettings, PortHeldByAnotherProgramIsAbsentAndCannotBeSelected) {
    Com_UsePorts({a.SlavePath, b.SlavePath});
    int held = HoldPort(b.SlavePath);
    int32_t aPorts[COM_PORT_COUNT] = {};
    ASSERT_EQ(COM_DetectPorts(aPorts), 1);
    EXPECT_EQ(aPorts[0], 0);
    COM_ReleaseDetectedPorts();
    close(held);

    // Listed, then taken before it is selected.
    ASSERT_EQ(COM_DetectPorts(aPorts), 2);
    COM_ReleaseDetectedPorts();
    held = HoldPort(b.SlavePath);
    COM_ChangeSettings(Com_DialogSettings(1));
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{NOT_AVAILABLE});
    EXPECT_NE(COM_GetPortState(), PORT_READY);
    close(held);
}

TEST_F(ComSettings, ClosingReleasesThePortForOthers) {
    Com_UsePorts({a.SlavePath, b.SlavePath});
    COM_ChangeSettings(Com_DialogSettings(0));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    COM_ChangeSettings(Com_DialogSettings(1));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    int other = HoldPort(a.SlavePath); // neither the lock nor TIOCEXCL is left behind
    close(other);
}

// The dialog re-opens the port while the worker reads back to back: each change waits for at most
// about one read, never for the worker's whole loop, and every read sees a whole port.
TEST_F(ComSettings, ChangeWhileTheWorkerReads) {
    Com_UsePorts({a.SlavePath, b.SlavePath});
    COM_ChangeSettings(Com_DialogSettings(0));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread worker([&] {
        uint8_t acData[7];
        while (!stop) {
            COM_Read(acData, 7, 100);
            ++reads;
        }
    });
    int64_t slowest = 0;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(Ms(30));
        const auto start = Clock::now();
        COM_ChangeSettings(Com_DialogSettings(static_cast<uint8_t>((i + 1) % 2)));
        slowest = std::max(slowest, Com_ElapsedMs(start));
        EXPECT_EQ(COM_GetPortState(), PORT_READY);
    }
    stop = true;
    worker.join();
    std::printf("slowest change of settings during 100 ms reads: %lld ms\n", static_cast<long long>(slowest));
    EXPECT_LT(slowest, 1000);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{});
}

} // namespace
