// tq330-sim: the TQ330's boot loader on a pseudo-terminal, for trying the updater without the
// device and as the peer of the end-to-end tests. Single-threaded: one ppoll() loop that sleeps
// until input, the next paced output or the next timer, with the signals let in only there.
#include "sim_flash.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_protocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>

namespace {

volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t dumpRequest = 0;

void OnStop(int signal) {
    stopSignal = signal;
}
void OnDump(int) {
    dumpRequest = 1;
}

void DumpFlash(const SimOptions& options) {
    if (options.pDumpPath != nullptr && Flash_Dump(options.pDumpPath) != 0)
        fprintf(stderr, "tq330-sim: cannot write the dump to %s\n", options.pDumpPath);
}

// The signals are blocked except inside ppoll, so a signal can never slip in between the check of
// the flags and going to sleep.
sigset_t InstallSignals() {
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    struct sigaction dump = {};
    dump.sa_handler = OnDump;
    sigemptyset(&dump.sa_mask);
    sigaction(SIGUSR1, &dump, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&blocked, sig);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigdelset(&waitMask, sig);
    return waitMask;
}

void Serve(const SimOptions& options, const sigset_t& waitMask) {
    while (stopSignal == 0) {
        if (dumpRequest != 0) {
            dumpRequest = 0;
            DumpFlash(options);
        }
        Line_ReadClientEvents();
        SimTime now = SimClock::now();
        Line_ReadInput(now);
        Protocol_Step(now);
        Line_WriteDue(now);

        SimTime wake{};
        bool timed = Protocol_NextEvent(&wake);
        SimTime outputAt{};
        bool blocked = false;
        if (Line_NextOutput(&outputAt, &blocked) && !blocked && (!timed || outputAt < wake)) {
            wake = outputAt;
            timed = true;
        }
        timespec timeout{};
        timespec* pTimeout = nullptr;
        if (timed) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - SimClock::now());
            if (left.count() < 0)
                left = std::chrono::nanoseconds(0);
            timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
            pTimeout = &timeout;
        }
        // A pulled adapter has no descriptors: ppoll leaves out the negative ones.
        pollfd aEntries[2] = {{Line_MasterFd(), static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                              {Line_WatchFd(), POLLIN, 0}};
        int ready = ppoll(aEntries, 2, pTimeout, &waitMask);
        const pollfd& entry = aEntries[0];
        if (ready > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0 && (entry.revents & POLLIN) == 0) {
            // Cannot happen while we hold the slave; should it, do not spin on it.
            timespec pause = {0, 50'000'000};
            nanosleep(&pause, nullptr);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    SimOptions options;
    char acError[256] = {};
    switch (SimOptions_Parse(argc, argv, &options, acError, sizeof acError)) {
    case OPTIONS_HELP:
        SimOptions_PrintHelp(stdout);
        return 0;
    case OPTIONS_INVALID:
        fprintf(stderr, "tq330-sim: %s\nTry 'tq330-sim --help'.\n", acError);
        return 2;
    case OPTIONS_RUN:
        break;
    }

    FILE* pLog = nullptr;
    if (options.pLogPath != nullptr) {
        pLog = fopen(options.pLogPath, "w");
        if (pLog == nullptr) {
            fprintf(stderr, "tq330-sim: cannot open the log %s\n", options.pLogPath);
            return 1;
        }
    }
    // The paced schedule is only as good as the timer's slack; ask for the smallest.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sigset_t waitMask = InstallSignals();

    if (Line_Open(options.Baud, options.LatencyMs, options.pLinkPath, acError, sizeof acError) != 0) {
        fprintf(stderr, "tq330-sim: %s\n", acError);
        return 1;
    }
    if (options.CheckLine)
        Line_RequireDeviceLine();
    Protocol_Init(&options, pLog, SimClock::now());

    Serve(options, waitMask);
    Line_Close();
    DumpFlash(options);
    if (pLog != nullptr)
        fclose(pLog);
    return 0;
}
