// POSIX backend of the COM module: termios for the line, poll() for the read deadline. The port is
// opened non-blocking so that no call waits longer than the module asks it to.
#include "link/com_internal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock; // monotonic: a clock change never stretches a read

// A write that makes no progress for this long is given up: the line has no flow control, so only a
// dead device (or a peer that never reads) can stall it, and the port lock must not be held forever.
constexpr int WRITE_STALL_MS = 5000;

// Parity and framing marks that a read has half consumed (one port reads at a time).
ComMarkDecoder Decoder;
// Whether the driver marks input (PARMRK as it holds the line). Without it a lone 0xFF is a genuine
// byte and must not be taken for the start of a mark.
bool bMarked = false;

bool BaudToSpeed(uint32_t baud, speed_t& speed) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } aSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                   {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                   {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : aSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

bool CharacterSize(uint8_t dataBits, tcflag_t& size) {
    switch (dataBits) {
    case 5:
        size = CS5;
        return true;
    case 6:
        size = CS6;
        return true;
    case 7:
        size = CS7;
        return true;
    case 8:
        size = CS8;
        return true;
    default:
        return false;
    }
}

// Parity codes 0 none, 1 odd, 2 even, 3 mark, 4 space.
bool ParityFlags(uint8_t parity, tcflag_t& flags) {
    switch (parity) {
    case 0:
        flags = 0;
        return true;
    case 1:
        flags = PARENB | PARODD;
        return true;
    case 2:
        flags = PARENB;
        return true;
    case 3:
        flags = PARENB | CMSPAR | PARODD;
        return true;
    case 4:
        flags = PARENB | CMSPAR;
        return true;
    default:
        return false;
    }
}

void SleepUntil(Clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
}

// The errors of a serial device that is no longer there: a hung-up terminal (EIO: an unplugged
// USB adapter, a pseudo-terminal whose other end closed), a device node whose driver went away.
bool IsGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

} // namespace

int COM_OpenLocked(const char* device, int* pOpenError) {
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *pOpenError = errno;
        return COM_OPEN_FAILED;
    }
    // Not a terminal is not a serial port. The lock is the one other serial tools honour.
    int result = !isatty(fd) ? COM_OPEN_NOT_A_TTY : flock(fd, LOCK_EX | LOCK_NB) != 0 ? COM_OPEN_LOCKED : fd;
    if (result < 0)
        close(fd);
    return result;
}

ComHandle COM_OsOpen(int index) {
    const char* pDevice = COM_OsPortDevice(index);
    if (*pDevice == '\0')
        return COM_NO_HANDLE;
    int error = 0;
    int fd = COM_OpenLocked(pDevice, &error);
    if (fd < 0) {
        if (fd == COM_OPEN_FAILED && error == EACCES)
            COM_NotePermissionDenied(pDevice);
        return COM_NO_HANDLE;
    }
    // TIOCEXCL also keeps out programs that do not honour the lock.
    if (ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return COM_NO_HANDLE;
    }
    return fd;
}

void COM_OsClose(ComHandle h) {
    int fd = static_cast<int>(h);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}

bool COM_OsSetupQueues(ComHandle, uint32_t, uint32_t) {
    return true; // the tty layer sizes its own buffers
}

bool COM_OsSetTimeouts(ComHandle, const ComTimeouts&) {
    return true; // COM_OsRead applies the set itself
}

bool COM_BuildTermios(const PortSettings& s, termios& tio) {
    speed_t speed;
    tcflag_t size;
    tcflag_t parity;
    // One and a half stop bits has no termios form (Win32 too refuses it with 8 data bits).
    if (!BaudToSpeed(s.BaudRate, speed) || !CharacterSize(s.DataBits, size) ||
        !ParityFlags(s.Parity, parity) || (s.StopBits != 0 && s.StopBits != 2))
        return false;
    cfmakeraw(&tio);
    // A byte with a parity or framing error is delivered as received, as the Win32 line does
    // without error-character replacement: INPCK checks, PARMRK marks it so the driver does not
    // replace it with NUL, and COM_DecodeMarked takes the mark off again. A break is not data.
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | ISTRIP | INPCK | PARMRK);
    tio.c_iflag |= IGNBRK;
    if (parity != 0)
        tio.c_iflag |= INPCK | PARMRK;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | parity | CREAD | CLOCAL | HUPCL | (s.StopBits == 2 ? CSTOPB : 0);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

