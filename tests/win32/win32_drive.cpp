// Drives the shipped tq330-updater.exe from outside, as a user would: starts it, finds its window by
// its title, checks the window and its seven controls, presses its buttons and reads its status line
// until the update has ended, then checks how the process ended. A test program of the Windows
// build, run under Wine by scripts/test-win32-e2e.sh against tq330-sim on COM1; never shipped.
//
//   win32_drive CASE PATH\tq330-updater.exe
//   CASE: update | reject | close-clear | escape-clear | close-program | noport
//   win32_drive hold PATH\tq330-updater.exe FILE   (the window while it programs, for a screenshot)
//   win32_drive time PATH\tq330-updater.exe       (Start as soon as connected, the update timed)
//   win32_drive idle PATH\tq330-updater.exe SECONDS (the window left alone, for the idle figures)
//   win32_drive replug-idle|replug-update PATH\tq330-updater.exe (win32_drive_replug.cpp)
// Prints what it saw; exit code 0 when every check passed.
#include "win32_drive.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

// The helpers the cases share (win32_drive.h).
int Failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        Failures++;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Text(HWND hWindow) {
    char acText[256] = {};
    GetWindowTextA(hWindow, acText, sizeof acText);
    return acText;
}

bool Launch(const char* path, Updater* pUpdater) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string command = std::string("\"") + path + "\"";
    if (!CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &pUpdater->Process)) {
        std::printf("FAIL cannot start %s (error %lu)\n", path, GetLastError());
        return false;
    }
    return true;
}

// The top-level window with the class and title that belongs to the started process.
HWND FindProcessWindow(const Updater& updater, const char* className, const char* title, int timeoutMs) {
    Clock::time_point start = Clock::now();
    while (Seconds(start) * 1000 < timeoutMs) {
        HWND hWindow = nullptr;
        while ((hWindow = FindWindowExA(nullptr, hWindow, className, title)) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(hWindow, &pid);
            if (pid == updater.Process.dwProcessId && IsWindowVisible(hWindow))
                return hWindow;
        }
        if (WaitForSingleObject(updater.Process.hProcess, 0) == WAIT_OBJECT_0)
            return nullptr;
        Sleep(50);
    }
    return nullptr;
}

