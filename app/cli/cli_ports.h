// tq330-flash --list: the ports the serial-port module finds, one a line (or one JSON object a
// line). Returns the exit code.
#pragma once

int CLI_ListPorts(bool json);
