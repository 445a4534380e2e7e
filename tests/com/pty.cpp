#include "pty.h"

#include "link/com.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

Pty Pty_Open() {
    Pty pty;
    pty.Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(pty.Master, 0);
    EXPECT_EQ(grantpt(pty.Master), 0);
    EXPECT_EQ(unlockpt(pty.Master), 0);
    const char* pName = ptsname(pty.Master);
    EXPECT_NE(pName, nullptr);
    pty.SlavePath = pName ? pName : "";
    return pty;
}

void Pty_Close(Pty& pty) {
    if (pty.Master >= 0)
        close(pty.Master);
    pty.Master = -1;
}

void Pty_Write(const Pty& pty, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(pty.Master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> Pty_Read(const Pty& pty, size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{pty.Master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        uint8_t acBuffer[4096];
        ssize_t n = read(pty.Master, acBuffer, sizeof acBuffer);
        if (n > 0)
            got.insert(got.end(), acBuffer, acBuffer + n);
        else if (!(n < 0 && (errno == EINTR || errno == EAGAIN)))
            break;
    }
    return got;
}

void Com_UsePorts(const std::vector<std::string>& paths) {
    std::string value;
    for (size_t i = 0; i < paths.size(); ++i)
        value += (i ? ":" : "") + paths[i];
    setenv("TQ330_PORTS", value.c_str(), 1);
    COM_ResetPortTable();
}

PortSettings Com_DialogSettings(uint8_t index) {
    return PortSettings{57600, index, 8, 1, 0};
}

int64_t Com_ElapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count();
}
