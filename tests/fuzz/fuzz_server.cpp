// The scripted server behind the NetSocket_* functions (see fuzz_server.h).
#include "fuzz_server.h"

#include "fuzz_line.h"
#include "link/com_net.h"

#include <algorithm>
#include <cstring>

namespace {

struct Chunk {
    size_t End;    // the stream's bytes [previous End, End) arrive together
    uint64_t AtUs; // at this time
};

constexpr NetSocket THE_SOCKET = 7;
// More socket calls than any input can need while the clock moves: a loop that never waits.
constexpr uint64_t MOST_CALLS = 2'000'000;

// The one connection's state; fresh for every input.
struct Server {
    std::vector<uint8_t> Stream;
    std::vector<Chunk> Chunks;
    size_t Taken = 0;
    size_t ChunkAt = 0; // the chunk holding Stream[Taken]
    uint64_t NowUs = 0;
    bool Closes = false;
    size_t StallAfter = SIZE_MAX;
    bool Stalled = false;
    std::vector<uint8_t> Received;
    std::vector<fuzz_server::Write> Writes;
    uint64_t Calls = 0;
};
Server S;

void Count() {
    fuzz::Check(++S.Calls < MOST_CALLS);
}

uint64_t LastUs() {
    return S.Chunks.empty() ? 0 : S.Chunks.back().AtUs;
}

// The bytes that have arrived and are not taken yet.
size_t Arrived() {
    size_t end = S.Taken;
    for (size_t c = S.ChunkAt; c < S.Chunks.size() && S.Chunks[c].AtUs <= S.NowUs; ++c)
        end = S.Chunks[c].End;
    return end - S.Taken;
}

// Past the chunks already taken whole (empty ones too), so that ChunkAt holds Stream[Taken].
void Settle() {
    while (S.ChunkAt < S.Chunks.size() && S.Chunks[S.ChunkAt].End <= S.Taken)
        ++S.ChunkAt;
}

bool ClosedNow() {
    return S.Closes && S.Taken == S.Stream.size() && S.NowUs >= LastUs();
}

} // namespace

namespace fuzz_server {

void Reset() {
    S.Stream.clear();
    S.Chunks.clear();
    S.Taken = S.ChunkAt = 0;
    S.NowUs = 0;
    S.Closes = false;
    S.StallAfter = SIZE_MAX;
    S.Stalled = false;
    S.Received.clear();
    S.Writes.clear();
    S.Calls = 0;
}

void Send(const uint8_t* pBytes, size_t size, uint64_t atUs) {
    S.Stream.insert(S.Stream.end(), pBytes, pBytes + size);
    S.Chunks.push_back({S.Stream.size(), std::max(atUs, LastUs())});
    Settle();
}

void CloseAfterLast() {
    S.Closes = true;
}

void StopReadingAfter(size_t writes) {
    S.StallAfter = writes;
}

uint64_t NowUs() {
    return S.NowUs;
}

const std::vector<uint8_t>& Stream() {
    return S.Stream;
}

size_t Taken() {
    return S.Taken;
}

bool Exhausted() {
    return S.Taken == S.Stream.size() && (!S.Closes || ClosedNow());
}

bool Closed() {
    return ClosedNow();
}

const std::vector<uint8_t>& Received() {
    return S.Received;
}

const std::vector<Write>& Writes() {
    return S.Writes;
}

bool Stalled() {
    return S.Stalled;
}

} // namespace fuzz_server

NetClock::time_point NetSocket_Now() {
    return NetClock::time_point(std::chrono::microseconds(S.NowUs));
}

NetSocket NetSocket_Connect(const char*, uint16_t, uint32_t, char*, size_t) {
    return THE_SOCKET;
}

void NetSocket_Close(NetSocket s) {
    fuzz::Check(s == THE_SOCKET);
}

// Readable when bytes have arrived or the close has; otherwise the clock moves to the next arrival
// within the time, or by the whole time.
bool NetSocket_WaitReadable(NetSocket s, uint32_t timeoutMs) {
    fuzz::Check(s == THE_SOCKET);
    Count();
    if (Arrived() > 0 || ClosedNow())
        return true;
    const uint64_t deadline = S.NowUs + uint64_t{timeoutMs} * 1000;
    uint64_t next = UINT64_MAX;
    if (S.Taken < S.Stream.size())
        next = S.Chunks[S.ChunkAt].AtUs;
    else if (S.Closes)
        next = LastUs();
    if (next <= deadline) {
        S.NowUs = std::max(S.NowUs, next);
        return true;
    }
    S.NowUs = deadline;
    return false;
}

NetIo NetSocket_Receive(NetSocket s, uint8_t* pData, size_t size, size_t* pGot) {
    fuzz::Check(s == THE_SOCKET);
    Count();
    const size_t n = std::min(size, Arrived());
    *pGot = n;
    if (n == 0)
        return ClosedNow() ? NET_IO_GONE : NET_IO_NONE;
    std::memcpy(pData, S.Stream.data() + S.Taken, n);
    S.Taken += n;
    Settle();
    return NET_IO_DATA;
}

// A server that stopped reading lets the sender wait its whole stall time, then the send fails.
bool NetSocket_SendAll(NetSocket s, const uint8_t* pData, size_t size, uint32_t stallMs) {
    fuzz::Check(s == THE_SOCKET);
    Count();
    if (S.Writes.size() >= S.StallAfter) {
        S.NowUs += uint64_t{stallMs} * 1000;
        S.Stalled = true;
        return false;
    }
    S.Writes.push_back({S.Received.size(), S.Taken});
    S.Received.insert(S.Received.end(), pData, pData + size);
    return true;
}
