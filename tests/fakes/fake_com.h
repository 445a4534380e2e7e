// An in-process serial line for the tests of link/ and above: implements link/com.h. The test scripts
// what the device sends (a responder called on every COM_Write, so answers follow requests, and
// bytes fed at any time: garbage, partial frames, silence), switches the port ready or not, and
// reads back every byte written and every COM_Read with its timeout.
//
// Time is virtual: a read that is not satisfied returns at once but advances the clock by its
// whole timeout, so protocol timings are asserted exactly and without sleeping. Each such short
// read also sleeps a tiny real moment, so that a worker thread polling a silent line does not spin
// a core. Thread-safe: the worker thread and the test thread may use it at the same time.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace fake_com {

using Bytes = std::vector<uint8_t>;

struct ReadCall {
    uint32_t count;     // bytes wanted
    uint32_t timeoutMs; // as passed
    uint32_t got;       // bytes returned
    uint64_t startMs;   // virtual time when the read began
    uint64_t endMs;     // virtual time when it returned
};

struct WriteCall {
    Bytes bytes;
    uint64_t atMs;
};

// Back to a fresh line: ready, clock at 0, nothing queued, no responder, no records, 1 ms real
// sleep per short read.
void Reset();
void SetReady(bool ready);

// Called on the writing thread, after the write is recorded, with the bytes written. It typically
// calls Feed to queue the device's answer. Runs outside the line's lock.
void SetResponder(std::function<void(const Bytes& written)> responder);

// Queues bytes from the device, arriving `delayMs` after the current virtual time.
void Feed(const Bytes& bytes, uint32_t delayMs = 0);
// Drops whatever is still queued.
void Drain();
size_t Pending();

uint64_t Now();
std::vector<WriteCall> Writes();
std::vector<ReadCall> Reads();
void ClearRecords();

// Real time each short read of a ready line sleeps (0 for none).
void SetShortReadSleep(std::chrono::microseconds sleep);

} // namespace fake_com
