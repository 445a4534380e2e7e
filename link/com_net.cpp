// The backend of network ports: a TCP connection to a serial device server, raw (tcp://) or with
// Telnet COM Port Control (rfc2217://). It keeps the COM module's contract as a local port does:
// a read returns when every wanted byte is in or at its deadline, never earlier; a frame leaves in
// one write; a closed or reset connection is a device that has gone.
#include "link/com_net.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using Clock = NetClock;

// The bounds of a network port: a server that takes longer to accept is reported as not answering,
// one that takes longer to answer the line set-up as not confirming it.
constexpr uint32_t NET_CONNECT_MS = 3000;
constexpr auto NET_SETUP_TIME = std::chrono::milliseconds(2000);
// After the line settings are confirmed, how long SET-CONTROL answers are waited for: as long as
// the line answers took, at least this. A server without modem lines never sends them.
constexpr auto NET_CONTROL_GRACE = std::chrono::milliseconds(100);
// The most data bytes of one write: more than a frame's 500, so that a frame is always one write.
constexpr size_t NET_CHUNK = 512;
// A send that makes no progress this long has a server that stopped reading: the port is gone.
constexpr uint32_t NET_STALL_MS = 5000;

// One connection; its address is the port's handle, so detection and the selection never share it.
struct NetPort {
    NetSocket Socket = NET_NO_SOCKET;
    NetAddress Address{};
    TelnetState Telnet{};
    bool PurgeOwed = false; // PURGE-DATA goes out ahead of the next frame
    bool Gone = false;      // the server closed or reset the connection
};

// The module's handles are integers; this backend's is the address of its connection.
NetPort& PortOf(ComHandle h) {
    return *reinterpret_cast<NetPort*>(h); // NOLINT(performance-no-int-to-ptr)
}

// The notes of the last open, read by the front end's thread while the worker may open again.
constexpr size_t NOTE_SIZE = 256;
std::mutex NotesLock;
char acProblem[NOTE_SIZE];
char acWarning[NOTE_SIZE];

void SetNote(char (&acNote)[NOTE_SIZE], const char* pText) {
    std::lock_guard<std::mutex> guard(NotesLock);
    std::snprintf(acNote, sizeof acNote, "%s", pText);
}

bool Negotiates(const NetPort& p) {
    return p.Address.Kind == NET_RFC2217;
}

// Takes what has arrived, at most `room` bytes of data; Telnet commands are taken out and the
// replies they ask for sent at once. NET_IO_DATA also when every byte was a command (*pGot 0).
NetIo ReceiveSome(NetPort& p, uint8_t* pData, size_t room, size_t* pGot) {
    *pGot = 0;
    if (p.Gone)
        return NET_IO_GONE;
    uint8_t acRaw[512];
    size_t raw = 0;
    // Each raw byte gives at most one data byte, so reading no more than room never overfills.
    NetIo io = NetSocket_Receive(p.Socket, acRaw, std::min(room, sizeof acRaw), &raw);
    if (io == NET_IO_GONE)
        p.Gone = true;
    if (io != NET_IO_DATA)
        return io;
    if (!Negotiates(p)) {
        std::memcpy(pData, acRaw, raw);
        *pGot = raw;
        return io;
    }
    *pGot = Telnet_Receive(p.Telnet, acRaw, raw, pData);
    if (p.Telnet.OwedLength != 0) {
        uint8_t acOwed[sizeof p.Telnet.acOwed];
        size_t n = Telnet_TakeOwed(p.Telnet, acOwed);
        if (!NetSocket_SendAll(p.Socket, acOwed, n, NET_STALL_MS))
            p.Gone = true;
    }
    return io;
}

// Reads and drops whatever has arrived.
void Drain(NetPort& p) {
    uint8_t acJunk[512];
    size_t got = 0;
    while (ReceiveSome(p, acJunk, sizeof acJunk, &got) == NET_IO_DATA) {
    }
}

bool Send(NetPort& p, const uint8_t* pData, size_t n) {
    if (!p.Gone && !NetSocket_SendAll(p.Socket, pData, n, NET_STALL_MS))
        p.Gone = true;
    return !p.Gone;
}

uint32_t MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - NetSocket_Now()).count();
    return left <= 0 ? 0 : static_cast<uint32_t>((left + 999) / 1000);
}

// The line set-up of COM-PORT-OPTION: once the server has agreed to the option, every setting is
// sent in one write and each answer judged as it comes.
bool SetUpLine(NetPort& p, const PortSettings& s) {
    const Clock::time_point begun = NetSocket_Now();
    const Clock::time_point deadline = begun + NET_SETUP_TIME;
    Clock::time_point answersDue = deadline;
    bool sent = false;
    bool lineSet = false;
    Clock::time_point sentAt{};
    char acWhy[256] = {};
    char acNote[256] = {};
    for (;;) {
        Drain(p); // the device's bytes before its line is set are noise
        if (p.Gone) {
            SetNote(acProblem, "the server closed the connection during the line set-up");
            return false;
        }
        if (!sent && p.Telnet.aUs[TELOPT_COM_PORT] == TN_ON) {
            uint8_t acSetup[80];
            size_t n = 0;
            if (!Rfc2217_BeginSetup(p.Telnet, s, acSetup, &n)) {
                SetNote(acProblem, "COM-PORT-OPTION has no code for these line settings");
                return false;
            }
            n += Rfc2217_Purge(acSetup + n);
            sent = Send(p, acSetup, n);
            sentAt = NetSocket_Now();
        }
        const Clock::time_point now = NetSocket_Now();
        const bool final = now >= answersDue;
        if (final && !sent && p.Telnet.aUs[TELOPT_COM_PORT] != TN_REFUSED) {
            SetNote(acProblem, "the server did not take up COM-PORT-OPTION (RFC 2217)");
            return false;
        }
        SetupResult result =
            Rfc2217_CheckSetup(p.Telnet, s, final, acWhy, sizeof acWhy, acNote, sizeof acNote);
        // Answers count once the set-up is out: a server that "confirms" settings nobody asked it for
        // has confirmed nothing.
        if (!sent && (result == SETUP_DONE || result == SETUP_LINE_SET))
            result = SETUP_PENDING;
        switch (result) {
        case SETUP_FAILED:
            SetNote(acProblem, acWhy);
            return false;
        case SETUP_DONE:
            SetNote(acWarning, acNote);
            return true;
        case SETUP_LINE_SET:
            if (!lineSet) {
                lineSet = true;
                answersDue =
                    std::min(deadline, now + std::max<Clock::duration>(NET_CONTROL_GRACE, now - sentAt));
            }
            break;
        case SETUP_PENDING:
            break;
        }
        NetSocket_WaitReadable(p.Socket, std::max<uint32_t>(1, MillisecondsLeft(answersDue)));
    }
}

} // namespace

