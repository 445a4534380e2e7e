#include "app/cli/cli_signals.h"

#include "app/cli/cli_front.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

sigset_t Caught;

// A thread of its own takes the signals synchronously, so that the first press can use the queue
// (locks, a condition variable) which a signal handler could not.
void WaitForSignals() {
    int presses = 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&Caught, &signal) != 0)
            continue;
        if (++presses == 1) {
            CLI_PostInterrupt();
        } else {
            static const char acText[] = "Interrupted again: ending now\n";
            ssize_t ignored = write(2, acText, sizeof acText - 1);
            (void)ignored;
            _exit(130);
        }
    }
}

} // namespace

void CLI_CatchInterrupts() {
    sigemptyset(&Caught);
    sigaddset(&Caught, SIGINT);
    sigaddset(&Caught, SIGTERM);
    sigaddset(&Caught, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &Caught, nullptr);
    std::thread(WaitForSignals).detach();
}

void CLI_RestoreSignalsForChild() {
    pthread_sigmask(SIG_UNBLOCK, &Caught, nullptr);
}
