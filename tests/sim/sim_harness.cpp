#include "sim_harness.h"

#include "link/frame.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef TQ330_SIM_PATH
#error "TQ330_SIM_PATH must name the tq330-sim binary"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Spawns the simulator with its standard output (and optionally error) on pipes.
int Spawn(const std::vector<std::string>& args, int* pOutFd, int* pErrFd) {
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return -1;
    if (pErrFd != nullptr && pipe2(errPipe, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (pErrFd != nullptr)
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<std::string> copies = Sim_Command(TQ330_SIM_PATH);
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    if (pErrFd != nullptr)
        close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        if (pErrFd != nullptr)
            close(errPipe[0]);
        return -1;
    }
    *pOutFd = outPipe[0];
    if (pErrFd != nullptr)
        *pErrFd = errPipe[0];
    return pid;
}

int WaitExit(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string ReadAll(int fd) {
    std::string text;
    char acChunk[4096];
    ssize_t n;
    while ((n = read(fd, acChunk, sizeof acChunk)) > 0)
        text.append(acChunk, static_cast<size_t>(n));
    return text;
}

// One line of the simulator's output, read byte by byte so that nothing behind it is taken.
bool ReadLine(int fd, int timeoutMs, std::string* pLine) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        pollfd entry = {fd, POLLIN, 0};
        char c;
        if (poll(&entry, 1, MsLeft(deadline)) <= 0 || read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            break;
        line.push_back(c);
    }
    *pLine = line;
    return true;
}

} // namespace

std::vector<std::string> Sim_Command(const std::string& program) {
    std::vector<std::string> command;
#ifdef TQ330_TEST_EMULATOR
    // The build's list, one entry per '|'-separated field.
    const std::string emulator = TQ330_TEST_EMULATOR;
    for (size_t at = 0; at <= emulator.size();) {
        const size_t end = std::min(emulator.find('|', at), emulator.size());
        command.push_back(emulator.substr(at, end - at));
        at = end + 1;
    }
#endif
    command.push_back(program);
    return command;
}

bool Sim_Start(const std::vector<std::string>& args, SimChild* pChild) {
    int outFd = -1;
    int pid = Spawn(args, &outFd, nullptr);
    if (pid < 0)
        return false;
    std::string line;
    if (!ReadLine(outFd, 5000, &line)) {
        kill(pid, SIGKILL);
        WaitExit(pid);
        close(outFd);
        return false;
    }
    pChild->Pid = pid;
    pChild->OutFd = outFd;
    pChild->Device = line;
    pChild->Link.clear();
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--link")
            pChild->Link = args[i + 1];
    return true;
}

bool Sim_NextDevice(SimChild* pChild, int timeoutMs) {
    std::string line;
    if (pChild->OutFd < 0 || !ReadLine(pChild->OutFd, timeoutMs, &line))
        return false;
    pChild->Device = line;
    return true;
}

int Sim_Stop(SimChild* pChild, int signal) {
    if (pChild->Pid < 0)
        return -1;
    kill(pChild->Pid, signal);
    int code = WaitExit(pChild->Pid);
    close(pChild->OutFd);
    pChild->Pid = -1;
    pChild->OutFd = -1;
    return code;
}

int Sim_RunToEnd(const std::vector<std::string>& args, std::string* pOut, std::string* pErr) {
    int outFd = -1;
    int errFd = -1;
    int pid = Spawn(args, &outFd, &errFd);
    if (pid < 0)
        return -1;
    // Small texts: reading one pipe to its end before the other cannot fill the second.
    *pOut = ReadAll(outFd);
    *pErr = ReadAll(errFd);
    close(outFd);
    close(errFd);
    return WaitExit(pid);
}

int Sim_OpenRaw(const std::string& device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

size_t Sim_Read(int fd, uint8_t* pData, size_t count, int timeoutMs) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < count) {
        ssize_t n = read(fd, pData + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        pollfd entry = {fd, POLLIN, 0};
        int left = MsLeft(deadline);
        if (left == 0 || poll(&entry, 1, left) <= 0)
            break;
    }
    return done;
}

bool Sim_Write(int fd, const uint8_t* pData, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, pData + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd entry = {fd, POLLOUT, 0};
            poll(&entry, 1, 1000);
        }
    }
    return true;
}

void Sim_SendFrame(int fd, uint8_t command, const uint8_t* pData, uint8_t length) {
    uint8_t acFrame[FRAME_BUFFER_SIZE];
    size_t size = Frame_Build(acFrame, command, pData, length);
    Sim_Write(fd, acFrame, size);
}

bool Sim_ReadFrame(int fd, SimFrame* pFrame, int timeoutMs, int firstByte) {
    uint8_t acHeader[7];
    size_t have = 0;
    if (firstByte >= 0)
        acHeader[have++] = static_cast<uint8_t>(firstByte);
    if (Sim_Read(fd, acHeader + have, 7 - have, timeoutMs) != 7 - have || acHeader[0] != FRAME_START)
        return false;
    uint8_t length = acHeader[1];
    std::vector<uint8_t> rest(length + 2u);
    if (Sim_Read(fd, rest.data(), rest.size(), timeoutMs) != rest.size())
        return false;
    pFrame->Command = acHeader[6];
    pFrame->Data.assign(rest.begin(), rest.begin() + length);
    pFrame->Checksum = rest[length];
    uint8_t sum = static_cast<uint8_t>(acHeader[4] + acHeader[6]);
    for (uint8_t b : pFrame->Data)
        sum = static_cast<uint8_t>(sum + b);
    pFrame->Intact = acHeader[2] == length && acHeader[3] == FRAME_START && sum == pFrame->Checksum &&
                     rest[length + 1u] == FRAME_END;
    return true;
}

namespace {
std::vector<std::string> tempDirs; // removed when the test process ends

void RemoveTempDirs() {
    std::error_code ignored;
    for (const std::string& dir : tempDirs)
        std::filesystem::remove_all(dir, ignored);
}
} // namespace

std::string Sim_TempDir() {
    const char* pBase = getenv("TMPDIR");
    std::string pattern = std::string(pBase != nullptr ? pBase : "/tmp") + "/tq330-sim-XXXXXX";
    std::vector<char> acPath(pattern.begin(), pattern.end());
    acPath.push_back('\0');
    if (mkdtemp(acPath.data()) == nullptr)
        return std::string();
    if (tempDirs.empty())
        std::atexit(RemoveTempDirs);
    tempDirs.emplace_back(acPath.data());
    return tempDirs.back();
}

std::vector<uint8_t> Sim_ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Sim_ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}
