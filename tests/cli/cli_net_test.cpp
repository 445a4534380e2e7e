// tq330-flash on network ports against real servers: Debian's ser2net (RFC 2217) and socat (raw
// TCP) in front of tq330-sim. The simulator hears only a line at 57600 8O1 (--check-line) and
// ser2net's own default is 9600n81, so an update that succeeds proves the negotiation set the line.
#include "cli_run.h"
#include "cli_sim.h"

#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "tests/sim/sim_net.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

const std::vector<std::string> CHECK_LINE = {"--check-line"};

int Percent(const std::string& out, const char* step) {
    int best = -1;
    for (const std::string& line : Events(out, "progress"))
        if (Field(line, "step") == step)
            best = std::max(best, std::atoi(Field(line, "percent").c_str()));
    return best;
}

int CountResults(const std::string& out, const std::string& result) {
    int n = 0;
    for (const std::string& line : Events(out, "result"))
        n += Field(line, "result") == result;
    return n;
}

// Without negotiation ser2net keeps its 9600n81 and the device hears nothing: the check of the
// simulator is what makes the test above mean something.
TEST(FlashCliNet, RawTcpKeepsTheServersLineAndSocatsIsTheDevices) {
    {
        TestDevice device(CHECK_LINE);
        NetServer server;
        ASSERT_TRUE(Net_StartSer2net({device.Sim.Device}, &server, false));
        FlashRun run = RunFlash({"--port", Net_Url(server), "--wait", "2"}, 60);
        EXPECT_EQ(run.ExitCode, 2) << run.Err;
    }
    TestDevice device(CHECK_LINE);
    NetServer socat;
    ASSERT_TRUE(Net_StartSocat(device.Sim.Device, &socat));
    FlashRun run = RunFlash({"--port", Net_Url(socat)}, 120);
    Net_Stop(&socat);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err.find("Warning"), std::string::npos) << run.Err;
    EXPECT_TRUE(device.Flash() == ImageFlash());
}

// The line set by negotiation, the image in every device's flash; ser2net confirms everything on a
// pseudo-terminal but DTR and RTS, which it cannot set there: said once a device, as a warning.
TEST(FlashCliNet, FourDevicesAtOnceThroughFourSer2netPortsWhoseLineOnlyTheNegotiationSets) {
    TestDevice a(CHECK_LINE), b(CHECK_LINE), c(CHECK_LINE), d(CHECK_LINE);
    TestDevice* const apDevices[] = {&a, &b, &c, &d};
    std::vector<std::string> paths;
    for (TestDevice* pDevice : apDevices)
        paths.push_back(pDevice->Sim.Device);
    NetServer server;
    ASSERT_TRUE(Net_StartSer2net(paths, &server));
    std::vector<std::string> args;
    for (size_t i = 0; i < paths.size(); ++i)
        args.insert(args.end(), {"--port", Net_Url(server, i)});
    args.push_back("--json");
    FlashRun run = RunFlash(args, 240);
    Net_Stop(&server);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 4u) << run.Out;
    for (const std::string& line : summary)
        EXPECT_EQ(Field(line, "result"), "updated") << line;
    std::vector<std::string> warnings = Events(run.Out, "warning");
    ASSERT_EQ(warnings.size(), 4u) << run.Out;
    for (const std::string& line : warnings)
        EXPECT_EQ(Field(line, "message"), "the server did not confirm DTR on, RTS on (SET-CONTROL)");
    for (TestDevice* pDevice : apDevices) {
        EXPECT_TRUE(pDevice->Flash() == ImageFlash()) << pDevice->Sim.Device;
        EXPECT_EQ(pDevice->Commands(), (std::vector<int>{1, 2, 3, 5, 7})) << pDevice->Sim.Device;
    }
}

