// Several ports at once: one child process per port (the link keeps one worker and one port per
// process), each this program again with --json; one station fed by the children's events, shown
// on the terminal (and on the station's page with --serve), and a summary table.
#pragma once
#include "app/cli/cli_options.h"

#include <cstddef>
#include <string>
#include <vector>

// Returns the worst of the children's exit codes.
int CLI_RunSeveral(const CliOptions& options, const char* self);

// The platform's half (cli_several_posix.cpp, cli_several_win32.cpp): starting a child, reading
// its lines and waiting for its end. The runner (cli_several.cpp) does the rest.
// Once, before the first child: how the user's Ctrl-C reaches the children.
void SEV_Begin();
// Starts this program with args as child index (0, 1, ... in order). False when it did not start.
bool SEV_StartChild(size_t index, const char* self, const std::vector<std::string>& args);
// Waits up to timeoutMs for the next line of any child (without its line feed) or for the end of a
// child's output (*pEnded, once per child). False when nothing came in time.
bool SEV_NextLine(int timeoutMs, size_t* pIndex, std::string* pLine, bool* pEnded);
// Waits for child index to end and returns its exit code (a child killed by a signal: 130 for
// Ctrl-C's, else 1).
int SEV_WaitChild(size_t index);
