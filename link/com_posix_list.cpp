// Ports on Linux: a named device becomes the port table's entry; the listing reads what the kernel
// tells of each device in sysfs and tries the same exclusive open the updater uses.
#include "link/com.h"
#include "link/com_internal.h"
#include "link/com_ports.h"
#include "link/com_sysfs.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ErrorText(int error) {
    char acText[128];
    // The GNU strerror_r: its own text, or one of the library's constant strings.
    return strerror_r(error, acText, sizeof acText);
}

std::string BaseName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

} // namespace

bool COM_UsePortPath(const std::string& path, std::string*) {
    const char* apPaths[1] = {path.c_str()};
    COM_SetPortTable(apPaths, 1);
    return true;
}

std::string COM_PortProblem(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0)
        return errno == ENOENT ? "no such file" : ErrorText(errno);
    if (!S_ISCHR(info.st_mode))
        return "not a serial device";
    int error = 0;
    int fd = COM_OpenLocked(device.c_str(), &error);
    if (fd == COM_OPEN_NOT_A_TTY)
        return "not a serial device";
    if (fd == COM_OPEN_LOCKED || (fd == COM_OPEN_FAILED && error == EBUSY))
        return "busy: held by another program";
    if (fd < 0)
        return ErrorText(error);
    close(fd);
    return "";
}

std::vector<ComPortFacts> COM_ListPorts() {
    std::vector<ComPortFacts> ports;
    for (int i = 0; i < COM_PORT_COUNT; ++i) {
        // What the port opens (an adapter's by-id link, or a path as given) and the device it
        // leads to now.
        const std::string path = COM_PortDevice(i);
        if (path.empty())
            continue;
        ComPortFacts port;
        port.Name = "COM" + std::to_string(i + 1);
        char acWhy[256];
        if (COM_CheckNetName(path.c_str(), acWhy, sizeof acWhy) != 0) {
            // Not connected to: the server's one connection may belong to another program.
            port.Device = path;
            port.Network = true;
            ports.push_back(port);
            continue;
        }
        const std::string real = SYS_RealPath(path);
        port.Device = real.empty() ? path : real;
        port.Path = path;
        port.StableName = path.rfind("/dev/serial/by-id/", 0) == 0
                              ? path
                              : SYS_StableNameOf("/dev/serial/by-id", port.Device);
        SysUsbIds usb = SYS_UsbIdsOf("/sys", BaseName(port.Device));
        port.UsbVendor = usb.Vendor;
        port.UsbProduct = usb.Product;
        port.UsbSerial = usb.Serial;
        port.ProductText = usb.Text;
        port.Problem = COM_PortProblem(path);
        port.Busy = COM_ProblemIsBusy(port.Problem);
        ports.push_back(port);
    }
    return ports;
}

ComAdapter COM_AdapterOf(const std::string& device, const std::string& byIdFolder,
                         const std::string& sysRoot) {
    ComAdapter adapter;
    std::string real = SYS_RealPath(device);
    if (real.empty())
        return adapter;
    adapter.StableName = device.rfind(byIdFolder + "/", 0) == 0 ? device : SYS_StableNameOf(byIdFolder, real);
    adapter.UsbSerial = SYS_UsbIdsOf(sysRoot, BaseName(real)).Serial;
    return adapter;
}
