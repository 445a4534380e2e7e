// Ports on Windows: the names COM1 to COM9, as the window has them; the listing shows those that
// open, and those another program holds.
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"
#include "link/com.h"

#include <cstdio>
#include <windows.h>

namespace {

// 0 opens, else the error of the exclusive open the updater makes.
DWORD TryOpen(const std::string& name) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

} // namespace

bool CLI_UsePortPath(const std::string& path, std::string* pError) {
    *pError = path + ": name the port COM1 to COM9 on Windows";
    return false;
}

std::string CLI_DescribePortProblem(const std::string& device) {
    switch (TryOpen(device)) {
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
    int shown = 0;
    for (int i = 0; i < COM_PORT_COUNT; ++i) {
        std::string name = COM_PortDevice(i);
        DWORD error = TryOpen(name);
        bool busy = error == ERROR_ACCESS_DENIED;
        if (error != 0 && !busy)
            continue;
        ++shown;
        OUT_Event("port", JsonLine().Add("port", name).Add("device", name).AddBool("busy", busy));
        std::string line = name + (busy ? "  busy" : "");
        if (json)
            OUT_Line(line);
        else
            std::printf("%s\n", line.c_str());
    }
    if (shown == 0)
        OUT_Line("No serial port found");
    return EXIT_UPDATED;
}
