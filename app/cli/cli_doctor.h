// tq330-flash --doctor: what stands in the way of an update on each port, each finding with its
// fix in one line, and whether a boot loader answers. It only looks: it never sends the device a
// command that changes it and never changes the system. The shared half (cli_doctor.cpp) asks the
// boot loader through the link's own identify and Get CRC jobs and prints; each platform's half
// (cli_doctor_posix.cpp, cli_doctor_win32.cpp) looks at what its system tells of the port.
#pragma once
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"

#include <string>
#include <vector>

// Where the Linux look reads the system. The program reads the real folders; a test program
// passes folders of its own making. Windows reads its registry and ignores these.
struct DoctorPlaces {
    std::string Proc = "/proc";
    std::string Sys = "/sys";
    std::string Udev = "/run/udev";
    std::string ById = "/dev/serial/by-id";
    std::string Groups = "/etc/group";
};

enum FindingLevel {
    FINDING_OK,      // looked at, nothing wrong
    FINDING_ADVICE,  // the update works, but slower or less sure than it could
    FINDING_PROBLEM, // stands in the way of an update
};

struct Finding {
    std::string Check; // short key: "group", "holder", "latency", ...
    FindingLevel Level = FINDING_OK;
    std::string Text;
    std::string Fix;  // one line; "" when there is nothing to do
    JsonLine Details; // extra fields for --json (the identify record, ...)
};

struct DoctorPort {
    std::string Name;   // as the user names it (--port), or COMn of the port table
    std::string Device; // the device path (Linux) or the COM name (Windows)
};

// Runs the doctor on the ports of the options (or every port found). Returns 0 when nothing
// stands in the way on any of them, 1 otherwise.
int DOC_Run(const CliOptions& options, const DoctorPlaces& places);

// The platform's half.
// Every port the system has, when none is named.
std::vector<DoctorPort> DOC_FoundPorts(const DoctorPlaces& places);
// The named port's device ("" when there is none).
std::string DOC_DeviceOf(const std::string& name);
// What concerns no one port (Linux: brltty holding an adapter that so has no port).
void DOC_LookAtSystem(const DoctorPlaces& places, std::vector<Finding>* pFindings);
// Before the port is opened: its presence, the user's right to it, other programs holding it.
// False when the port is not there at all (nothing more to try on it).
bool DOC_LookAtPort(const DoctorPort& port, const DoctorPlaces& places, std::vector<Finding>* pFindings);
// After the updater's own open of the port was tried and closed again: the adapter's latency.
void DOC_LookAfterOpen(const DoctorPort& port, const DoctorPlaces& places, std::vector<Finding>* pFindings);
