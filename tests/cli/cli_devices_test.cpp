// tq330-flash with more than one device: one after another (--loop), several at once, the listing.
#include "cli_run.h"
#include "cli_sim.h"

#include "image/image_store.h"
#include "image/srecord_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The child process that serves the device in a run of several ports: a child of the program
// RunProgram runs (found by its parent's pid: qemu-user keeps pids, not command lines) that holds
// the device open. -1 when there is none.
pid_t ChildServing(const std::string& device) {
    std::error_code error;
    for (int pid : ChildrenOf(RunningPid())) {
        const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : std::filesystem::directory_iterator(fds, error))
            if (std::filesystem::read_symlink(fd.path(), error) == device)
                return pid;
    }
    return -1;
}

int CountResults(const std::string& out, const std::string& result) {
    int n = 0;
    for (const std::string& line : Events(out, "result"))
        n += Field(line, "result") == result;
    return n;
}

// The device comes back in its boot loader 1.5 s after each start application, as the next device
// on the line would: the loop updates it again without a click, and a Ctrl-C in the pause ends the
// line with its tally.
TEST(FlashCliDevices, LoopUpdatesEachNewDeviceAndEndsWithATally) {
    TestDevice device({"--app-ms", "1500"});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--loop", "--json"}, 120, "",
                            [](const std::string& out) { return CountResults(out, "updated") >= 2; });
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(CountResults(run.Out, "updated"), 2);
    EXPECT_EQ(CountResults(run.Out, "not updated") + CountResults(run.Out, "interrupted"), 0);
    std::vector<std::string> tallies = Events(run.Out, "tally");
    ASSERT_FALSE(tallies.empty());
    EXPECT_EQ(Field(tallies.back(), "updated"), "2");
    EXPECT_EQ(Field(tallies.back(), "not_updated"), "0");
    EXPECT_NE(run.Err.find("Tally: 2 updated, 0 not updated"), std::string::npos) << run.Err;
    EXPECT_EQ(device.Commands(), (std::vector<int>{1, 2, 3, 5, 7, 1, 2, 3, 5, 7}));
    EXPECT_TRUE(device.Flash() == ImageFlash());
}

// The first device is unplugged during its update and back 8 s later, seen gone after the failure
// as a device swapped on the line would be, and is then updated: the failed update makes the code 1.
// The failed step is the first device's alone: the next one's result and record line carry none.
TEST(FlashCliDevices, LoopWithOneDeviceNotUpdatedEndsWith1) {
    TestDevice device({"--unplug-after-blocks", "20", "--replug-ms", "8000"});
    std::string record = Sim_TempDir() + "/record.jsonl";
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--loop", "--json", "--record", record}, 120, "",
                            [](const std::string& out) { return CountResults(out, "updated") >= 1; });
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(CountResults(run.Out, "not updated"), 1);
    EXPECT_NE(run.Err.find("Tally: 1 updated, 1 not updated"), std::string::npos) << run.Err;
    std::vector<std::string> results = Events(run.Out, "result");
    std::vector<std::string> lines = Sim_ReadLines(record);
    ASSERT_EQ(results.size(), 2u) << run.Out;
    ASSERT_EQ(lines.size(), 2u);
    for (const std::vector<std::string>* pLines : {&results, &lines}) {
        EXPECT_EQ(Field((*pLines)[0], "result"), "not updated");
        EXPECT_NE(Field((*pLines)[0], "failed_step").find("Programming target"), std::string::npos)
            << (*pLines)[0];
        EXPECT_EQ(Field((*pLines)[1], "result"), "updated");
        EXPECT_EQ(Field((*pLines)[1], "failed_step"), "") << (*pLines)[1];
    }
}

TEST(FlashCliDevices, ThreeAtOnceOneRejectingGivesTheWorstCode) {
    TestDevice good1, bad({"--reject-at", "0xC0000"}), good2;
    FlashRun run = RunFlash(
        {"--port", good1.Sim.Device, "--port", bad.Sim.Device, "--port", good2.Sim.Device, "--json"}, 120);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 3u) << run.Out;
    for (const std::string& line : summary) {
        bool isBad = Field(line, "port") == bad.Sim.Device;
        EXPECT_EQ(Field(line, "result"), isBad ? "not updated" : "updated") << line;
        EXPECT_EQ(Field(line, "exit_code"), isBad ? "1" : "0") << line;
    }
    // Each child's events arrive tagged with its port.
    for (const std::string& line : Lines(run.Out)) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
        EXPECT_FALSE(Field(line, "port").empty()) << line;
    }
    EXPECT_NE(run.Err.find("port "), std::string::npos); // the summary table's head
    EXPECT_TRUE(good1.Flash() == ImageFlash());
    EXPECT_TRUE(good2.Flash() == ImageFlash());
    EXPECT_FALSE(bad.Flash() == ImageFlash());
}

