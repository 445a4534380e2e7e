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
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

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

// The one network port open at a time (the COM module closes a port before it opens the next).
struct NetPort {
    NetSocket Socket = NET_NO_SOCKET;
    NetAddress Address{};
    TelnetState Telnet{};
    bool PurgeOwed = false; // PURGE-DATA goes out ahead of the next frame
    bool Gone = false;      // the server closed or reset the connection
};
NetPort Port;

// The notes of the last open, read by the front end's thread while the worker may open again.
constexpr size_t NOTE_SIZE = 256;
std::mutex NotesLock;
char acProblem[NOTE_SIZE];
char acWarning[NOTE_SIZE];

void SetNote(char (&acNote)[NOTE_SIZE], const char* pText) {
    std::lock_guard<std::mutex> guard(NotesLock);
    std::snprintf(acNote, sizeof acNote, "%s", pText);
}

bool Negotiates() {
    return Port.Address.Kind == NET_RFC2217;
}

// Takes what has arrived, at most `room` bytes of data; Telnet commands are taken out and the
// replies they ask for sent at once. NET_IO_DATA also when every byte was a command (*pGot 0).
NetIo ReceiveSome(uint8_t* pData, size_t room, size_t* pGot) {
    *pGot = 0;
    if (Port.Gone)
        return NET_IO_GONE;
    uint8_t acRaw[512];
    size_t raw = 0;
    // Each raw byte gives at most one data byte, so reading no more than room never overfills.
    NetIo io = NetSocket_Receive(Port.Socket, acRaw, std::min(room, sizeof acRaw), &raw);
    if (io == NET_IO_GONE)
        Port.Gone = true;
    if (io != NET_IO_DATA)
        return io;
    if (!Negotiates()) {
        std::memcpy(pData, acRaw, raw);
        *pGot = raw;
        return io;
    }
    *pGot = Telnet_Receive(Port.Telnet, acRaw, raw, pData);
    if (Port.Telnet.OwedLength != 0) {
        uint8_t acOwed[sizeof Port.Telnet.acOwed];
        size_t n = Telnet_TakeOwed(Port.Telnet, acOwed);
        if (!NetSocket_SendAll(Port.Socket, acOwed, n, NET_STALL_MS))
            Port.Gone = true;
    }
    return io;
}

// Reads and drops whatever has arrived.
void Drain() {
    uint8_t acJunk[512];
    size_t got = 0;
    while (ReceiveSome(acJunk, sizeof acJunk, &got) == NET_IO_DATA) {
    }
}

bool Send(const uint8_t* pData, size_t n) {
    if (!Port.Gone && !NetSocket_SendAll(Port.Socket, pData, n, NET_STALL_MS))
        Port.Gone = true;
    return !Port.Gone;
}

uint32_t MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<uint32_t>((left + 999) / 1000);
}

// The line set-up of COM-PORT-OPTION: once the server has agreed to the option, every setting is
// sent in one write and each answer judged as it comes.
bool SetUpLine(const PortSettings& s) {
    const Clock::time_point begun = Clock::now();
    const Clock::time_point deadline = begun + NET_SETUP_TIME;
    Clock::time_point answersDue = deadline;
    bool sent = false;
    bool lineSet = false;
    Clock::time_point sentAt{};
    char acWhy[256] = {};
    char acNote[256] = {};
    for (;;) {
        Drain(); // the device's bytes before its line is set are noise
        if (Port.Gone) {
            SetNote(acProblem, "the server closed the connection during the line set-up");
            return false;
        }
        if (!sent && Port.Telnet.aUs[TELOPT_COM_PORT] == TN_ON) {
            uint8_t acSetup[80];
            size_t n = 0;
            if (!Rfc2217_BeginSetup(Port.Telnet, s, acSetup, &n)) {
                SetNote(acProblem, "COM-PORT-OPTION has no code for these line settings");
                return false;
            }
            n += Rfc2217_Purge(acSetup + n);
            sent = Send(acSetup, n);
            sentAt = Clock::now();
        }
        const Clock::time_point now = Clock::now();
        const bool final = now >= answersDue;
        if (final && !sent && Port.Telnet.aUs[TELOPT_COM_PORT] != TN_REFUSED) {
            SetNote(acProblem, "the server did not take up COM-PORT-OPTION (RFC 2217)");
            return false;
        }
        switch (Rfc2217_CheckSetup(Port.Telnet, s, final, acWhy, sizeof acWhy, acNote, sizeof acNote)) {
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
        NetSocket_WaitReadable(Port.Socket, std::max<uint32_t>(1, MillisecondsLeft(answersDue)));
    }
}

} // namespace

