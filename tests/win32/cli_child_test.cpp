// The several-port runner's children on Windows: every argument must reach the child as it was
// given (the child splits its command line by Windows' rules, here CommandLineToArgvW), and a child's
// end must never count as a success it was not.
#include "app/cli/cli_child_win32.h"
#include "app/cli/cli_options.h"
#include "platform/win32.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <string>
#include <vector>

namespace {

// What a child started with this command line sees as its arguments after the program's name.
std::vector<std::string> SplitAsWindowsDoes(const std::string& commandLine) {
    std::wstring wide(commandLine.begin(), commandLine.end()); // the cases are ASCII
    int count = 0;
    LPWSTR* apArgs = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::string> args;
    for (int i = 1; apArgs && i < count; ++i) {
        std::wstring arg = apArgs[i];
        args.emplace_back(arg.begin(), arg.end());
    }
    LocalFree(apArgs);
    return args;
}

TEST(CliChildWin32, EveryArgumentReachesTheChildUnchanged) {
    const std::vector<std::string> args = {
        "--trace",    "C:\\logs\\",        // a folder: the last backslash must not escape the quote
        "--firmware", "C:\\new fw\\a.s28", // a space, backslashes not before a quote
        "a\\\"b",     "\\\\\"",            // backslashes before a quote
        "\"",         "",                  // a lone quote, an empty argument
        "C:\\\\",     "x\\\\\\",           // two and three backslashes at the end
        "tab\there",  "COM12"};
    std::string commandLine = CLI_QuoteArgument("C:\\Program Files\\TQ330 Updater\\tq330-flash.exe");
    for (const std::string& a : args)
        commandLine += " " + CLI_QuoteArgument(a);
    EXPECT_EQ(SplitAsWindowsDoes(commandLine), args) << commandLine;
}

TEST(CliChildWin32, OnlyTheProgramsOwnCodesPassAndNoCrashCountsAsASuccess) {
    for (int code : {EXIT_UPDATED, EXIT_NOT_UPDATED, EXIT_NO_DEVICE, EXIT_PORT, EXIT_USAGE, EXIT_FIRMWARE,
                     EXIT_INTERRUPTED})
        EXPECT_EQ(CLI_ChildExitCode(static_cast<uint32_t>(code)), code);
    EXPECT_EQ(CLI_ChildExitCode(0xC000013A), EXIT_INTERRUPTED) << "ended by Ctrl-C";
    // Access violation, stack buffer overrun (a failed stack check), heap corruption, a breakpoint,
    // codes the program never gives, STILL_ACTIVE.
    for (uint32_t code : {0xC0000005u, 0xC0000409u, 0xC0000374u, 0x80000003u, 4u, 127u, 255u, 259u})
        EXPECT_EQ(CLI_ChildExitCode(code), EXIT_NOT_UPDATED) << std::hex << code;
}

} // namespace
