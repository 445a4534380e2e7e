// The port table's pure pieces: the TQ330_PORTS list, the sysfs scan over a made-up tree, the
// decoder of parity marks, and the low-latency request over a driver played by the test; the ports'
// facts for the programs (names, why a port would not open, the listing, an adapter's facts).
#include "link/com_internal.h"
#include "link/com_ports.h"
#include "pty.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(ComPortList, EntriesKeepTheirPlacesUpToNine) {
    EXPECT_EQ(COM_ParsePortList("/dev/a::/dev/c"), (std::vector<std::string>{"/dev/a", "", "/dev/c"}));
    EXPECT_TRUE(COM_ParsePortList("").empty());
    EXPECT_EQ(COM_ParsePortList("1:2:3:4:5:6:7:8:9:10:11").size(), 9u);
    EXPECT_EQ(COM_ParsePortList("1:2:3:4:5:6:7:8:9:10:11").back(), "9");
}

class ComSysfsScan : public ::testing::Test {
  protected:
    void SetUp() override {
        char acTemplate[] = "/tmp/tq330-com-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(acTemplate), nullptr);
        root = acTemplate;
        fs::create_directories(root / "sys");
        fs::create_directories(root / "dev");
    }
    void TearDown() override { fs::remove_all(root); }
    // A tty as the kernel lists it: device/driver and device/subsystem are links whose last element
    // names the driver and the bus. An empty driver makes a tty without a device (virtual terminals).
    void AddTty(const std::string& name, const std::string& driver, const std::string& bus) {
        fs::path dir = root / "sys" / name;
        fs::create_directories(dir);
        std::ofstream(root / "dev" / name).put('x');
        if (driver.empty())
            return;
        fs::create_directories(dir / "device");
        fs::create_symlink("../../../bus/" + bus + "/drivers/" + driver, dir / "device" / "driver");
        fs::create_symlink("../../../bus/" + bus, dir / "device" / "subsystem");
    }
    std::vector<std::string> Scan() {
        std::vector<std::string> names;
        for (const std::string& d : COM_ScanSerialDevices((root / "sys").c_str(), (root / "dev").c_str()))
            names.push_back(fs::path(d).filename());
        return names;
    }
    fs::path root;
};

TEST_F(ComSysfsScan, UsbThenAcmThenTheRestInNumberOrder) {
    AddTty("ttyS1", "serial", "pnp");
    AddTty("ttyACM0", "cdc_acm", "usb");
    AddTty("ttyUSB10", "ftdi_sio", "usb-serial");
    AddTty("ttyUSB2", "pl2303", "usb-serial");
    AddTty("ttyS0", "serial8250", "platform"); // no real UART behind (not even a terminal here)
    AddTty("ttyAMA0", "uart-pl011", "platform");
    AddTty("tty1", "", "");
    EXPECT_EQ(Scan(), (std::vector<std::string>{"ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS1"}));
    EXPECT_EQ(COM_ScanSerialDevices((root / "sys").c_str(), "/dev").front(), "/dev/ttyUSB2");
}

TEST_F(ComSysfsScan, AtMostNine) {
    for (int i = 0; i < 12; ++i)
        AddTty("ttyUSB" + std::to_string(i), "ftdi_sio", "usb-serial");
    const auto names = Scan();
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names.back(), "ttyUSB8");
}

TEST_F(ComSysfsScan, MissingTreeGivesNoPorts) {
    EXPECT_TRUE(COM_ScanSerialDevices((root / "absent").c_str(), "/dev").empty());
}

