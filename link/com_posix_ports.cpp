// The table behind the names COM1 to COM9 on POSIX systems, built once on first use: the paths of
// TQ330_PORTS when it is set (tests, the simulator), otherwise the serial devices the kernel lists.
#include "link/com_internal.h"
#include "link/com_net.h"
#include "link/com_sysfs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::mutex TableLock;
bool TableBuilt = false;
std::string Devices[COM_PORT_COUNT];
// Set once per table, so the pointers the queries hand out stay valid until the next reset.
std::string DeniedDevice;
std::string DeniedText;

// The last path element of a symbolic link's target; "" when there is no such link.
std::string LinkBaseName(const std::string& path) {
    char acTarget[4096];
    ssize_t n = readlink(path.c_str(), acTarget, sizeof acTarget - 1);
    if (n <= 0)
        return "";
    acTarget[n] = '\0';
    const char* pSlash = strrchr(acTarget, '/');
    return pSlash ? pSlash + 1 : acTarget;
}

// The 8250 driver registers a fixed number of ports whether or not a UART sits behind them; only
// those with a known UART type are real.
bool IsRealUart(const std::string& device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    bool real = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return real;
}

struct Candidate {
    int group; // 0 USB serial, 1 CDC-ACM, 2 the rest
    std::string prefix;
    long number;
    std::string name;
};

Candidate MakeCandidate(const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    Candidate c{2, name.substr(0, digits), -1, name};
    if (digits < name.size())
        c.number = strtol(name.c_str() + digits, nullptr, 10);
    if (c.prefix == "ttyUSB")
        c.group = 0;
    else if (c.prefix == "ttyACM")
        c.group = 1;
    return c;
}

// The stable names udev gives adapters under devRoot/serial/by-id, by the tty each leads to. The
// first in name order wins should two lead to one tty.
std::map<std::string, std::string> StableNames(const std::string& devRoot) {
    std::map<std::string, std::string> names;
    const std::string folder = devRoot + "/serial/by-id/";
    for (const std::string& name : SYS_Entries(folder)) {
        const std::string link = folder + name;
        const std::string tty = LinkBaseName(link);
        if (!tty.empty())
            names.emplace(tty, link);
    }
    return names;
}

void BuildTable() {
    const char* pList = getenv("TQ330_PORTS");
    std::vector<std::string> list =
        pList ? COM_ParsePortList(pList) : COM_ScanSerialDevices("/sys/class/tty", "/dev");
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        Devices[i] = i < static_cast<int>(list.size()) ? list[i] : "";
    TableBuilt = true;
}

} // namespace

std::vector<std::string> COM_ParsePortList(const char* value) {
    std::vector<std::string> list;
    const char* p = value;
    while (static_cast<int>(list.size()) < COM_PORT_COUNT) {
        // A network name holds colons of its own (rfc2217://HOST:PORT).
        const char* pEnd = strchr(p + COM_NetNameLength(p), ':');
        list.emplace_back(p, pEnd ? pEnd - p : strlen(p));
        if (!pEnd)
            break;
        p = pEnd + 1;
    }
    if (list.size() == 1 && list[0].empty())
        list.clear(); // set but empty: no ports
    return list;
}

std::vector<std::string> COM_ScanSerialDevices(const char* sysRoot, const char* devRoot) {
    std::vector<Candidate> found;
    DIR* pDir = opendir(sysRoot);
    if (!pDir)
        return {};
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.')
            continue;
        const std::string name = pEntry->d_name;
        const std::string base = std::string(sysRoot) + "/" + name + "/device";
        const std::string driver = LinkBaseName(base + "/driver");
        if (driver.empty())
            continue; // virtual terminals, pseudo-terminals
        if (driver == "serial8250") {
            if (!IsRealUart(std::string(devRoot) + "/" + name))
                continue;
        } else if (LinkBaseName(base + "/subsystem") == "platform") {
            continue;
        }
        found.push_back(MakeCandidate(name));
    }
    closedir(pDir);
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        if (a.group != b.group)
            return a.group < b.group;
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        if (a.number != b.number)
            return a.number < b.number;
        return a.name < b.name;
    });
    // An adapter is named by its stable link where it has one: pulled and plugged in again while
    // its old number is still held, it comes back under the next number, and only the link follows.
    const std::map<std::string, std::string> stable = StableNames(devRoot);
    std::vector<std::string> devices;
    for (const Candidate& c : found) {
        if (static_cast<int>(devices.size()) == COM_PORT_COUNT)
            break;
        auto named = stable.find(c.name);
        devices.push_back(named != stable.end() ? named->second : std::string(devRoot) + "/" + c.name);
    }
    return devices;
}

// The returned text stays valid until COM_ResetPortTable.
const char* COM_OsPortDevice(int index) {
    if (index < 0 || index >= COM_PORT_COUNT)
        return "";
    std::lock_guard<std::mutex> guard(TableLock);
    if (!TableBuilt)
        BuildTable();
    return Devices[index].c_str();
}

void COM_OsResetPortTable() {
    std::lock_guard<std::mutex> guard(TableLock);
    TableBuilt = false;
    DeniedDevice.clear();
    DeniedText.clear();
}

void COM_NotePermissionDenied(const char* device) {
    std::lock_guard<std::mutex> guard(TableLock);
    if (!DeniedDevice.empty())
        return;
    DeniedDevice = device;
    // Debian and its derivatives give serial devices to the group dialout; membership takes effect
    // at the next login only.
    DeniedText =
        "permission denied on " + DeniedDevice + ": add yourself to the dialout group and log in again";
}

const char* COM_PermissionDeniedDevice() {
    std::lock_guard<std::mutex> guard(TableLock);
    return DeniedDevice.c_str();
}

const char* COM_PermissionDeniedText() {
    std::lock_guard<std::mutex> guard(TableLock);
    return DeniedText.c_str();
}

void COM_SetPortTable(const char* const* apPaths, int count) {
    std::lock_guard<std::mutex> guard(TableLock);
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        Devices[i] = i < count && apPaths[i] ? apPaths[i] : "";
    TableBuilt = true;
}
