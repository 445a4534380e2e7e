// The window with a USB adapter that is pulled and plugged in again (tq330-sim --unplug-adapter,
// COM1 mapped to its --link path, which Wine opens anew on every CreateFileA):
//   replug-idle    connected, lost when the adapter goes, connected again by itself when it comes
//                  back; the window answers messages all the while; the close box ends it
//   replug-update  Start; the adapter goes during the programming: "Target not updated
//                  successfully"; back, the re-run on the new connection ends "Target updated
//                  successfully"; Ok ends it
// The times printed as "... at <seconds since 1970>" let the script time the reconnection against
// the simulator's return.
#include "win32_drive.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* const CONNECTED = "Connection to target established";

double WallSeconds() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ull) / 1e7; // 100 ns ticks since 1601
}

bool Open(const char* exe, Updater* pUpdater) {
    if (!Launch(exe, pUpdater))
        return false;
    pUpdater->hDialog = FindProcessWindow(*pUpdater, "#32770", TITLE, 30000);
    Check(pUpdater->hDialog != nullptr, "the window appears");
    if (!pUpdater->hDialog)
        return false;
    Check(!WaitForStatus(*pUpdater, CONNECTED, nullptr, 20000).empty(), "connected");
    return true;
}

// The longest the window took to answer a sent message, in ms, while the status line stays hidden
// (the adapter away), at most timeoutMs; -1 when it did not answer within 2 s.
long AnswerWhileHidden(const Updater& updater, int timeoutMs) {
    long slowest = 0;
    Clock::time_point start = Clock::now();
    while (!IsWindowVisible(Control(updater, IDC_STATUS)) && Seconds(start) * 1000 < timeoutMs) {
        Clock::time_point sent = Clock::now();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(updater.hDialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result))
            return -1;
        slowest = std::max(slowest, static_cast<long>(Seconds(sent) * 1000));
        Sleep(100);
    }
    return slowest;
}

int End(Updater& updater, WPARAM how) {
    Clock::time_point start = Clock::now();
    if (how == IDC_CANCEL)
        Click(Control(updater, IDC_CANCEL));
    else
        PostMessageA(updater.hDialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    long code = WaitForEnd(updater, 5000);
    std::printf("the program ended %.2f s after the %s\n", Seconds(start),
                how == IDC_CANCEL ? "Ok" : "close");
    Check(code == 0, "it ends with exit code 0");
    if (code < 0)
        TerminateProcess(updater.Process.hProcess, 1);
    return Failures ? 1 : 0;
}

} // namespace

int CaseReplugIdle(const char* exe) {
    Updater updater;
    if (!Open(exe, &updater))
        return 1;
    Clock::time_point start = Clock::now();
    while (IsWindowVisible(Control(updater, IDC_STATUS)) && Seconds(start) < 30)
        Sleep(20);
    Check(!IsWindowVisible(Control(updater, IDC_STATUS)),
          "the pulled adapter is lost (the status line hidden)");
    std::printf("lost at %.3f\n", WallSeconds());
    long slowest = AnswerWhileHidden(updater, 60000);
    std::printf("the window answered within %ld ms while the adapter was away\n", slowest);
    Check(slowest >= 0 && slowest < 1000, "the window stays responsive while the adapter is away");
    Check(!WaitForStatus(updater, CONNECTED, nullptr, 10000).empty(), "connected again by itself");
    std::printf("connected again at %.3f\n", WallSeconds());
    return End(updater, 0);
}

int CaseReplugUpdate(const char* exe) {
    Updater updater;
    if (!Open(exe, &updater))
        return 1;
    Click(Control(updater, IDC_START));
    const char* const NOT_UPDATED = "Target not updated successfully";
    const char* const UPDATED = "Target updated successfully";
    std::string first = WaitForStatus(updater, NOT_UPDATED, UPDATED, 120000);
    std::printf("first result \"%s\"\n", first.c_str());
    Check(first == NOT_UPDATED, "the update the adapter left ends \"Target not updated successfully\"");
    // The re-run shows its jobs, then its result.
    Check(!WaitForStatus(updater, "Clear target", "Programming target", 30000).empty(),
          "the adapter back, the update runs again by itself");
    std::string second = WaitForStatus(updater, UPDATED, NOT_UPDATED, 300000);
    std::printf("second result \"%s\"\n", second.c_str());
    Check(second == UPDATED, "the re-run ends \"Target updated successfully\"");
    Check(Text(Control(updater, IDC_CANCEL)) == "Ok", "the button reads Ok");
    return End(updater, IDC_CANCEL);
}