void COM_GetPortNotes(char* acProblemOut, char* acWarningOut, size_t size) {
    std::lock_guard<std::mutex> guard(NotesLock);
    std::snprintf(acProblemOut, size, "%s", acProblem);
    std::snprintf(acWarningOut, size, "%s", acWarning);
}

ComHandle COM_NetOpen(int index) {
    SetNote(acProblem, "");
    SetNote(acWarning, "");
    char acWhy[256] = {};
    NetAddress address{};
    if (!COM_ParseNetName(COM_OsPortDevice(index), &address, acWhy, sizeof acWhy) ||
        address.Kind == NET_NONE) {
        SetNote(acProblem, acWhy);
        return COM_NO_HANDLE;
    }
    NetSocket s = NetSocket_Connect(address.acHost, address.Port, NET_CONNECT_MS, acWhy, sizeof acWhy);
    if (s == NET_NO_SOCKET) {
        SetNote(acProblem, acWhy);
        return COM_NO_HANDLE;
    }
    auto* pPort = new NetPort;
    NetPort& p = *pPort;
    p.Socket = s;
    p.Address = address;
    uint8_t acRequests[16];
    size_t n = Telnet_Start(p.Telnet, Negotiates(p), acRequests);
    if (n != 0 && !Send(p, acRequests, n)) {
        SetNote(acProblem, "the server closed the connection");
        COM_NetClose(reinterpret_cast<ComHandle>(pPort));
        return COM_NO_HANDLE;
    }
    return reinterpret_cast<ComHandle>(pPort);
}

void COM_NetClose(ComHandle h) {
    NetPort* pPort = &PortOf(h);
    NetSocket_Close(pPort->Socket);
    delete pPort;
}

// The server's queues and the read timeouts are no settings of a connection: every read brings its
// own deadline.
bool COM_NetSetupQueues(ComHandle, uint32_t, uint32_t) {
    return true;
}

bool COM_NetSetTimeouts(ComHandle, const ComTimeouts&) {
    return true;
}

// Raw TCP leaves the line to the server; COM-PORT-OPTION sets it and checks every answer.
bool COM_NetSetLine(ComHandle h, const PortSettings& s) {
    NetPort& p = PortOf(h);
    return !Negotiates(p) || SetUpLine(p, s);
}

ComIo COM_NetWrite(ComHandle h, const uint8_t* pData, uint32_t count) {
    NetPort& p = PortOf(h);
    if (!Negotiates(p))
        return Send(p, pData, count) ? COM_IO_OK : COM_IO_GONE;
    // The owed replies and the purge go ahead of the data, in the same write: a frame is one write.
    uint8_t acOut[2 * NET_CHUNK + sizeof p.Telnet.acOwed + 16];
    uint32_t done = 0;
    do {
        size_t n = Telnet_TakeOwed(p.Telnet, acOut);
        if (p.PurgeOwed)
            n += Rfc2217_Purge(acOut + n);
        p.PurgeOwed = false;
        uint32_t chunk = std::min<uint32_t>(count - done, NET_CHUNK);
        n += Telnet_Escape(pData + done, chunk, acOut + n);
        if (!Send(p, acOut, n))
            return COM_IO_GONE;
        done += chunk;
    } while (done < count);
    return COM_IO_OK;
}

// What has arrived is dropped here; what the server still holds from the device it drops on the
// PURGE-DATA that leads the next frame.
void COM_NetDiscardInput(ComHandle h) {
    NetPort& p = PortOf(h);
    Drain(p);
    p.PurgeOwed = Negotiates(p);
}

// Waits for the whole count until the total timeout, as a local port with no interval timeout
// does; the immediate set (all zero but the interval) takes what has arrived.
ComIo COM_NetRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot) {
    NetPort& p = PortOf(h);
    const uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const Clock::time_point deadline = NetSocket_Now() + std::chrono::milliseconds(totalMs);
    *pGot = 0;
    while (*pGot < count) {
        size_t n = 0;
        NetIo io = ReceiveSome(p, pData + *pGot, count - *pGot, &n);
        *pGot += static_cast<uint32_t>(n);
        if (io == NET_IO_GONE)
            return COM_IO_GONE;
        if (io == NET_IO_DATA)
            continue;
        if (NetSocket_Now() >= deadline)
            break;
        NetSocket_WaitReadable(p.Socket, MillisecondsLeft(deadline));
    }
    return COM_IO_OK;
}

void COM_NetProblem(char* acOut, size_t size) {
    std::lock_guard<std::mutex> guard(NotesLock);
    std::snprintf(acOut, size, "%s", acProblem);
}
