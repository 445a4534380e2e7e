// Whole updates: tq330-updater (offscreen, Start pressed by its test switch) writes its embedded
// image into tq330-sim over a pseudo-terminal, with and without the simulator's faults.
#include "e2e_harness.h"
#include "tests/sim/sim_harness.h"
#include "tests/sim/sim_net.h"

#include "app/app.h"
#include "image/image_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct ProgramRun {
    int ExitCode = -1;  // 128 + signal when killed
    std::string Output; // the program's standard output
    bool TimedOut = false;
    std::chrono::steady_clock::time_point Closing; // when the program said it closes the dialog
    std::chrono::steady_clock::time_point Ended;
};

// Starts the program against the device and waits for its end (at most timeoutSec).
ProgramRun RunUpdater(const std::string& device, int timeoutSec, const char* closeAfterMs = nullptr,
                      const char* okDelayMs = nullptr) {
    ProgramRun run;
    std::vector<std::string> switches = {"TQ330_AUTOSTART=1"};
    switches.push_back(closeAfterMs ? std::string("TQ330_CLOSE_AFTER_MS=") + closeAfterMs
                                    : "TQ330_AUTOCLOSE=1");
    if (okDelayMs)
        switches.push_back(std::string("TQ330_OK_DELAY_MS=") + okDelayMs);
    UpdaterChild child;
    if (!Updater_Start(device, switches, &child))
        return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    std::string line;
    int got;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        got = Updater_ReadLine(&child, static_cast<int>(std::max<int64_t>(left.count(), 0)), &line);
        if (got != 1)
            break;
        run.Output += line + "\n";
        if (line == "closing" && run.Closing == decltype(run.Closing)())
            run.Closing = std::chrono::steady_clock::now();
    }
    run.TimedOut = got < 0;
    run.ExitCode = Updater_Wait(&child, run.TimedOut ? 0 : 10000);
    run.Ended = std::chrono::steady_clock::now();
    return run;
}

struct Outcome {
    ProgramRun Program;
    std::vector<uint8_t> Flash;
    std::vector<std::string> Log;
    std::vector<int> Commands; // the commands the simulator received, polls and repeats left out
};

// With viaSer2net the window's COM1 is rfc2217:// to Debian's ser2net in front of the simulator,
// which then hears only a line at 57600 8O1: the line the window's own negotiation set.
Outcome Update(std::vector<std::string> faults, bool viaSer2net = false) {
    Outcome out;
    std::string folder = Sim_TempDir();
    std::vector<std::string> args = {"--baud", "0",     "--clear-ms",    "100",    "--app-ms",
                                     "200",    "--log", folder + "/log", "--dump", folder + "/flash"};
    args.insert(args.end(), faults.begin(), faults.end());
    SimChild sim;
    if (!Sim_Start(args, &sim)) {
        ADD_FAILURE() << "the simulator did not start";
        return out;
    }
    NetServer server;
    if (viaSer2net && !Net_StartSer2net({sim.Device}, &server))
        ADD_FAILURE() << "ser2net did not start";
    out.Program = RunUpdater(viaSer2net ? Net_Url(server) : sim.Device, 180);
    Net_Stop(&server);
    Sim_Stop(&sim); // writes the dump
    out.Flash = Sim_ReadFile(folder + "/flash");
    out.Log = Sim_ReadLines(folder + "/log");
    for (const std::string& line : out.Log) {
        int command = std::atoi(line.c_str() + 4); // "cmd=C ..."
        if (command != 0 && (out.Commands.empty() || out.Commands.back() != command))
            out.Commands.push_back(command);
    }
    return out;
}

// What every run must show: the program ends by Ok with exit code 0, the controls end as the flow
// leaves them, and success is claimed only for a flash that is the image.
void ExpectHonestEnd(const Outcome& out) {
    EXPECT_FALSE(out.Program.TimedOut);
    EXPECT_EQ(out.Program.ExitCode, 0);
    bool success = out.Program.Output == FinalLine("Target updated successfully");
    bool failure = out.Program.Output == FinalLine("Target not updated successfully");
    EXPECT_TRUE(success || failure) << out.Program.Output;
    ASSERT_EQ(out.Flash.size(), SIM_FLASH_SIZE);
    if (success) {
        EXPECT_TRUE(out.Flash == ExpectedFlash()) << "success claimed for a flash that is not the image";
    }
}

