// What the cases of win32_drive share: starting the updater, finding its window, reading and
// pressing its controls, and the record of checks. Test code of the Windows build only.
#pragma once
#include "app/win32/win32.h"

#include <chrono>
#include <string>

using Clock = std::chrono::steady_clock;
inline const char* const TITLE = "TQ330 Updater  V03.11";

// What the window must look like, written out here rather than taken from the program's own table,
// so that a wrong table in the program is caught too.
constexpr int IDC_PORT = 50, IDC_START = 101, IDC_PROGRESS = 102, IDC_PERCENT = 103, IDC_STATUS = 104,
              IDC_CANCEL = 105;

struct Updater {
    PROCESS_INFORMATION Process{};
    HWND hDialog = nullptr;
};

extern int Failures; // checks that failed so far
void Check(bool ok, const char* what);
double Seconds(Clock::time_point since);
void Sleep(int ms);
std::string Text(HWND hWindow);
bool Launch(const char* path, Updater* pUpdater);
// The top-level window with the class and title that belongs to the started process.
HWND FindProcessWindow(const Updater& updater, const char* className, const char* title, int timeoutMs);
// Waits for the process to end; its exit code, or -1 when it is still running after the timeout.
long WaitForEnd(const Updater& updater, int timeoutMs);
HWND Control(const Updater& updater, int id);
std::string Status(const Updater& updater);
// Polls the status line until it reads one of the texts; the one it read, or "" at the timeout.
std::string WaitForStatus(const Updater& updater, const char* a, const char* b, int timeoutMs);
// A click as the mouse gives it; posted, because the button's command runs the whole update
// inside its handler.
void Click(HWND hButton);

// The cases with a USB adapter that is pulled and plugged in again (win32_drive_replug.cpp).
int CaseReplugIdle(const char* exe);
int CaseReplugUpdate(const char* exe);
