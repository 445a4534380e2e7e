// Ports on Linux: a named device becomes the port table's entry; the listing reads what the kernel
// tells of each device in sysfs and tries the same exclusive open the updater uses.
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"
#include "app/cli/cli_sysfs.h"
#include "link/com.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool CLI_UsePortPath(const std::string& path, std::string*) {
    const char* apPaths[1] = {path.c_str()};
    COM_SetPortTable(apPaths, 1);
    return true;
}

std::string CLI_DescribePortProblem(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0)
        return errno == ENOENT ? "no such file" : CLI_ErrorText(errno);
    if (!S_ISCHR(info.st_mode))
        return "not a serial device";
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? "busy: held by another program" : CLI_ErrorText(errno);
    std::string why;
    if (!isatty(fd))
        why = "not a serial device";
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        why = "busy: held by another program";
    close(fd);
    return why;
}

int CLI_ListPorts(bool json) {
    int shown = 0;
    for (int i = 0; i < COM_PORT_COUNT; ++i) {
        // What the port opens (an adapter's by-id link, or a path as given) and the device it
        // leads to now.
        const std::string path = COM_PortDevice(i);
        if (path.empty())
            continue;
        ++shown;
        const std::string name = "COM" + std::to_string(i + 1);
        char acWhy[256];
        if (COM_CheckNetName(path.c_str(), acWhy, sizeof acWhy) != 0) {
            // Not connected to: the server's one connection may belong to another program.
            OUT_Event("port", JsonLine().Add("port", name).Add("device", path).AddBool("network", true));
            std::string line = name;
            line += "  " + path + "  network port";
            if (json)
                OUT_Line(line);
            else
                std::printf("%s\n", line.c_str());
            continue;
        }
        const std::string real = SYS_RealPath(path);
        const std::string device = real.empty() ? path : real;
        const std::string byId =
            path.rfind("/dev/serial/by-id/", 0) == 0 ? path : SYS_StableNameOf("/dev/serial/by-id", device);
        SysUsbIds usb = SYS_UsbIdsOf("/sys", device.substr(device.find_last_of('/') + 1));
        std::string problem = CLI_DescribePortProblem(path);
        JsonLine fields;
        fields.Add("port", name).Add("device", device).Add("path", path);
        std::string line = name;
        line += "  ";
        line += device;
        if (!byId.empty()) {
            fields.Add("by_id", byId);
            line += "  " + byId;
        } else if (path != device) {
            line += "  as " + path;
        }
        if (!usb.Vendor.empty()) {
            fields.Add("usb", usb.Vendor + ":" + usb.Product);
            line += "  " + usb.Vendor + ":" + usb.Product;
        }
        if (!usb.Serial.empty()) {
            fields.Add("serial", usb.Serial);
            line += "  serial " + usb.Serial;
        }
        if (!usb.Text.empty()) {
            fields.Add("product", usb.Text);
            line += "  \"" + usb.Text + "\"";
        }
        CLI_ShowListedPort(fields, line, problem, json);
    }
    if (shown == 0)
        OUT_Line("No serial port found");
    return EXIT_UPDATED;
}
