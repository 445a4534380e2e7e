#include "e2e_harness.h"

#include "app/app.h"
#include "tests/sim/sim_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TQ330_UPDATER_PATH
#error "TQ330_UPDATER_PATH must name the driven updater"
#endif

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

bool Updater_Start(const std::string& port, const std::vector<std::string>& switches, UpdaterChild* pChild) {
    int aOut[2], aIn[2];
    if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aIn, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(aOut[1], 1);
        dup2(aIn[0], 0);
        setenv("TQ330_PORTS", port.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (const std::string& s : switches)
            putenv(strdup(s.c_str()));
        execl(TQ330_UPDATER_PATH, TQ330_UPDATER_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(aOut[1]);
    close(aIn[0]);
    if (pid < 0) {
        close(aOut[0]);
        close(aIn[1]);
        return false;
    }
    *pChild = UpdaterChild{pid, aIn[1], aOut[0], ""};
    return true;
}

int Updater_ReadLine(UpdaterChild* pChild, int timeoutMs, std::string* pLine) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = pChild->Pending.find('\n');
        if (end != std::string::npos) {
            *pLine = pChild->Pending.substr(0, end);
            pChild->Pending.erase(0, end + 1);
            return 1;
        }
        pollfd p{pChild->Out, POLLIN, 0};
        int r = poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        char acBuffer[4096];
        ssize_t n = read(pChild->Out, acBuffer, sizeof acBuffer);
        if (n <= 0)
            return 0;
        pChild->Pending.append(acBuffer, static_cast<size_t>(n));
    }
}

bool Updater_WaitFor(UpdaterChild* pChild, const std::string& prefix, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (Updater_ReadLine(pChild, MsLeft(deadline), &line) == 1)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

void Updater_Close(UpdaterChild* pChild) {
    [[maybe_unused]] ssize_t n = write(pChild->In, "close\n", 6);
}

int Updater_Wait(UpdaterChild* pChild, int timeoutMs, bool* pTimedOut) {
    if (pChild->Pid < 0)
        return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    bool timedOut = false;
    while (waitpid(pChild->Pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            timedOut = true;
            kill(pChild->Pid, SIGKILL);
            waitpid(pChild->Pid, &status, 0);
            break;
        }
        usleep(5000);
    }
    if (pTimedOut != nullptr)
        *pTimedOut = timedOut;
    close(pChild->In);
    close(pChild->Out);
    pChild->Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double Updater_CpuSeconds(const UpdaterChild& child) {
    char acPath[64];
    std::snprintf(acPath, sizeof acPath, "/proc/%d/stat", child.Pid);
    FILE* pFile = std::fopen(acPath, "r");
    if (pFile == nullptr)
        return -1;
    char acStat[1024] = {};
    size_t n = std::fread(acStat, 1, sizeof acStat - 1, pFile);
    std::fclose(pFile);
    acStat[n] = '\0';
    // After "(comm)": state, then fields 4 to 13, then utime and stime (fields 14 and 15).
    const char* p = std::strrchr(acStat, ')');
    unsigned long utime = 0, stime = 0;
    if (p == nullptr ||
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The flash the simulator must hold after a good update: the image's bytes, 0xFF elsewhere.
const std::vector<uint8_t>& ExpectedFlash() {
    static std::vector<uint8_t> flash;
    if (flash.empty()) {
        EXPECT_EQ(APP_LoadImage(), 0);
        flash = Sim_FlashOf(pProgramImage);
    }
    return flash;
}

std::string FinalLine(const std::string& status) {
    return "final status=\"" + status + "\" status_visible=1 start_visible=0 port_enabled=0 button=\"Ok\"\n";
}