uint32_t AddressInsideImage() {
    ExpectedFlash();
    uint32_t start = 0, length = 0;
    ImageStore_AreaInfo(pProgramImage, 0, &start, &length);
    return start + length / 2;
}

TEST(EndToEnd, CleanUpdateWritesTheImageAndStartsIt) {
    Outcome out = Update({});
    ExpectHonestEnd(out);
    EXPECT_EQ(out.Program.Output, FinalLine("Target updated successfully"));
    EXPECT_TRUE(out.Flash == ExpectedFlash());
    EXPECT_EQ(out.Commands, (std::vector<int>{1, 2, 3, 5, 7}));
    // Every byte of the image went out in an acknowledged block, each block once (repeats of a
    // block after a lost answer count once).
    std::set<std::pair<uint32_t, uint32_t>> blocks;
    for (const std::string& line : out.Log) {
        if (line.rfind("cmd=2 ", 0) == 0 && line.find("result=ack") != std::string::npos)
            blocks.insert({std::strtoul(line.c_str() + line.find("addr=") + 5, nullptr, 16),
                           std::strtoul(line.c_str() + line.find("len=") + 4, nullptr, 10)});
    }
    uint64_t programmed = 0;
    for (const auto& block : blocks)
        programmed += block.second;
    EXPECT_EQ(programmed, ImageStore_TotalBytes(pProgramImage));
}

TEST(EndToEnd, UpdatesADeviceBehindSer2netNamedInTheWindowsPortTable) {
    Outcome out = Update({"--check-line"}, true);
    ExpectHonestEnd(out);
    EXPECT_EQ(out.Program.Output, FinalLine("Target updated successfully"));
    EXPECT_EQ(out.Commands, (std::vector<int>{1, 2, 3, 5, 7}));
}

TEST(EndToEnd, RejectedBlockFailsTheUpdate) {
    char acAddress[32];
    std::snprintf(acAddress, sizeof acAddress, "0x%X", AddressInsideImage());
    Outcome out = Update({"--reject-at", acAddress});
    ExpectHonestEnd(out);
    EXPECT_EQ(out.Program.Output, FinalLine("Target not updated successfully"));
    EXPECT_EQ(std::count(out.Commands.begin(), out.Commands.end(), 3), 0); // never made valid
}

TEST(EndToEnd, WrongCrcFailsBeforeTheApplicationIsStarted) {
    Outcome out = Update({"--wrong-crc"});
    ExpectHonestEnd(out);
    EXPECT_EQ(out.Program.Output, FinalLine("Target not updated successfully"));
    EXPECT_EQ(std::count(out.Commands.begin(), out.Commands.end(), 7), 0);
}

TEST(EndToEnd, UnpluggedDuringProgrammingFails) {
    Outcome out = Update({"--unplug-after-blocks", "20"});
    ExpectHonestEnd(out);
    EXPECT_EQ(out.Program.Output, FinalLine("Target not updated successfully"));
    EXPECT_FALSE(out.Flash == ExpectedFlash());
}

TEST(EndToEnd, CorruptedAnswersNeverGiveAFalseSuccess) {
    for (const char* every : {"3", "50"}) {
        SCOPED_TRACE(every);
        ExpectHonestEnd(Update({"--corrupt-every", every}));
    }
}

// Closing the dialog while the worker waits in a long clear ends the process at once: the update
// stops waiting for the job, and the process's end takes the worker and the port with it.
TEST(EndToEnd, ClosingDuringALongClearEndsPromptly) {
    std::string folder = Sim_TempDir();
    SimChild sim;
    ASSERT_TRUE(Sim_Start({"--baud", "0", "--clear-ms", "20000", "--log", folder + "/log"}, &sim));
    ProgramRun run = RunUpdater(sim.Device, 60, "1500");
    std::vector<std::string> log = Sim_ReadLines(folder + "/log");
    // The port is free again for the next program.
    int fd = Sim_OpenRaw(sim.Device);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    Sim_Stop(&sim);

    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 0);
    ASSERT_EQ(run.Output, "closing\n");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(run.Ended - run.Closing).count();
    EXPECT_LT(ms, 3000) << "the clear runs 20 s; the program must not wait for it";
    bool cleared = false;
    for (const std::string& line : log) {
        cleared = cleared || line.rfind("cmd=1 ", 0) == 0;
        EXPECT_NE(line.rfind("cmd=2 ", 0), 0u) << "no job after the close";
    }
    EXPECT_TRUE(cleared) << "the close came before the clear had started";
}

} // namespace

