#include "app/cli/cli_child_win32.h"

#include "app/cli/cli_options.h"

namespace {

// The status of a process that Ctrl-C (or Ctrl-Break) ended without a handler taking it.
constexpr uint32_t STATUS_ENDED_BY_CTRL_C = 0xC000013A;

} // namespace

std::string CLI_QuoteArgument(const std::string& arg) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

int CLI_ChildExitCode(uint32_t code) {
    switch (code) {
    case EXIT_UPDATED:
    case EXIT_NOT_UPDATED:
    case EXIT_NO_DEVICE:
    case EXIT_PORT:
    case EXIT_USAGE:
    case EXIT_FIRMWARE:
    case EXIT_INTERRUPTED:
        return static_cast<int>(code);
    case STATUS_ENDED_BY_CTRL_C:
        return EXIT_INTERRUPTED;
    default:
        return EXIT_NOT_UPDATED;
    }
}
