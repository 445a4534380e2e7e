// What the end-to-end tests share: the driven window (tests/drive) as a child process, started
// offscreen on one port with the switches the test names, its output read line by line, its CPU
// time read from /proc; and what a run must leave.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct UpdaterChild {
    int Pid = -1;
    int In = -1;  // its standard input (TQ330_CLOSE_ON_INPUT closes the dialog on a line)
    int Out = -1; // its standard output
    std::string Pending;
};

// Starts the driven updater with TQ330_PORTS=port and the switches ("NAME=VALUE") set.
bool Updater_Start(const std::string& port, const std::vector<std::string>& switches, UpdaterChild* pChild);
// 1 with the next line of its output, 0 at its end, -1 when nothing came within the timeout.
int Updater_ReadLine(UpdaterChild* pChild, int timeoutMs, std::string* pLine);
// Reads until a line starts with prefix; false at the end or after the timeout.
bool Updater_WaitFor(UpdaterChild* pChild, const std::string& prefix, int timeoutMs);
// Asks the dialog to close (with TQ330_CLOSE_ON_INPUT=1).
void Updater_Close(UpdaterChild* pChild);
// Waits for its end: the exit code (128 + signal when killed); killed after the timeout.
int Updater_Wait(UpdaterChild* pChild, int timeoutMs, bool* pTimedOut = nullptr);
// The CPU time the process has used so far, all its threads.
double Updater_CpuSeconds(const UpdaterChild& child);

// The flash the simulator must hold after a good update: the image's bytes, 0xFF elsewhere.
const std::vector<uint8_t>& ExpectedFlash();
// The line TQ330_AUTOCLOSE prints when an update has ended with this status.
std::string FinalLine(const std::string& status);
