// The serial port module's Win32 backend on a COM port whose other end sends back every byte: the
// bytes pass raw, reads keep the total timeout without an inter-byte one, the input is dropped on
// request, and ports are held exclusively.
#include "com_win32_test.h"
#include "tests/fakes/fake_dialog.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ComWin32Line : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(comWin32Config.EchoPort, 0) << "run with --echo-port=N (scripts/test-windows.sh)";
        fake_dialog::Reset();
        COM_ResetPortTable();
        COM_ChangeSettings(DevicePort(comWin32Config.EchoPort));
        ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
        COM_DiscardInput();
    }
    void TearDown() override {
        EXPECT_EQ(ErrorBoxTexts(), "");
        COM_ResetPortTable();
    }
    void Write(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(COM_Write(bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    }
    // Reads until count bytes came or the time is up, in reads of at most 500 ms.
    std::vector<uint8_t> ReadAll(size_t count, std::chrono::milliseconds limit = 3s) {
        std::vector<uint8_t> got(count);
        size_t have = 0;
        const auto end = Clock::now() + limit;
        while (have < count && Clock::now() < end)
            have += COM_Read(got.data() + have, static_cast<uint32_t>(count - have), 500);
        got.resize(have);
        return got;
    }
};

TEST_F(ComWin32Line, EveryByteValuePassesUnchangedBothWays) {
    // Every value, then the ones a terminal would act on, in runs: CR, LF, XON, XOFF, 0xFF (the
    // parity-mark escape), NUL, the interrupt and end-of-file characters.
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> special = {0x0D, 0x0A, 0x0D, 0x0D, 0x11, 0x13, 0x11, 0xFF, 0xFF, 0x00,
                                          0xFF, 0x00, 0x00, 0x03, 0x04, 0x1A, 0x7F, 0x0A, 0x0D, 0xFF};
    for (int i = 0; i < 10; ++i)
        bytes.insert(bytes.end(), special.begin(), special.end());
    Write(bytes);
    EXPECT_EQ(ReadAll(bytes.size()), bytes);
    uint8_t extra = 0;
    EXPECT_EQ(COM_Read(&extra, 1, 100), 0u) << "more came back than was sent";
}

// The upper bounds below only tell a read that keeps its timeout from one that waits on (for
// ever, or once more): wide, so that a loaded machine does not cross them.
TEST_F(ComWin32Line, SilentLineReadReturnsNothingAfterItsTimeout) {
    uint8_t acBuffer[7];
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acBuffer, 7, 500), 0u);
    const double ms = MsSince(start);
    RecordProperty("silent_read_500_ms", std::to_string(ms));
    EXPECT_GE(ms, 499.0);
    EXPECT_LT(ms, 1000.0);
}

// The timeout is long enough for the echo to be back on a loaded machine too.
TEST_F(ComWin32Line, PartialArrivalReturnsAfterTheFullTimeoutNotEarlier) {
    Write({0x68, 0x0D, 0xFF});
    uint8_t acBuffer[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acBuffer, 7, 2000), 3u);
    const double ms = MsSince(start);
    RecordProperty("partial_read_2000_ms", std::to_string(ms));
    EXPECT_GE(ms, 1999.0);
    EXPECT_LT(ms, 4000.0);
    EXPECT_EQ(acBuffer[0], 0x68);
    EXPECT_EQ(acBuffer[1], 0x0D);
    EXPECT_EQ(acBuffer[2], 0xFF);
}

TEST_F(ComWin32Line, ReadEndsAsSoonAsEveryWantedByteCame) {
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7};
    Write(bytes);
    std::vector<uint8_t> got(7);
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(got.data(), 7, 2000), 7u);
    EXPECT_LT(MsSince(start), 1000.0);
    EXPECT_EQ(got, bytes);
}

