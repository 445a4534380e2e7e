// The doctor's look on Windows: whether the COM port is there and free, an FTDI adapter's driver
// latency timer (the LatencyTimer of its Device Parameters key under Enum\FTDIBUS, which only an
// administrator may change) and the window's limit of COM1 to COM9. It only reads the registry.
#include "app/cli/cli_doctor.h"

#include "app/cli/cli_ports.h"
#include "link/com.h"
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>

namespace {

const char FTDIBUS[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

// COMn's number n, 0 for any other name.
int PortNumber(const std::string& name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0)
        return 0;
    for (size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return 0;
    return std::atoi(name.c_str() + 3);
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

struct FtdiPort {
    std::string Key; // under HKLM, the Device Parameters key
    std::string PortName;
    DWORD LatencyTimer = 0;
    bool HasLatency = false;
    std::string Serial; // from the device's key name: VID_0403+PID_6001+A12345BA
};

// Every FTDI port the driver has set up: Enum\FTDIBUS\<device>\<instance>\Device Parameters.
std::vector<FtdiPort> FtdiPorts() {
    std::vector<FtdiPort> ports;
    HKEY bus;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FTDIBUS, 0, KEY_READ, &bus) != ERROR_SUCCESS)
        return ports;
    for (const std::string& device : SubKeys(bus)) {
        HKEY deviceKey;
        if (RegOpenKeyExA(bus, device.c_str(), 0, KEY_READ, &deviceKey) != ERROR_SUCCESS)
            continue;
        for (const std::string& instance : SubKeys(deviceKey)) {
            FtdiPort port;
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
            size = sizeof port.LatencyTimer;
            port.HasLatency =
                RegQueryValueExA(parameters, "LatencyTimer", nullptr, &type,
                                 reinterpret_cast<BYTE*>(&port.LatencyTimer), &size) == ERROR_SUCCESS &&
                type == REG_DWORD;
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

const FtdiPort* FtdiPortNamed(const std::vector<FtdiPort>& ports, const std::string& name) {
    for (const FtdiPort& port : ports)
        if (_stricmp(port.PortName.c_str(), name.c_str()) == 0)
            return &port;
    return nullptr;
}

// 0 when the port opens (and is closed again at once), else the error of the updater's exclusive open.
DWORD TryOpen(const std::string& name) {
    std::string path = "\\\\.\\" + name; // the only form that reaches COM10 and above
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

} // namespace

std::vector<DoctorPort> DOC_FoundPorts(const DoctorPlaces&) {
    std::vector<DoctorPort> ports;
    for (int n = 1; n <= COM_PORT_COUNT; ++n) {
        std::string name = "COM" + std::to_string(n);
        if (TryOpen(name) != ERROR_FILE_NOT_FOUND)
            ports.push_back({name, name});
    }
    for (const FtdiPort& ftdi : FtdiPorts()) {
        bool known = false;
        for (const DoctorPort& port : ports)
            known = known || _stricmp(port.Name.c_str(), ftdi.PortName.c_str()) == 0;
        if (!known && PortNumber(ftdi.PortName) > 0 && TryOpen(ftdi.PortName) != ERROR_FILE_NOT_FOUND)
            ports.push_back({ftdi.PortName, ftdi.PortName});
    }
    return ports;
}

std::string DOC_DeviceOf(const std::string& name) {
    return name;
}

void DOC_LookAtSystem(const DoctorPlaces&, std::vector<Finding>*) {}

bool DOC_LookAtPort(const DoctorPort& port, const DoctorPlaces&, std::vector<Finding>* pFindings) {
    Finding f;
    f.Check = "port";
    int number = PortNumber(port.Name);
    DWORD error = number > 0 ? TryOpen(port.Name) : ERROR_FILE_NOT_FOUND;
    if (number == 0) {
        f.Level = FINDING_PROBLEM;
        f.Text = port.Name + " is no COM port name";
        f.Fix = "name the port COMn, as Device Manager shows it under Ports (COM & LPT)";
    } else if (error == ERROR_FILE_NOT_FOUND) {
        f.Level = FINDING_PROBLEM;
        f.Text = port.Name + " is absent";
        f.Fix = "plug the adapter in; Device Manager shows its COM number under Ports (COM & LPT)";
    } else if (error == ERROR_ACCESS_DENIED) {
        f.Level = FINDING_PROBLEM;
        f.Text = port.Name + " is held by another program";
        f.Fix = "close the program that uses it (a terminal, another updater), or re-plug the adapter";
    } else if (error != 0) {
        f.Level = FINDING_PROBLEM;
        f.Text = port.Name + " does not open (Windows error " + std::to_string(error) + ")";
        f.Fix = "re-plug the adapter; Device Manager shows whether its driver works";
    } else {
        f.Text = port.Name + " is there and free";
    }
    pFindings->push_back(f);
    if (number >= 10) {
        Finding window;
        window.Check = "window";
        window.Level = FINDING_ADVICE;
        window.Text = "the TQ330 Updater window lists COM1 to COM9 only; tq330-flash opens " + port.Name;
        window.Fix =
            "for the window, give the adapter COM9 or lower (Device Manager, the port's Port Settings, "
            "Advanced)";
        pFindings->push_back(window);
    }
    std::vector<FtdiPort> ftdi = FtdiPorts();
    if (const FtdiPort* pFtdi = FtdiPortNamed(ftdi, port.Name); pFtdi != nullptr && pFtdi->HasLatency) {
        Finding latency;
        latency.Check = "latency";
        latency.Details.Add("latency_ms", static_cast<long long>(pFtdi->LatencyTimer)).Add("key", pFtdi->Key);
        if (pFtdi->LatencyTimer <= 1) {
            latency.Text =
                "the FTDI driver's latency timer is " + std::to_string(pFtdi->LatencyTimer) + " ms";
        } else {
            latency.Level = FINDING_ADVICE;
            latency.Text = "the FTDI driver's latency timer is " + std::to_string(pFtdi->LatencyTimer) +
                           " ms: every block exchange waits for it, an update takes longer (only an "
                           "administrator may change it)";
            latency.Fix = "as administrator: reg add \"" + pFtdi->Key +
                          "\" /v LatencyTimer /t REG_DWORD /d 1 /f, then re-plug the adapter";
        }
        pFindings->push_back(latency);
    }
    return f.Level == FINDING_OK;
}

void DOC_LookAfterOpen(const DoctorPort&, const DoctorPlaces&, std::vector<Finding>*) {}

AdapterInfo DOC_AdapterInfo(const std::string& device, const DoctorPlaces&) {
    AdapterInfo adapter;
    std::vector<FtdiPort> ftdi = FtdiPorts();
    if (const FtdiPort* pFtdi = FtdiPortNamed(ftdi, device))
        adapter.UsbSerial = pFtdi->Serial;
    return adapter;
}