// The adapter's by-id link names it (the link follows it to another number when it comes back);
// a device without one keeps its node's path.
TEST_F(ComSysfsScan, AdaptersAreNamedByTheirByIdLink) {
    AddTty("ttyUSB0", "ftdi_sio", "usb-serial");
    AddTty("ttyUSB1", "pl2303", "usb-serial");
    AddTty("ttyACM0", "cdc_acm", "usb");
    fs::create_directories(root / "dev" / "serial" / "by-id");
    fs::create_symlink("../../ttyUSB1", root / "dev" / "serial" / "by-id" / "usb-FTDI_TQ330_A1-if00-port0");
    fs::create_symlink("../../ttyACM0", root / "dev" / "serial" / "by-id" / "usb-TQ330_CDC-if00");
    const fs::path byId = root / "dev" / "serial" / "by-id";
    EXPECT_EQ(COM_ScanSerialDevices((root / "sys").c_str(), (root / "dev").c_str()),
              (std::vector<std::string>{(root / "dev" / "ttyUSB0").string(),
                                        (byId / "usb-FTDI_TQ330_A1-if00-port0").string(),
                                        (byId / "usb-TQ330_CDC-if00").string()}));
}

TEST(ComMarkDecoder, MarksComeOffAcrossReads) {
    ComMarkDecoder d{};
    uint8_t acOut[8];
    const uint8_t first[] = {0x41, 0xFF};
    ASSERT_EQ(COM_DecodeMarked(d, first, sizeof first, acOut), 1u);
    EXPECT_EQ(acOut[0], 0x41);
    // A byte received with a parity error comes as received; a doubled 0xFF is one 0xFF.
    const uint8_t second[] = {0x00, 0x55, 0xFF, 0xFF, 0xFF, 0x00};
    ASSERT_EQ(COM_DecodeMarked(d, second, sizeof second, acOut), 2u);
    EXPECT_EQ(acOut[0], 0x55);
    EXPECT_EQ(acOut[1], 0xFF);
    const uint8_t third[] = {0x00, 0x07};
    ASSERT_EQ(COM_DecodeMarked(d, third, sizeof third, acOut), 2u);
    EXPECT_EQ(acOut[0], 0x00);
    EXPECT_EQ(acOut[1], 0x07);
}

// A table set from paths replaces TQ330_PORTS until the next reset, which goes back to the variable.
TEST(ComPortTable, SetPathsStandInForTheVariableUntilReset) {
    setenv("TQ330_PORTS", "/dev/from-variable", 1);
    COM_ResetPortTable();
    const char* apPaths[] = {"/dev/named-a", "/dev/named-b"};
    COM_SetPortTable(apPaths, 2);
    EXPECT_STREQ(COM_PortDevice(0), "/dev/named-a");
    EXPECT_STREQ(COM_PortDevice(1), "/dev/named-b");
    EXPECT_STREQ(COM_PortDevice(2), "");
    COM_ResetPortTable();
    EXPECT_STREQ(COM_PortDevice(0), "/dev/from-variable");
    EXPECT_STREQ(COM_PortDevice(1), "");
    unsetenv("TQ330_PORTS");
    COM_ResetPortTable();
}

namespace {

// A serial driver as the low-latency request meets it: whether it has serial flags at all, its
// flags, whether it refuses a set or accepts one and keeps its old flags.
struct FakeSerialDriver {
    bool HasFlags = true;
    int Flags = 0;
    bool RefusesSet = false, IgnoresSet = false;
    int Sets = 0;
};
FakeSerialDriver Driver;

int FakeSerialIoctl(int, unsigned long request, serial_struct* pInfo) {
    if (!Driver.HasFlags)
        return -1;
    if (request == TIOCGSERIAL) {
        pInfo->flags = Driver.Flags;
        return 0;
    }
    ++Driver.Sets;
    if (Driver.RefusesSet)
        return -1;
    if (!Driver.IgnoresSet)
        Driver.Flags = pInfo->flags;
    return 0;
}

} // namespace

