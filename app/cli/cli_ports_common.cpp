#include "app/cli/cli_output.h"
#include "app/cli/cli_ports.h"

#include <cctype>
#include <cstdio>

int CLI_PortIndexOfName(const std::string& name) {
    if (name.size() != 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M' || name[3] < '1' || name[3] > '9')
        return -1;
    return name[3] - '1';
}

void CLI_ShowListedPort(JsonLine& fields, std::string line, const std::string& problem, bool json) {
    const bool busy = problem.rfind("busy", 0) == 0;
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
