// The several-port runner's children on Windows: their command line and what their ends mean.
#pragma once
#include <cstdint>
#include <string>

// One argument as Windows splits a command line back into arguments (the C runtime's rules, the same
// as CommandLineToArgvW's): in quotes, a quote escaped by a backslash, and the backslashes before a
// quote or before the closing quote doubled, so that "C:\logs\" keeps its last backslash.
std::string CLI_QuoteArgument(const std::string& arg);

// A child's exit code as the runner counts it: a code the program gives stays; a child ended by
// Ctrl-C (0xC000013A) counts as interrupted, 130; any other code, an exception's status above all
// (0xC0000005, 0xC0000409), as not updated, 1.
int CLI_ChildExitCode(uint32_t code);