TEST_F(ComWin32Line, ZeroTimeoutTakesOnlyWhatIsAlreadyBuffered) {
    uint8_t acBuffer[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acBuffer, 7, 0), 0u);
    // A zero timeout taken for "no timeout" would wait for ever: any bound tells them apart, and a
    // wide one holds on a loaded machine.
    EXPECT_LT(MsSince(start), 1000.0);
    Write({9, 8, 7, 6});
    // Asked again until the echo is back, however long a loaded machine takes; never more than it.
    uint32_t got = 0;
    for (int i = 0; i < 500 && got < 4; ++i) {
        std::this_thread::sleep_for(10ms);
        const uint32_t n = COM_Read(acBuffer + got, 7 - got, 0);
        got += n;
    }
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(acBuffer[3], 6);
    EXPECT_EQ(COM_Read(acBuffer, 7, 0), 0u);
}

TEST_F(ComWin32Line, DiscardDropsWhatArrivedAndKeepsWhatComesAfter) {
    Write({0x90, 0x68, 0x16, 0x00, 0xFF});
    std::this_thread::sleep_for(200ms);
    COM_DiscardInput();
    uint8_t acBuffer[7] = {};
    EXPECT_EQ(COM_Read(acBuffer, 7, 100), 0u);
    Write({0x11, 0x13});
    EXPECT_EQ(ReadAll(2), (std::vector<uint8_t>{0x11, 0x13}));
}

// The frame layer waits for the end of a reply by reads of 20 ms that come back empty. Each such
// read must last its 20 ms: one that came back sooner would take a pause inside a reply for its end.
TEST_F(ComWin32Line, QuietGapReadsLastTheirWholeTime) {
    uint8_t acBuffer[64];
    double shortest = 1e9, longest = 0;
    for (int i = 0; i < 25; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(COM_Read(acBuffer, sizeof acBuffer, 20), 0u);
        const double ms = MsSince(start);
        shortest = std::min(shortest, ms);
        longest = std::max(longest, ms);
    }
    RecordProperty("quiet_read_20_ms_shortest", std::to_string(shortest));
    RecordProperty("quiet_read_20_ms_longest", std::to_string(longest));
    printf("20 ms reads on a silent line: %.2f to %.2f ms\n", shortest, longest);
    EXPECT_GE(shortest, 19.5);
}

// Wine does not hold a COM port exclusively (a second CreateFileA of an open port succeeds), so
// what another program holds cannot be shown absent here; the module's own bookkeeping can.
TEST_F(ComWin32Line, DetectionCountsThePortInUseAndItsReleaseLeavesThatPortOpen) {
    int32_t aPorts[COM_PORT_COUNT];
    const int32_t count = COM_DetectPorts(aPorts);
    EXPECT_NE(std::find(aPorts, aPorts + count, comWin32Config.EchoPort), aPorts + count);
    COM_ReleaseDetectedPorts();
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    Write({0x0D, 0x42});
    EXPECT_EQ(ReadAll(2), (std::vector<uint8_t>{0x0D, 0x42}));
}

TEST_F(ComWin32Line, DetectionListsTheMappedPortsInOrderAndTheyOpenAfterRelease) {
    COM_ResetPortTable(); // no port of ours open
    int32_t aPorts[COM_PORT_COUNT];
    const int32_t count = COM_DetectPorts(aPorts);
    ASSERT_GT(count, 0);
    EXPECT_TRUE(std::is_sorted(aPorts, aPorts + count));
    for (int port : {comWin32Config.EchoPort, comWin32Config.SplitPort, comWin32Config.SimPort}) {
        if (port >= 0) {
            EXPECT_NE(std::find(aPorts, aPorts + count, port), aPorts + count) << "COM" << port + 1;
        }
    }
    COM_ReleaseDetectedPorts();
    COM_ChangeSettings(DevicePort(comWin32Config.EchoPort));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
    Write({0x42});
    EXPECT_EQ(ReadAll(1), (std::vector<uint8_t>{0x42}));
}

} // namespace
