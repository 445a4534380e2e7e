// Several ports at once: one child process per port (the link keeps one worker and one port per
// process), each this program again with --json; one combined display and a summary table.
#pragma once
#include "app/cli/cli_options.h"

// Returns the worst of the children's exit codes.
int CLI_RunSeveral(const CliOptions& options, const char* self);
