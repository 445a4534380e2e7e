// tq330-flash with one device: every exit code, the JSON events, the trace's bytes, --check.
#include "cli_run.h"
#include "cli_sim.h"

#include "app/app.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

TestDevice::TestDevice(std::vector<std::string> extra, bool paced) {
    Folder = Sim_TempDir();
    std::vector<std::string> args = {"--baud", paced ? "57600" : "0", "--clear-ms", "100",
                                     "--log",  Folder + "/log",       "--dump",     Folder + "/flash"};
    if (std::find(extra.begin(), extra.end(), "--app-ms") == extra.end())
        args.insert(args.end(), {"--app-ms", "200"});
    args.insert(args.end(), extra.begin(), extra.end());
    Started = Sim_Start(args, &Sim);
    EXPECT_TRUE(Started) << "the simulator did not start";
}

TestDevice::~TestDevice() {
    if (Started)
        Sim_Stop(&Sim);
}

std::vector<uint8_t> TestDevice::Flash() {
    if (Started) {
        Sim_Stop(&Sim);
        Started = false;
    }
    return Sim_ReadFile(Folder + "/flash");
}

std::vector<int> TestDevice::Commands() {
    std::vector<int> commands;
    for (const std::string& line : Sim_ReadLines(Folder + "/log")) {
        int command = std::atoi(line.c_str() + 4); // "cmd=C ..."
        if (command != 0 && (commands.empty() || commands.back() != command))
            commands.push_back(command);
    }
    return commands;
}

const std::vector<uint8_t>& ImageFlash() {
    static std::vector<uint8_t> flash;
    if (flash.empty()) {
        EXPECT_EQ(APP_LoadImage(), 0);
        flash = Sim_FlashOf(pProgramImage);
    }
    return flash;
}

namespace {

bool ProgrammingUnderway(const std::string& out) {
    for (const std::string& line : Events(out, "progress"))
        if (Field(line, "step") == "Programming target" && std::atoi(Field(line, "percent").c_str()) >= 2)
            return true;
    return false;
}

TEST(FlashCli, UpdatesTheDeviceAndReportsEveryStepAsJson) {
    TestDevice device;
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 120);
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("Target updated successfully"), std::string::npos);
    EXPECT_TRUE(device.Flash() == ImageFlash()) << "reported updated, but the flash is not the image";
    EXPECT_EQ(device.Commands(), (std::vector<int>{1, 2, 3, 5, 7}));

    for (const std::string& line : Lines(run.Out))
        EXPECT_TRUE(IsJsonObject(line)) << line;
    std::vector<std::string> steps;
    for (const std::string& line : Events(run.Out, "step"))
        steps.push_back(Field(line, "step"));
    EXPECT_EQ(steps, (std::vector<std::string>{"Clear target", "Programming target", "Make valid", "Get CRC",
                                               "Start application"}));
    for (const std::string& line : Events(run.Out, "step_result"))
        EXPECT_EQ(Field(line, "status"), "ok") << line;
    // Programming's progress climbs through the image, one event a percent, each percent the window's
    // figure for its bytes; the job shows the bytes sent before each block, so it ends at 99 %.
    long last = -1;
    int lastPercent = -1;
    const long total = static_cast<long>(ImageStore_TotalBytes(pProgramImage));
    for (const std::string& line : Events(run.Out, "progress")) {
        if (Field(line, "step") != "Programming target")
            continue;
        long bytes = std::atol(Field(line, "bytes").c_str());
        int percent = std::atoi(Field(line, "percent").c_str());
        EXPECT_GT(bytes, last);
        EXPECT_GT(percent, lastPercent);
        EXPECT_EQ(percent, bytes * 100 / total) << line;
        EXPECT_EQ(Field(line, "total"), std::to_string(total));
        last = bytes;
        lastPercent = percent;
    }
    EXPECT_EQ(lastPercent, 99);
    ASSERT_EQ(Events(run.Out, "connected").size(), 1u);
    ASSERT_EQ(Events(run.Out, "port_opened").size(), 1u);
    std::vector<std::string> results = Events(run.Out, "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(Field(results[0], "result"), "updated");
    EXPECT_EQ(Field(results[0], "exit_code"), "0");
    EXPECT_EQ(Field(results[0], "status"), "Target updated successfully");
    EXPECT_FALSE(Field(results[0], "image_crc").empty());
    EXPECT_EQ(Field(results[0], "image_crc"), Field(results[0], "target_crc"));
    EXPECT_GT(std::atof(Field(results[0], "update_seconds").c_str()), 0.0);
}

