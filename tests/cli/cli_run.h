// Runs the real tq330-flash as a child process and collects what it prints.
#pragma once
#include <functional>
#include <string>
#include <vector>

struct FlashRun {
    int ExitCode = -1; // 128 + signal when killed
    std::string Out;   // standard output (the JSON events with --json)
    std::string Err;   // standard error (the human lines)
    bool TimedOut = false;
    double Seconds = 0;
};

// Runs tq330-flash with the arguments (TQ330_PORTS set when ports is not empty). interruptWhen,
// when given, is asked after every read with the output so far; the first time it says yes the
// child gets SIGINT (and a second one if secondInterrupt). unprivileged runs it as the user nobody
// when the test runs as root (a port only root may open then refuses it).
FlashRun RunFlash(const std::vector<std::string>& args, int timeoutSec, const std::string& ports = "",
                  std::function<bool(const std::string& out)> interruptWhen = nullptr,
                  bool secondInterrupt = false, bool unprivileged = false);

// How RunProgram starts its child and what interruptWhen sends it.
struct RunHow {
    std::string Program = TQ330_FLASH_PATH;
    std::function<void()> InChild; // in the child before exec (drop privileges, set limits)
    int Signal = 2;                // SIGINT
    bool SecondInterrupt = false;
};
// For RunHow::InChild: become the user nobody, or end the child with failCode.
void RunAsNobody(int failCode);
FlashRun RunProgram(const RunHow& how, const std::vector<std::string>& args, int timeoutSec,
                    const std::string& ports = "",
                    std::function<bool(const std::string& out)> interruptWhen = nullptr);
// The process RunProgram runs now (-1 when none): for interruptWhen, to find its children by their
// parent's pid (under qemu-user every command line is qemu's).
int RunningPid();
// The processes whose parent is pid.
std::vector<int> ChildrenOf(int pid);

// The lines of a text; the JSON lines of --json whose "event" is the given one.
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Events(const std::string& out, const std::string& event);
// A field of a flat JSON line: the string's text or the number as written; "" when absent.
std::string Field(const std::string& line, const std::string& key);
// A JSON line is one object whose strings and numbers are well formed (the parser a script would use
// would accept it).
bool IsJsonObject(const std::string& line);
// Writes text to a fresh file in a fresh folder and returns its path.
std::string WriteTempFile(const std::string& name, const std::string& text);