bool COM_OsSetLine(ComHandle h, const PortSettings& s) {
    int fd = static_cast<int>(h);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0 || !COM_BuildTermios(s, tio))
        return false;
    // tcsetattr succeeds when any part applied, so the result is judged by what the driver holds.
    // A pseudo-terminal has no parity: it drops PARENB and forces CS8, which glibc reports as EINVAL
    // when nothing else changed (every re-configuration of the same pty). Those two are not compared.
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && errno != EINVAL)
        return false;
    termios applied{};
    if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != cfgetospeed(&tio))
        return false;
    const tcflag_t iflags = INPCK | PARMRK | IGNBRK | IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR;
    const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    const tcflag_t cflags = PARODD | CMSPAR | CSTOPB | CRTSCTS | CREAD;
    if ((applied.c_iflag & iflags) != (tio.c_iflag & iflags) ||
        (applied.c_lflag & lflags) != (tio.c_lflag & lflags) || (applied.c_oflag & OPOST) != 0 ||
        (applied.c_cflag & cflags) != (tio.c_cflag & cflags))
        return false;

    // DTR and RTS up; a pseudo-terminal has no modem lines and refuses, which is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    COM_AskForLowLatency(fd);
    Decoder = ComMarkDecoder{};
    bMarked = (applied.c_iflag & PARMRK) != 0;
    return true;
}

ComIo COM_OsWrite(ComHandle h, const uint8_t* pData, uint32_t count) {
    int fd = static_cast<int>(h);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, pData + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && IsGoneError(errno))
            return COM_IO_GONE;
        if (n == 0 || errno != EAGAIN)
            return COM_IO_FAILED;
        // The driver's buffer is full: wait for room rather than spin.
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, WRITE_STALL_MS);
        if (r < 0 && errno == EINTR)
            continue;
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return COM_IO_GONE;
        if (r <= 0 || (p.revents & POLLOUT) == 0)
            return COM_IO_FAILED;
    }
    return COM_IO_OK;
}

void COM_OsDiscardInput(ComHandle h) {
    tcflush(static_cast<int>(h), TCIFLUSH);
    Decoder = ComMarkDecoder{}; // an escape split by the flush must not mark the next byte
}

// Reads until every wanted byte arrived or the total timeout of the set passed, with no inter-byte
// timeout. A set with no total timeout takes only what is already buffered. A hang-up (the device
// is gone) ends the read at once with COM_IO_GONE; any other failure is waited out to the deadline,
// so callers that poll in a loop do not spin.
ComIo COM_OsRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot) {
    int fd = static_cast<int>(h);
    const uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    uint8_t acRaw[512];
    uint32_t& got = *pGot;
    got = 0;
    bool readable = false; // the last poll reported input
    while (got < count) {
        // Each raw byte decodes to at most one byte, so this never overfills pData.
        ssize_t n = read(fd, acRaw, std::min<size_t>(count - got, sizeof acRaw));
        if (n > 0) {
            if (bMarked) {
                got += static_cast<uint32_t>(
                    COM_DecodeMarked(Decoder, acRaw, static_cast<size_t>(n), pData + got));
            } else {
                std::copy(acRaw, acRaw + n, pData + got);
                got += static_cast<uint32_t>(n);
            }
            readable = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // Nothing buffered reads as 0 (VMIN 0) or EAGAIN; the same right after poll reported input
        // is a hang-up, where poll would report input again at once.
        if ((n < 0 && IsGoneError(errno)) || (n == 0 && readable))
            return COM_IO_GONE;
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            break;
        if (n < 0 && errno != EAGAIN) {
            SleepUntil(deadline);
            return COM_IO_FAILED;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{fd, POLLIN, 0};
        int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        // A hung-up terminal reports POLLHUP (with POLLIN, and reads nothing from then on).
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return COM_IO_GONE;
        if (r < 0 || (r > 0 && (p.revents & POLLIN) == 0)) {
            SleepUntil(deadline);
            return COM_IO_FAILED;
        }
        readable = r > 0;
    }
    return COM_IO_OK;
}
