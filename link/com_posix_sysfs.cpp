#include "link/com_sysfs.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>

std::string SYS_ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string SYS_RealPath(const std::string& path) {
    char acPath[PATH_MAX];
    return realpath(path.c_str(), acPath) ? std::string(acPath) : std::string();
}

std::vector<std::string> SYS_Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* pDir = opendir(folder.c_str())) {
        while (const dirent* pEntry = readdir(pDir))
            if (pEntry->d_name[0] != '.')
                names.emplace_back(pEntry->d_name);
        closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

SysUsbIds SYS_UsbIdsOf(const std::string& sysRoot, const std::string& kernelName) {
    SysUsbIds ids;
    std::string dir = SYS_RealPath(sysRoot + "/class/tty/" + kernelName + "/device");
    for (int up = 0; !dir.empty() && dir != "/" && up < 6; ++up) {
        ids.Vendor = SYS_ReadLine(dir + "/idVendor");
        if (!ids.Vendor.empty()) {
            ids.Product = SYS_ReadLine(dir + "/idProduct");
            ids.Serial = SYS_ReadLine(dir + "/serial");
            ids.Text = SYS_ReadLine(dir + "/product");
            break;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return ids;
}

std::string SYS_StableNameOf(const std::string& byIdFolder, const std::string& realDevice) {
    if (realDevice.empty())
        return "";
    for (const std::string& name : SYS_Entries(byIdFolder)) {
        std::string link = byIdFolder;
        link += '/';
        link += name;
        if (SYS_RealPath(link) == realDevice)
            return link;
    }
    return "";
}
