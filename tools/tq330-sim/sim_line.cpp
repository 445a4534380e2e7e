#include "sim_line.h"

#include "link/protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int masterFd = -1;
int slaveFd = -1;
int watchFd = -1;
std::string devicePath; // the slave of the pair now served
std::string linkPath;   // "" without --link
bool pullPending = false;
bool pullTimed = false; // the last answer has left: the adapter goes at pullAt
SimTime pullAt{};
// A hang-up flushes what the client has not read yet: the adapter goes this long after its last
// answer has left, so that the client reads that answer first, as it would have from the device.
constexpr auto PULL_DELAY = std::chrono::milliseconds(100);
// Clients holding the device, from the opens and closes inotify reports (ours came before the
// watch). While none holds it, a real port hears nothing: what we send is lost, and what was
// waiting unread goes with the last close, as a serial driver drops its buffer.
int clients = 0;
SimClock::duration charTime{0};
SimClock::duration latency{0}; // the adapter's hold on what the device sent

struct InByte {
    uint8_t Value;
    SimTime Arrival;
};
std::deque<InByte> input;
SimTime rxFree{};

struct OutUnit {
    std::vector<uint8_t> Bytes;
    size_t Written;
    SimTime Due;
};
std::deque<OutUnit> output;
SimTime txFree{};
bool writeBlocked = false;

bool checkLine = false;
int lineWasRight = -1; // -1: not looked at yet

unsigned BaudOf(speed_t speed) {
    static const struct {
        speed_t Speed;
        unsigned Baud;
    } aSpeeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
                   {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    for (const auto& s : aSpeeds)
        if (s.Speed == speed)
            return s.Baud;
    return 0;
}

// The client's line as the slave holds it. A pseudo-terminal drops PARENB but keeps PARODD, so the
// odd-parity flag stands for the parity.
bool LineIsTheDevices() {
    termios tio{};
    if (tcgetattr(slaveFd, &tio) != 0)
        return true; // cannot tell: hear it
    const unsigned baud = BaudOf(cfgetispeed(&tio));
    const tcflag_t size = tio.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const bool odd = (tio.c_cflag & PARODD) != 0;
    const int stops = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    const bool right = baud == LINE_BAUD && bits == 8 && odd && stops == 1;
    if (static_cast<int>(right) != lineWasRight) {
        lineWasRight = right;
        fprintf(stderr, "tq330-sim: the line is %u baud, %d data bits, %s parity flag, %d stop bit%s%s\n",
                baud, bits, odd ? "odd" : "no odd", stops, stops == 1 ? "" : "s",
                right ? "" : ": not the device's 57600 8O1, what arrives is dropped");
    }
    return right;
}

int MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return 1;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) != 0 ? 1 : 0;
}

// A new pseudo-terminal pair, and the watch on the slave's path; its path goes to devicePath.
bool OpenPair() {
    masterFd = posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd < 0 || grantpt(masterFd) != 0 || unlockpt(masterFd) != 0)
        return false;
    const char* pName = ptsname(masterFd);
    if (pName == nullptr)
        return false;
    devicePath = pName;
    // Our own descriptor of the slave: without it the master reads EIO and polls POLLHUP while no
    // client holds the device, and the client's settings would not outlive its close.
    slaveFd = open(pName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0 || MakeRaw(slaveFd) != 0 || MakeRaw(masterFd) != 0)
        return false;
    int flags = fcntl(masterFd, F_GETFL);
    if (flags < 0 || fcntl(masterFd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return watchFd >= 0 && inotify_add_watch(watchFd, pName, IN_OPEN | IN_CLOSE) >= 0;
}

// Points the link at the device: made beside it and renamed over it, so that a client never finds
// the link missing or half made.
bool MakeLink() {
    if (linkPath.empty())
        return true;
    const std::string temporary = linkPath + ".new";
    unlink(temporary.c_str());
    return symlink(devicePath.c_str(), temporary.c_str()) == 0 &&
           rename(temporary.c_str(), linkPath.c_str()) == 0;
}

void RemoveLink() {
    char acTarget[256];
    ssize_t n = linkPath.empty() ? -1 : readlink(linkPath.c_str(), acTarget, sizeof acTarget - 1);
    if (n <= 0)
        return;
    acTarget[n] = '\0';
    if (devicePath == acTarget)
        unlink(linkPath.c_str());
}

void Announce() {
    printf("%s\n", devicePath.c_str());
    fflush(stdout);
}

void Pull() {
    pullPending = false;
    pullTimed = false;
    RemoveLink();
    for (int* pFd : {&masterFd, &slaveFd, &watchFd}) {
        if (*pFd >= 0)
            close(*pFd);
        *pFd = -1;
    }
    clients = 0;
    input.clear();
    output.clear();
    writeBlocked = false;
}

} // namespace