TEST(FlashCli, UsageErrorsEndWith64BeforeAnythingIsOpened) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--frobnicate"}, {"--wait", "soon"}, {"--port"}, {"--check", "--loop"}, {"--json=yes"}}) {
        FlashRun run = RunFlash(args, 10);
        EXPECT_EQ(run.ExitCode, 64) << args[0];
        EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
        EXPECT_TRUE(run.Out.empty());
    }
    FlashRun help = RunFlash({"--help"}, 10);
    EXPECT_EQ(help.ExitCode, 0);
    for (const char* text : {"  64 ", "  65 ", "  130 ", "  2 ", "  3 ", "  --serve [ADDRESS:]PORT"})
        EXPECT_NE(help.Out.find(text), std::string::npos) << text;
}

// The reasons of the usage errors the case above does not reach, word for word: a script or a
// person reads them to learn what to change.
TEST(FlashCli, EachRefusedOptionSaysWhyInItsOwnWords) {
    const struct {
        std::vector<std::string> Args;
        const char* pWhy;
    } aCases[] = {
        {{"--port", ""}, "--port needs a device path or COMn"},
        {{"--port", "tcp://h"},
         "--port tcp://h: no port number; write rfc2217://HOST:PORT or tcp://HOST:PORT"},
        {{"--port", "COM1", "--port=COM1"}, "port COM1 named twice"},
        {{"--firmware="}, "--firmware needs a file"},
        {{"--trace", ""}, "--trace needs a file"},
        {{"--record="}, "--record needs a file"},
        {{"--wait", "86401"}, "--wait needs a whole number of seconds, not '86401'"},
        {{"--json", "--wait"}, "--wait needs a value"},
        {{"--list=a"}, "--list takes no value"},
        {{"--frob=x"}, "unknown option '--frob'"},
        {{"--check", "--skip-current"},
         "--check writes nothing: it goes with neither --skip-current nor --loop"},
        {{"--doctor", "--record", "r"},
         "--doctor only looks: it goes with none of --check, --skip-current, --loop, --list, --record"},
        {{"--serve", "70000"}, "--serve 70000: the port is a number from 1 to 65535"},
        {{"--serve=host:8330"},
         "--serve host:8330: \"host\" is not an IP address (such as 0.0.0.0 or 127.0.0.1)"},
        {{"--serve", "::1:8330"}, "--serve ::1:8330: an IPv6 address goes in brackets: [::1]:8330"},
        {{"--serve", "8330", "--doctor"}, "--serve shows updates: it goes with neither --doctor nor --list"},
        {{"--list", "--serve", "8330"}, "--serve shows updates: it goes with neither --doctor nor --list"},
    };
    for (const auto& c : aCases) {
        FlashRun run = RunFlash(c.Args, 10);
        EXPECT_EQ(run.ExitCode, 64) << c.pWhy;
        EXPECT_EQ(run.Err, std::string("tq330-flash: ") + c.pWhy + " (see --help)\n");
        EXPECT_TRUE(run.Out.empty()) << c.pWhy;
    }
}

