// tq330-flash --record: one whole JSON line per device attempt, appended and on the disk before
// the next device starts; with --loop, with four ports into one file, through a SIGKILL, and a
// record that cannot be written, which must stop the line before a device is touched.
#include "cli_run.h"
#include "cli_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Updated(const std::string& line) {
    return Field(line, "result") == "updated";
}

std::vector<std::string> RecordLines(const std::string& path) {
    return Sim_ReadLines(path);
}

std::string Sha256Of(const std::string& path) {
    std::string digest;
    if (FILE* pPipe = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char acLine[256] = {};
        if (std::fgets(acLine, sizeof acLine, pPipe))
            digest = std::string(acLine).substr(0, 64);
        pclose(pPipe);
    }
    return digest;
}

} // namespace

// Two devices one after the other: two lines behind the line that was there, each a whole object
// with the device's identify record, the CRC the update read back, and the firmware's SHA-256 as
// sha256sum computes it.
TEST(FlashCliRecord, LoopAppendsOneLinePerDeviceBehindWhatWasThere) {
    TestDevice device({"--app-ms", "1500"});
    std::string record = WriteTempFile("record.jsonl", "{\"earlier\":\"line\"}\n");
    std::string firmware = Sim_TempDir() + "/firmware.s19";
    ASSERT_EQ(system(("cp '" TQ330_FIRMWARE_SOURCE "' '" + firmware + "'").c_str()), 0);
    FlashRun run = RunFlash(
        {"--port", device.Sim.Device, "--loop", "--json", "--record", record, "--firmware", firmware}, 180,
        "", [](const std::string& out) {
            std::vector<std::string> results = Events(out, "result");
            return std::count_if(results.begin(), results.end(), Updated) >= 2;
        });
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    std::vector<std::string> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 3u) << run.Err;
    EXPECT_EQ(lines[0], "{\"earlier\":\"line\"}");
    char acHost[256] = {};
    gethostname(acHost, sizeof acHost - 1);
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_TRUE(IsJsonObject(line)) << line;
        EXPECT_EQ(Field(line, "result"), "updated") << line;
        EXPECT_EQ(Field(line, "exit_code"), "0");
        EXPECT_EQ(Field(line, "port"), device.Sim.Device);
        EXPECT_EQ(Field(line, "host"), acHost);
        EXPECT_EQ(Field(line, "id_text1"), "TQ330");
        EXPECT_EQ(Field(line, "id_byte"), "0x33"); // one byte: two digits
        EXPECT_EQ(Field(line, "crc_length"), "385024");
        EXPECT_EQ(Field(line, "firmware_sha256"), Sha256Of(firmware));
        EXPECT_EQ(Field(line, "retries"), "0");
        EXPECT_EQ(Field(line, "crc_after"), Field(Events(run.Out, "result")[0], "target_crc"));
        EXPECT_TRUE(Field(line, "failed_step").empty());
        std::string time = Field(line, "time");
        EXPECT_EQ(time.size(), 24u) << time; // 2025-03-01T09:30:12.345Z
        EXPECT_EQ(time.back(), 'Z');
    }
}

// A device that rejects a block and one that loses acknowledgements: the failed step, the exit
// code and the retries the link needed are on the line.
TEST(FlashCliRecord, FailedStepAndRetriesAreRecorded) {
    TestDevice rejecting({"--reject-at", "0xC0000"});
    std::string record = Sim_TempDir() + "/record.jsonl";
    FlashRun run = RunFlash({"--port", rejecting.Sim.Device, "--record", record}, 120);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    TestDevice dropping({"--drop-acks", "1", "--drop-acks-cmd", "1"});
    FlashRun retried = RunFlash({"--port", dropping.Sim.Device, "--record", record}, 120);
    EXPECT_EQ(retried.ExitCode, 0) << retried.Err;
    std::vector<std::string> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Field(lines[0], "result"), "not updated");
    EXPECT_EQ(Field(lines[0], "exit_code"), "1");
    EXPECT_NE(Field(lines[0], "failed_step").find("Programming target target error"), std::string::npos)
        << lines[0];
    EXPECT_EQ(Field(lines[1], "result"), "updated");
    EXPECT_EQ(Field(lines[1], "retries"), "1") << lines[1];
}

