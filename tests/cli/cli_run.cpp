#include "cli_run.h"

#include "tests/sim/sim_harness.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The command that starts tq330-flash. Under an emulator its several-port mode re-executes itself,
// which the kernel refuses for a foreign program without binfmt registration; the program then
// starts its argv[0] instead. So argv[0] is a host script that runs the program under the
// emulator again (qemu-user's -0 sets argv[0]); without an emulator the program runs as it is.
std::vector<std::string> ProgramCommand(const std::string& program) {
    std::vector<std::string> command = Sim_Command(program);
    // Only tq330-flash re-executes itself; any other program runs under the emulator as it is.
    if (command.size() == 1 || program != TQ330_FLASH_PATH)
        return command;
    static const std::string script = [&command] {
        std::string text = "#!/bin/sh\nexec";
        for (size_t i = 0; i + 1 < command.size(); ++i)
            text += " '" + command[i] + "'";
        text += " -0 \"$0\" '" + command.back() + "' \"$@\"\n";
        std::string path = WriteTempFile("tq330-flash", text);
        chmod(path.c_str(), 0755);
        return path;
    }();
    command.insert(command.end() - 1, {"-0", script});
    return command;
}

int Running = -1;

} // namespace

int RunningPid() {
    return Running;
}

std::vector<int> ChildrenOf(int pid) {
    std::vector<int> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::ifstream file(entry.path() / "stat");
        std::string stat;
        std::getline(file, stat);
        // pid (comm) state ppid ...: the name may hold spaces and parentheses, the last ')' ends it.
        size_t end = stat.rfind(')');
        int ppid = -1;
        if (end != std::string::npos && std::sscanf(stat.c_str() + end + 1, " %*c %d", &ppid) == 1 &&
            ppid == pid)
            children.push_back(std::atoi(entry.path().filename().c_str()));
    }
    return children;
}

FlashRun RunFlash(const std::vector<std::string>& args, int timeoutSec, const std::string& ports,
                  std::function<bool(const std::string& out)> interruptWhen, bool secondInterrupt,
                  bool unprivileged) {
    RunHow how;
    how.SecondInterrupt = secondInterrupt;
    if (unprivileged && geteuid() == 0)
        how.InChild = [] { RunAsNobody(126); };
    return RunProgram(how, args, timeoutSec, ports, std::move(interruptWhen));
}

void RunAsNobody(int failCode) {
    const gid_t NOBODY = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
        _exit(failCode);
}

FlashRun RunProgram(const RunHow& how, const std::vector<std::string>& args, int timeoutSec,
                    const std::string& ports, std::function<bool(const std::string& out)> interruptWhen) {
    FlashRun run;
    int aOut[2], aErr[2];
    if (pipe(aOut) != 0 || pipe(aErr) != 0)
        return run;
    std::vector<std::string> command = ProgramCommand(how.Program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(aOut[1], 1);
        dup2(aErr[1], 2);
        close(aOut[0]), close(aOut[1]), close(aErr[0]), close(aErr[1]);
        if (ports.empty())
            unsetenv("TQ330_PORTS");
        else
            setenv("TQ330_PORTS", ports.c_str(), 1);
        if (how.InChild)
            how.InChild();
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(aOut[1]);
    close(aErr[1]);
    Running = pid;
    auto deadline = started + std::chrono::seconds(timeoutSec);
    int open = 2;
    int interrupts = 0;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.TimedOut = true;
            // Its children too (the processes of several ports): none is left running.
            for (int child : ChildrenOf(pid))
                kill(child, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        pollfd aPoll[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
        if (poll(aPoll, 2, static_cast<int>(std::min<long long>(left.count(), 200))) < 0)
            continue;
        for (int k = 0; k < 2; ++k) {
            if (aPoll[k].fd < 0 || aPoll[k].revents == 0)
                continue;
            char acBuffer[4096];
            ssize_t n = read(aPoll[k].fd, acBuffer, sizeof acBuffer);
            if (n <= 0) {
                close(k == 0 ? aOut[0] : aErr[0]);
                (k == 0 ? aOut[0] : aErr[0]) = -1;
                --open;
                continue;
            }
            (k == 0 ? run.Out : run.Err).append(acBuffer, static_cast<size_t>(n));
        }
        if (interruptWhen && interrupts == 0 && interruptWhen(run.Out)) {
            kill(pid, how.Signal);
            interrupts = 1;
            if (how.SecondInterrupt) {
                usleep(50 * 1000);
                kill(pid, SIGINT);
                interrupts = 2;
            }
        }
        if (aOut[0] < 0 && aErr[0] < 0)
            break;
    }
    if (aOut[0] >= 0)
        close(aOut[0]);
    if (aErr[0] >= 0)
        close(aErr[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Running = -1;
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    std::string pattern = "\"" + key + "\":";
    size_t at = line.find(pattern);
    if (at == std::string::npos)
        return "";
    at += pattern.size();
    if (line[at] == '"') {
        size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    return line.substr(at, line.find_first_of(",}", at) - at);
}

std::vector<std::string> Events(const std::string& out, const std::string& event) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(out))
        if (Field(line, "event") == event)
            found.push_back(line);
    return found;
}

namespace {

// A small recursive-descent check of one JSON value.
bool Value(const std::string& s, size_t& i);

void Blank(const std::string& s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
}

bool String(const std::string& s, size_t& i) {
    if (s[i] != '"')
        return false;
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
            if (i >= s.size() || std::string("\"\\/bfnrtu").find(s[i]) == std::string::npos)
                return false;
        } else if (s[i] == '"') {
            ++i;
            return true;
        } else if (static_cast<unsigned char>(s[i]) < 0x20) {
            return false;
        }
    }
    return false;
}

bool Value(const std::string& s, size_t& i) {
    Blank(s, i);
    if (i >= s.size())
        return false;
    if (s[i] == '"')
        return String(s, i);
    if (s.compare(i, 4, "true") == 0 || s.compare(i, 4, "null") == 0) {
        i += 4;
        return true;
    }
    if (s.compare(i, 5, "false") == 0) {
        i += 5;
        return true;
    }
    size_t start = i;
    if (s[i] == '-')
        ++i;
    while (i < s.size() &&
           (isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.' || s[i] == 'e' || s[i] == 'E'))
        ++i;
    return i > start && isdigit(static_cast<unsigned char>(s[i - 1]));
}

} // namespace

bool IsJsonObject(const std::string& s) {
    size_t i = 0;
    if (s.empty() || s[i++] != '{')
        return false;
    for (bool first = true;; first = false) {
        Blank(s, i);
        if (first && i < s.size() && s[i] == '}')
            return i + 1 == s.size();
        if (!String(s, i))
            return false;
        Blank(s, i);
        if (i >= s.size() || s[i++] != ':' || !Value(s, i))
            return false;
        Blank(s, i);
        if (i >= s.size())
            return false;
        if (s[i] == '}')
            return i + 1 == s.size();
        if (s[i++] != ',')
            return false;
    }
}

std::string WriteTempFile(const std::string& name, const std::string& text) {
    std::string path = Sim_TempDir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}