// Waits for the process to end; its exit code, or -1 when it is still running after the timeout.
long WaitForEnd(const Updater& updater, int timeoutMs) {
    if (WaitForSingleObject(updater.Process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(updater.Process.hProcess, &code);
    return static_cast<long>(code);
}

HWND Control(const Updater& updater, int id) {
    return GetDlgItem(updater.hDialog, id);
}

std::string Status(const Updater& updater) {
    return Text(Control(updater, IDC_STATUS));
}

// Polls the status line until it reads one of the texts; the one it read, or "" at the timeout.
std::string WaitForStatus(const Updater& updater, const char* a, const char* b, int timeoutMs) {
    Clock::time_point start = Clock::now();
    while (Seconds(start) * 1000 < timeoutMs) {
        HWND hStatus = Control(updater, IDC_STATUS);
        std::string status = Text(hStatus);
        if (IsWindowVisible(hStatus) && (status == a || (b && status == b)))
            return status;
        if (WaitForSingleObject(updater.Process.hProcess, 0) == WAIT_OBJECT_0)
            return "";
        Sleep(20);
    }
    return "";
}

// A click as the mouse gives it; posted, because the button's command runs the whole update
// inside its handler.
void Click(HWND hButton) {
    PostMessageA(hButton, BM_CLICK, 0, 0);
}

namespace {

// What the window must look like, written out here rather than taken from the program's own table,
// so that a wrong table in the program is caught too.
struct DialogControl {
    const char* ClassName;
    int X, Y, Width, Height;
    int Id;
    DWORD Style;
    DWORD ExStyle;
};
const int DLG_CONTROL_COUNT = 7;
const DialogControl aDialogControls[DLG_CONTROL_COUNT] = {
    {"Static", 95, 10, 65, 15, 0, 0, 0},
    {"ComboBox", 160, 8, 65, 100, IDC_PORT, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE},
    {"Static", 11, 40, 290, 28, IDC_STATUS, SS_CENTER, 0},
    {"Static", 11, 60, 290, 14, IDC_PERCENT, SS_CENTER, 0},
    {"msctls_progress32", 11, 80, 290, 20, IDC_PROGRESS, PBS_SMOOTH, 0},
    {"Button", 100, 112, 120, 23, IDC_START, BS_DEFPUSHBUTTON | WS_TABSTOP, 0},
    {"Button", 100, 112, 120, 23, IDC_CANCEL, BS_DEFPUSHBUTTON | WS_TABSTOP, 0},
};
// 320 x 170 outside with the reference frame (6 x 29); a larger frame adds to the outer size.
const int DLG_CLIENT_WIDTH = 314, DLG_CLIENT_HEIGHT = 141;
void OuterSize(int frameWidth, int frameHeight, int* pWidth, int* pHeight) {
    *pWidth = 320 + (frameWidth > 6 ? frameWidth - 6 : 0);
    *pHeight = 170 + (frameHeight > 29 ? frameHeight - 29 : 0);
}
bool UnderWine() {
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    return hNtdll && GetProcAddress(hNtdll, "wine_get_version");
}

void CheckControl(const Updater& updater, HWND hControl, const DialogControl& c) {
    const char* className = c.ClassName;
    char acWhat[160];
    char acClass[64] = {};
    GetClassNameA(hControl, acClass, sizeof acClass);
    std::snprintf(acWhat, sizeof acWhat, "control %d is a %s (%s)", c.Id, className, acClass);
    Check(_stricmp(acClass, className) == 0, acWhat);

    RECT rect{};
    GetWindowRect(hControl, &rect);
    MapWindowPoints(nullptr, updater.hDialog, reinterpret_cast<POINT*>(&rect), 2);
    int height = rect.bottom - rect.top;
    if (c.Id == IDC_PORT) {
        // The height given includes the dropped-down list: Windows' dropped rectangle is that high.
        // Wine sizes the list from the font the box had before WM_SETFONT and ends it short.
        RECT dropped{};
        SendMessageA(hControl, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
        height = dropped.bottom - dropped.top;
        if (UnderWine() && height != c.Height) {
            std::printf("skip the dropped list is %d high under Wine, not %d\n", height, c.Height);
            height = c.Height;
        }
    }
    std::snprintf(acWhat, sizeof acWhat, "control %d at %d,%d size %dx%d (got %ld,%ld %ldx%d)", c.Id, c.X,
                  c.Y, c.Width, c.Height, rect.left, rect.top, rect.right - rect.left, height);
    Check(rect.left == c.X && rect.top == c.Y && rect.right - rect.left == c.Width && height == c.Height,
          acWhat);

    DWORD style = static_cast<DWORD>(GetWindowLongA(hControl, GWL_STYLE));
    DWORD exStyle = static_cast<DWORD>(GetWindowLongA(hControl, GWL_EXSTYLE));
    DWORD wanted = c.Style | WS_CHILD | WS_CLIPCHILDREN;
    DWORD wantedEx = c.ExStyle;
    if (c.Id == IDC_PORT) {
        // The combo box hands the scroll bar to its list and draws its own sunken edge.
        wanted &= ~WS_VSCROLL;
        wantedEx &= ~WS_EX_CLIENTEDGE;
    }
    std::snprintf(acWhat, sizeof acWhat, "control %d has styles %08lX (got %08lX, ex %08lX)", c.Id, wanted,
                  style, exStyle);
    Check((style & wanted) == wanted && (exStyle & wantedEx) == wantedEx, acWhat);

    HFONT hFont = reinterpret_cast<HFONT>(SendMessageA(hControl, WM_GETFONT, 0, 0));
    std::snprintf(acWhat, sizeof acWhat, "control %d uses the stock variable-pitch font (%p, here %p)", c.Id,
                  static_cast<void*>(hFont), static_cast<void*>(GetStockObject(ANSI_VAR_FONT)));
    if (hFont == nullptr)
        std::printf("skip %s: Wine answers WM_GETFONT from another process with none\n", acWhat);
    else
        Check(hFont == GetStockObject(ANSI_VAR_FONT), acWhat);
}

// The window as the initialisation leaves it: title, size, place and the seven controls.
void CheckWindow(const Updater& updater) {
    HWND hDlg = updater.hDialog;
    char acClass[64] = {};
    GetClassNameA(hDlg, acClass, sizeof acClass);
    Check(std::strcmp(acClass, "#32770") == 0, "the window is a dialog (#32770)");

    RECT outer{};
    RECT client{};
    RECT desktop{};
    GetWindowRect(hDlg, &outer);
    GetClientRect(hDlg, &client);
    GetWindowRect(GetDesktopWindow(), &desktop);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    int wantWidth = 0;
    int wantHeight = 0;
    OuterSize(width - client.right, height - client.bottom, &wantWidth, &wantHeight);
    char acWhat[160];
    std::snprintf(acWhat, sizeof acWhat, "outer size %dx%d for a frame of %ldx%ld (got %dx%d)", wantWidth,
                  wantHeight, width - client.right, height - client.bottom, width, height);
    Check(width == wantWidth && height == wantHeight, acWhat);
    std::snprintf(acWhat, sizeof acWhat, "client area at least %dx%d (got %ldx%ld)", DLG_CLIENT_WIDTH,
                  DLG_CLIENT_HEIGHT, client.right, client.bottom);
    Check(client.right >= DLG_CLIENT_WIDTH && client.bottom >= DLG_CLIENT_HEIGHT, acWhat);
    // Centred across the desktop, a third of the free height above the window.
    int x = desktop.left + (desktop.right - desktop.left - width) / 2;
    int y = desktop.top + (desktop.bottom - desktop.top - height) / 3;
    std::snprintf(acWhat, sizeof acWhat, "placed at %d,%d (got %ld,%ld)", x, y, outer.left, outer.top);
    Check(outer.left == x && outer.top == y, acWhat);
    LONG style = GetWindowLongA(hDlg, GWL_STYLE);
    Check((style & (WS_CAPTION | WS_SYSMENU)) == (WS_CAPTION | WS_SYSMENU) &&
              !(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)),
          "caption and system menu; no minimise, maximise or sizing frame");

    // The controls in the order of creation.
    HWND hChild = GetWindow(hDlg, GW_CHILD);
    int count = 0;
    for (; hChild && count < DLG_CONTROL_COUNT; hChild = GetWindow(hChild, GW_HWNDNEXT), count++) {
        const DialogControl& c = aDialogControls[count];
        std::snprintf(acWhat, sizeof acWhat, "control %d has id %d (got %d)", count + 1, c.Id,
                      GetDlgCtrlID(hChild));
        Check(GetDlgCtrlID(hChild) == c.Id, acWhat);
        CheckControl(updater, hChild, c);
    }
    Check(count == DLG_CONTROL_COUNT && hChild == nullptr, "exactly seven controls");

    Check(Text(Control(updater, 0)) == "COM port:", "the port label reads \"COM port:\"");
    Check(IsWindowVisible(Control(updater, IDC_START)) && Text(Control(updater, IDC_START)) == "Start",
          "Start is shown");
    Check(!IsWindowVisible(Control(updater, IDC_CANCEL)), "Cancel/Ok is hidden");
    Check(!IsWindowVisible(Control(updater, IDC_PROGRESS)) && !IsWindowVisible(Control(updater, IDC_PERCENT)),
          "the progress bar and the percentage are hidden");
    Check(Text(Control(updater, IDC_PERCENT)) == "0%", "the percentage reads 0% before any job");

    // The item texts in UTF-16: the list belongs to another process, and Wine passes the ANSI
    // form of CB_GETLBTEXT between processes as UTF-16.
    HWND hPorts = Control(updater, IDC_PORT);
    LRESULT items = SendMessageA(hPorts, CB_GETCOUNT, 0, 0);
    std::string list;
    for (LRESULT i = 0; i < items; i++) {
        wchar_t awItem[32] = {};
        SendMessageW(hPorts, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(awItem));
        char acItem[32] = {};
        WideCharToMultiByte(CP_ACP, 0, awItem, -1, acItem, sizeof acItem, nullptr, nullptr);
        list += std::string(i ? " " : "") + acItem;
    }
    std::snprintf(acWhat, sizeof acWhat, "the port list starts with COM1, selected, item data 0 (%s)",
                  list.c_str());
    Check(list.rfind("COM1", 0) == 0 && (list.size() == 4 || list[4] == ' ') &&
              SendMessageA(hPorts, CB_GETCURSEL, 0, 0) == 0 &&
              SendMessageA(hPorts, CB_GETITEMDATA, 0, 0) == 0,
          acWhat);
    if (items == 1) {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(hDlg, nullptr), &info);
        Check(!IsWindowEnabled(hPorts) && info.hwndFocus == Control(updater, IDC_START),
              "one port: the list is disabled and Start has the focus");
    }
}

// Start to the final status; also checks what the window shows on the way and at the end.
std::string RunUpdateToEnd(const Updater& updater, double* pSeconds) {
    std::string status = WaitForStatus(updater, "Connection to target established", nullptr, 20000);
    Check(!status.empty(), "\"Connection to target established\"");
    Clock::time_point start = Clock::now();
    Click(Control(updater, IDC_START));
    status = WaitForStatus(updater, "Clear target", "Programming target", 10000);
    Check(!status.empty(), "a job name shows after Start");
    Check(IsWindowVisible(Control(updater, IDC_CANCEL)) && !IsWindowVisible(Control(updater, IDC_START)) &&
              !IsWindowEnabled(Control(updater, IDC_PORT)),
          "while it runs: Cancel shown, Start hidden, the port list disabled");
    bool sawPercent = false;
    std::string result;
    Clock::time_point limit = Clock::now() + std::chrono::seconds(300);
    while (Clock::now() < limit) {
        std::string now = Status(updater);
        if (now == "Programming target" && IsWindowVisible(Control(updater, IDC_PROGRESS))) {
            std::string percent = Text(Control(updater, IDC_PERCENT));
            int value = std::atoi(percent.c_str());
            if (value > 0 && value < 100 && percent.back() == '%' &&
                SendMessageA(Control(updater, IDC_PROGRESS), PBM_GETPOS, 0, 0) > 0)
                sawPercent = true;
        }
        if (now == "Target updated successfully" || now == "Target not updated successfully") {
            result = now;
            break;
        }
        if (WaitForSingleObject(updater.Process.hProcess, 0) == WAIT_OBJECT_0)
            break;
        Sleep(20);
    }
    *pSeconds = Seconds(start);
    Check(sawPercent, "the percentage and the bar moved while programming");
    Check(Text(Control(updater, IDC_CANCEL)) == "Ok" && IsWindowVisible(Control(updater, IDC_CANCEL)),
          "the button reads Ok at the end");
    return result;
}

int CaseUpdate(const char* exe, const char* expected) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    updater.hDialog = FindProcessWindow(updater, "#32770", TITLE, 30000);
    Check(updater.hDialog != nullptr, "the window \"TQ330 Updater  V03.11\" appears");
    if (!updater.hDialog)
        return 1;
    CheckWindow(updater);
    double seconds = 0;
    std::string result = RunUpdateToEnd(updater, &seconds);
    std::printf("final status \"%s\" after %.3f s\n", result.c_str(), seconds);
    Check(result == expected, expected);
    Sleep(2000);
    Check(Status(updater) == expected && IsWindowVisible(Control(updater, IDC_STATUS)),
          "the result still shows 2 s later");
    Click(Control(updater, IDC_CANCEL));
    long code = WaitForEnd(updater, 5000);
    Check(code == 0, "Ok ends the program with exit code 0");
    if (code < 0)
        TerminateProcess(updater.Process.hProcess, 1);
    return Failures ? 1 : 0;
}

// Closes the window while a job runs: during the clear (the simulator takes long to erase) the
// worker waits for the device; during the programming it also waits in sent progress messages. The
// program must end within 3 s either way, without waiting for the job.
int CaseCloseDuringJob(const char* exe, const char* job, bool escape) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    updater.hDialog = FindProcessWindow(updater, "#32770", TITLE, 30000);
    Check(updater.hDialog != nullptr, "the window appears");
    if (!updater.hDialog)
        return 1;
    Check(!WaitForStatus(updater, "Connection to target established", nullptr, 20000).empty(), "connected");
    Click(Control(updater, IDC_START));
    Check(!WaitForStatus(updater, job, nullptr, 20000).empty(), job);
    // Programming: once the bar moves, the worker is sending it progress.
    for (int i = 0; i < 1000 && SendMessageA(Control(updater, IDC_PROGRESS), PBM_GETPOS, 0, 0) == 0; i++)
        Sleep(10);
    Sleep(500);
    Clock::time_point start = Clock::now();
    if (escape) {
        // The key goes to the control with the focus (Cancel), as a key press does.
        HWND hFocus = Control(updater, IDC_CANCEL);
        PostMessageA(hFocus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(hFocus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        // What the close box and the window menu's Close send.
        PostMessageA(updater.hDialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    while (IsWindow(updater.hDialog) && Seconds(start) < 3)
        Sleep(5);
    std::printf("the window went %.2f s after the %s\n", Seconds(start), escape ? "Escape key" : "close");
    long code = WaitForEnd(updater, 3000);
    std::printf("the program ended %.2f s after the %s\n", Seconds(start), escape ? "Escape key" : "close");
    Check(code == 0, "it ends within 3 s with exit code 0");
    if (code < 0)
        TerminateProcess(updater.Process.hProcess, 1);
    return Failures ? 1 : 0;
}

// For the screenshot: the window while it programs, held there (the simulator paces the line) until
// the file named by the third argument exists; then the close box.
int CaseHold(const char* exe, const char* releaseFile) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    updater.hDialog = FindProcessWindow(updater, "#32770", TITLE, 30000);
    if (!updater.hDialog ||
        WaitForStatus(updater, "Connection to target established", nullptr, 20000).empty())
        return 1;
    Click(Control(updater, IDC_START));
    Clock::time_point start = Clock::now();
    // The percentage keeps the clear's 50% until the first block is out: wait for the bar to move.
    while (Seconds(start) < 120 && (Status(updater) != "Programming target" ||
                                    SendMessageA(Control(updater, IDC_PROGRESS), PBM_GETPOS, 0, 0) == 0 ||
                                    std::atoi(Text(Control(updater, IDC_PERCENT)).c_str()) < 37))
        Sleep(20);
    RECT rect{};
    GetWindowRect(updater.hDialog, &rect);
    std::printf("percent %s position %ld\n", Text(Control(updater, IDC_PERCENT)).c_str(),
                static_cast<long>(SendMessageA(Control(updater, IDC_PROGRESS), PBM_GETPOS, 0, 0)));
    std::printf("window %ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
                rect.top);
    while (GetFileAttributesA(releaseFile) == INVALID_FILE_ATTRIBUTES && Seconds(start) < 180)
        Sleep(50);
    PostMessageA(updater.hDialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return WaitForEnd(updater, 5000) == 0 ? 0 : 1;
}

// For the update figure: Start pressed as soon as the target is connected, the final status timed.
int CaseTime(const char* exe) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    updater.hDialog = FindProcessWindow(updater, "#32770", TITLE, 30000);
    if (!updater.hDialog ||
        WaitForStatus(updater, "Connection to target established", nullptr, 20000).empty())
        return 1;
    Clock::time_point start = Clock::now();
    Click(Control(updater, IDC_START));
    std::string result;
    while (Seconds(start) < 600 && result.empty()) {
        std::string now = Status(updater);
        if (now == "Target updated successfully" || now == "Target not updated successfully")
            result = now;
        else
            Sleep(5);
    }
    std::printf("final status \"%s\" after %.3f s\n", result.c_str(), Seconds(start));
    Click(Control(updater, IDC_CANCEL));
    return WaitForEnd(updater, 5000) == 0 && result == "Target updated successfully" ? 0 : 1;
}

// For the idle figures: the window left alone for the given seconds, then the close box.
int CaseIdle(const char* exe, int seconds) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    updater.hDialog = FindProcessWindow(updater, "#32770", TITLE, 30000);
    if (!updater.hDialog)
        return 1;
    std::printf("window shown\n");
    Sleep(seconds * 1000);
    PostMessageA(updater.hDialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return WaitForEnd(updater, 5000) == 0 ? 0 : 1;
}

BOOL CALLBACK FindBoxText(HWND hChild, LPARAM lParam) {
    auto* pTexts = reinterpret_cast<std::string*>(lParam);
    char acClass[32] = {};
    GetClassNameA(hChild, acClass, sizeof acClass);
    if (_stricmp(acClass, "Static") != 0)
        return TRUE;
    if ((GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        if (SendMessageA(hChild, STM_GETICON, 0, 0))
            pTexts[1] = "icon";
    } else if (!Text(hChild).empty()) {
        pTexts[0] = Text(hChild);
    }
    return TRUE;
}

// No COM port: the "Error" box with the warning icon, no dialog; closing it ends the program.
int CaseNoPort(const char* exe) {
    Updater updater;
    if (!Launch(exe, &updater))
        return 1;
    HWND hBox = FindProcessWindow(updater, "#32770", "Error", 30000);
    Check(hBox != nullptr, "the \"Error\" box appears");
    if (!hBox)
        return 1;
    std::string texts[2];
    EnumChildWindows(hBox, FindBoxText, reinterpret_cast<LPARAM>(texts));
    std::printf("box text \"%s\"\n", texts[0].c_str());
    Check(texts[0] == "No COM port detected. Application can not be executed!", "the box's text");
    Check(texts[1] == "icon", "the box shows an icon (the warning)");
    Check(GetWindow(hBox, GW_OWNER) == nullptr, "the box has no owner");
    Check(FindWindowA(nullptr, TITLE) == nullptr, "no main window");
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    long code = WaitForEnd(updater, 5000);
    Check(code == 0, "closing the box ends the program with exit code 0");
    if (code < 0)
        TerminateProcess(updater.Process.hProcess, 1);
    return Failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 4 && std::string(argv[1]) == "hold")
        return CaseHold(argv[2], argv[3]);
    if (argc == 3 && std::string(argv[1]) == "time")
        return CaseTime(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "idle")
        return CaseIdle(argv[2], std::atoi(argv[3]));
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: win32_drive update|reject|close-clear|escape-clear|close-program|noport|replug-idle|\n"
            "                   replug-update UPDATER.EXE\n");
        return 2;
    }
    std::string what = argv[1];
    int result = 2;
    if (what == "update")
        result = CaseUpdate(argv[2], "Target updated successfully");
    else if (what == "reject")
        result = CaseUpdate(argv[2], "Target not updated successfully");
    else if (what == "close-clear")
        result = CaseCloseDuringJob(argv[2], "Clear target", false);
    else if (what == "escape-clear")
        result = CaseCloseDuringJob(argv[2], "Clear target", true);
    else if (what == "close-program")
        result = CaseCloseDuringJob(argv[2], "Programming target", false);
    else if (what == "noport")
        result = CaseNoPort(argv[2]);
    else if (what == "replug-idle")
        result = CaseReplugIdle(argv[2]);
    else if (what == "replug-update")
        result = CaseReplugUpdate(argv[2]);
    std::printf("%s %s\n", result == 0 ? "PASSED" : "FAILED", what.c_str());
    return result;
}
