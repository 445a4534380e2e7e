// The port table's pure pieces: the TQ330_PORTS list, the sysfs scan over a made-up tree, and the
// decoder of parity marks.
#include "link/com_internal.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
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