// Four processes append to one file at once, behind a half line an earlier run left: four whole
// lines, one per port, and the half line as it was, on a line of its own.
TEST(FlashCliRecord, FourPortsIntoOneFileNeverInterleave) {
    TestDevice a, b, c, d;
    std::string record = WriteTempFile("record.jsonl", "{\"half\":\"li");
    FlashRun run = RunFlash({"--port", a.Sim.Device, "--port", b.Sim.Device, "--port", c.Sim.Device, "--port",
                             d.Sim.Device, "--record", record},
                            240);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    std::vector<std::string> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "{\"half\":\"li");
    lines.erase(lines.begin());
    std::set<std::string> ports;
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
        EXPECT_EQ(Field(line, "result"), "updated");
        ports.insert(Field(line, "port"));
    }
    EXPECT_EQ(ports, (std::set<std::string>{a.Sim.Device, b.Sim.Device, c.Sim.Device, d.Sim.Device}));
}

// Killed outright while the third device is being programmed: the two lines before are whole.
TEST(FlashCliRecord, SigkillDuringTheThirdDeviceKeepsTheFirstTwoLines) {
    TestDevice device({"--app-ms", "1500"});
    std::string record = Sim_TempDir() + "/record.jsonl";
    RunHow how;
    how.Signal = SIGKILL;
    FlashRun run = RunProgram(how, {"--port", device.Sim.Device, "--loop", "--json", "--record", record}, 180,
                              "", [](const std::string& out) { return Events(out, "update").size() >= 3; });
    EXPECT_EQ(run.ExitCode, 128 + SIGKILL) << run.Err;
    std::vector<std::string> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
        EXPECT_EQ(Field(line, "result"), "updated");
    }
}

// A record that cannot be opened stops before any device is touched; one that cannot take the
// first device's line (the file may grow no further) stops before the second device.
TEST(FlashCliRecord, RecordThatCannotBeWrittenStopsTheLine) {
    TestDevice untouched;
    std::string folder = Sim_TempDir();
    FlashRun run = RunFlash({"--port", untouched.Sim.Device, "--record", folder}, 60);
    EXPECT_EQ(run.ExitCode, 3) << run.Err;
    EXPECT_NE(run.Err.find("--record: " + folder), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("no device touched"), std::string::npos) << run.Err;
    FlashRun several =
        RunFlash({"--port", untouched.Sim.Device, "--port", "/dev/null", "--record", folder}, 60);
    EXPECT_EQ(several.ExitCode, 3) << several.Err;
    EXPECT_TRUE(untouched.Commands().empty());

    TestDevice device({"--app-ms", "1500"});
    std::string record = WriteTempFile("full.jsonl", "{\"earlier\":\"line\"}\n");
    RunHow full;
    full.InChild = [] {
        signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG instead of ending the process
        rlimit limit = {19, 19};  // the file's size: not one byte more
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    FlashRun line =
        RunProgram(full, {"--port", device.Sim.Device, "--loop", "--json", "--record", record}, 120);
    EXPECT_EQ(line.ExitCode, 3) << line.Err;
    EXPECT_FALSE(line.TimedOut);
    EXPECT_EQ(Events(line.Out, "record_error").size(), 1u) << line.Out;
    EXPECT_EQ(device.Commands(), (std::vector<int>{1, 2, 3, 5, 7})) << "one device, and no second";
    EXPECT_EQ(RecordLines(record), std::vector<std::string>{"{\"earlier\":\"line\"}"});
}

// The file takes the start of a line and no more (its size limit in the middle of the line): exit
// code 3, and the half line stays as it is. The next run's line starts on a line of its own, whole.
TEST(FlashCliRecord, LineWrittenInPartEndsWith3AndTheNextLineStandsAlone) {
    TestDevice device;
    std::string record = WriteTempFile("part.jsonl", "{\"earlier\":\"line\"}\n");
    RunHow limited;
    limited.InChild = [] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {19 + 40, 19 + 40}; // 40 bytes of the next line
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    FlashRun cut = RunProgram(limited, {"--port", device.Sim.Device, "--json", "--record", record}, 120);
    EXPECT_EQ(cut.ExitCode, 3) << cut.Err;
    EXPECT_EQ(Events(cut.Out, "record_error").size(), 1u) << cut.Out;
    EXPECT_NE(cut.Err.find("written only in part"), std::string::npos) << cut.Err;
    std::vector<std::string> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 2u);
    const std::string half = lines[1];
    EXPECT_EQ(half.size(), 40u);

    FlashRun next = RunFlash({"--port", device.Sim.Device, "--record", record}, 120);
    EXPECT_EQ(next.ExitCode, 0) << next.Err;
    lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], half);
    EXPECT_TRUE(IsJsonObject(lines[2])) << lines[2];
    EXPECT_EQ(Field(lines[2], "result"), "updated");
}
