// A device that goes away while its port is open (an unplugged adapter, here both ends of the pty
// closing): reads that do not see it must still take their timeout, or the worker's poll loop
// would spin on a dead line; the write that meets it (Wine: ERROR_NOT_READY, and ClearCommError
// fails too) closes the port, which then reads as not ready, and comes back when the adapter does.
#include "com_win32_test.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
const uint8_t acIdentify[9] = {0x68, 0, 0, 0x68, 0, 0, 0, 0, 0x16};

TEST(ComWin32Gone, ReadsOnALineWhoseDeviceWentAwayStillTakeTheirTimeout) {
    ASSERT_GE(comWin32Config.GonePort, 0) << "run with --gone-port=N (scripts/test-windows.sh)";
    fake_dialog::Reset();
    COM_ResetPortTable();
    COM_ChangeSettings(DevicePort(comWin32Config.GonePort));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
    const uint8_t acByte[1] = {0x00};
    COM_Write(acByte, 1); // the peer ends on it
    std::this_thread::sleep_for(500ms);

    auto start = std::chrono::steady_clock::now();
    uint8_t acBuffer[7];
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(COM_Read(acBuffer, 7, 100), 0u);
    const double readMs = MsSince(start);
    RecordProperty("ten_reads_ms", std::to_string(readMs));
    EXPECT_GE(readMs, 950.0) << "reads on the dead line came back early";
    EXPECT_LT(readMs, 3000.0);

    start = std::chrono::steady_clock::now();
    COM_Write(acIdentify, sizeof acIdentify);
    EXPECT_LT(MsSince(start), 1000.0) << "a write on the dead line hung";
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(COM_Read(acBuffer, 7, 3000), 0u);
    EXPECT_LT(MsSince(start), 1500.0) << "a gone port reads as not ready, at once, not after its timeout";
    EXPECT_EQ(ErrorBoxTexts(), "");
    COM_ResetPortTable();
}

TEST(ComWin32Gone, PulledAdapterIsOpenedAgainWhenItIsBack) {
    ASSERT_GE(comWin32Config.ReplugPort, 0) << "run with --replug-port=N (scripts/test-windows.sh)";
    fake_dialog::Reset();
    COM_ResetPortTable();
    COM_ChangeSettings(DevicePort(comWin32Config.ReplugPort));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
    uint8_t acAnswer[64];
    COM_Write(acIdentify, sizeof acIdentify);
    EXPECT_GT(COM_Read(acAnswer, sizeof acAnswer, 1000), 0u) << "no answer before the pull";
    // Pulled shortly after that answer: the next writes meet the hang-up.
    auto start = std::chrono::steady_clock::now();
    while (COM_GetPortState() == PORT_READY && MsSince(start) < 5000) {
        COM_Write(acIdentify, sizeof acIdentify);
        COM_Read(acAnswer, sizeof acAnswer, 100);
    }
    ASSERT_EQ(COM_GetPortState(), PORT_GONE);
    // While it is away Wine's CreateFileA gives a handle on which SetupComm fails; only a port
    // that takes the whole configuration counts as back.
    start = std::chrono::steady_clock::now();
    while (COM_ReopenGonePort() == 0 && MsSince(start) < 10000)
        std::this_thread::sleep_for(100ms);
    RecordProperty("reopened_after_ms", std::to_string(MsSince(start)));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_GE(MsSince(start), 900.0) << "opened again before the adapter was back";
    COM_Write(acIdentify, sizeof acIdentify);
    EXPECT_GT(COM_Read(acAnswer, sizeof acAnswer, 1000), 0u) << "no answer on the returned adapter";
    EXPECT_EQ(ErrorBoxTexts(), "");
    COM_ResetPortTable();
}

} // namespace
