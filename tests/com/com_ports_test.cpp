// The port table's pure pieces: the TQ330_PORTS list, the sysfs scan over a made-up tree, the
// decoder of parity marks, and the low-latency request over a driver played by the test.
#include "link/com_internal.h"
#include "pty.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/serial.h>
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
