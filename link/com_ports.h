// What the system tells of its serial ports, for the programs to print: the ports it lists with the
// facts of each (the USB adapter behind it, its stable name), the one name form "COMn", and why a
// port would not open. Each platform reads its own sources (com_posix_list.cpp: sysfs and
// /dev/serial/by-id; com_win32_list.cpp: SERIALCOMM, SetupAPI and the FTDI driver's keys).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One port as the system tells of it; fields it does not tell stay "".
struct ComPortFacts {
    std::string Name;       // COMn
    std::string Device;     // the device it leads to now (Linux), or its name (Windows)
    std::string Path;       // what the port table opens, where it differs from its name (Linux)
    std::string StableName; // the adapter's link under /dev/serial/by-id
    std::string UsbVendor, UsbProduct, UsbSerial; // hex ids and serial number of a USB adapter
    std::string ProductText; // the adapter's product string, or Device Manager's name on Windows
    bool Network = false;    // a device server's name, not looked at (its one connection may be taken)
    std::string Problem;     // why it would not open (COM_PortProblem), "" when it opens
    bool Busy = false;       // another program holds it
};

// The ports of the port table (Linux) or every port Windows lists (and COM1 to COM9 where a driver
// left them out), in order; each tried with the updater's own exclusive open and closed again.
std::vector<ComPortFacts> COM_ListPorts();

// 0..8 for "COM1".."COM9" (any case), -1 for anything else (a device path).
int COM_PortIndexOfName(const std::string& name);
// n for "COMn" (any case, also in the device namespace "\\.\COMn") from 1 to 256, else 0.
int COM_PortNumberOfName(std::string name);
// Makes the device path the port table's one entry (COM1). False with a one-line reason when the
// platform names its ports otherwise.
bool COM_UsePortPath(const std::string& path, std::string* pError);
// Why a device would not open as the updater opens it ("no such file", "not a serial device",
// "busy: held by another program", ...); "" when nothing is found wrong.
std::string COM_PortProblem(const std::string& device);
// Whether COM_PortProblem's reason is another program holding the port.
bool COM_ProblemIsBusy(const std::string& problem);

// The adapter behind a device, for a record that must name it after its device is gone: its stable
// name and USB serial number, "" where unknown. Linux reads byIdFolder and sysRoot.
struct ComAdapter {
    std::string StableName;
    std::string UsbSerial;
};
ComAdapter COM_AdapterOf(const std::string& device, const std::string& byIdFolder = "/dev/serial/by-id",
                         const std::string& sysRoot = "/sys");

#ifdef _WIN32
// 0 when the updater's exclusive open of the port works (it is closed again at once), else
// Windows' error (ERROR_FILE_NOT_FOUND: absent; ERROR_ACCESS_DENIED: held by another program).
uint32_t COM_OpenError(const std::string& name);

// A port of the FTDI driver: Enum\FTDIBUS\<device>\<instance>\Device Parameters.
struct ComFtdiPort {
    std::string Key; // under HKLM, the Device Parameters key
    std::string PortName;
    uint32_t LatencyTimer = 0;
    bool HasLatency = false;
    std::string Serial; // from the device's key name: VID_0403+PID_6001+A12345BA
};
std::vector<ComFtdiPort> COM_FtdiPorts();
// The one of ports named name (any case); nullptr when none.
const ComFtdiPort* COM_FtdiPortNamed(const std::vector<ComFtdiPort>& ports, const std::string& name);
#endif
