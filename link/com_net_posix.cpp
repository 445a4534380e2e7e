// The sockets of network ports on POSIX systems: a non-blocking TCP connection with a bound on the
// connect, TCP_NODELAY (a frame is one small write and must not wait for the previous one's
// acknowledgement), and no SIGPIPE when the server has gone.
#include "link/com_net.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the events within the time left until the deadline; the poll's result.
int PollUntil(int fd, short events, Clock::time_point deadline, short* pRevents) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, events, 0};
        // Rounded up, so that the wait never ends before the deadline.
        int r = poll(&p, 1, left <= 0 ? 0 : static_cast<int>(left) + 1);
        if (r < 0 && errno == EINTR)
            continue;
        *pRevents = p.revents;
        return r;
    }
}

void Describe(int error, uint32_t timeoutMs, char* acWhy, size_t whySize) {
    switch (error) {
    case ECONNREFUSED:
        std::snprintf(acWhy, whySize, "connection refused");
        break;
    case ETIMEDOUT:
        std::snprintf(acWhy, whySize, "no answer within %u s",
                      static_cast<unsigned>((timeoutMs + 999) / 1000));
        break;
    case EHOSTUNREACH:
        std::snprintf(acWhy, whySize, "host unreachable");
        break;
    case ENETUNREACH:
        std::snprintf(acWhy, whySize, "network unreachable");
        break;
    default:
        char acText[128];
        // The GNU strerror_r: its own text, or one of the library's constant strings.
        std::snprintf(acWhy, whySize, "%s", strerror_r(error, acText, sizeof acText));
        break;
    }
}

// One address: 0 and the connected socket in *pFd, else the error.
int ConnectOne(const addrinfo* pAddress, Clock::time_point deadline, int* pFd) {
    int fd = socket(pAddress->ai_family, pAddress->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    pAddress->ai_protocol);
    if (fd < 0)
        return errno;
    int error = 0;
    if (connect(fd, pAddress->ai_addr, pAddress->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            short revents = 0;
            int r = PollUntil(fd, POLLOUT, deadline, &revents);
            socklen_t length = sizeof error;
            if (r == 0)
                error = ETIMEDOUT;
            else if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *pFd = fd;
    return 0;
}

} // namespace

NetSocket NetSocket_Connect(const char* host, uint16_t port, uint32_t timeoutMs, char* acWhy,
                            size_t whySize) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    char acPort[8];
    std::snprintf(acPort, sizeof acPort, "%u", static_cast<unsigned>(port));
    addrinfo* pList = nullptr;
    int rc = getaddrinfo(host, acPort, &hints, &pList);
    if (rc != 0) {
        std::snprintf(acWhy, whySize, "%s",
                      rc == EAI_NONAME || rc == EAI_NODATA ? "host not found" : gai_strerror(rc));
        return NET_NO_SOCKET;
    }
    int error = ETIMEDOUT;
    int fd = -1;
    // Every address in turn: "localhost" may name ::1 first while the server listens on 127.0.0.1.
    for (const addrinfo* p = pList; p != nullptr && Clock::now() < deadline; p = p->ai_next) {
        error = ConnectOne(p, deadline, &fd);
        if (error == 0)
            break;
    }
    freeaddrinfo(pList);
    if (error != 0) {
        Describe(error, timeoutMs, acWhy, whySize);
        return NET_NO_SOCKET;
    }
    return fd;
}

NetClock::time_point NetSocket_Now() {
    return NetClock::now();
}

void NetSocket_Close(NetSocket s) {
    close(static_cast<int>(s));
}

bool NetSocket_WaitReadable(NetSocket s, uint32_t timeoutMs) {
    short revents = 0;
    return PollUntil(static_cast<int>(s), POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs),
                     &revents) > 0;
}

NetIo NetSocket_Receive(NetSocket s, uint8_t* pData, size_t size, size_t* pGot) {
    *pGot = 0;
    for (;;) {
        ssize_t n = recv(static_cast<int>(s), pData, size, 0);
        if (n > 0) {
            *pGot = static_cast<size_t>(n);
            return NET_IO_DATA;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return NET_IO_NONE;
        return NET_IO_GONE; // closed by the server (0) or reset
    }
}

bool NetSocket_SendAll(NetSocket s, const uint8_t* pData, size_t size, uint32_t stallMs) {
    const int fd = static_cast<int>(s);
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fd, pData + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        short revents = 0;
        if (PollUntil(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(stallMs), &revents) <= 0 ||
            (revents & POLLOUT) == 0)
            return false;
    }
    return true;
}
