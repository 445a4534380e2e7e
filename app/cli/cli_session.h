// One device through the dialog's own rules: the window's start-up with the port the user named,
// a click on Start, the update that the first connection starts, and Ok. Returns the exit code.
#pragma once
#include "app/cli/cli_options.h"

#include <string>

// The image is loaded (pProgramImage). options.Ports holds at most one port.
int CLI_RunSession(const CliOptions& options);
// The serial module's last "COM::..." report since the last call, and forgets it ("" when none).
std::string CLI_TakePortError();