// Each child gets the parent's options: the firmware file (its one record is what both flashes must
// hold) and a trace file of its own.
TEST(FlashCliDevices, SeveralPassTheFirmwareAndTraceToEachPort) {
    std::string firmware = WriteTempFile("one.s28", "S00600004844521B\nS2080EEC700702062955\nS804000000FB\n");
    ImageStore* pStore = ImageStore_Create();
    char acError[255] = {};
    ASSERT_EQ(SRecordReader_LoadFile(pStore, firmware.c_str(), acError, sizeof acError), 0) << acError;
    std::vector<uint8_t> expected = Sim_FlashOf(pStore);
    ImageStore_Destroy(pStore);
    std::string trace = Sim_TempDir() + "/trace";
    TestDevice a({"--crc-start", "0xEEC70", "--crc-length", "0x1000"}),
        b({"--crc-start", "0xEEC70", "--crc-length", "0x1000"});
    FlashRun run = RunFlash(
        {"--port", a.Sim.Device, "--port", b.Sim.Device, "--firmware", firmware, "--trace", trace}, 60);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    for (TestDevice* pDevice : {&a, &b}) {
        std::string tag = pDevice->Sim.Device.substr(pDevice->Sim.Device.rfind('/') + 1);
        std::vector<std::string> lines = Sim_ReadLines(trace + "." + tag);
        EXPECT_GT(lines.size(), 5u) << tag;
        EXPECT_TRUE(pDevice->Flash() == expected) << tag;
    }
}

// The silent device's child waits the --wait given, not the default minute.
TEST(FlashCliDevices, SeveralWithABadPortStillUpdatesTheOthers) {
    TestDevice good, silent({"--silent"});
    FlashRun run = RunFlash({"--port", good.Sim.Device, "--port", "/dev/null", "--port", silent.Sim.Device,
                             "--wait", "2", "--json"},
                            40);
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_FALSE(run.TimedOut);
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 3u) << run.Out;
    EXPECT_EQ(Field(summary[2], "exit_code"), "2") << summary[2];
    EXPECT_TRUE(good.Flash() == ImageFlash());
}

// Ports whose child cannot be started (no descriptor left for its pipe: the limit lets a few
// start) end as port errors with code 3, "not started", never as ports that passed.
TEST(FlashCliDevices, PortsWhoseChildCannotStartEndWith3) {
    RunHow how;
    how.InChild = [] {
        close_range(3, ~0u, 0);
        rlimit limit = {12, 12};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    std::vector<std::string> args = {"--json"};
    for (int i = 0; i < 12; ++i)
        args.insert(args.end(), {"--port", "/nonexistent/ttyUSB" + std::to_string(i)});
    FlashRun run = RunProgram(how, args, 120);
    EXPECT_EQ(run.ExitCode, 3) << run.Err;
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 12u) << run.Out;
    int notStarted = 0;
    for (const std::string& line : summary) {
        EXPECT_EQ(Field(line, "exit_code"), "3") << line;
        notStarted += Field(line, "result") == "not started";
    }
    EXPECT_GT(notStarted, 0) << run.Out;
}

// The child of the device whose process is killed ends as a failure of its port, and the run's code
// is no better.
TEST(FlashCliDevices, SeveralWithAChildKilledEndWith1) {
    TestDevice good, victim({}, true); // paced: still programming when its child is killed
    bool killed = false;
    auto killVictim = [&](const std::string& out) {
        for (const std::string& line : Events(out, "step"))
            if (!killed && Field(line, "port") == victim.Sim.Device &&
                Field(line, "step") == "Programming target") {
                pid_t pid = ChildServing(victim.Sim.Device);
                killed = pid > 0 && kill(pid, SIGKILL) == 0;
            }
        return false;
    };
    FlashRun run =
        RunFlash({"--port", good.Sim.Device, "--port", victim.Sim.Device, "--json"}, 120, "", killVictim);
    ASSERT_TRUE(killed) << run.Out;
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 2u) << run.Out;
    EXPECT_EQ(Field(summary[0], "exit_code"), "0") << summary[0];
    EXPECT_EQ(Field(summary[1], "exit_code"), "1") << summary[1];
    EXPECT_EQ(Field(summary[1], "result"), "ended") << summary[1];
}

TEST(FlashCliDevices, ListShowsThePortTableAndWhichPortIsBusy) {
    TestDevice first, second;
    int holder = open(second.Sim.Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    FlashRun run = RunFlash({"--list"}, 20, first.Sim.Device + ":" + second.Sim.Device);
    close(holder);
    EXPECT_EQ(run.ExitCode, 0);
    std::vector<std::string> lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 2u) << run.Out;
    EXPECT_EQ(lines[0].rfind("COM1  " + first.Sim.Device, 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].find("busy"), std::string::npos);
    EXPECT_EQ(lines[1].rfind("COM2  " + second.Sim.Device, 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("busy"), std::string::npos) << lines[1];
    // Said as the port's state, not as a reason it would not open.
    EXPECT_EQ(lines[1].substr(lines[1].size() - 6), "  busy") << lines[1];
}

} // namespace