void COM_GetPortNotes(char* acProblemOut, char* acWarningOut, size_t size) {
    std::lock_guard<std::mutex> guard(NotesLock);
    std::snprintf(acProblemOut, size, "%s", acProblem);
    std::snprintf(acWarningOut, size, "%s", acWarning);
}

ComHandle COM_NetOpen(const char* name) {
    SetNote(acProblem, "");
    SetNote(acWarning, "");
    char acWhy[256] = {};
    NetAddress address{};
    if (!COM_ParseNetName(name, &address, acWhy, sizeof acWhy) || address.Kind == NET_NONE) {
        SetNote(acProblem, acWhy);
        return COM_NO_HANDLE;
    }
    NetSocket s = NetSocket_Connect(address.acHost, address.Port, NET_CONNECT_MS, acWhy, sizeof acWhy);
    if (s == NET_NO_SOCKET) {
        SetNote(acProblem, acWhy);
        return COM_NO_HANDLE;
    }
    Port = NetPort{};
    Port.Socket = s;
    Port.Address = address;
    uint8_t acRequests[16];
    size_t n = Telnet_Start(Port.Telnet, Negotiates(), acRequests);
    if (n != 0 && !Send(acRequests, n)) {
        SetNote(acProblem, "the server closed the connection");
        NetSocket_Close(s);
        Port = NetPort{};
        return COM_NO_HANDLE;
    }
    return static_cast<ComHandle>(s);
}

void COM_NetClose(ComHandle) {
    if (Port.Socket != NET_NO_SOCKET)
        NetSocket_Close(Port.Socket);
    Port = NetPort{};
}

// Raw TCP leaves the line to the server; COM-PORT-OPTION sets it and checks every answer.
bool COM_NetSetLine(ComHandle, const PortSettings& s) {
    return !Negotiates() || SetUpLine(s);
}

bool COM_NetWrite(ComHandle, const uint8_t* pData, uint32_t count) {
    if (!Negotiates())
        return Send(pData, count);
    // The owed replies and the purge go ahead of the data, in the same write: a frame is one write.
    uint8_t acOut[2 * NET_CHUNK + sizeof Port.Telnet.acOwed + 16];
    uint32_t done = 0;
    do {
        size_t n = Telnet_TakeOwed(Port.Telnet, acOut);
        if (Port.PurgeOwed)
            n += Rfc2217_Purge(acOut + n);
        Port.PurgeOwed = false;
        uint32_t chunk = std::min<uint32_t>(count - done, NET_CHUNK);
        n += Telnet_Escape(pData + done, chunk, acOut + n);
        if (!Send(acOut, n))
            return false;
        done += chunk;
    } while (done < count);
    return true;
}

// What has arrived is dropped here; what the server still holds from the device it drops on the
// PURGE-DATA that leads the next frame.
void COM_NetDiscardInput(ComHandle) {
    Drain();
    Port.PurgeOwed = Negotiates();
}

uint32_t COM_NetRead(ComHandle, uint8_t* pData, uint32_t count, const ComTimeouts& t) {
    const uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    uint32_t got = 0;
    while (got < count) {
        size_t n = 0;
        NetIo io = ReceiveSome(pData + got, count - got, &n);
        got += static_cast<uint32_t>(n);
        if (io == NET_IO_DATA)
            continue;
        if (Clock::now() >= deadline)
            break;
        if (io == NET_IO_GONE) {
            // A gone server reads as a silent line: a caller that polls in a loop does not spin.
            std::this_thread::sleep_until(deadline);
            break;
        }
        NetSocket_WaitReadable(Port.Socket, MillisecondsLeft(deadline));
    }
    return got;
}

bool COM_NetGone() {
    return Port.Gone;
}