TEST(FlashCli, FaultyFirmwareFileEndsWith65AndNeverTouchesThePort) {
    TestDevice device;
    std::string faulty = WriteTempFile("bad.s28", "S00600004844521B\nS2080EEC700702062956\n");
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--firmware", faulty}, 20);
    EXPECT_EQ(run.ExitCode, 65);
    EXPECT_NE(run.Err.find("Error in line 2: "), std::string::npos) << run.Err;
    FlashRun missing = RunFlash({"--port", device.Sim.Device, "--firmware", "/nonexistent/x.s28"}, 20);
    EXPECT_EQ(missing.ExitCode, 65);
    EXPECT_EQ(Lines(missing.Err).size(), 1u) << missing.Err;
    // No data records: the device would be cleared, and the empty image's CRC matches erased flash.
    std::string empty = WriteTempFile("empty.s28", "S00600004844521B\nS804000000FB\n");
    FlashRun noData = RunFlash({"--port", device.Sim.Device, "--firmware", empty}, 20);
    EXPECT_EQ(noData.ExitCode, 65);
    EXPECT_NE(noData.Err.find("no data records"), std::string::npos) << noData.Err;
    device.Flash();
    EXPECT_TRUE(Sim_ReadLines(device.Folder + "/log").empty()) << "a frame went out";
}

TEST(FlashCli, PortThatIsNoSerialDeviceOrBusyEndsWith3) {
    FlashRun notSerial = RunFlash({"--port", "/dev/null"}, 20);
    EXPECT_EQ(notSerial.ExitCode, 3);
    EXPECT_NE(notSerial.Err.find("COM::_InitCOM: Port not available"), std::string::npos) << notSerial.Err;
    EXPECT_NE(notSerial.Err.find("not a serial device"), std::string::npos) << notSerial.Err;

    FlashRun absent = RunFlash({"--port", "/dev/tq330-no-such-port"}, 20);
    EXPECT_EQ(absent.ExitCode, 3);

    TestDevice device;
    int holder = open(device.Sim.Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    FlashRun busy = RunFlash({"--port", device.Sim.Device, "--json"}, 20);
    close(holder);
    EXPECT_EQ(busy.ExitCode, 3);
    EXPECT_NE(busy.Err.find("busy"), std::string::npos) << busy.Err;
    ASSERT_EQ(Events(busy.Out, "result").size(), 1u);
    EXPECT_EQ(Field(Events(busy.Out, "result")[0], "exit_code"), "3");

    FlashRun noSuchCom = RunFlash({"--port", "COM5"}, 20, device.Sim.Device);
    EXPECT_EQ(noSuchCom.ExitCode, 3);

    // A port table that names no port (TQ330_PORTS set, every entry empty): the window's start-up
    // words, and 3.
    FlashRun none = RunFlash({"--json"}, 20, ":");
    EXPECT_EQ(none.ExitCode, 3);
    EXPECT_NE(none.Err.find("Error: No COM port detected. Application can not be executed!"),
              std::string::npos)
        << none.Err;
    ASSERT_EQ(Events(none.Out, "result").size(), 1u) << none.Out;
    EXPECT_EQ(Field(Events(none.Out, "result")[0], "result"), "port error");
}

TEST(FlashCli, RefusedPortEndsWith3AndNamesTheGroupToJoin) {
    TestDevice device;
    ASSERT_EQ(chmod(device.Sim.Device.c_str(), geteuid() == 0 ? 0600 : 0), 0);
    FlashRun run = RunFlash({"--port", device.Sim.Device}, 20, "", nullptr, false, true);
    if (run.ExitCode == 126)
        GTEST_SKIP() << "cannot drop to uid 65534 here";
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_NE(
        run.Err.find("permission denied on " + device.Sim.Device + ": add yourself to the dialout group"),
        std::string::npos)
        << run.Err;
}

TEST(FlashCli, SilentDeviceEndsWith2AfterTheWait) {
    TestDevice device({"--silent"});
    FlashRun run = RunFlash({"--port", "COM1", "--wait", "1"}, 30, device.Sim.Device);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_LT(run.Seconds, 5.0);
    size_t first = run.Err.find("Please cycle power of TQ330");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(run.Err.find("Please cycle power of TQ330", first + 1), std::string::npos) << "asked twice";
}

TEST(FlashCli, RejectedBlockEndsWith1AndIsNeverMadeValid) {
    TestDevice device({"--reject-at", "0xC0000"});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 60);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Err.find("Target not updated successfully"), std::string::npos);
    EXPECT_NE(run.Err.find("Programming target target error"), std::string::npos) << run.Err;
    ASSERT_EQ(Events(run.Out, "result").size(), 1u);
    EXPECT_EQ(Field(Events(run.Out, "result")[0], "result"), "not updated");
    std::vector<int> commands = device.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 3), 0);
}