namespace {

// A real device's new application does not answer the boot loader's poll: the connection is lost
// right after the update. The result line must still be there when the user looks.
TEST(EndToEnd, TheResultStaysReadableWhileTheNewApplicationIsSilent) {
    std::string folder = Sim_TempDir();
    SimChild sim;
    // The simulator's default models the silent application.
    ASSERT_TRUE(Sim_Start({"--baud", "0", "--clear-ms", "100", "--log", folder + "/log"}, &sim));
    ProgramRun run = RunUpdater(sim.Device, 180, nullptr, "2000");
    std::vector<std::string> log = Sim_ReadLines(folder + "/log");
    Sim_Stop(&sim);
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Output, FinalLine("Target updated successfully"));
    // The polls after the start went unanswered, so the program did see the loss.
    bool started = false;
    int pollsAfterStart = 0;
    for (const std::string& line : log) {
        started = started || line.rfind("cmd=7 ", 0) == 0;
        pollsAfterStart += started && line.rfind("cmd=0 ", 0) == 0 ? 1 : 0;
    }
    EXPECT_TRUE(started);
    EXPECT_GT(pollsAfterStart, 3);
}

// The shipped program carries none of the driven build's switches: an environment that asks for a
// press of Start does not press it.
TEST(EndToEnd, TheShippedProgramReadsNoSwitch) {
    std::vector<std::string> binary = Sim_ReadLines(TQ330_SHIPPED_UPDATER_PATH);
    std::string all;
    for (const std::string& line : binary)
        all += line + "\n";
    for (const char* name :
         {"TQ330_AUTOSTART", "TQ330_AUTOCLOSE", "TQ330_CLOSE_AFTER_MS", "TQ330_BENCH_STARTUP",
          "TQ330_TIMESTAMPS", "TQ330_OK_DELAY_MS", "TQ330_STATUS_TRACE", "TQ330_CLOSE_ON_INPUT"})
        EXPECT_EQ(all.find(name), std::string::npos) << name;
    EXPECT_NE(all.find("TQ330_PORTS"), std::string::npos);

    std::string folder = Sim_TempDir();
    SimChild sim;
    ASSERT_TRUE(Sim_Start({"--baud", "0", "--log", folder + "/log"}, &sim));
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TQ330_PORTS", sim.Device.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("TQ330_AUTOSTART", "1", 1);
        setenv("TQ330_AUTOCLOSE", "1", 1);
        // Qt would abort on a platform it does not know, had it read the command line.
        execl(TQ330_SHIPPED_UPDATER_PATH, TQ330_SHIPPED_UPDATER_PATH, "-platform", "no-such-platform",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Twenty polls of the connected device, however slowly a loaded machine starts the program: a
    // pressed Start would have reached the clear long before.
    auto pollsSoFar = [&folder] {
        int n = 0;
        for (const std::string& line : Sim_ReadLines(folder + "/log"))
            n += line.rfind("cmd=0 ", 0) == 0 ? 1 : 0;
        return n;
    };
    int status = 0;
    bool stillRunning = true;
    for (int i = 0; i < 600 && stillRunning && pollsSoFar() < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stillRunning = waitpid(pid, &status, WNOHANG) == 0;
    }
    if (stillRunning) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    std::vector<std::string> log = Sim_ReadLines(folder + "/log");
    Sim_Stop(&sim);
    EXPECT_TRUE(stillRunning) << "the program ended by itself";
    int polls = 0;
    for (const std::string& line : log) {
        polls += line.rfind("cmd=0 ", 0) == 0 ? 1 : 0;
        EXPECT_NE(line.rfind("cmd=1 ", 0), 0u) << "the device was cleared without a click";
    }
    EXPECT_GT(polls, 0) << "the program never talked to the device";
}

} // namespace
