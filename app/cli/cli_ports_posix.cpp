// Ports on Linux: a named device becomes the port table's entry; the listing reads what the kernel
// tells of each device in sysfs and tries the same exclusive open the updater uses.
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"
#include "link/com.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadLineOf(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string RealPath(const std::string& path) {
    char acPath[PATH_MAX];
    return realpath(path.c_str(), acPath) ? std::string(acPath) : std::string();
}

// The stable name under /dev/serial/by-id that leads to the device, if any.
std::string ByIdName(const std::string& device) {
    const char* const BY_ID = "/dev/serial/by-id";
    std::string real = RealPath(device);
    DIR* pDir = opendir(BY_ID);
    if (!pDir)
        return "";
    std::string found;
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.')
            continue;
        std::string link = std::string(BY_ID) + "/" + pEntry->d_name;
        if (RealPath(link) == real) {
            found = link;
            break;
        }
    }
    closedir(pDir);
    return found;
}

struct UsbInfo {
    std::string Vendor, Product, Serial, Text;
};

// The USB device above the tty in sysfs: the first folder upwards that has idVendor.
UsbInfo ReadUsbInfo(const std::string& device) {
    UsbInfo info;
    std::string name = device.substr(device.find_last_of('/') + 1);
    std::string dir = RealPath("/sys/class/tty/" + name + "/device");
    for (int up = 0; !dir.empty() && dir != "/" && up < 6; ++up) {
        std::string vendor = ReadLineOf(dir + "/idVendor");
        if (!vendor.empty()) {
            info.Vendor = vendor;
            info.Product = ReadLineOf(dir + "/idProduct");
            info.Serial = ReadLineOf(dir + "/serial");
            info.Text = ReadLineOf(dir + "/product");
            break;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return info;
}

} // namespace

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
        std::string device = COM_PortDevice(i);
        if (device.empty())
            continue;
        ++shown;
        std::string name = "COM" + std::to_string(i + 1);
        char acWhy[256];
        if (COM_CheckNetName(device.c_str(), acWhy, sizeof acWhy) != 0) {
            // Not connected to: the server's one connection may belong to another program.
            OUT_Event("port", JsonLine().Add("port", name).Add("device", device).AddBool("network", true));
            std::string line = name;
            line += "  " + device + "  network port";
            if (json)
                OUT_Line(line);
            else
                std::printf("%s\n", line.c_str());
            continue;
        }
        std::string byId = ByIdName(device);
        UsbInfo usb = ReadUsbInfo(device);
        std::string problem = CLI_DescribePortProblem(device);
        bool busy = problem.rfind("busy", 0) == 0;
        JsonLine fields;
        fields.Add("port", name).Add("device", device);
        std::string line = name;
        line += "  ";
        line += device;
        if (!byId.empty()) {
            fields.Add("by_id", byId);
            line += "  " + byId;
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
        fields.AddBool("busy", busy);
        if (busy)
            line += "  busy";
        else if (!problem.empty())
            line += "  (" + problem + ")";
        OUT_Event("port", fields);
        if (json)
            OUT_Line(line);
        else
            std::printf("%s\n", line.c_str());
    }
    if (shown == 0)
        OUT_Line("No serial port found");
    return EXIT_UPDATED;
}
