// Several ports on Windows: CreateProcess this program once per port with its standard output on a
// pipe; a thread per child reads the pipe. The console gives every process Ctrl-C itself, so each
// child cancels (and ends on the second press) on its own while the parent keeps collecting.
#include "app/cli/cli_child_win32.h"
#include "app/cli/cli_output.h"
#include "app/cli/cli_several.h"
#include "app/cli/cli_several_view.h"
#include "platform/win32.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <io.h>
#include <mutex>
#include <thread>

namespace {

struct Event {
    size_t Child;
    std::string Line; // empty: the child's pipe closed
};

std::mutex EventLock;
std::condition_variable EventReady;
std::deque<Event> Events;

void Push(size_t child, std::string line) {
    std::lock_guard<std::mutex> guard(EventLock);
    Events.push_back({child, std::move(line)});
    EventReady.notify_one();
}

void ReadChild(size_t child, HANDLE pipe) {
    std::string pending;
    char acBuffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, acBuffer, sizeof acBuffer, &n, nullptr) && n > 0) {
        pending.append(acBuffer, n);
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                Push(child, line);
        }
    }
    CloseHandle(pipe);
    Push(child, "");
}

BOOL WINAPI KeepCollecting(DWORD) {
    return TRUE;
}

HANDLE StartChild(const std::vector<std::string>& args, HANDLE* pRead) {
    char acSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, acSelf, MAX_PATH);
    std::string command = CLI_QuoteArgument(acSelf);
    for (const std::string& a : args)
        command += " " + CLI_QuoteArgument(a);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0))
        return nullptr;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write;
    startup.hStdError = null;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(acSelf, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(write);
    if (null != INVALID_HANDLE_VALUE)
        CloseHandle(null);
    if (!started) {
        CloseHandle(read);
        return nullptr;
    }
    CloseHandle(process.hThread);
    *pRead = read;
    return process.hProcess;
}

} // namespace

int CLI_RunSeveral(const CliOptions& options, const char*) {
    SetConsoleCtrlHandler(KeepCollecting, TRUE);
    const bool terminal = _isatty(_fileno(stderr)) != 0 && !options.Quiet;
    std::vector<HANDLE> processes(options.Ports.size(), nullptr);
    std::vector<PortView> views(options.Ports.size());
    size_t open = 0;
    for (size_t i = 0; i < options.Ports.size(); ++i) {
        views[i].Port = options.Ports[i];
        HANDLE read = nullptr;
        processes[i] = StartChild(CLI_ChildArguments(options, options.Ports[i]), &read);
        if (processes[i] == nullptr) {
            views[i].Result = "not started";
            views[i].ExitCode = EXIT_PORT;
            continue;
        }
        ++open;
        std::thread(ReadChild, i, read).detach();
    }
    VIEW_Draw(views, terminal, false);
    double lastDraw = 0;
    while (open > 0) {
        Event event;
        {
            std::unique_lock<std::mutex> guard(EventLock);
            EventReady.wait(guard, [] { return !Events.empty(); });
            event = Events.front();
            Events.pop_front();
        }
        PortView& view = views[event.Child];
        if (event.Line.empty()) {
            --open;
            continue;
        }
        if (!VIEW_TakeChildLine(view, event.Line, options.Json, !terminal && !options.Quiet))
            continue;
        if (terminal && OUT_Now() - lastDraw >= 0.2) {
            VIEW_Draw(views, terminal, true);
            lastDraw = OUT_Now();
        }
    }
    int worst = 0;
    for (size_t i = 0; i < processes.size(); ++i) {
        if (processes[i] == nullptr)
            continue;
        WaitForSingleObject(processes[i], INFINITE);
        DWORD code = EXIT_NOT_UPDATED;
        GetExitCodeProcess(processes[i], &code);
        CloseHandle(processes[i]);
        views[i].ExitCode = CLI_ChildExitCode(code);
        if (views[i].Result.empty())
            views[i].Result = "ended";
    }
    for (const PortView& v : views)
        worst = std::max(worst, v.ExitCode);
    VIEW_Draw(views, terminal, true);
    VIEW_Summary(views);
    return worst;
}
