// A port whose device goes away and comes back, as a USB adapter does when it is pulled and plugged
// in again: its stable name (here a symbolic link, as /dev/serial/by-id/ gives one) leads to a new
// pseudo-terminal each time. The port is closed at once, opened again only through
// COM_ReopenGonePort, about once a second, with the settings in force, and never with a message.
#include "fakes/fake_dialog.h"
#include "link/com.h"
#include "pty.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const char* const NOT_AVAILABLE = "COM::_InitCOM: Port not available";

// Waits until the port's next try is due (the module allows one a second) and makes it.
int ReopenWhenDue() {
    std::this_thread::sleep_for(Ms(1100));
    return COM_ReopenGonePort();
}

class ComGone : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_dialog::Reset();
        char acDir[] = "/tmp/tq330-com-gone-XXXXXX";
        ASSERT_NE(mkdtemp(acDir), nullptr);
        dir = acDir;
        link = dir + "/usb-adapter";
        PlugIn();
        Com_UsePorts({link, "/nonexistent/tq330-port"});
        COM_ChangeSettings(Com_DialogSettings(0));
        ASSERT_EQ(COM_GetPortState(), PORT_READY);
    }
    void TearDown() override {
        COM_ResetPortTable();
        Pull();
        rmdir(dir.c_str());
    }
    void PlugIn() {
        pty = Pty_Open();
        ASSERT_EQ(symlink(pty.SlavePath.c_str(), link.c_str()), 0);
    }
    void Pull() {
        unlink(link.c_str());
        Pty_Close(pty);
    }
    // A read meets the hang-up and leaves the port gone.
    void PullAndNotice() {
        Pull();
        uint8_t acData[7];
        EXPECT_EQ(COM_Read(acData, 7, 100), 0u);
        ASSERT_EQ(COM_GetPortState(), PORT_GONE);
    }
    std::vector<std::string> ErrorTexts() {
        std::vector<std::string> texts;
        for (const auto& e : fake_dialog::EventsOf("ErrorBox"))
            texts.push_back(e.text);
        return texts;
    }
    std::string dir, link;
    Pty pty;
};

TEST_F(ComGone, ReturningAdapterIsOpenedAgainByItsNameWithTheSameSettings) {
    PullAndNotice();
    // Paced: no try within the first second, and none succeeds while the name leads nowhere.
    EXPECT_EQ(COM_ReopenGonePort(), 0);
    EXPECT_EQ(ReopenWhenDue(), 0);
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);

    PlugIn();
    // Opened by the test before the module takes it, to read back what the module set.
    int slave = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    EXPECT_EQ(COM_ReopenGonePort(), 0) << "tried again within a second of the last try";
    ASSERT_EQ(ReopenWhenDue(), 1);
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(COM_GetCurrentReadTimeout(), 0u);
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    close(slave);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD));
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

    const std::vector<uint8_t> request = {0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16};
    EXPECT_EQ(COM_Write(request.data(), static_cast<uint32_t>(request.size())), 0);
    EXPECT_EQ(Pty_Read(pty, request.size(), Ms(1000)), request);
    Pty_Write(pty, {0x90, 0x41});
    uint8_t acData[2] = {};
    EXPECT_EQ(COM_Read(acData, 2, 1000), 2u);
    EXPECT_EQ(acData[1], 0x41);
    EXPECT_TRUE(ErrorTexts().empty());
}

// A hang-up met by a write (the poll writes first) is the same: closed at once, opened again later.
TEST_F(ComGone, WriteToAPulledAdapterClosesThePort) {
    Pull();
    uint8_t acData[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(COM_Write(acData, 7), 1);
    EXPECT_LT(Com_ElapsedMs(start), 500);
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);
    PlugIn();
    EXPECT_EQ(ReopenWhenDue(), 1);
    EXPECT_TRUE(ErrorTexts().empty());
}

// A port of another program at the returning name is not taken: the module keeps trying quietly.
TEST_F(ComGone, ReturningPortHeldByAnotherProgramIsTriedAgainQuietly) {
    PullAndNotice();
    PlugIn();
    int other = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    // TIOCEXCL does not stop root; the lock serial tools take does.
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ReopenWhenDue(), 0);
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);
    close(other);
    EXPECT_EQ(ReopenWhenDue(), 1);
    EXPECT_TRUE(ErrorTexts().empty());
}

// The user's own choice ends the waiting: a gone port that the user leaves for another is not
// tried any more (choosing it again opens it, as any selection does).
TEST_F(ComGone, AnotherSelectionEndsTheWait) {
    PullAndNotice();
    COM_ChangeSettings(Com_DialogSettings(1)); // absent too
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{NOT_AVAILABLE});
    EXPECT_EQ(COM_GetPortState(), PORT_CLOSED);
    PlugIn();
    EXPECT_EQ(ReopenWhenDue(), 0);
    EXPECT_EQ(COM_GetPortState(), PORT_CLOSED);
    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(ErrorTexts().size(), 1u);
}

// A port that never opened keeps its "Port not available": the worker does not try it.
TEST_F(ComGone, PortThatNeverOpenedIsNotTried) {
    COM_ResetPortTable();
    Pull();
    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{NOT_AVAILABLE});
    PlugIn();
    EXPECT_EQ(ReopenWhenDue(), 0);
    EXPECT_EQ(COM_GetPortState(), PORT_NOT_CONFIGURED);
}

} // namespace
