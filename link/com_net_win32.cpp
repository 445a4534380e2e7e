// The sockets of network ports on Windows (Winsock 2): a non-blocking TCP connection with a bound on
// the connect, TCP_NODELAY (a frame is one small write and must not wait for the previous one's
// acknowledgement). Winsock reports a failed non-blocking connect in the exception set of select().
#include "link/com_net.h"
#include "platform/win32.h"

#include <cstdio>
#include <ws2tcpip.h>

namespace {

// Winsock is started once for the process and never stopped: the port may open again at any time.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET ToSocket(NetSocket s) {
    return static_cast<SOCKET>(s);
}

// select() on one socket for at most timeoutMs: > 0 ready, 0 time-out, < 0 error.
int WaitFor(SOCKET s, bool forRead, bool forWrite, uint32_t timeoutMs, bool* pFailed) {
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    if (forRead)
        FD_SET(s, &readSet);
    if (forWrite)
        FD_SET(s, &writeSet);
    FD_SET(s, &errorSet);
    timeval tv;
    tv.tv_sec = static_cast<long>(timeoutMs / 1000);
    tv.tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
    int r = select(0, &readSet, &writeSet, &errorSet, &tv);
    if (pFailed)
        *pFailed = r > 0 && FD_ISSET(s, &errorSet);
    return r;
}

void Describe(int error, uint32_t timeoutMs, char* acWhy, size_t whySize) {
    switch (error) {
    case WSAECONNREFUSED:
        std::snprintf(acWhy, whySize, "connection refused");
        break;
    case WSAETIMEDOUT:
        std::snprintf(acWhy, whySize, "no answer within %u s",
                      static_cast<unsigned>((timeoutMs + 999) / 1000));
        break;
    case WSAEHOSTUNREACH:
        std::snprintf(acWhy, whySize, "host unreachable");
        break;
    case WSAENETUNREACH:
        std::snprintf(acWhy, whySize, "network unreachable");
        break;
    default:
        std::snprintf(acWhy, whySize, "Winsock error %d", error);
        break;
    }
}

int ConnectOne(const addrinfo* pAddress, ULONGLONG deadline, SOCKET* pSocket) {
    SOCKET s = socket(pAddress->ai_family, pAddress->ai_socktype, pAddress->ai_protocol);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    u_long nonBlocking = 1;
    int error = 0;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = WSAGetLastError();
    } else if (connect(s, pAddress->ai_addr, static_cast<int>(pAddress->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            ULONGLONG now = GetTickCount64();
            bool failed = false;
            int r =
                WaitFor(s, false, true, now < deadline ? static_cast<uint32_t>(deadline - now) : 0, &failed);
            int length = sizeof error;
            if (r == 0)
                error = WSAETIMEDOUT;
            else if (r < 0)
                error = WSAGetLastError();
            else if (failed &&
                     getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
                error = WSAGetLastError();
            else if (!failed)
                error = 0;
            if (failed && error == 0)
                error = WSAECONNREFUSED;
        }
    }
    if (error != 0) {
        closesocket(s);
        return error;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    *pSocket = s;
    return 0;
}

} // namespace

NetSocket NetSocket_Connect(const char* host, uint16_t port, uint32_t timeoutMs, char* acWhy,
                            size_t whySize) {
    if (!StartWinsock()) {
        std::snprintf(acWhy, whySize, "Winsock did not start");
        return NET_NO_SOCKET;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char acPort[8];
    std::snprintf(acPort, sizeof acPort, "%u", static_cast<unsigned>(port));
    addrinfo* pList = nullptr;
    if (getaddrinfo(host, acPort, &hints, &pList) != 0) {
        std::snprintf(acWhy, whySize, "host not found");
        return NET_NO_SOCKET;
    }
    int error = WSAETIMEDOUT;
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* p = pList; p != nullptr && GetTickCount64() < deadline; p = p->ai_next) {
        error = ConnectOne(p, deadline, &s);
        if (error == 0)
            break;
    }
    freeaddrinfo(pList);
    if (error != 0) {
        Describe(error, timeoutMs, acWhy, whySize);
        return NET_NO_SOCKET;
    }
    return static_cast<NetSocket>(s);
}

NetClock::time_point NetSocket_Now() {
    return NetClock::now();
}

void NetSocket_Close(NetSocket s) {
    closesocket(ToSocket(s));
}

bool NetSocket_WaitReadable(NetSocket s, uint32_t timeoutMs) {
    // select() may wake a little early; the caller's loop holds its own deadline.
    return WaitFor(ToSocket(s), true, false, timeoutMs, nullptr) > 0;
}

NetIo NetSocket_Receive(NetSocket s, uint8_t* pData, size_t size, size_t* pGot) {
    *pGot = 0;
    int n = recv(ToSocket(s), reinterpret_cast<char*>(pData), static_cast<int>(size), 0);
    if (n > 0) {
        *pGot = static_cast<size_t>(n);
        return NET_IO_DATA;
    }
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
        return NET_IO_NONE;
    return NET_IO_GONE; // closed by the server (0) or reset
}

bool NetSocket_SendAll(NetSocket s, const uint8_t* pData, size_t size, uint32_t stallMs) {
    size_t done = 0;
    while (done < size) {
        int n =
            send(ToSocket(s), reinterpret_cast<const char*>(pData + done), static_cast<int>(size - done), 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        bool failed = false;
        if (WaitFor(ToSocket(s), false, true, stallMs, &failed) <= 0 || failed)
            return false;
    }
    return true;
}
