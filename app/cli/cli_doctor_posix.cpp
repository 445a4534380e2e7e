// The doctor's look on Linux: the device node and its group, the processes that hold it (as far as
// this user may see into /proc), ModemManager and the udev database, brltty, the stable name under
// /dev/serial/by-id and an FTDI adapter's latency timer in sysfs. Every folder comes from
// DoctorPlaces, so that a test can hand it a system of its own making. Nothing here writes.
#include "app/cli/cli_doctor.h"

#include "link/com.h"
#include "link/com_ports.h"
#include "link/com_sysfs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string Inside(const std::string& folder, const std::string& name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

bool IsNumber(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The processes whose command name is comm, as "name (pid N)" texts.
std::vector<std::string> Running(const DoctorPlaces& places, const char* comm) {
    std::vector<std::string> found;
    for (const std::string& pid : SYS_Entries(places.Proc))
        if (IsNumber(pid) && SYS_ReadLine(places.Proc + "/" + pid + "/comm") == comm)
            found.push_back(std::string(comm) + " (pid " + pid + ")");
    return found;
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& t : texts)
        out += (out.empty() ? "" : ", ") + t;
    return out;
}

struct GroupEntry {
    std::string Name;
    std::vector<std::string> Members;
};

// The group file's entry for gid; the system's (NSS) when the file does not list it.
GroupEntry GroupOf(const DoctorPlaces& places, gid_t gid) {
    GroupEntry entry;
    std::ifstream file(places.Groups);
    std::string line;
    while (std::getline(file, line)) {
        // name:password:gid:member,member
        size_t a = line.find(':'), b = line.find(':', a + 1), c = line.find(':', b + 1);
        if (c == std::string::npos || line.substr(b + 1, c - b - 1) != std::to_string(gid))
            continue;
        entry.Name = line.substr(0, a);
        std::string members = line.substr(c + 1);
        for (size_t at = 0; at <= members.size();) {
            size_t comma = std::min(members.find(',', at), members.size());
            if (comma > at)
                entry.Members.push_back(members.substr(at, comma - at));
            at = comma + 1;
        }
        return entry;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the doctor looks on one thread
    if (const group* pGroup = getgrgid(gid)) {
        entry.Name = pGroup->gr_name;
        for (char** ppMember = pGroup->gr_mem; *ppMember != nullptr; ++ppMember)
            entry.Members.emplace_back(*ppMember);
    } else {
        entry.Name = std::to_string(gid);
    }
    return entry;
}

bool LoginHasGroup(gid_t gid) {
    if (getegid() == gid)
        return true;
    gid_t aGroups[NGROUPS_MAX];
    int count = getgroups(NGROUPS_MAX, aGroups);
    return std::find(aGroups, aGroups + std::max(count, 0), gid) != aGroups + std::max(count, 0);
}

Finding LookAtGroup(const DoctorPlaces& places, const std::string& device, const struct stat& node) {
    Finding f;
    f.Check = "group";
    GroupEntry group = GroupOf(places, node.st_gid);
    const passwd* pUser = getpwuid(geteuid()); // NOLINT(concurrency-mt-unsafe): one thread

    std::string user = pUser ? pUser->pw_name : std::to_string(geteuid());
    f.Details.Add("group", group.Name).Add("user", user);
    if (access(device.c_str(), R_OK | W_OK) == 0) {
        f.Text = device + " belongs to group " + group.Name + ", and " + user + " may open it";
        return f;
    }
    f.Level = FINDING_PROBLEM;
    bool listed = std::find(group.Members.begin(), group.Members.end(), user) != group.Members.end() ||
                  (pUser != nullptr && pUser->pw_gid == node.st_gid);
    char acMode[8];
    std::snprintf(acMode, sizeof acMode, "%04o", static_cast<unsigned>(node.st_mode & 07777));
    if ((node.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        f.Text =
            device + " (mode " + acMode + ") lets its group " + group.Name + " neither read nor write it";
        f.Fix = "a udev rule gives it MODE=\"0660\"; for now: sudo chmod 0660 " + device;
    } else if (LoginHasGroup(node.st_gid)) {
        f.Text = device + " refuses " + user + " although this login has its group " + group.Name;
        f.Fix = "look for an access list on it: getfacl " + device;
    } else if (listed) {
        f.Text = user + " is in group " + group.Name + ", which owns " + device +
                 ", but this login does not have it yet";
        f.Fix = "log in again (or start a shell that has it: newgrp " + group.Name + ")";
    } else {
        f.Text = device + " belongs to group " + group.Name + ", and " + user + " is not in it";
        f.Fix = "sudo usermod -aG " + group.Name + " " + user + ", then log in again";
    }
    return f;
}

// The pty's index behind a descriptor of its master (/dev/ptmx), -1 for anything else.
int PtyIndexOfMaster(const DoctorPlaces& places, const std::string& pid, const std::string& fd) {
    std::ifstream info(places.Proc + "/" + pid + "/fdinfo/" + fd);
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("tty-index:", 0) == 0)
            return std::atoi(line.c_str() + 10);
    return -1;
}

// Another program holding the port: any process with a descriptor of it, except the far end of
// a pseudo-terminal (the process that also holds its master, as tq330-sim or socat do).
Finding LookAtHolders(const DoctorPlaces& places, const std::string& device, const std::string& real) {
    Finding f;
    f.Check = "holder";
    int ptyIndex = real.rfind("/dev/pts/", 0) == 0 ? std::atoi(real.c_str() + 9) : -1;
    std::vector<std::string> holders, peers, pids;
    bool hidden = false;
    const std::string self = std::to_string(getpid());
    for (const std::string& pid : SYS_Entries(places.Proc)) {
        if (!IsNumber(pid) || pid == self)
            continue;
        std::string fdDir = places.Proc + "/" + pid + "/fd";
        std::vector<std::string> fds = SYS_Entries(fdDir);
        if (fds.empty() && access(fdDir.c_str(), R_OK) != 0 && errno == EACCES) {
            hidden = true; // another user's process (one that just ended is no holder)
            continue;
        }
        bool holds = false, master = false;
        for (const std::string& fd : fds) {
            char acTarget[PATH_MAX] = {};
            ssize_t n = readlink(Inside(fdDir, fd).c_str(), acTarget, sizeof acTarget - 1);
            if (n <= 0)
                continue;
            std::string target(acTarget, static_cast<size_t>(n));
            holds = holds || target == real || target == device;
            master = master || (ptyIndex >= 0 && BaseName(target) == "ptmx" &&
                                PtyIndexOfMaster(places, pid, fd) == ptyIndex);
        }
        std::string who = SYS_ReadLine(places.Proc + "/" + pid + "/comm");
        who += " (pid " + pid + ")";
        if (master)
            peers.push_back(who);
        else if (holds) {
            holders.push_back(who);
            pids.push_back(pid);
        }
    }
    if (!holders.empty()) {
        f.Level = FINDING_PROBLEM;
        f.Text = device + " is held by " + Joined(holders);
        f.Fix = "close the port in that program, or end it: kill " + Joined(pids);
        f.Details.Add("holders", Joined(holders));
        return f;
    }
    f.Text = "no other program holds " + device;
    if (hidden)
        f.Text += " (as far as this user may see: run as root to see every process)";
    if (!peers.empty())
        f.Text += "; the far end of the pseudo-terminal is " + Joined(peers);
    return f;
}

Finding LookAtModemManager(const DoctorPlaces& places, const std::string& device, const struct stat& node,
                           const SysUsbIds& usb) {
    Finding f;
    f.Check = "modemmanager";
    std::vector<std::string> running = Running(places, "ModemManager");
    if (running.empty()) {
        f.Text = "ModemManager does not run";
        return f;
    }
    if (usb.Vendor.empty()) {
        f.Text = Joined(running) + " runs; " + device + " is no USB adapter it would probe";
        return f;
    }
    char acEntry[64];
    std::snprintf(acEntry, sizeof acEntry, "/data/c%u:%u", major(node.st_rdev), minor(node.st_rdev));
    std::ifstream entry(places.Udev + acEntry);
    std::string line;
    while (std::getline(entry, line))
        if (line == "E:ID_MM_DEVICE_IGNORE=1") {
            f.Text = Joined(running) + " runs and leaves " + device + " alone (ID_MM_DEVICE_IGNORE)";
            return f;
        }
    f.Level = FINDING_PROBLEM;
    f.Text = Joined(running) + " runs and probes " + device + " (" + usb.Vendor + ":" + usb.Product +
             ") when it is plugged in: the udev database does not mark it ID_MM_DEVICE_IGNORE";
    f.Fix = "echo 'ATTRS{idVendor}==\"" + usb.Vendor + "\", ATTRS{idProduct}==\"" + usb.Product +
            "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"' | sudo tee -a /etc/udev/rules.d/99-tq330.rules, then sudo "
            "udevadm control --reload and re-plug the adapter";
    return f;
}

// The USB serial adapters brltty's rules claim for braille displays.
bool BrlttyClaims(const std::string& vendor, const std::string& product) {
    const char* const aIds[][2] = {{"1a86", "7523"}, {"10c4", "ea60"}, {"0403", "6001"}};
    for (const auto& ids : aIds)
        if (vendor == ids[0] && product == ids[1])
            return true;
    return false;
}

bool HasTty(const std::string& dir, int depth) {
    for (const std::string& name : SYS_Entries(dir)) {
        if (name.rfind("tty", 0) == 0)
            return true;
        struct stat info {};
        std::string path = Inside(dir, name);
        if (depth > 0 && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && HasTty(path, depth - 1))
            return true;
    }
    return false;
}

} // namespace

