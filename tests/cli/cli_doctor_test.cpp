// tq330-flash --doctor against real pseudo-terminals with tq330-sim behind them: a boot loader that
// answers and one that does not, a port another process holds, a user who may not open the port,
// and (through the test program that takes its folders) ModemManager, brltty, the stable name and
// the latency timer in a sysfs and udev database of the test's own making.
#include "cli_run.h"
#include "cli_sim.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The field of the doctor's JSON finding for check ("" when there is no such finding).
std::string FindingField(const std::string& out, const std::string& check, const std::string& key) {
    for (const std::string& line : Events(out, "finding"))
        if (Field(line, "check") == check)
            return Field(line, key);
    return "";
}

// A process of the test's own, started as a copy of sleep under the given name (its command name
// in /proc is then that name), ended with the test.
struct NamedProcess {
    pid_t Pid = -1;
    NamedProcess(const std::string& folder, const std::string& name) {
        std::string path = folder + "/" + name;
        std::ifstream in("/bin/sleep", std::ios::binary);
        std::ofstream(path, std::ios::binary) << in.rdbuf();
        chmod(path.c_str(), 0755);
        Pid = fork();
        if (Pid == 0) {
            execl(path.c_str(), name.c_str(), "300", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Until its exec has named it, however long a loaded machine takes.
        const std::string comm = "/proc/" + std::to_string(Pid) + "/comm";
        for (int i = 0; i < 3000 && Sim_ReadLines(comm) != std::vector<std::string>{name.substr(0, 15)}; ++i)
            usleep(10 * 1000);
    }
    ~NamedProcess() {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
};

// A process of the test that holds the device open until it is ended.
struct Holder {
    pid_t Pid = -1;
    explicit Holder(const std::string& device) {
        int aReady[2];
        EXPECT_EQ(pipe(aReady), 0);
        Pid = fork();
        if (Pid == 0) {
            int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
            (void)!write(aReady[1], fd >= 0 ? "y" : "n", 1);
            pause();
            _exit(0);
        }
        char c = 0;
        (void)!read(aReady[0], &c, 1);
        close(aReady[0]), close(aReady[1]);
        EXPECT_EQ(c, 'y');
    }
    ~Holder() {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
};

// sysfs and a udev database for the pseudo-terminal as if it were an FTDI adapter's ttyUSB0:
// sys/class/tty/N -> the tty under the USB interface, whose device folder has the latency timer,
// and the USB device above it with its ids and serial number; a by-id link to the device.
struct FakeSystem {
    std::string Root = Sim_TempDir();
    std::string Sys = Root + "/sys", Udev = Root + "/udev", ById = Root + "/by-id";
    std::string UdevEntry;
    explicit FakeSystem(const std::string& device) {
        std::string name = device.substr(device.find_last_of('/') + 1);
        std::string usb = Sys + "/devices/usb1/1-1";
        std::string port = usb + "/1-1:1.0/ttyUSB0";
        std::string tty = port + "/tty/" + name;
        EXPECT_EQ(system(("mkdir -p '" + tty + "' '" + Sys + "/class/tty' '" + Udev + "/data' '" + ById + "'")
                             .c_str()),
                  0);
        std::ofstream(usb + "/idVendor") << "0403\n";
        std::ofstream(usb + "/idProduct") << "6001\n";
        std::ofstream(usb + "/serial") << "A50285BI\n";
        std::ofstream(port + "/latency_timer") << "16\n";
        EXPECT_EQ(symlink("../..", (tty + "/device").c_str()), 0);
        EXPECT_EQ(symlink(tty.c_str(), (Sys + "/class/tty/" + name).c_str()), 0);
        EXPECT_EQ(symlink(device.c_str(), (ById + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").c_str()),
                  0);
        struct stat node {};
        stat(device.c_str(), &node);
        UdevEntry = Udev + "/data/c" + std::to_string(major(node.st_rdev)) + ":" +
                    std::to_string(minor(node.st_rdev));
    }
    std::vector<std::string> Places() const { return {"--sys", Sys, "--udev", Udev, "--by-id", ById}; }
};

FlashRun RunProbe(std::vector<std::string> args, int timeoutSec = 60) {
    RunHow how;
    how.Program = TQ330_DOCTOR_PROBE_PATH;
    return RunProgram(how, args, timeoutSec);
}

} // namespace

// The boot loader answers: its identify record, whether it holds this firmware, and nothing sent
// but the identify poll and Get CRC. After an update the same look says it holds this firmware.
TEST(FlashCliDoctor, AnsweringBootLoaderIsIdentifiedAndNothingIsWritten) {
    TestDevice device;
    FlashRun run = RunFlash({"--doctor", "--port", device.Sim.Device, "--json"}, 60);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(FindingField(run.Out, "boot loader", "level"), "ok") << run.Out;
    EXPECT_EQ(FindingField(run.Out, "boot loader", "id_text1"), "TQ330");
    EXPECT_EQ(FindingField(run.Out, "boot loader", "crc_start"), "0xA0000");
    EXPECT_EQ(FindingField(run.Out, "firmware", "current"), "false");
    std::vector<std::string> verdicts = Events(run.Out, "verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(Field(verdicts[0], "ready"), "true");
    for (const std::string& line : Lines(run.Out))
        EXPECT_TRUE(IsJsonObject(line)) << line;
    // The simulator holds its own end: named as the far end, not as a program in the way. Found by
    // its pid: under qemu-user its command name is qemu's.
    EXPECT_EQ(FindingField(run.Out, "holder", "level"), "ok");
    const std::string holder = FindingField(run.Out, "holder", "text");
    EXPECT_NE(holder.find("the far end of the pseudo-terminal is "), std::string::npos) << holder;
    EXPECT_NE(holder.find(" (pid " + std::to_string(device.Sim.Pid) + ")"), std::string::npos) << holder;
    EXPECT_EQ(device.Commands(), std::vector<int>{5});

    FlashRun update = RunFlash({"--port", device.Sim.Device}, 120);
    ASSERT_EQ(update.ExitCode, 0) << update.Err;
    FlashRun after = RunFlash({"--doctor", "--port", device.Sim.Device}, 60);
    EXPECT_EQ(after.ExitCode, 0) << after.Err;
    EXPECT_NE(after.Out.find("it already holds this firmware"), std::string::npos) << after.Out;
    EXPECT_NE(after.Out.find("verdict: nothing stands in the way"), std::string::npos) << after.Out;
}

// A port that is absent and one that is no serial device (a plain file): a problem of each port,
// with its fix, and neither port ready.
TEST(FlashCliDoctor, AbsentPortAndPlainFileStandInTheWay) {
    const std::string absent = Sim_TempDir() + "/ttyUSB7";
    const std::string plain = WriteTempFile("not-a-port", "");
    FlashRun run = RunFlash({"--doctor", "--port", absent, "--port", plain, "--json", "--wait", "1"}, 60);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    const struct {
        std::string Port, Text;
    } aCases[] = {{absent, absent + ": no such device"}, {plain, plain + " is not a serial device"}};
    for (const auto& c : aCases) {
        std::string finding, verdict;
        for (const std::string& line : Events(run.Out, "finding"))
            if (Field(line, "port") == c.Port && Field(line, "check") == "port")
                finding = line;
        for (const std::string& line : Events(run.Out, "verdict"))
            if (Field(line, "port") == c.Port)
                verdict = line;
        EXPECT_EQ(Field(finding, "level"), "problem") << c.Port << "\n" << run.Out;
        EXPECT_EQ(Field(finding, "text"), c.Text);
        EXPECT_FALSE(Field(finding, "fix").empty());
        EXPECT_EQ(Field(verdict, "ready"), "false") << verdict;
    }
}

TEST(FlashCliDoctor, SilentBootLoaderStandsInTheWayWithItsFix) {
    TestDevice device({"--silent"});
    FlashRun run = RunFlash({"--doctor", "--port", device.Sim.Device, "--wait", "1"}, 60);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_NE(run.Out.find("problem  boot loader   no boot loader answered within 1 s"), std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("fix: cycle the device's power"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("verdict: 1 problem stands in the way on " + device.Sim.Device),
              std::string::npos);
}

TEST(FlashCliDoctor, ProgramHoldingThePortIsNamedWithItsPid) {
    TestDevice device;
    Holder holder(device.Sim.Device);
    FlashRun run = RunFlash({"--doctor", "--port", device.Sim.Device, "--json", "--wait", "1"}, 60);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(FindingField(run.Out, "holder", "level"), "problem") << run.Out;
    EXPECT_NE(FindingField(run.Out, "holder", "text").find("(pid " + std::to_string(holder.Pid) + ")"),
              std::string::npos)
        << run.Out;
    EXPECT_EQ(FindingField(run.Out, "holder", "fix"),
              "close the port in that program, or end it: kill " + std::to_string(holder.Pid));
}

// As "nobody" on a port root owns: not in its group, then (a group file that lists nobody) listed
// but without the group in this login. The updater's own open is refused as well.
TEST(FlashCliDoctor, UserOutsideThePortsGroupIsToldWhatToDo) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the port to root and run the doctor as nobody";
    TestDevice device;
    const group* pDialout = getgrnam("dialout");
    ASSERT_NE(pDialout, nullptr);
    ASSERT_EQ(chown(device.Sim.Device.c_str(), 0, pDialout->gr_gid), 0);
    ASSERT_EQ(chmod(device.Sim.Device.c_str(), 0660), 0);
    RunHow how;
    how.Program = TQ330_DOCTOR_PROBE_PATH;
    how.InChild = [] { RunAsNobody(99); };
    FlashRun run = RunProgram(how, {"--doctor", "--port", device.Sim.Device, "--json", "--wait", "1"}, 60);
    ASSERT_NE(run.ExitCode, 99) << "cannot drop to nobody here";
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(FindingField(run.Out, "group", "level"), "problem") << run.Out;
    EXPECT_EQ(FindingField(run.Out, "group", "text"),
              device.Sim.Device + " belongs to group dialout, and nobody is not in it");
    EXPECT_EQ(FindingField(run.Out, "group", "fix"), "sudo usermod -aG dialout nobody, then log in again");
    EXPECT_EQ(FindingField(run.Out, "boot loader", "level"), "problem");

    std::string groups =
        WriteTempFile("group", "root:x:0:\ndialout:x:" + std::to_string(pDialout->gr_gid) + ":nobody\n");
    chmod(groups.substr(0, groups.find_last_of('/')).c_str(), 0755); // for nobody to read
    FlashRun listed = RunProgram(
        how, {"--groups", groups, "--doctor", "--port", device.Sim.Device, "--json", "--wait", "1"}, 60);
    EXPECT_EQ(listed.ExitCode, 1) << listed.Err;
    EXPECT_EQ(FindingField(listed.Out, "group", "fix"),
              "log in again (or start a shell that has it: newgrp dialout)")
        << listed.Out;
}

// ModemManager runs while the adapter is not marked to be ignored: the rule line with this
// adapter's vendor:product. Beside it the stable name and the latency timer of 16 ms, which are
// advice: once the udev database marks the device, nothing stands in the way.
TEST(FlashCliDoctor, ModemManagerStableNameAndLatencyFromTheSystemsOwnFolders) {
    TestDevice device;
    FakeSystem system(device.Sim.Device);
    NamedProcess modemManager(system.Root, "ModemManager");
    std::vector<std::string> args = system.Places();
    args.insert(args.end(), {"--doctor", "--port", device.Sim.Device, "--json"});
    FlashRun run = RunProbe(args);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(FindingField(run.Out, "modemmanager", "level"), "problem") << run.Out;
    EXPECT_NE(FindingField(run.Out, "modemmanager", "text")
                  .find("ModemManager (pid " + std::to_string(modemManager.Pid)),
              std::string::npos);
    EXPECT_NE(run.Out.find(
                  R"(ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", ENV{ID_MM_DEVICE_IGNORE}=\"1\")"),
              std::string::npos)
        << run.Out;
    EXPECT_EQ(FindingField(run.Out, "stable name", "stable_name"),
              system.ById + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(FindingField(run.Out, "latency", "level"), "advice");
    EXPECT_EQ(FindingField(run.Out, "latency", "latency_ms"), "16");
    EXPECT_NE(run.Out.find(R"(ATTR{latency_timer}=\"1\")"), std::string::npos);
    EXPECT_EQ(FindingField(run.Out, "boot loader", "level"), "ok");

    std::ofstream(system.UdevEntry) << "E:ID_VENDOR_ID=0403\nE:ID_MM_DEVICE_IGNORE=1\n";
    FlashRun marked = RunProbe(args);
    EXPECT_EQ(marked.ExitCode, 0) << marked.Out;
    EXPECT_EQ(FindingField(marked.Out, "modemmanager", "level"), "ok");
    EXPECT_EQ(FindingField(marked.Out, "latency", "level"), "advice");
}

// brltty has claimed a CH340 (no tty under it): a finding of the system, before any port.
TEST(FlashCliDoctor, BrlttyHoldingAnAdapterWithoutATtyIsNamed) {
    TestDevice device;
    FakeSystem system(device.Sim.Device);
    std::string ch340 = system.Sys + "/devices/usb1/1-2";
    ASSERT_EQ(::system(("mkdir -p '" + ch340 + "/1-2:1.0' '" + system.Sys + "/bus/usb/devices'").c_str()), 0);
    std::ofstream(ch340 + "/idVendor") << "1a86\n";
    std::ofstream(ch340 + "/idProduct") << "7523\n";
    ASSERT_EQ(symlink(ch340.c_str(), (system.Sys + "/bus/usb/devices/1-2").c_str()), 0);
    std::vector<std::string> args = system.Places();
    args.insert(args.end(), {"--doctor", "--port", device.Sim.Device, "--json", "--wait", "2"});
    FlashRun before = RunProbe(args);
    EXPECT_TRUE(FindingField(before.Out, "brltty", "level").empty()) << "brltty does not run yet";

    NamedProcess brltty(system.Root, "brltty");
    FlashRun run = RunProbe(args);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(FindingField(run.Out, "brltty", "level"), "problem") << run.Out;
    EXPECT_NE(FindingField(run.Out, "brltty", "text").find("1a86:7523"), std::string::npos);
    EXPECT_NE(FindingField(run.Out, "brltty", "fix").find("apt-get remove brltty"), std::string::npos);
}
