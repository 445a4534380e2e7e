// A serial port that exists but refuses the user (on Linux: not in the group owning serial ports)
// must be named, not silently left out. Root opens anything, so the refusal is played by a child
// process that drops to the unprivileged user "nobody" in front of a port only root may open.
#include "pty.h"

#include "link/com.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t NOBODY = 65534;

// Runs `body` in a child process without the right to open `deniedPath`; returns what the body
// wrote, or a line starting with "skip:" when the test cannot take privileges away here.
std::string RunRefused(const std::string& deniedPath, std::string (*body)(const std::string&)) {
    int aPipe[2];
    if (pipe(aPipe) != 0)
        return "skip: no pipe";
    if (geteuid() == 0) {
        if (chmod(deniedPath.c_str(), 0600) != 0)
            return "skip: chmod failed";
    } else if (chmod(deniedPath.c_str(), 0) != 0) {
        return "skip: chmod failed";
    }
    pid_t pid = fork();
    if (pid < 0)
        return "skip: fork failed";
    if (pid == 0) {
        close(aPipe[0]);
        std::string out;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
            out = std::string("skip: cannot drop to uid 65534 (") + strerror(errno) + ")";
        else
            out = body(deniedPath);
        ssize_t written = write(aPipe[1], out.data(), out.size());
        _exit(written == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(aPipe[1]);
    std::string got;
    char acBuffer[512];
    ssize_t n;
    while ((n = read(aPipe[0], acBuffer, sizeof acBuffer)) > 0)
        got.append(acBuffer, static_cast<size_t>(n));
    close(aPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        got += " [child failed]";
    return got;
}

// The child's findings as one text, so that the parent compares all of them at once.
std::string DetectWithRefusedFirst(const std::string& denied) {
    Pty usable = Pty_Open(); // made by the unprivileged user, so it may open it
    Com_UsePorts({denied, usable.SlavePath, "/nonexistent/ttyUSB9"});
    int32_t aPorts[COM_PORT_COUNT] = {};
    int32_t count = COM_DetectPorts(aPorts);
    std::string out = "count=" + std::to_string(count) + " first=" + std::to_string(aPorts[0]) +
                      " device=" + COM_PermissionDeniedDevice() + "\n" + COM_PermissionDeniedText() + "\n";
    COM_ResetPortTable();
    out += std::string("after reset=[") + COM_PermissionDeniedDevice() + "][" + COM_PermissionDeniedText() +
           "]\n";
    // The dialog's own open of the refused port (a port chosen before detection changed) names it too.
    Com_UsePorts({denied});
    COM_ChangeSettings(Com_DialogSettings(0));
    out += std::string("open ready=") + (_CheckCOM() == 0 ? "yes" : "no") +
           " device=" + COM_PermissionDeniedDevice();
    COM_ResetPortTable();
    Pty_Close(usable);
    return out;
}

} // namespace

TEST(ComPermission, RefusedPortIsNamedWithTheGroupToJoin) {
    Pty refused = Pty_Open();
    std::string got = RunRefused(refused.SlavePath, DetectWithRefusedFirst);
    Pty_Close(refused);
    if (got.rfind("skip:", 0) == 0)
        GTEST_SKIP() << got;
    const std::string& d = refused.SlavePath;
    EXPECT_EQ(got, "count=1 first=1 device=" + d + "\npermission denied on " + d +
                       ": add yourself to the dialout group and log in again\n"
                       "after reset=[][]\n"
                       "open ready=no device=" +
                       d);
}

TEST(ComPermission, AbsentAndUsablePortsNameNothing) {
    Pty usable = Pty_Open();
    Com_UsePorts({"/nonexistent/ttyUSB0", usable.SlavePath});
    int32_t aPorts[COM_PORT_COUNT] = {};
    EXPECT_EQ(COM_DetectPorts(aPorts), 1);
    EXPECT_STREQ(COM_PermissionDeniedDevice(), "");
    EXPECT_STREQ(COM_PermissionDeniedText(), "");
    COM_ResetPortTable();
    Pty_Close(usable);
}