std::vector<DoctorPort> DOC_FoundPorts(const DoctorPlaces&) {
    std::vector<DoctorPort> ports;
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        if (*COM_PortDevice(i) != '\0')
            ports.push_back({"COM" + std::to_string(i + 1), COM_PortDevice(i)});
    return ports;
}

std::string DOC_DeviceOf(const std::string& name) {
    int index = COM_PortIndexOfName(name);
    return index >= 0 ? std::string(COM_PortDevice(index)) : name;
}

void DOC_LookAtSystem(const DoctorPlaces& places, std::vector<Finding>* pFindings) {
    std::vector<std::string> running = Running(places, "brltty");
    if (running.empty())
        return;
    const std::string usb = places.Sys + "/bus/usb/devices";
    for (const std::string& name : SYS_Entries(usb)) {
        std::string dir = SYS_RealPath(Inside(usb, name));
        std::string vendor = SYS_ReadLine(dir + "/idVendor"), product = SYS_ReadLine(dir + "/idProduct");
        if (dir.empty() || !BrlttyClaims(vendor, product) || HasTty(dir, 3))
            continue;
        Finding f;
        f.Check = "brltty";
        f.Level = FINDING_PROBLEM;
        f.Text = Joined(running) + " runs and has claimed the USB serial adapter ";
        f.Text += vendor;
        f.Text += ':';
        f.Text += product;
        f.Text += " (" + name + "): it has no serial port";
        f.Fix = "if no braille display is used here: sudo apt-get remove brltty, then re-plug the adapter";
        pFindings->push_back(f);
    }
}

