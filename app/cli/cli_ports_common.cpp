#include "app/cli/cli_ports.h"

#include <cctype>

int CLI_PortIndexOfName(const std::string& name) {
    if (name.size() != 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] < '1' || name[3] > '9')
        return -1;
    return name[3] - '1';
}
