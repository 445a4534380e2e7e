// The doctor's look on Windows: whether the COM port is there and free, an FTDI adapter's driver
// latency timer (the LatencyTimer of its Device Parameters key under Enum\FTDIBUS, which only an
// administrator may change) and the window's limit of COM1 to COM9. It only reads the registry.
#include "app/cli/cli_doctor.h"

#include "link/com.h"
#include "link/com_ports.h"
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>

std::vector<DoctorPort> DOC_FoundPorts(const DoctorPlaces&) {
    std::vector<DoctorPort> ports;
    for (int n = 1; n <= COM_PORT_COUNT; ++n) {
        std::string name = "COM" + std::to_string(n);
        if (COM_OpenError(name) != ERROR_FILE_NOT_FOUND)
            ports.push_back({name, name});
    }
    for (const ComFtdiPort& ftdi : COM_FtdiPorts()) {
        bool known = false;
        for (const DoctorPort& port : ports)
            known = known || _stricmp(port.Name.c_str(), ftdi.PortName.c_str()) == 0;
        if (!known && COM_PortNumberOfName(ftdi.PortName) > 0 &&
            COM_OpenError(ftdi.PortName) != ERROR_FILE_NOT_FOUND)
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
    int number = COM_PortNumberOfName(port.Name);
    uint32_t error = number > 0 ? COM_OpenError(port.Name) : ERROR_FILE_NOT_FOUND;
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
    std::vector<ComFtdiPort> ftdi = COM_FtdiPorts();
    if (const ComFtdiPort* pFtdi = COM_FtdiPortNamed(ftdi, port.Name);
        pFtdi != nullptr && pFtdi->HasLatency) {
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
