// A device that goes away while its port is open (an unplugged adapter, here both ends of the pty
// closing): reads must still take their timeout, or the worker's poll loop would spin on a dead
// line, and a write must not hang.
#include "com_win32_test.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

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
    const uint8_t acFrame[9] = {0x68, 0, 0, 0x68, 0, 0, 0, 0, 0x16};
    COM_Write(acFrame, sizeof acFrame);
    EXPECT_LT(MsSince(start), 1000.0) << "a write on the dead line hung";
    EXPECT_EQ(ErrorBoxTexts(), "");
    COM_ResetPortTable();
}

} // namespace
