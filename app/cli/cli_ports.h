// The ports of tq330-flash: naming one, listing them, and saying why one does not open.
#pragma once
#include <string>

// 0..8 for "COM1".."COM9" (any case), -1 for anything else (a device path).
int CLI_PortIndexOfName(const std::string& name);
// Makes the device path the port table's one entry (COM1). False with a one-line reason when the
// platform names its ports otherwise.
bool CLI_UsePortPath(const std::string& path, std::string* pError);
// Why a device would not open as a serial port ("no such file", "not a serial device", "busy: held
// by another program", ...); "" when nothing is found wrong.
std::string CLI_DescribePortProblem(const std::string& device);
// --list: one port a line (or one JSON object a line). Returns the exit code.
int CLI_ListPorts(bool json);

struct JsonLine;
// One port of --list, whose fields and line the platform has begun: adds whether it is busy (or
// what else is wrong with it, from CLI_DescribePortProblem) and writes both.
void CLI_ShowListedPort(JsonLine& fields, std::string line, const std::string& problem, bool json);