bool DOC_LookAtPort(const DoctorPort& port, const DoctorPlaces& places, std::vector<Finding>* pFindings) {
    Finding f;
    f.Check = "port";
    f.Level = FINDING_PROBLEM;
    struct stat node {};
    if (port.Device.empty()) {
        f.Text = port.Name + " is not in the port table";
        f.Fix = "tq330-flash --list shows the ports found; name a device path with --port";
    } else if (stat(port.Device.c_str(), &node) != 0) {
        f.Text =
            port.Device + ": " + (errno == ENOENT ? std::string("no such device") : CLI_ErrorText(errno));
        f.Fix = "plug the adapter in; tq330-flash --list shows the ports found";
    } else if (!S_ISCHR(node.st_mode)) {
        f.Text = port.Device + " is not a serial device";
        f.Fix = "name the adapter's device (tq330-flash --list)";
    } else {
        f.Level = FINDING_OK;
    }
    if (f.Level == FINDING_PROBLEM) {
        pFindings->push_back(f);
        return false;
    }
    std::string real = SYS_RealPath(port.Device);
    SysUsbIds usb = SYS_UsbIdsOf(places.Sys, BaseName(real));
    pFindings->push_back(LookAtGroup(places, port.Device, node));
    pFindings->push_back(LookAtHolders(places, port.Device, real));
    pFindings->push_back(LookAtModemManager(places, port.Device, node, usb));
    if (port.Name.rfind(places.ById + "/", 0) != 0) {
        std::string stable = SYS_StableNameOf(places.ById, real);
        if (!stable.empty()) {
            Finding name;
            name.Check = "stable name";
            name.Level = FINDING_ADVICE;
            name.Text =
                port.Name + " may come back under another number; the adapter's stable name is " + stable;
            name.Fix = "name the port --port " + stable;
            name.Details.Add("stable_name", stable);
            pFindings->push_back(name);
        }
    }
    return true;
}

void DOC_LookAfterOpen(const DoctorPort& port, const DoctorPlaces& places, std::vector<Finding>* pFindings) {
    std::string real = SYS_RealPath(port.Device);
    std::string latency = SYS_ReadLine(places.Sys + "/class/tty/" + BaseName(real) + "/device/latency_timer");
    if (latency.empty() || !IsNumber(latency))
        return; // not an FTDI adapter
    // Whether the low-latency request the port module made when it opened the port took.
    const char* took = "unknown";
    switch (COM_LastLatency()) {
    case LATENCY_ALREADY_ON:
    case LATENCY_TOOK:
        took = "took";
        break;
    case LATENCY_REFUSED:
        took = "did not take";
        break;
    case LATENCY_NOT_SUPPORTED:
        break;
    }
    Finding f;
    f.Check = "latency";
    int ms = std::atoi(latency.c_str());
    f.Details.Add("latency_ms", static_cast<long long>(ms)).Add("low_latency", took);
    std::string request = std::string("the low-latency request at open ") +
                          (std::strcmp(took, "unknown") == 0 ? "is not reported by the driver" : took);
    if (ms <= 1) {
        f.Text = "the adapter's latency timer is " + latency + " ms; " + request;
    } else {
        f.Level = FINDING_ADVICE;
        f.Text = "the adapter's latency timer is " + latency +
                 " ms: every block exchange waits for it, an update takes longer; " + request;
        f.Fix = "echo 'ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
                "ATTR{latency_timer}=\"1\"' "
                "| sudo tee /etc/udev/rules.d/99-tq330-latency.rules, then re-plug the adapter";
    }
    pFindings->push_back(f);
}
