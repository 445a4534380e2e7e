// Several ports on Windows: CreateProcess this program once per port with its standard output on a
// pipe; a thread per child reads the pipe. The console gives every process Ctrl-C itself, so each
// child cancels (and ends on the second press) on its own while the parent keeps collecting.
#include "app/cli/cli_child_win32.h"
#include "app/cli/cli_several.h"
#include "platform/win32.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct Event {
    size_t Child;
    std::string Line;
    bool Ended; // the child's pipe closed
};

std::mutex EventLock;
std::condition_variable EventReady;
std::deque<Event> Events;
std::vector<HANDLE> Processes;

void Push(size_t child, std::string line, bool ended) {
    std::lock_guard<std::mutex> guard(EventLock);
    Events.push_back({child, std::move(line), ended});
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
            Push(child, pending.substr(0, newline), false);
            pending.erase(0, newline + 1);
        }
    }
    CloseHandle(pipe);
    Push(child, "", true);
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

void SEV_Begin() {
    SetConsoleCtrlHandler(KeepCollecting, TRUE);
}

bool SEV_StartChild(size_t index, const char*, const std::vector<std::string>& args) {
    if (Processes.size() <= index)
        Processes.resize(index + 1, nullptr);
    HANDLE read = nullptr;
    Processes[index] = StartChild(args, &read);
    if (Processes[index] == nullptr)
        return false;
    std::thread(ReadChild, index, read).detach();
    return true;
}

bool SEV_NextLine(int timeoutMs, size_t* pIndex, std::string* pLine, bool* pEnded) {
    std::unique_lock<std::mutex> guard(EventLock);
    if (!EventReady.wait_for(guard, std::chrono::milliseconds(timeoutMs), [] { return !Events.empty(); }))
        return false;
    *pIndex = Events.front().Child;
    *pLine = std::move(Events.front().Line);
    *pEnded = Events.front().Ended;
    Events.pop_front();
    return true;
}

int SEV_WaitChild(size_t index) {
    WaitForSingleObject(Processes[index], INFINITE);
    DWORD code = EXIT_NOT_UPDATED;
    GetExitCodeProcess(Processes[index], &code);
    CloseHandle(Processes[index]);
    Processes[index] = nullptr;
    return CLI_ChildExitCode(code);
}