TEST(FlashCli, WrongCrcEndsWith1AndTheApplicationIsNotStarted) {
    TestDevice device({"--wrong-crc"});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 60);
    EXPECT_EQ(run.ExitCode, 1);
    std::string result = Events(run.Out, "result").at(0);
    EXPECT_EQ(Field(result, "result"), "not updated");
    EXPECT_EQ(Field(result, "failed_step"), "the CRCs differ");
    EXPECT_NE(Field(result, "image_crc"), Field(result, "target_crc"));
    std::vector<int> commands = device.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 0);
}

TEST(FlashCli, DeviceGoneMidUpdateEndsWith1) {
    TestDevice device({"--unplug-after-blocks", "20"});
    FlashRun run = RunFlash({"--port", device.Sim.Device}, 120);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_FALSE(run.TimedOut);
    EXPECT_FALSE(device.Flash() == ImageFlash());
}

TEST(FlashCli, CtrlCDuringProgrammingEndsWith130AndNeverClaimsSuccess) {
    TestDevice device({}, true); // paced: the blocks take a minute, the interrupt lands among them
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 120, "", ProgrammingUnderway);
    EXPECT_EQ(run.ExitCode, 130) << run.Err;
    EXPECT_LT(run.Seconds, 30.0);
    EXPECT_EQ(run.Err.find("Target updated successfully"), std::string::npos);
    ASSERT_EQ(Events(run.Out, "result").size(), 1u);
    EXPECT_EQ(Field(Events(run.Out, "result")[0], "result"), "interrupted");
    EXPECT_FALSE(device.Flash() == ImageFlash());
    std::vector<int> commands = device.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 3), 0) << "made valid after a cancel";
}

// Once the CRCs matched (during start application) the device holds the image: a Ctrl-C then still
// ends with 0; during Get CRC, before they matched, it ends with 130. Lost Acks make each step last.
TEST(FlashCli, CtrlCAfterTheCrcsMatchedStillEndsWith0) {
    for (const char* command : {"7", "5"}) {
        const bool matched = command[0] == '7';
        const std::string step = matched ? "Start application" : "Get CRC";
        TestDevice device({"--drop-acks", "2", "--drop-acks-cmd", command});
        FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 60, "", [&](const std::string& out) {
            std::vector<std::string> steps = Events(out, "step");
            return !steps.empty() && Field(steps.back(), "step") == step;
        });
        EXPECT_EQ(run.ExitCode, matched ? 0 : 130) << step << run.Err;
        ASSERT_EQ(Events(run.Out, "result").size(), 1u) << step;
        EXPECT_EQ(Field(Events(run.Out, "result")[0], "result"), matched ? "updated" : "interrupted");
        EXPECT_EQ(Field(Events(run.Out, "result")[0], "exit_code"), matched ? "0" : "130");
    }
}

TEST(FlashCli, SecondCtrlCEndsAtOnce) {
    TestDevice device({"--clear-ms", "20000"}); // a clear that keeps the first Ctrl-C waiting
    FlashRun run = RunFlash(
        {"--port", device.Sim.Device, "--json"}, 60, "",
        [](const std::string& out) { return !Events(out, "step").empty(); }, true);
    EXPECT_EQ(run.ExitCode, 130);
    EXPECT_LT(run.Seconds, 10.0);
}

