// The line through a real pseudo-terminal: read timing, partial arrivals, the line settings applied,
// bytes passing unchanged in both directions.
#include "fakes/fake_dialog.h"
#include "link/com.h"
#include "link/com_internal.h"
#include "pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// CPU time this thread has used, in ms: a read that waits must not spin.
int64_t ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class ComLine : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        pty = Pty_Open();
        Com_UsePorts({pty.SlavePath});
        COM_ChangeSettings(Com_DialogSettings(0));
        ASSERT_EQ(COM_GetPortState(), PORT_READY);
    }
    void TearDown() override {
        COM_ResetPortTable();
        Pty_Close(pty);
    }
    Pty pty;
};

TEST_F(ComLine, SilentLineReturnsNothingAfterTheTimeout) {
    uint8_t acData[7] = {};
    const int64_t cpu = ThreadCpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 100), 0u);
    const int64_t ms = Com_ElapsedMs(start);
    std::printf("silent read of 7 bytes, 100 ms timeout: %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 1000);
    EXPECT_LT(ThreadCpuMs() - cpu, 50);
}

TEST_F(ComLine, PartialArrivalWaitsForTheFullTimeout) {
    Pty_Write(pty, {1, 2, 3});
    uint8_t acData[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 300), 3u);
    const int64_t ms = Com_ElapsedMs(start);
    std::printf("3 of 7 bytes, 300 ms timeout: %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(ms, 295);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(acData[0], 1);
    EXPECT_EQ(acData[2], 3);
}

TEST_F(ComLine, ReadEndsWhenTheLastPieceArrives) {
    const auto start = Clock::now(); // before the device starts: its last piece is >= 120 ms later
    std::thread device([this] {
        Pty_Write(pty, {1, 2});
        std::this_thread::sleep_for(Ms(60));
        Pty_Write(pty, {3, 4});
        std::this_thread::sleep_for(Ms(60));
        Pty_Write(pty, {5, 6, 7});
    });
    uint8_t acData[7] = {};
    const uint32_t got = COM_Read(acData, 7, 5000);
    const int64_t ms = Com_ElapsedMs(start);
    device.join();
    std::printf("7 bytes in three pieces over ~120 ms, 5000 ms timeout: %lld ms\n",
                static_cast<long long>(ms));
    ASSERT_EQ(got, 7u);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(acData[i], i + 1);
    EXPECT_GE(ms, 110); // no early return on the first piece
    EXPECT_LT(ms, 2500);
}

TEST_F(ComLine, ZeroTimeoutTakesOnlyWhatIsBuffered) {
    uint8_t acData[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 0), 0u);
    EXPECT_LT(Com_ElapsedMs(start), 500); // an empty line: at once, not waiting for a byte
    Pty_Write(pty, {9, 8});
    // Asked again until the two bytes are through the terminal, however long a loaded machine takes.
    uint32_t got = 0;
    for (int i = 0; i < 500 && got == 0; ++i) {
        std::this_thread::sleep_for(Ms(10));
        got = COM_Read(acData, 7, 0);
    }
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(acData[1], 8);
    EXPECT_EQ(COM_Read(acData, 7, 0), 0u);
}

TEST_F(ComLine, TimeoutsAreReprogrammedOnlyWhenTheyChange) {
    uint8_t acData[1];
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 0u);
    const uint32_t before = COM_GetTimeoutProgramCount();
    COM_Read(acData, 1, 20);
    COM_Read(acData, 1, 20);
    EXPECT_EQ(COM_GetTimeoutProgramCount(), before + 1);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 20u);
    COM_Read(acData, 1, 30);
    EXPECT_EQ(COM_GetTimeoutProgramCount(), before + 2);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 30u);

    // A re-open programs the immediate-return set, so the next read with 30 ms programs again.
    PortSettings other = Com_DialogSettings(0);
    other.BaudRate = 115200;
    COM_ChangeSettings(other);
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 0u);
    EXPECT_EQ(COM_GetTimeoutProgramCount(), before + 3);
    COM_Read(acData, 1, 30);
    EXPECT_EQ(COM_GetTimeoutProgramCount(), before + 4);
}

TEST_F(ComLine, LargeWriteArrivesWhole) {
    std::vector<uint8_t> sent(10000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
    std::vector<uint8_t> received;
    std::thread device([&] { received = Pty_Read(pty, sent.size(), Ms(10000)); });
    EXPECT_EQ(COM_Write(sent.data(), static_cast<uint32_t>(sent.size())), 0);
    device.join();
    EXPECT_EQ(received, sent);
}

// 0xFF and 0x00 sequences are exactly what the parity marks look like: they must come through as sent.
void ExpectMarkLikeBytesUnchanged(const Pty& pty) {
    std::vector<uint8_t> sent = {0x41, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x42, 0xFF};
    for (int i = 0; i < 5000; ++i)
        sent.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0xFF : i));
    std::thread device([&] { Pty_Write(pty, sent); });
    std::vector<uint8_t> got(sent.size());
    EXPECT_EQ(COM_Read(got.data(), static_cast<uint32_t>(got.size()), 5000), sent.size());
    device.join();
    EXPECT_EQ(got, sent);
}

