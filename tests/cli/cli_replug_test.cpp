// tq330-flash against a USB adapter that is pulled during the update and plugged in again, opened by
// its stable name (the simulator's --link, as a /dev/serial/by-id/ name): one run ends "not
// updated" at once; the production-line loop updates the device when it answers again.
#include "cli_run.h"
#include "cli_sim.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

int CountResults(const std::string& out, const std::string& result) {
    int n = 0;
    for (const std::string& line : Events(out, "result"))
        n += Field(line, "result") == result;
    return n;
}

std::vector<std::string> PulledAdapter(const std::string& link, const char* replugMs) {
    std::vector<std::string> args = {"--unplug-after-blocks", "200", "--unplug-adapter", "--link", link};
    if (replugMs != nullptr)
        args.insert(args.end(), {"--replug-ms", replugMs});
    return args;
}

TEST(FlashCliReplug, LoopUpdatesThePulledAdapterWhenItAnswersAgain) {
    const std::string link = Sim_TempDir() + "/usb-TQ330-if00";
    TestDevice device(PulledAdapter(link, "2000"));
    FlashRun run = RunFlash({"--port", link, "--loop", "--json"}, 180, "",
                            [](const std::string& out) { return CountResults(out, "updated") >= 1; });
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 1) << "a line with one device not updated ends with 1\n" << run.Err;
    std::vector<std::string> results = Events(run.Out, "result");
    ASSERT_EQ(results.size(), 2u) << run.Out;
    EXPECT_EQ(Field(results[0], "result"), "not updated");
    EXPECT_EQ(Field(results[0], "failed_step"), "Programming target not executed (no answer)");
    EXPECT_EQ(Field(results[1], "result"), "updated");
    EXPECT_EQ(Events(run.Out, "connection_lost").size(), 1u);
    EXPECT_EQ(Events(run.Out, "connected").size(), 2u);
    std::vector<std::string> tallies = Events(run.Out, "tally");
    ASSERT_FALSE(tallies.empty());
    EXPECT_EQ(Field(tallies.back(), "updated"), "1");
    EXPECT_EQ(Field(tallies.back(), "not_updated"), "1");
    EXPECT_NE(run.Err.find("Tally: 1 updated, 1 not updated"), std::string::npos) << run.Err;
    EXPECT_TRUE(device.Flash() == ImageFlash());
}

// One run: the pulled adapter ends it with 1 at once, whether or not the adapter comes back, and
// the update is not run a second time.
TEST(FlashCliReplug, SingleRunEndsWith1AtOnce) {
    for (const char* replugMs : {"1000", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(replugMs ? "plugged in again" : "stays away");
        const std::string link = Sim_TempDir() + "/usb-TQ330-if00";
        TestDevice device(PulledAdapter(link, replugMs));
        FlashRun run = RunFlash({"--port", link, "--json"}, 60);
        EXPECT_FALSE(run.TimedOut);
        EXPECT_EQ(run.ExitCode, 1) << run.Err;
        EXPECT_LT(run.Seconds, 15.0);
        EXPECT_EQ(CountResults(run.Out, "not updated"), 1);
        EXPECT_EQ(Events(run.Out, "update").size(), 1u);
        std::vector<int> commands = device.Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 1), 1) << "cleared again";
    }
}

// A port named by a link: the listing shows the device it leads to and the name it is opened by.
TEST(FlashCliReplug, ListShowsTheDeviceBehindALink) {
    const std::string link = Sim_TempDir() + "/usb-TQ330-if00";
    TestDevice device({"--link", link});
    FlashRun run = RunFlash({"--list", "--json"}, 20, link);
    EXPECT_EQ(run.ExitCode, 0);
    std::vector<std::string> ports = Events(run.Out, "port");
    ASSERT_EQ(ports.size(), 1u) << run.Out;
    EXPECT_EQ(Field(ports[0], "device"), device.Sim.Device);
    EXPECT_EQ(Field(ports[0], "path"), link);
    EXPECT_NE(run.Err.find("COM1  " + device.Sim.Device + "  as " + link), std::string::npos) << run.Err;
}

} // namespace
