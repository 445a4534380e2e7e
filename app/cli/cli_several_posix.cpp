// Several ports on POSIX: fork and exec this program once per port, in a process group of its own
// (so that the terminal's Ctrl-C reaches only the parent, which passes each press on once), and
// read each child's JSON events from a pipe.
#include "app/cli/cli_several.h"

#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t Presses = 0;

void OnSignal(int) {
    Presses = Presses + 1;
}

struct Child {
    pid_t Pid = -1;
    int Fd = -1;
    std::string Pending; // a line not yet complete
};

struct Line {
    size_t Child;
    std::string Text;
    bool Ended;
};

std::vector<Child> Children;
std::deque<Line> Ready; // read, not yet handed out
int Forwarded = 0;

pid_t StartChild(const char* self, const std::vector<std::string>& args, int* pFd) {
    int aPipe[2];
    if (pipe(aPipe) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(aPipe[1], 1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2);
        close(aPipe[0]);
        close(aPipe[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(self));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        execvp(self, argv.data());
        _exit(127);
    }
    close(aPipe[1]);
    if (pid < 0) {
        close(aPipe[0]);
        return -1;
    }
    *pFd = aPipe[0];
    return pid;
}

void Close(size_t index) {
    close(Children[index].Fd);
    Children[index].Fd = -1;
    Ready.push_back({index, "", true});
}

// Reads what the children have written within timeoutMs into Ready.
void ReadChildren(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    for (size_t i = 0; i < Children.size(); ++i)
        if (Children[i].Fd >= 0) {
            fds.push_back({Children[i].Fd, POLLIN, 0});
            owners.push_back(i);
        }
    if (fds.empty())
        return;
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) { // nothing more can be read: every child's output ends here
        for (size_t owner : owners)
            Close(owner);
        return;
    }
    for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
        if (fds[k].revents == 0)
            continue;
        Child& c = Children[owners[k]];
        char acBuffer[4096];
        ssize_t n = read(c.Fd, acBuffer, sizeof acBuffer);
        if (n <= 0) {
            Close(owners[k]);
            continue;
        }
        c.Pending.append(acBuffer, static_cast<size_t>(n));
        size_t newline;
        while ((newline = c.Pending.find('\n')) != std::string::npos) {
            Ready.push_back({owners[k], c.Pending.substr(0, newline), false});
            c.Pending.erase(0, newline + 1);
        }
    }
}

} // namespace

void SEV_Begin() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool SEV_StartChild(size_t index, const char* self, const std::vector<std::string>& args) {
    if (Children.size() <= index)
        Children.resize(index + 1);
    Children[index].Pid = StartChild(self, args, &Children[index].Fd);
    return Children[index].Pid > 0;
}

bool SEV_NextLine(int timeoutMs, size_t* pIndex, std::string* pLine, bool* pEnded) {
    // Each press goes to every child once: the first cancels, the second ends them at once.
    while (Forwarded < Presses) {
        ++Forwarded;
        for (const Child& c : Children)
            if (c.Pid > 0)
                kill(c.Pid, SIGINT);
    }
    if (Ready.empty())
        ReadChildren(timeoutMs);
    if (Ready.empty())
        return false;
    *pIndex = Ready.front().Child;
    *pLine = std::move(Ready.front().Text);
    *pEnded = Ready.front().Ended;
    Ready.pop_front();
    return true;
}

int SEV_WaitChild(size_t index) {
    int status = 0;
    while (waitpid(Children[index].Pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WTERMSIG(status) == SIGINT ? EXIT_INTERRUPTED : EXIT_NOT_UPDATED;
}
