// The command line of tq330-flash: what the user asked for, checked before anything is opened.
#pragma once
#include <string>
#include <vector>

// Exit codes, the same for one device and for several (the worst of them).
constexpr int EXIT_UPDATED = 0; // updated, or already current with --check
constexpr int EXIT_NOT_UPDATED = 1;
constexpr int EXIT_NO_DEVICE = 2; // no boot loader answered within --wait
constexpr int EXIT_PORT = 3;      // the port could not be opened or set up, or --record not written
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_FIRMWARE = 65; // the firmware file is missing or faulty
constexpr int EXIT_INTERRUPTED = 130;

struct CliOptions {
    std::vector<std::string> Ports; // device paths or COMn, in the order given
    std::string Firmware;           // "" : the embedded image
    int WaitSeconds = 60;
    bool Check = false;
    bool SkipCurrent = false;
    bool Loop = false;
    bool Json = false;
    bool Quiet = false;
    std::string Trace;
    std::string Record; // --record: one line per device attempt appended to this file
    std::string Serve; // --serve [ADDRESS:]PORT: the station's page, /state and /metrics ("" : none)
    bool Doctor = false;
    bool WaitGiven = false; // --wait named: the doctor's own default is shorter
    bool List = false;
    bool Version = false;
    bool Help = false;
};

// Fills pOptions from argv. False with a one-line reason in pError when the line is not usable.
bool CLI_ParseOptions(int argc, char** argv, CliOptions* pOptions, std::string* pError);
// The --help text.
const char* CLI_HelpText();
// The arguments a child run for one of several ports gets: everything but the ports, then that
// port and --json (the parent reads the child's events).
std::vector<std::string> CLI_ChildArguments(const CliOptions& options, const std::string& port);
