// Several ports on POSIX: fork and exec this program once per port, in a process group of its own
// (so that the terminal's Ctrl-C reaches only the parent, which passes each press on once), and
// read each child's JSON events from a pipe.
#include "app/cli/cli_output.h"
#include "app/cli/cli_several.h"
#include "app/cli/cli_several_view.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

} // namespace

int CLI_RunSeveral(const CliOptions& options, const char* self) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const bool terminal = isatty(2) != 0 && !options.Quiet;
    std::vector<Child> children(options.Ports.size());
    std::vector<PortView> views(options.Ports.size());
    for (size_t i = 0; i < options.Ports.size(); ++i) {
        views[i].Port = options.Ports[i];
        children[i].Pid = StartChild(self, CLI_ChildArguments(options, options.Ports[i]), &children[i].Fd);
        if (children[i].Pid < 0) {
            views[i].Result = "not started";
            views[i].ExitCode = EXIT_PORT;
        }
    }
    VIEW_Draw(views, terminal, false);
    int forwarded = 0;
    double lastDraw = 0;
    bool dirty = false;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> owners;
        for (size_t i = 0; i < children.size(); ++i)
            if (children[i].Fd >= 0) {
                fds.push_back({children[i].Fd, POLLIN, 0});
                owners.push_back(i);
            }
        if (fds.empty())
            break;
        // Each press goes to every child once: the first cancels, the second ends them at once.
        while (forwarded < Presses) {
            ++forwarded;
            for (const Child& c : children)
                if (c.Pid > 0)
                    kill(c.Pid, SIGINT);
        }
        int ready = poll(fds.data(), fds.size(), 200);
        if (ready < 0 && errno != EINTR)
            break;
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            Child& c = children[owners[k]];
            PortView& view = views[owners[k]];
            char acBuffer[4096];
            ssize_t n = read(c.Fd, acBuffer, sizeof acBuffer);
            if (n <= 0) {
                close(c.Fd);
                c.Fd = -1;
                continue;
            }
            c.Pending.append(acBuffer, static_cast<size_t>(n));
            size_t newline;
            while ((newline = c.Pending.find('\n')) != std::string::npos) {
                std::string line = c.Pending.substr(0, newline);
                c.Pending.erase(0, newline + 1);
                if (VIEW_TakeChildLine(view, line, options.Json, !terminal && !options.Quiet))
                    dirty = true;
            }
        }
        if (terminal && dirty && OUT_Now() - lastDraw >= 0.2) {
            VIEW_Draw(views, terminal, true);
            lastDraw = OUT_Now();
            dirty = false;
        }
    }
    int worst = 0;
    for (size_t i = 0; i < children.size(); ++i) {
        if (children[i].Pid <= 0)
            continue;
        int status = 0;
        while (waitpid(children[i].Pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status))
            views[i].ExitCode = WEXITSTATUS(status);
        else
            views[i].ExitCode = WTERMSIG(status) == SIGINT ? EXIT_INTERRUPTED : EXIT_NOT_UPDATED;
        if (views[i].Result.empty())
            views[i].Result = "ended";
    }
    for (const PortView& v : views)
        worst = std::max(worst, v.ExitCode);
    VIEW_Draw(views, terminal, true);
    VIEW_Summary(views);
    return worst;
}