TEST(ComLowLatency, RequestedOnlyWhenOffAndItsOutcomeKept) {
    const int OWN = ASYNC_SPD_HI; // a flag of the driver's own, which the request must keep
    const struct {
        FakeSerialDriver driver;
        ComLatency outcome;
    } aRows[] = {{{false}, LATENCY_NOT_SUPPORTED},
                 {{true, OWN | ASYNC_LOW_LATENCY}, LATENCY_ALREADY_ON},
                 {{true, OWN}, LATENCY_TOOK},
                 {{true, OWN, true}, LATENCY_REFUSED},
                 {{true, OWN, false, true}, LATENCY_REFUSED}};
    pfnComSerialIoctl = FakeSerialIoctl;
    for (const auto& row : aRows) {
        Driver = row.driver;
        EXPECT_EQ(COM_AskForLowLatency(3), row.outcome) << row.outcome;
        EXPECT_EQ(COM_LastLatency(), row.outcome);
        bool asked = row.driver.HasFlags && (row.driver.Flags & ASYNC_LOW_LATENCY) == 0;
        EXPECT_EQ(Driver.Sets, asked ? 1 : 0) << row.outcome;
        if (row.outcome == LATENCY_TOOK) {
            EXPECT_EQ(Driver.Flags, OWN | ASYNC_LOW_LATENCY);
        }
    }
    // Opening a port asks; on a pseudo-terminal the real call finds no serial flags.
    Pty pty = Pty_Open();
    Com_UsePorts({pty.SlavePath});
    Driver = FakeSerialDriver{};
    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(_CheckCOM(), 0);
    EXPECT_EQ(COM_LastLatency(), LATENCY_TOOK);
    pfnComSerialIoctl = nullptr;
    Com_UsePorts({pty.SlavePath});
    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_EQ(COM_LastLatency(), LATENCY_NOT_SUPPORTED);
    COM_ResetPortTable();
    Pty_Close(pty);
}

// The one reading of "COMn": the window's nine names index the table, Windows' names go to COM256.
TEST(ComPortName, WindowNamesIndexTheTableAndWindowsNamesGoTo256) {
    EXPECT_EQ(COM_PortIndexOfName("COM1"), 0);
    EXPECT_EQ(COM_PortIndexOfName("com9"), 8);
    for (const char* other : {"COM0", "COM10", "COM", "COMa", "\\\\.\\COM3", "/dev/ttyUSB0", ""})
        EXPECT_EQ(COM_PortIndexOfName(other), -1) << other;
    EXPECT_EQ(COM_PortNumberOfName("COM256"), 256);
    EXPECT_EQ(COM_PortNumberOfName("\\\\.\\com12"), 12);
    for (const char* other : {"COM257", "COM01", "COM1x", "COM1234", "LPT1", "COM"})
        EXPECT_EQ(COM_PortNumberOfName(other), 0) << other;
}

// What the module tells of a port: why it would not open, the list's record of each port, and an
// adapter's facts from a sysfs and by-id tree of the test's making. The look leaves the port as it
// found it.
class ComPortFactsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char acTemplate[] = "/tmp/tq330-com-facts-XXXXXX";
        ASSERT_NE(mkdtemp(acTemplate), nullptr);
        root = acTemplate;
        pty = Pty_Open();
        ASSERT_GE(pty.Master, 0);
    }
    void TearDown() override {
        Pty_Close(pty);
        COM_ResetPortTable();
        unsetenv("TQ330_PORTS");
        fs::remove_all(root);
    }
    fs::path root;
    Pty pty;
};

TEST_F(ComPortFactsTest, ProblemSaysWhyAPortWouldNotOpenAndTheLookLeavesItFree) {
    EXPECT_EQ(COM_PortProblem(pty.SlavePath), "");
    EXPECT_EQ(COM_PortProblem((root / "missing").string()), "no such file");
    std::ofstream(root / "plain").put('x');
    EXPECT_EQ(COM_PortProblem((root / "plain").string()), "not a serial device");
    EXPECT_EQ(COM_PortProblem("/dev/null"), "not a serial device"); // a device, but no terminal

    int holder = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(COM_PortProblem(pty.SlavePath), "busy: held by another program");
    EXPECT_TRUE(COM_ProblemIsBusy(COM_PortProblem(pty.SlavePath)));
    close(holder);

    // No lock and no exclusive mode left behind: another program opens it as before.
    EXPECT_EQ(COM_PortProblem(pty.SlavePath), "");
    int after = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(after, 0);
    EXPECT_EQ(flock(after, LOCK_EX | LOCK_NB), 0);
    close(after);
}

