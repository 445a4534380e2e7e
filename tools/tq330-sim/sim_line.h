// The simulator's end of the serial line: a pseudo-terminal master, with an optional model of a
// line of a given baud rate (11 bits a character at 8O1) in both directions.
//   Receive: each byte read from the master counts as arrived one character time after the later of
//            its read and the previous byte's arrival.
//   Send:    each send is queued as one unit and written whole at the moment its last character
//            would have left the line; the line is busy until then. A USB-serial adapter's latency
//            timer holds each unit back a further fixed time before the host sees it; the device's
//            own schedule (the line time) does not move.
// The schedule is absolute, so a paced run costs the line time and nothing more.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;

// Opens the pseudo-terminal, both ends in raw mode, and keeps its own descriptor of the slave so a
// client may close and re-open the device without the master seeing a hang-up. Like a real port,
// the device delivers nothing while no client holds it, and a new client finds no stale bytes.
// With pLinkPath, a symbolic link there leads to the device. Prints the device's path on a line of
// its own on standard output. 0 on success, else 1 with the reason in acError.
int Line_Open(uint32_t baud, uint32_t latencyMs, const char* pLinkPath, char* acError, size_t errorSize);
// Removes the link, if it still leads to our device (the end of the simulator pulls the adapter).
void Line_Close();
// The USB adapter pulled, shortly after what is queued for sending has left: both ends of the
// pseudo-terminal close (a client holding the device sees a hang-up), the link goes away, and
// what was on the line in either direction is lost.
void Line_PullWhenSent();
// The adapter plugged in again: a new pseudo-terminal, announced as Line_Open does, with the link
// leading to it. 0 on success.
int Line_PlugIn();
// -1 while the adapter is pulled.
int Line_MasterFd();
// Opens and closes of the device by clients, as inotify reports them on this descriptor.
int Line_WatchFd();
void Line_ReadClientEvents();

// From now on, what arrives while the client holds the line at other settings than the device's
// (57600 baud, 8 data bits, odd parity, one stop bit) is dropped, as the device would hear noise;
// every change between the two is reported on standard error.
void Line_RequireDeviceLine();

// Reads whatever the master has (non-blocking) and stamps each byte's arrival.
void Line_ReadInput(SimTime now);
size_t Line_Buffered();               // bytes read, arrived or not
uint8_t Line_At(size_t index);        // the index-th buffered byte
SimTime Line_ArrivalOf(size_t index); // when the index-th buffered byte arrives
void Line_Consume(size_t count);
void Line_DiscardInput();

// Queues bytes for sending; they go out whole when their line time is over (which is returned) and
// the adapter's latency has passed.
SimTime Line_Send(const uint8_t* pData, size_t count, SimTime now);
// Writes every unit whose time has come; keeps the rest (and any the master would not take yet).
void Line_WriteDue(SimTime now);
// The time the next queued unit is due (or the adapter is pulled), if any; blocked is set when the
// master took no more bytes.
bool Line_NextOutput(SimTime* pAt, bool* pBlocked);