TEST(FlashCli, CheckTellsCurrentFromStaleAndWritesNothing) {
    TestDevice device({"--fill", "0x00"});
    FlashRun stale = RunFlash({"--port", device.Sim.Device, "--check", "--json"}, 30);
    EXPECT_EQ(stale.ExitCode, 1) << stale.Err;
    ASSERT_EQ(Events(stale.Out, "result").size(), 1u);
    EXPECT_EQ(Field(Events(stale.Out, "result")[0], "result"), "differs");
    EXPECT_EQ(device.Commands(), (std::vector<int>{5}));

    ASSERT_EQ(RunFlash({"--port", device.Sim.Device}, 60).ExitCode, 0);
    usleep(400 * 1000); // the boot loader is back after start application
    FlashRun current = RunFlash({"--port", device.Sim.Device, "--check", "--json"}, 30);
    EXPECT_EQ(current.ExitCode, 0) << current.Err;
    std::string result = Events(current.Out, "result").at(0);
    EXPECT_EQ(Field(result, "result"), "current");
    EXPECT_EQ(Field(result, "image_crc"), Field(result, "target_crc"));

    FlashRun skip = RunFlash({"--port", device.Sim.Device, "--skip-current"}, 30);
    EXPECT_EQ(skip.ExitCode, 0);
    std::vector<int> commands = device.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 1), 1) << "cleared again though current";
}

// A device that gave no CRC, or one over an empty area (which every image matches), is not known to
// hold the firmware; a Ctrl-C during the look is an interruption, not a verdict.
TEST(FlashCli, CheckWithoutAMeaningfulCrcIsNeverCurrent) {
    const std::vector<std::string> noCrc = {"--drop-acks", "100", "--drop-acks-cmd", "5"};
    const struct {
        std::vector<std::string> device;
        bool interrupt;
        const char* result;
        int exitCode;
    } aCases[] = {{noCrc, false, "differs", 1},
                  {{"--crc-length", "0"}, false, "differs", 1},
                  {noCrc, true, "interrupted", 130}};
    for (const auto& c : aCases) {
        TestDevice device(c.device);
        std::function<bool(const std::string&)> atGetCrc = nullptr;
        if (c.interrupt)
            atGetCrc = [](const std::string& out) { return !Events(out, "step").empty(); };
        FlashRun run = RunFlash({"--port", device.Sim.Device, "--check", "--json"}, 30, "", atGetCrc);
        EXPECT_EQ(run.ExitCode, c.exitCode) << c.device[0] << run.Err;
        ASSERT_EQ(Events(run.Out, "result").size(), 1u) << run.Out;
        EXPECT_EQ(Field(Events(run.Out, "result")[0], "result"), c.result) << c.device[0];
        EXPECT_EQ(Field(Events(run.Out, "result")[0], "exit_code"), std::to_string(c.exitCode));
    }
    // --skip-current takes neither for current: it updates, and the update's own compare fails.
    for (const std::vector<std::string>& d : {noCrc, std::vector<std::string>{"--crc-length", "0"}}) {
        TestDevice device(d);
        FlashRun run = RunFlash({"--port", device.Sim.Device, "--skip-current", "--json"}, 60);
        EXPECT_EQ(run.ExitCode, 1) << d[0] << run.Err;
        std::vector<std::string> results = Events(run.Out, "result");
        ASSERT_EQ(results.size(), 1u) << run.Out;
        EXPECT_EQ(Field(results[0], "result"), "not updated") << d[0];
        std::vector<int> commands = device.Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 1), 1) << d[0] << ": not cleared";
    }
}

TEST(FlashCli, SkipCurrentUpdatesAStaleDeviceAfterLooking) {
    TestDevice device({"--fill", "0x00"});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--skip-current", "--json"}, 60);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Field(Events(run.Out, "result").at(0), "result"), "updated");
    EXPECT_EQ(device.Commands(), (std::vector<int>{5, 1, 2, 3, 5, 7}));
    EXPECT_TRUE(device.Flash() == ImageFlash());
}

