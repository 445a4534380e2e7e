// The window (offscreen) against the simulator's USB adapter that is pulled and plugged in again,
// opened by its link as a /dev/serial/by-id/ name: found again by itself while idle, at well under
// a core's percent while away; closed promptly while it is away; and, pulled during an update, the
// update fails and the re-run on the new connection writes the image.
#include "e2e_harness.h"
#include "tests/sim/sim_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
const char* const CONNECTED = "status visible=1 \"Connection to target established\"";
const char* const LOST = "status visible=0";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct PulledAdapter {
    SimChild Sim;
    std::string Folder;
    explicit PulledAdapter(std::vector<std::string> unplug) {
        Folder = Sim_TempDir();
        std::vector<std::string> args = {
            "--baud",          "0",      "--clear-ms",      "100",    "--log",
            Folder + "/log",   "--dump", Folder + "/flash", "--link", Folder + "/usb-TQ330",
            "--unplug-adapter"};
        args.insert(args.end(), unplug.begin(), unplug.end());
        EXPECT_TRUE(Sim_Start(args, &Sim));
    }
    ~PulledAdapter() {
        if (Sim.Pid >= 0)
            Sim_Stop(&Sim);
    }
};

TEST(EndToEndReplug, IdleWindowFindsThePulledAdapterAgainByItself) {
    PulledAdapter adapter({"--unplug-after-polls", "30", "--replug-ms", "3000"});
    UpdaterChild window;
    ASSERT_TRUE(
        Updater_Start(adapter.Sim.Port(), {"TQ330_STATUS_TRACE=1", "TQ330_CLOSE_ON_INPUT=1"}, &window));
    ASSERT_TRUE(Updater_WaitFor(&window, CONNECTED, 20000));
    ASSERT_TRUE(Updater_WaitFor(&window, LOST, 20000)) << "the pull was not seen";
    const auto lost = Clock::now();
    const double cpu = Updater_CpuSeconds(window);
    ASSERT_TRUE(Sim_NextDevice(&adapter.Sim, 10000));
    const auto back = Clock::now();
    const double share = (Updater_CpuSeconds(window) - cpu) / SecondsSince(lost);
    ASSERT_TRUE(Updater_WaitFor(&window, CONNECTED, 10000)) << "not connected again";
    const double reconnect = SecondsSince(back);
    std::printf("window: %.2f %% of a core while away, connected %.3f s after the return\n", share * 100,
                reconnect);
    RecordProperty("cpu_percent_while_away", std::to_string(share * 100));
    RecordProperty("reconnect_seconds", std::to_string(reconnect));
    EXPECT_LT(share, 0.05) << "the program spins while the adapter is away";
    EXPECT_LT(reconnect, 5.0);
    Updater_Close(&window);
    bool timedOut = false;
    EXPECT_EQ(Updater_Wait(&window, 5000, &timedOut), 0);
    EXPECT_FALSE(timedOut);
}

TEST(EndToEndReplug, ClosingWhileTheAdapterIsAwayEndsPromptly) {
    PulledAdapter adapter({"--unplug-after-polls", "10"});
    UpdaterChild window;
    ASSERT_TRUE(
        Updater_Start(adapter.Sim.Port(), {"TQ330_STATUS_TRACE=1", "TQ330_CLOSE_ON_INPUT=1"}, &window));
    ASSERT_TRUE(Updater_WaitFor(&window, CONNECTED, 20000));
    ASSERT_TRUE(Updater_WaitFor(&window, LOST, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // past a try to open it again
    const auto start = Clock::now();
    Updater_Close(&window);
    bool timedOut = false;
    EXPECT_EQ(Updater_Wait(&window, 10000, &timedOut), 0);
    EXPECT_FALSE(timedOut);
    EXPECT_LT(SecondsSince(start), 3.0);
}

// Start armed, pulled after 200 blocks, back 2 s later: "not updated", then the window's re-run on
// the new connection (the production line's rule) writes the whole image.
TEST(EndToEndReplug, PulledDuringTheUpdateFailsAndTheReRunWritesTheImage) {
    PulledAdapter adapter({"--unplug-after-blocks", "200", "--replug-ms", "2000"});
    UpdaterChild window;
    ASSERT_TRUE(Updater_Start(adapter.Sim.Port(), {"TQ330_AUTOSTART=1", "TQ330_AUTOCLOSE=2"}, &window));
    std::string output, line;
    while (Updater_ReadLine(&window, 120000, &line) == 1)
        output += line + "\n";
    bool timedOut = false;
    EXPECT_EQ(Updater_Wait(&window, 10000, &timedOut), 0);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(output,
              FinalLine("Target not updated successfully") + FinalLine("Target updated successfully"));
    Sim_Stop(&adapter.Sim);
    EXPECT_TRUE(Sim_ReadFile(adapter.Folder + "/flash") == ExpectedFlash());
    int clears = 0;
    for (const std::string& entry : Sim_ReadLines(adapter.Folder + "/log"))
        clears += entry.rfind("cmd=1 ", 0) == 0;
    EXPECT_EQ(clears, 2);
}

} // namespace