TEST_F(ComPortFactsTest, ListHasOneRecordPerTableEntryInOrder) {
    const fs::path link = root / "adapter";
    fs::create_symlink(pty.SlavePath, link);
    Pty second = Pty_Open();
    int holder = open(second.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string missing = (root / "gone").string();
    Com_UsePorts({link.string(), "", second.SlavePath, "rfc2217://localhost:1", missing});
    std::vector<ComPortFacts> ports = COM_ListPorts();
    close(holder);
    Pty_Close(second);
    ASSERT_EQ(ports.size(), 4u);

    EXPECT_EQ(ports[0].Name, "COM1");
    EXPECT_EQ(ports[0].Device, pty.SlavePath); // where the link leads now
    EXPECT_EQ(ports[0].Path, link.string());
    EXPECT_EQ(ports[0].StableName, ""); // not under /dev/serial/by-id
    EXPECT_EQ(ports[0].UsbVendor, "");  // a pseudo-terminal is on no bus
    EXPECT_FALSE(ports[0].Busy);
    EXPECT_EQ(ports[0].Problem, "");

    EXPECT_EQ(ports[1].Name, "COM3"); // the empty entry keeps its place
    EXPECT_TRUE(ports[1].Busy);
    EXPECT_EQ(ports[1].Problem, "busy: held by another program");

    EXPECT_EQ(ports[2].Name, "COM4");
    EXPECT_TRUE(ports[2].Network);
    EXPECT_EQ(ports[2].Device, "rfc2217://localhost:1");
    EXPECT_EQ(ports[2].Problem, ""); // not connected to

    EXPECT_EQ(ports[3].Name, "COM5");
    EXPECT_EQ(ports[3].Device, missing);
    EXPECT_EQ(ports[3].Problem, "no such file");
    EXPECT_FALSE(ports[3].Busy);
}

TEST_F(ComPortFactsTest, AdapterFactsComeFromTheStableLinkAndTheUsbDeviceAbove) {
    // sys/class/tty/<tty>/device leads into the USB device's interface; idVendor and serial sit two
    // folders up, as the kernel lays them out.
    const std::string tty = fs::path(pty.SlavePath).filename();
    const fs::path usb = root / "sys/devices/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0" / tty);
    std::ofstream(usb / "idVendor") << "0403\n";
    std::ofstream(usb / "idProduct") << "6001\n";
    std::ofstream(usb / "serial") << "A12345BA\n";
    fs::create_directories(root / "sys/class/tty" / tty);
    fs::create_symlink(usb / "1-1:1.0" / tty, root / "sys/class/tty" / tty / "device");
    fs::create_directories(root / "by-id");
    const fs::path stable = root / "by-id/usb-FTDI_TTL232R_A12345BA-if00-port0";
    fs::create_symlink(pty.SlavePath, stable);

    ComAdapter byDevice = COM_AdapterOf(pty.SlavePath, (root / "by-id").string(), (root / "sys").string());
    EXPECT_EQ(byDevice.StableName, stable.string());
    EXPECT_EQ(byDevice.UsbSerial, "A12345BA");
    ComAdapter byLink = COM_AdapterOf(stable.string(), (root / "by-id").string(), (root / "sys").string());
    EXPECT_EQ(byLink.StableName, stable.string());
    EXPECT_EQ(byLink.UsbSerial, "A12345BA");
    ComAdapter gone =
        COM_AdapterOf((root / "gone").string(), (root / "by-id").string(), (root / "sys").string());
    EXPECT_EQ(gone.StableName, "");
    EXPECT_EQ(gone.UsbSerial, "");
}