// The frames of the trace, byte for byte, from a firmware of one 4-byte record and a device whose
// CRC area is 0x1000 bytes at 0xEEC70 and whose first identify answer comes after 3 bytes of noise
// (read and dropped with a read that returns less than it asked for).
TEST(FlashCli, TraceHoldsTheFramesByteForByte) {
    std::string firmware = WriteTempFile("one.s28", "S00600004844521B\nS2080EEC700702062955\nS804000000FB\n");
    std::string trace = Sim_TempDir() + "/trace";
    TestDevice device({"--crc-start", "0xEEC70", "--crc-length", "0x1000", "--garbage-before", "3",
                       "--garbage-cmd", "0", "--garbage-count", "1"});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--firmware", firmware, "--trace", trace}, 30);
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    std::vector<std::string> sent;
    std::vector<uint8_t> received;
    for (const std::string& line : Sim_ReadLines(trace)) {
        if (line.empty() || line[0] == '#')
            continue;
        double ms = std::atof(line.c_str());
        EXPECT_GE(ms, 0.0) << line;
        size_t mark = line.find_first_of("<>");
        ASSERT_NE(mark, std::string::npos) << line;
        if (line[mark] == '<') {
            std::istringstream bytes(line.substr(mark + 1));
            std::string hex;
            while (bytes >> hex && hex[0] != '(')
                received.push_back(static_cast<uint8_t>(std::stoi(hex, nullptr, 16)));
        } else
            sent.push_back(line.substr(mark + 2));
    }
    // Received: the noise, then only whole Ack bytes and frames. A short read traced as the buffer
    // it asked for would add bytes that never came, and the next frame would not start where it must.
    ASSERT_GT(received.size(), 3u);
    for (size_t i = 3; i < received.size();) {
        if (received[i] == 0x90) {
            ++i;
            continue;
        }
        ASSERT_EQ(received[i], 0x68) << "at byte " << i;
        size_t end = i + 1 < received.size() ? i + 9 + received[i + 1] : received.size() + 1;
        // The reply that was coming in when the program ended may stop short; only the last one.
        if (end > received.size())
            break;
        ASSERT_EQ(received[end - 1], 0x16) << "at byte " << i;
        i = end;
    }
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], "68 00 00 68 00 00 00 00 16  identify");
    auto has = [&](const std::string& frame) {
        return std::find(sent.begin(), sent.end(), frame) != sent.end();
    };
    EXPECT_TRUE(has("68 00 00 68 00 00 01 01 16  clear"));
    EXPECT_TRUE(has("68 08 08 68 00 00 02 70 EC 0E 00 07 02 06 29 A4 16  program"));
    EXPECT_TRUE(has("68 08 08 68 00 00 05 70 EC 0E 00 00 10 00 00 7F 16  get CRC"));
    EXPECT_TRUE(has("68 00 00 68 00 00 03 03 16  make valid"));
    EXPECT_TRUE(has("68 00 00 68 00 00 07 07 16  start application"));
}

// --version's CRC is the one a device reports for the image's whole span once it holds the image.
TEST(FlashCli, VersionCrcIsWhatTheDeviceReportsForTheImageSpan) {
    ImageFlash(); // loads the image
    FlashRun version = RunFlash({"--version"}, 20);
    ASSERT_EQ(version.ExitCode, 0);
    EXPECT_NE(version.Out.find(std::to_string(ImageStore_TotalBytes(pProgramImage)) + " bytes"),
              std::string::npos);
    uint32_t first = ImageStore_FirstAddress(pProgramImage), last = ImageStore_LastAddress(pProgramImage);
    char acStart[16], acLength[16];
    std::snprintf(acStart, sizeof acStart, "0x%X", first);
    std::snprintf(acLength, sizeof acLength, "0x%X", last - first + 1);
    TestDevice device({"--crc-start", acStart, "--crc-length", acLength});
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--json"}, 60);
    ASSERT_EQ(run.ExitCode, 0);
    std::string crc = Field(Events(run.Out, "result").at(0), "target_crc");
    ASSERT_FALSE(crc.empty());
    EXPECT_NE(version.Out.find("CRC-16: " + crc + " over " + acStart), std::string::npos)
        << version.Out << crc;
}

} // namespace