int Line_Open(uint32_t baud, uint32_t latencyMs, const char* pLinkPath, char* acError, size_t errorSize) {
    latency = std::chrono::milliseconds(latencyMs);
    if (baud != 0)
        charTime =
            std::chrono::duration_cast<SimClock::duration>(std::chrono::nanoseconds(11000000000ull / baud));
    struct stat info {};
    if (pLinkPath != nullptr && lstat(pLinkPath, &info) == 0 && !S_ISLNK(info.st_mode)) {
        snprintf(acError, errorSize, "--link: %s is there and is no symbolic link", pLinkPath);
        return 1;
    }
    linkPath = pLinkPath != nullptr ? pLinkPath : "";
    if (!OpenPair()) {
        snprintf(acError, errorSize, "cannot open a pseudo-terminal");
        return 1;
    }
    if (!MakeLink()) {
        snprintf(acError, errorSize, "--link: cannot make %s: %s", pLinkPath, strerror(errno));
        return 1;
    }
    Announce();
    return 0;
}

void Line_Close() {
    RemoveLink();
}

void Line_PullWhenSent() {
    pullPending = true;
}

int Line_PlugIn() {
    if (masterFd >= 0 || !OpenPair() || !MakeLink())
        return 1;
    Announce();
    return 0;
}

int Line_WatchFd() {
    return watchFd;
}

void Line_ReadClientEvents() {
    alignas(inotify_event) char acEvents[4096];
    for (;;) {
        ssize_t n = read(watchFd, acEvents, sizeof acEvents);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event* pEvent = reinterpret_cast<const inotify_event*>(acEvents + at);
            if ((pEvent->mask & IN_Q_OVERFLOW) != 0) {
                clients = 1; // lost count: better to keep talking than to drop a client's answers
            } else if ((pEvent->mask & IN_OPEN) != 0) {
                ++clients;
            } else if ((pEvent->mask & IN_CLOSE) != 0 && clients > 0 && --clients == 0) {
                tcflush(slaveFd, TCIFLUSH);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
        }
    }
}

int Line_MasterFd() {
    return masterFd;
}

void Line_RequireDeviceLine() {
    checkLine = true;
}

void Line_ReadInput(SimTime now) {
    uint8_t acChunk[1024];
    for (;;) {
        ssize_t n = read(masterFd, acChunk, sizeof acChunk);
        if (n <= 0)
            return; // EAGAIN: all read; EIO cannot happen while our slave descriptor is open
        if (checkLine && !LineIsTheDevices())
            continue;
        for (ssize_t i = 0; i < n; ++i) {
            SimTime start = rxFree > now ? rxFree : now;
            rxFree = start + charTime;
            input.push_back({acChunk[i], rxFree});
        }
    }
}

size_t Line_Buffered() {
    return input.size();
}

uint8_t Line_At(size_t index) {
    return input[index].Value;
}
SimTime Line_ArrivalOf(size_t index) {
    return input[index].Arrival;
}

void Line_Consume(size_t count) {
    if (count >= input.size())
        input.clear();
    else
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(count));
}

void Line_DiscardInput() {
    input.clear();
}

SimTime Line_Send(const uint8_t* pData, size_t count, SimTime now) {
    SimTime start = txFree > now ? txFree : now;
    txFree = start + charTime * static_cast<int64_t>(count);
    if (count != 0)
        output.push_back({std::vector<uint8_t>(pData, pData + count), 0, txFree + latency});
    return txFree;
}

void Line_WriteDue(SimTime now) {
    writeBlocked = false;
    while (!output.empty() && output.front().Due <= now) {
        OutUnit& unit = output.front();
        // A client that opens the device and writes at once can have its open reported after the
        // last look at the events but before its bytes were read: look again before taking the
        // device for unheld, or the answer to its first request would be lost.
        if (clients == 0)
            Line_ReadClientEvents();
        if (clients == 0) {
            output.pop_front();
            continue;
        }
        while (unit.Written < unit.Bytes.size()) {
            ssize_t n = write(masterFd, unit.Bytes.data() + unit.Written, unit.Bytes.size() - unit.Written);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    // The client is not reading and the terminal's buffer is full: try again later.
                    writeBlocked = true;
                    return;
                }
                break; // the line lost the unit, as a real line loses what nobody hears
            }
            unit.Written += static_cast<size_t>(n);
        }
        output.pop_front();
    }
    if (pullPending && output.empty() && !pullTimed) {
        pullTimed = true;
        pullAt = now + PULL_DELAY;
    }
    if (pullTimed && now >= pullAt)
        Pull();
}

bool Line_NextOutput(SimTime* pAt, bool* pBlocked) {
    *pBlocked = writeBlocked;
    if (output.empty() && pullTimed)
        *pAt = pullAt;
    if (output.empty())
        return pullTimed;
    *pAt = output.front().Due;
    return true;
}
