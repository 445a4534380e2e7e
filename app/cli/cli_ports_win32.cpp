// Ports on Windows: COM1 to COM9 as the window has them, and any port Windows gives (USB adapters
// often get COM10 and above, and renumbering them needs administrator rights) by its name, up to
// COM256. The listing shows the ports Windows lists, with the device's name where SetupAPI has one,
// and those another program holds.
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"
#include "link/com.h"
#include "platform/win32.h"

#include <cctype>
#include <map>
#include <setupapi.h>

namespace {

constexpr int HIGHEST_PORT_NUMBER = 256;
const char* const DEVICE_NAMESPACE = "\\\\.\\";

// n for "COMn" (any case, also in the device namespace "\\.\COMn") from 1 to 256, else 0.
int PortNumber(std::string name) {
    if (name.rfind(DEVICE_NAMESPACE, 0) == 0)
        name.erase(0, 4);
    if (name.size() < 4 || name.size() > 6 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] == '0')
        return 0;
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number <= HIGHEST_PORT_NUMBER ? number : 0;
}

std::string PortName(int number) {
    return "COM" + std::to_string(number);
}

// 0 opens, else the error of the exclusive open the updater makes.
DWORD TryOpen(int number) {
    const std::string device = DEVICE_NAMESPACE + PortName(number);
    HANDLE h =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
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
        if (int number = PortNumber(reinterpret_cast<const char*>(acData)))
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
        const int number = result == ERROR_SUCCESS && type == REG_SZ ? PortNumber(acPort) : 0;
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

} // namespace

bool CLI_UsePortPath(const std::string& path, std::string* pError) {
    const int number = PortNumber(path);
    if (number == 0) {
        *pError = path + ": name the port COM1 to COM" + std::to_string(HIGHEST_PORT_NUMBER) + " on Windows";
        return false;
    }
    const std::string name = PortName(number);
    const char* apNames[1] = {name.c_str()};
    COM_SetPortTable(apNames, 1);
    return true;
}

std::string CLI_DescribePortProblem(const std::string& device) {
    switch (TryOpen(PortNumber(device))) {
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

int CLI_ListPorts(bool json) {
    std::map<int, std::string> ports; // number: Device Manager's name, "" when none
    AddListedPorts(ports);
    // The window's COM1 to COM9 also where a driver left them out of the list.
    for (int number = 1; number <= COM_PORT_COUNT; ++number) {
        DWORD error = TryOpen(number);
        if (error == 0 || error == ERROR_ACCESS_DENIED)
            ports.emplace(number, "");
    }
    AddFriendlyNames(ports);
    for (const auto& [number, friendlyName] : ports) {
        const std::string name = PortName(number);
        const std::string problem = CLI_DescribePortProblem(name);
        JsonLine fields;
        fields.Add("port", name).Add("device", name);
        std::string line = name;
        if (!friendlyName.empty()) {
            fields.Add("product", friendlyName);
            line += "  \"" + friendlyName + "\"";
        }
        CLI_ShowListedPort(fields, line, problem, json);
    }
    if (ports.empty())
        OUT_Line("No serial port found");
    return EXIT_UPDATED;
}
