// The one reading of a port's name "COMn", the same on every platform.
#include "link/com_ports.h"

#include <cctype>

namespace {

constexpr int HIGHEST_PORT_NUMBER = 256;
const char* const DEVICE_NAMESPACE = "\\\\.\\";

} // namespace

int COM_PortNumberOfName(std::string name) {
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

int COM_PortIndexOfName(const std::string& name) {
    // Only the window's own names: a device path that happens to read \\.\COM3 stays a path.
    const int number = name.size() == 4 ? COM_PortNumberOfName(name) : 0;
    return number >= 1 && number <= 9 ? number - 1 : -1;
}

bool COM_ProblemIsBusy(const std::string& problem) {
    return problem.rfind("busy", 0) == 0;
}
