// Ports on Windows: COM1 to COM9 as the window has them, and any port Windows gives (USB adapters
// often get COM10 and above, and renumbering them needs administrator rights) by its name, up to
// COM256. The listing reads the ports Windows lists, with the device's name where SetupAPI has one,
// and tries the updater's exclusive open on each; the FTDI driver's keys tell an adapter's serial
// number and latency timer. Only reads the registry.
#include "link/com.h"
#include "link/com_internal.h"
#include "link/com_ports.h"
#include "platform/win32.h"

#include <map>
#include <setupapi.h>

namespace {

const char FTDIBUS[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

std::string PortName(int number) {
    return "COM" + std::to_string(number);
}

// The port numbers in HARDWARE\DEVICEMAP\SERIALCOMM, where every serial driver enters its ports.
void AddListedPorts(std::map<int, std::string>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        char acValue[256];
        BYTE acData[64];
        DWORD valueSize = sizeof acValue, dataSize = sizeof acData - 1, type = 0;
        LONG result = RegEnumValueA(key, i, acValue, &valueSize, nullptr, &type, acData, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        acData[dataSize] = 0;
        if (int number = COM_PortNumberOfName(reinterpret_cast<const char*>(acData)))
            ports.emplace(number, "");
    }
    RegCloseKey(key);
}

// The names Device Manager shows ("USB Serial Port (COM12)") for the ports of the "Ports" class.
void AddFriendlyNames(std::map<int, std::string>& ports) {
    // GUID_DEVCLASS_PORTS
    const GUID portsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO devices = SetupDiGetClassDevsA(&portsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char acPort[32] = {};
        DWORD size = sizeof acPort - 1, type = 0;
        LONG result =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(acPort), &size);
        RegCloseKey(key);
        const int number = result == ERROR_SUCCESS && type == REG_SZ ? COM_PortNumberOfName(acPort) : 0;
        auto port = ports.find(number);
        if (port == ports.end())
            continue; // a printer port, or a port Windows does not list as present
        char acName[256] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(acName), sizeof acName - 1, nullptr))
            port->second = acName;
    }
    SetupDiDestroyDeviceInfoList(devices);
}

std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    char acName[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof acName;
        if (RegEnumKeyExA(key, i, acName, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(acName, size);
    }
    return names;
}

} // namespace

uint32_t COM_OpenError(const std::string& name) {
    uint32_t error = 0;
    ComHandle h = COM_OpenExclusive(name, &error);
    if (h != COM_NO_HANDLE)
        COM_OsClose(h);
    return error;
}

bool COM_UsePortPath(const std::string& path, std::string* pError) {
    const int number = COM_PortNumberOfName(path);
    if (number == 0) {
        *pError = path + ": name the port COM1 to COM256 on Windows";
        return false;
    }
    const std::string name = PortName(number);
    const char* apNames[1] = {name.c_str()};
    COM_SetPortTable(apNames, 1);
    return true;
}

std::string COM_PortProblem(const std::string& device) {
    const int number = COM_PortNumberOfName(device);
    switch (COM_OpenError(number > 0 ? PortName(number) : std::string("COM0"))) {
    case 0:
        return "";
    case ERROR_FILE_NOT_FOUND:
        return "no such port";
    case ERROR_ACCESS_DENIED:
        return "busy: held by another program";
    default:
        return "does not open";
    }
}

std::vector<ComPortFacts> COM_ListPorts() {
    std::map<int, std::string> names; // number: Device Manager's name, "" when none
    AddListedPorts(names);
    // The window's COM1 to COM9 also where a driver left them out of the list.
    for (int number = 1; number <= COM_PORT_COUNT; ++number) {
        uint32_t error = COM_OpenError(PortName(number));
        if (error == 0 || error == ERROR_ACCESS_DENIED)
            names.emplace(number, "");
    }
    AddFriendlyNames(names);
    std::vector<ComPortFacts> ports;
    for (const auto& [number, friendlyName] : names) {
        ComPortFacts port;
        port.Name = PortName(number);
        port.Device = port.Name;
        port.ProductText = friendlyName;
        port.Problem = COM_PortProblem(port.Name);
        port.Busy = COM_ProblemIsBusy(port.Problem);
        ports.push_back(port);
    }
    return ports;
}

std::vector<ComFtdiPort> COM_FtdiPorts() {
    std::vector<ComFtdiPort> ports;
    HKEY bus;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FTDIBUS, 0, KEY_READ, &bus) != ERROR_SUCCESS)
        return ports;
    for (const std::string& device : SubKeys(bus)) {
        HKEY deviceKey;
        if (RegOpenKeyExA(bus, device.c_str(), 0, KEY_READ, &deviceKey) != ERROR_SUCCESS)
            continue;
        for (const std::string& instance : SubKeys(deviceKey)) {
            ComFtdiPort port;
            port.Key =
                std::string("HKLM\\") + FTDIBUS + "\\" + device + "\\" + instance + "\\Device Parameters";
            std::string sub = instance + "\\Device Parameters";
            HKEY parameters;
            if (RegOpenKeyExA(deviceKey, sub.c_str(), 0, KEY_READ, &parameters) != ERROR_SUCCESS)
                continue;
            char acName[64] = {};
            DWORD size = sizeof acName - 1, type = 0;
            if (RegQueryValueExA(parameters, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(acName),
                                 &size) == ERROR_SUCCESS &&
                type == REG_SZ)
                port.PortName = acName;
            DWORD latency = 0;
            size = sizeof latency;
            port.HasLatency = RegQueryValueExA(parameters, "LatencyTimer", nullptr, &type,
                                               reinterpret_cast<BYTE*>(&latency), &size) == ERROR_SUCCESS &&
                              type == REG_DWORD;
            port.LatencyTimer = latency;
            size_t plus = device.find_last_of('+');
            if (plus != std::string::npos && device.rfind("VID_", 0) == 0)
                port.Serial = device.substr(plus + 1);
            RegCloseKey(parameters);
            if (!port.PortName.empty())
                ports.push_back(port);
        }
        RegCloseKey(deviceKey);
    }
    RegCloseKey(bus);
    return ports;
}

const ComFtdiPort* COM_FtdiPortNamed(const std::vector<ComFtdiPort>& ports, const std::string& name) {
    for (const ComFtdiPort& port : ports)
        if (_stricmp(port.PortName.c_str(), name.c_str()) == 0)
            return &port;
    return nullptr;
}

ComAdapter COM_AdapterOf(const std::string& device, const std::string&, const std::string&) {
    ComAdapter adapter;
    std::vector<ComFtdiPort> ftdi = COM_FtdiPorts();
    if (const ComFtdiPort* pFtdi = COM_FtdiPortNamed(ftdi, device))
        adapter.UsbSerial = pFtdi->Serial;
    return adapter;
}