// The server goes away while blocks are written: not updated, exit 1, and no hang. With --loop the
// program finds the server again when it is back, and updates the device.
TEST(FlashCliNet, Ser2netStoppedWhileProgrammingFailsAndLoopUpdatesWhenItIsBack) {
    {
        TestDevice device(CHECK_LINE);
        NetServer server;
        ASSERT_TRUE(Net_StartSer2net({device.Sim.Device}, &server));
        FlashRun run = RunFlash({"--port", Net_Url(server), "--json"}, 120, "", [&](const std::string& out) {
            if (server.Pid > 0 && Percent(out, "Programming target") >= 10)
                Net_Stop(&server);
            return false;
        });
        EXPECT_FALSE(run.TimedOut);
        EXPECT_EQ(run.ExitCode, 1) << run.Err;
        EXPECT_EQ(CountResults(run.Out, "not updated"), 1) << run.Out;
        EXPECT_FALSE(device.Flash() == ImageFlash());
    }
    TestDevice device(CHECK_LINE);
    NetServer server;
    ASSERT_TRUE(Net_StartSer2net({device.Sim.Device}, &server));
    bool restarted = false;
    FlashRun run =
        RunFlash({"--port", Net_Url(server), "--loop", "--json"}, 180, "", [&](const std::string& out) {
            if (server.Pid > 0 && !restarted && Percent(out, "Programming target") >= 10)
                Net_Stop(&server);
            if (server.Pid < 0 && CountResults(out, "not updated") == 1)
                restarted = Net_Restart(&server);
            return CountResults(out, "updated") >= 1;
        });
    Net_Stop(&server);
    EXPECT_TRUE(restarted);
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 1) << run.Err; // one device of the line was not updated
    EXPECT_NE(run.Err.find("Tally: 1 updated, 1 not updated"), std::string::npos) << run.Err;
    EXPECT_TRUE(device.Flash() == ImageFlash());
}

// Nobody listens: exit 3 at once, with one line that names the port and the reason. A faulty name
// is a usage error before anything is opened.
TEST(FlashCliNet, ARefusedConnectionIsAPortErrorOnOneLine) {
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(Net_FreePort());
    FlashRun run = RunFlash({"--port", url}, 30);
    EXPECT_EQ(run.ExitCode, 3) << run.Err;
    EXPECT_LT(run.Seconds, 10);
    ASSERT_EQ(Lines(run.Err).size(), 1u) << run.Err;
    EXPECT_EQ(Lines(run.Err)[0],
              "Error: COM::_InitCOM: Port not available (" + url + ": connection refused)");

    run = RunFlash({"--port", "rfc2217://127.0.0.1"}, 30);
    EXPECT_EQ(run.ExitCode, 64);
    EXPECT_NE(run.Err.find("rfc2217://127.0.0.1: no port number"), std::string::npos) << run.Err;
}

// A firmware of mostly 0xFF bytes (each doubled on the way to the server) and an identify answer
// whose id byte and word are all 0xFF (each doubled on the way back): a byte lost or added in
// either direction breaks a frame's checksum.
TEST(FlashCliNet, FramesDenseIn0xFFCrossTheTelnetLayerBothWays) {
    std::string text = "S00600004844521B\n";
    for (uint32_t address = 0xA0000; address < 0xA1000; address += 32) {
        char acRecord[128];
        int n = std::snprintf(acRecord, sizeof acRecord, "S224%06X", address);
        unsigned sum = 0x24 + (address >> 16 & 0xFF) + (address >> 8 & 0xFF) + (address & 0xFF);
        for (uint32_t i = 0; i < 32; ++i) {
            unsigned byte = (address + i) % 64 == 0 ? (address >> 6 & 0x7F) : 0xFF;
            sum += byte;
            n += std::snprintf(acRecord + n, sizeof acRecord - static_cast<size_t>(n), "%02X", byte);
        }
        std::snprintf(acRecord + n, sizeof acRecord - static_cast<size_t>(n), "%02X\n", ~sum & 0xFF);
        text += acRecord;
    }
    text += "S804000000FB\n";
    std::string firmware = WriteTempFile("ff.s28", text);
    ImageStore* pStore = ImageStore_Create();
    char acError[255] = {};
    ASSERT_EQ(SRecordReader_LoadFile(pStore, firmware.c_str(), acError, sizeof acError), 0) << acError;
    std::vector<uint8_t> expected = Sim_FlashOf(pStore);
    ImageStore_Destroy(pStore);

    TestDevice device(
        {"--check-line", "--id-byte", "0xFF", "--id-word", "0xFFFFFFFF", "--crc-length", "0x1000"});
    NetServer server;
    ASSERT_TRUE(Net_StartSer2net({device.Sim.Device}, &server));
    std::string trace = Sim_TempDir() + "/trace";
    FlashRun run = RunFlash({"--port", Net_Url(server), "--firmware", firmware, "--trace", trace}, 60);
    Net_Stop(&server);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(device.Flash() == expected);
    bool identifyWithFF = false;
    for (const std::string& line : Sim_ReadLines(trace))
        identifyWithFF =
            identifyWithFF || line.find("< FF FF FF FF FF 05 54 51 33 33 30") != std::string::npos;
    EXPECT_TRUE(identifyWithFF) << "no identify answer with its 0xFF bytes in the trace";
}

} // namespace
