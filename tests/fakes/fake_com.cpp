#include "fake_com.h"

#include "link/com.h"

#include <deque>
#include <mutex>
#include <thread>

namespace {

struct QueuedByte {
    uint8_t value;
    uint64_t availableMs;
};

std::mutex lock;
bool ready = true;
uint64_t nowMs = 0;
std::deque<QueuedByte> queue;
std::function<void(const fake_com::Bytes&)> responder;
std::vector<fake_com::WriteCall> writes;
std::vector<fake_com::ReadCall> reads;
std::chrono::microseconds shortReadSleep{1000};
PortSettings settings{};
uint32_t currentReadTimeout = 0;

} // namespace

namespace fake_com {

void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    ready = true;
    nowMs = 0;
    queue.clear();
    responder = nullptr;
    writes.clear();
    reads.clear();
    shortReadSleep = std::chrono::microseconds(1000);
    settings = PortSettings{};
    currentReadTimeout = 0;
}

void SetReady(bool isReady) {
    std::lock_guard<std::mutex> guard(lock);
    ready = isReady;
}

void SetResponder(std::function<void(const Bytes&)> r) {
    std::lock_guard<std::mutex> guard(lock);
    responder = std::move(r);
}

void Feed(const Bytes& bytes, uint32_t delayMs) {
    std::lock_guard<std::mutex> guard(lock);
    for (uint8_t b : bytes)
        queue.push_back({b, nowMs + delayMs});
}

void Drain() {
    std::lock_guard<std::mutex> guard(lock);
    queue.clear();
}

size_t Pending() {
    std::lock_guard<std::mutex> guard(lock);
    return queue.size();
}

uint64_t Now() {
    std::lock_guard<std::mutex> guard(lock);
    return nowMs;
}

std::vector<WriteCall> Writes() {
    std::lock_guard<std::mutex> guard(lock);
    return writes;
}

std::vector<ReadCall> Reads() {
    std::lock_guard<std::mutex> guard(lock);
    return reads;
}

void ClearRecords() {
    std::lock_guard<std::mutex> guard(lock);
    writes.clear();
    reads.clear();
}

void SetShortReadSleep(std::chrono::microseconds sleep) {
    std::lock_guard<std::mutex> guard(lock);
    shortReadSleep = sleep;
}

} // namespace fake_com

int _CheckCOM() {
    std::lock_guard<std::mutex> guard(lock);
    return ready ? 0 : 1;
}

int COM_GetPortState() {
    std::lock_guard<std::mutex> guard(lock);
    return ready ? PORT_READY : PORT_CLOSED;
}

// The scripted line never goes away by itself: it is ready when the test made it so.
int COM_ReopenGonePort() {
    std::lock_guard<std::mutex> guard(lock);
    return ready ? 1 : 0;
}

// Bytes that have arrived by now are dropped; those still on their way (fed with a delay) stay.
void COM_DiscardInput() {
    std::lock_guard<std::mutex> guard(lock);
    while (ready && !queue.empty() && queue.front().availableMs <= nowMs)
        queue.pop_front();
}

int COM_Write(const uint8_t* pData, uint32_t count) {
    std::function<void(const fake_com::Bytes&)> r;
    fake_com::Bytes bytes(pData, pData + count);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!ready)
            return 1;
        writes.push_back({bytes, nowMs});
        r = responder;
    }
    if (r)
        r(bytes);
    return 0;
}

uint32_t COM_Read(uint8_t* pData, uint32_t count, uint32_t timeoutMs) {
    std::chrono::microseconds sleep{0};
    uint32_t got = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!ready)
            return 0;
        currentReadTimeout = timeoutMs;
        const uint64_t start = nowMs;
        const uint64_t deadline = start + timeoutMs;
        uint64_t lastArrival = start;
        while (got < count && !queue.empty() && queue.front().availableMs <= deadline) {
            pData[got++] = queue.front().value;
            if (queue.front().availableMs > lastArrival)
                lastArrival = queue.front().availableMs;
            queue.pop_front();
        }
        nowMs = (got == count) ? lastArrival : deadline;
        reads.push_back({count, timeoutMs, got, start, nowMs});
        if (got < count)
            sleep = shortReadSleep;
    }
    if (sleep.count() > 0)
        std::this_thread::sleep_for(sleep);
    return got;
}

// The rest of the port module, so that the fake can stand in for the whole line.
int COM_ChangeSettings(const PortSettings& newSettings) {
    std::lock_guard<std::mutex> guard(lock);
    settings = newSettings;
    ready = true;
    currentReadTimeout = 0;
    return 1;
}

// Every fake port opens at once.
int COM_SelectPort(const PortSettings& newSettings, void (*)()) {
    COM_ChangeSettings(newSettings);
    return 0;
}

int COM_ReportSelection() {
    return 1;
}

int _InitCOM() {
    std::lock_guard<std::mutex> guard(lock);
    ready = true;
    return 1;
}

int32_t COM_DetectPorts(int32_t aPorts[COM_PORT_COUNT]) {
    aPorts[0] = 0;
    return 1;
}

void COM_ReleaseDetectedPorts() {}

uint32_t COM_GetCurrentReadTimeout() {
    std::lock_guard<std::mutex> guard(lock);
    return currentReadTimeout;
}

const char* COM_PortDevice(int index) {
    return index == 0 ? "fake-line" : "";
}

uint32_t COM_GetTimeoutProgramCount() {
    return 0;
}

void COM_ResetPortTable() {
    std::lock_guard<std::mutex> guard(lock);
    settings = PortSettings{};
    currentReadTimeout = 0;
}
