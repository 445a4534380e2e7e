// What Linux tells of a serial device through its files: sysfs, the by-id links, one-line files.
// Shared by the port listing (com_posix_list.cpp) and tq330-flash's doctor, which read the same
// places (the doctor from a root a test may hand it). Linux only.
#pragma once
#include <string>
#include <vector>

// The first line of a file, "" when it cannot be read.
std::string SYS_ReadLine(const std::string& path);
// The path with every link resolved, "" when it does not lead anywhere.
std::string SYS_RealPath(const std::string& path);
// The names in a folder but "." entries, sorted; none when it cannot be read.
std::vector<std::string> SYS_Entries(const std::string& folder);

struct SysUsbIds {
    std::string Vendor, Product, Serial, Text;
};
// The USB device above the tty kernelName (ttyUSB0) in sysRoot (/sys): the first folder upwards
// that has idVendor; empty fields when the tty is not on USB.
SysUsbIds SYS_UsbIdsOf(const std::string& sysRoot, const std::string& kernelName);
// The link in byIdFolder that leads to the device realDevice (already resolved), "" if none.
std::string SYS_StableNameOf(const std::string& byIdFolder, const std::string& realDevice);
