// A serial device server in place of the socket layer of network ports (the NetSocket_* functions of
// link/com_net.h), for the fuzz targets: it sends the fuzzer's bytes at their scripted times on a
// virtual clock, so a set-up that waits its whole 2 s costs no real time, and it keeps every byte the
// client sent. One connection, one thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz_server {

// A fresh server: clock at 0, nothing to send, nothing received, reading and never closing.
void Reset();
// The server sends these bytes, all at once, at atUs on the virtual clock (not before earlier ones).
void Send(const uint8_t* pBytes, size_t size, uint64_t atUs);
// After its last byte the server closes the connection.
void CloseAfterLast();
// The server stops reading after this many writes of the client: the next one stalls and fails.
void StopReadingAfter(size_t writes);

uint64_t NowUs();
// What the server scheduled, and how much of it the client has taken.
const std::vector<uint8_t>& Stream();
size_t Taken();
// Nothing is left to take and nothing more will come (the close, when there is one, included).
bool Exhausted();
// The client has taken every byte and met the server's close.
bool Closed();
// Every byte the client sent, and for each of its writes where it began and how much of the
// stream the client had taken by then.
struct Write {
    size_t Offset;
    size_t TakenBefore;
};
const std::vector<uint8_t>& Received();
const std::vector<Write>& Writes();
bool Stalled(); // a write met the server that stopped reading

} // namespace fuzz_server
