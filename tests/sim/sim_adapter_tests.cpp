// A USB adapter pulled and plugged in again, as the simulator plays it: its pseudo-terminal closes
// (the client sees a hang-up), its --link goes away, and it comes back as a new pseudo-terminal
// that the link leads to again and that the simulator announces on a new line.
#include "sim_fixture.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A hung-up terminal polls POLLHUP at once and gives no more bytes.
bool HungUp(int fd) {
    pollfd entry = {fd, POLLIN, 0};
    uint8_t b;
    return poll(&entry, 1, 1000) == 1 && (entry.revents & POLLHUP) != 0 && read(fd, &b, 1) <= 0;
}

class SimAdapter : public SimTest {
  protected:
    void StartPulling(std::vector<std::string> extra) {
        std::string folder = Sim_TempDir();
        link = folder + "/usb-TQ330-if00";
        extra.insert(extra.end(), {"--unplug-adapter", "--link", link});
        Start(extra);
        ASSERT_EQ(sim.Port(), link);
    }
    // Waits for the adapter to come back and opens it by its link.
    void Reopen() {
        close(fd);
        fd = -1;
        std::string before = sim.Device;
        ASSERT_TRUE(Sim_NextDevice(&sim, 5000));
        char acTarget[256] = {};
        ASSERT_GT(readlink(link.c_str(), acTarget, sizeof acTarget - 1), 0);
        EXPECT_EQ(sim.Device, acTarget);
        fd = Sim_OpenRaw(link);
        ASSERT_GE(fd, 0);
    }
    std::string link;
};

TEST_F(SimAdapter, PulledAfterPollsHangsUpAndComesBackAtItsLink) {
    StartPulling({"--unplug-after-polls", "2", "--replug-ms", "500"});
    EXPECT_TRUE(Identified(ANSWER_MS));
    auto pulled = Clock::now();
    EXPECT_TRUE(Identified(ANSWER_MS)) << "the last answer must reach the client before the hang-up";
    EXPECT_TRUE(HungUp(fd));
    EXPECT_FALSE(Exists(link));
    Reopen();
    EXPECT_GE(Clock::now() - pulled, std::chrono::milliseconds(400));
    EXPECT_TRUE(Identified(ANSWER_MS));
    EXPECT_TRUE(Identified(ANSWER_MS)) << "pulled only once";
}

TEST_F(SimAdapter, PulledAfterBlocksKeepsTheFlashAsItWas) {
    StartPulling({"--unplug-after-blocks", "1", "--replug-ms", "300"});
    EXPECT_EQ(Program(0xA0000, {0x5A}), 0x90);
    EXPECT_EQ(Program(0xA0001, {0x5B}, 300), -1); // heard, never answered
    EXPECT_TRUE(HungUp(fd));
    Reopen();
    EXPECT_TRUE(Identified(ANSWER_MS));
    std::vector<uint8_t> dump = StopAndDump();
    ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
    EXPECT_EQ(dump[0], 0x5A);
    EXPECT_EQ(dump[1], 0xFF);
    EXPECT_FALSE(Exists(link)) << "the link outlived the simulator";
}

TEST_F(SimAdapter, WithoutReplugTheAdapterStaysAway) {
    StartPulling({"--unplug-after-polls", "1"});
    EXPECT_TRUE(Identified(ANSWER_MS));
    EXPECT_TRUE(HungUp(fd));
    EXPECT_FALSE(Sim_NextDevice(&sim, 1000));
    EXPECT_FALSE(Exists(link));
}

// A link left behind by an earlier run is replaced; a file that is no link is not touched.
TEST(SimLink, StaleLinkIsReplacedAndOtherFilesAreRefused) {
    std::string folder = Sim_TempDir();
    std::string link = folder + "/port";
    ASSERT_EQ(symlink("/dev/nowhere", link.c_str()), 0);
    SimChild sim;
    ASSERT_TRUE(Sim_Start({"--link", link}, &sim));
    char acTarget[256] = {};
    ASSERT_GT(readlink(link.c_str(), acTarget, sizeof acTarget - 1), 0);
    EXPECT_EQ(sim.Device, acTarget);
    Sim_Stop(&sim);

    std::string file = folder + "/file";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    std::string out, err;
    EXPECT_EQ(Sim_RunToEnd({"--link", file}, &out, &err), 1);
    EXPECT_NE(err.find("is no symbolic link"), std::string::npos) << err;
    EXPECT_TRUE(Exists(file));
}

} // namespace
