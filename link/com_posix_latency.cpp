// Why this exists: a USB-serial adapter holds what it receives until its packet fills or its latency
// timer runs out (16 ms by default on the common ones), which adds up to that much to every
// exchange: to the Ack of each programming block, over 1,300 blocks for the embedded image.
// Low-latency mode asks the driver to hand bytes on at once. Best effort: a pseudo-terminal or a
// driver without the setting refuses, and the line then works as before, only slower on such an
// adapter. The outcome is kept, so that a report of the port's state can say whether it took.
#include "link/com_internal.h"

#include <atomic>
#include <linux/serial.h>
#include <sys/ioctl.h>

int (*pfnComSerialIoctl)(int fd, unsigned long request, serial_struct* pInfo) = nullptr;

namespace {

std::atomic<ComLatency> LastLatency{LATENCY_NOT_SUPPORTED};

int SerialIoctl(int fd, unsigned long request, serial_struct* pInfo) {
    return pfnComSerialIoctl ? pfnComSerialIoctl(fd, request, pInfo) : ioctl(fd, request, pInfo);
}

ComLatency Ask(int fd) {
    serial_struct info{};
    if (SerialIoctl(fd, TIOCGSERIAL, &info) != 0)
        return LATENCY_NOT_SUPPORTED;
    if ((info.flags & ASYNC_LOW_LATENCY) != 0)
        return LATENCY_ALREADY_ON;
    info.flags |= ASYNC_LOW_LATENCY;
    if (SerialIoctl(fd, TIOCSSERIAL, &info) != 0)
        return LATENCY_REFUSED;
    // Some drivers accept the call and ignore the flag: only the flags read back tell.
    serial_struct applied{};
    if (SerialIoctl(fd, TIOCGSERIAL, &applied) != 0 || (applied.flags & ASYNC_LOW_LATENCY) == 0)
        return LATENCY_REFUSED;
    return LATENCY_TOOK;
}

} // namespace

ComLatency COM_AskForLowLatency(int fd) {
    ComLatency outcome = Ask(fd);
    LastLatency.store(outcome, std::memory_order_relaxed);
    return outcome;
}

ComLatency COM_LastLatency() {
    return LastLatency.load(std::memory_order_relaxed);
}