TEST_F(ComLine, MarkLikeBytesArriveUnchanged) {
    ExpectMarkLikeBytesUnchanged(pty);
}

// Without parity the driver marks nothing, so a lone 0xFF is a genuine byte, not half an escape.
TEST_F(ComLine, WithoutParityMarkLikeBytesArriveUnchanged) {
    COM_ChangeSettings(PortSettings{57600, 0, 8, 0, 0});
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    ExpectMarkLikeBytesUnchanged(pty);
    // And back to odd parity, where the marks are taken off again.
    COM_ChangeSettings(Com_DialogSettings(0));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    ExpectMarkLikeBytesUnchanged(pty);
}

// An unplugged adapter (here: the device end closed) hangs up the line: the port is closed at once
// and reads as not ready, so neither the read that met the hang-up nor the calls after it wait, and
// nothing is reported (the worker's poll pauses on a port that is not ready, so it does not spin).
TEST_F(ComLine, HungUpLineIsClosedAtOnceAndReadsAsNotReady) {
    Pty_Close(pty);
    uint8_t acData[7] = {};
    const int64_t cpu = ThreadCpuMs();
    auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 1000), 0u);
    EXPECT_LT(Com_ElapsedMs(start), 500);
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 0u);
    start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 1000), 0u);
    EXPECT_EQ(COM_Write(acData, 7), 1);
    EXPECT_LT(Com_ElapsedMs(start), 500); // not the read's 1000 ms
    EXPECT_LT(ThreadCpuMs() - cpu, 50);
    EXPECT_TRUE(fake_dialog::EventsOf("ErrorBox").empty());
}

} // namespace

// The line settings as the terminal driver holds them, read back through a descriptor that the test
// opened before the module took the port.
class ComTermios : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        pty = Pty_Open();
        slave = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        Com_UsePorts({pty.SlavePath});
    }
    void TearDown() override {
        COM_ResetPortTable();
        close(slave);
        Pty_Close(pty);
    }
    termios Applied() {
        termios tio{};
        EXPECT_EQ(tcgetattr(slave, &tio), 0);
        return tio;
    }
    Pty pty;
    int slave = -1;
};

// A pseudo-terminal forces CS8 and drops PARENB whatever it is given (it has no line to frame), so
// the framing itself is checked on the configuration the module builds, below.
TEST_F(ComTermios, DialogSettingsGiveRaw8O1At57600) {
    COM_ChangeSettings(Com_DialogSettings(0));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    const termios tio = Applied();
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_TRUE(fake_dialog::EventsOf("ErrorBox").empty());
}

TEST_F(ComTermios, SpeedAndStopBitsReachTheDriver) {
    COM_ChangeSettings(PortSettings{9600, 0, 8, 1, 2});
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    const termios tio = Applied();
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
}

TEST(ComBuildTermios, FramingFollowsTheSettings) {
    struct Case {
        PortSettings settings;
        tcflag_t cflag; // CSIZE, parity and stop bits expected
        bool checked;   // input parity checking
    };
    const Case cases[] = {
        {{57600, 0, 8, 1, 0}, CS8 | PARENB | PARODD, true},          // the dialog's 8O1
        {{57600, 0, 7, 2, 2}, CS7 | PARENB | CSTOPB, true},          // 7E2
        {{57600, 0, 8, 0, 0}, CS8, false},                           // 8N1
        {{57600, 0, 8, 3, 0}, CS8 | PARENB | PARODD | CMSPAR, true}, // mark
        {{57600, 0, 5, 4, 0}, CS5 | PARENB | CMSPAR, true},          // space
    };
    for (const Case& c : cases) {
        termios tio{};
        tio.c_iflag = IXON | IXOFF | ICRNL;
        tio.c_cflag = CRTSCTS | CS6;
        tio.c_lflag = ICANON | ECHO;
        ASSERT_TRUE(COM_BuildTermios(c.settings, tio));
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag);
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.checked);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    }
}

TEST_F(ComTermios, SettingsWithoutTermiosFormFailTheLineStep) {
    const PortSettings refused[] = {
        {12345, 0, 8, 1, 0}, // no such speed
        {57600, 0, 8, 1, 1}, // one and a half stop bits
        {57600, 0, 9, 1, 0}, // nine data bits
        {57600, 0, 8, 5, 0}, // no such parity
    };
    for (const PortSettings& s : refused) {
        fake_dialog::ClearEvents();
        COM_ChangeSettings(s);
        EXPECT_NE(COM_GetPortState(), PORT_READY);
        const auto boxes = fake_dialog::EventsOf("ErrorBox");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "COM::COM_ChangeBaudrate: SetCommState failed");
        uint8_t acData[1];
        EXPECT_EQ(COM_Write(acData, 1), 1);
    }
}
