// The COM module's state machine, the same on every platform: the settings in force, PortState, the
// timeout set, the detected ports, the lock and the "COM::" messages. The backend only touches devices.
#include "app/app.h"
#include "link/com.h"
#include "link/com_internal.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

PortSettings Settings;
ComHandle hPort = COM_NO_HANDLE;
std::atomic<int> PortState{PORT_NOT_CONFIGURED};
ComTimeouts Timeouts;
// Mirrors of values the getters read without waiting for a running port call.
std::atomic<uint32_t> CurrentReadTimeout{0};
std::atomic<uint32_t> TimeoutProgramCount{0};
ComHandle DetectedPorts[COM_PORT_COUNT] = {COM_NO_HANDLE, COM_NO_HANDLE, COM_NO_HANDLE,
                                           COM_NO_HANDLE, COM_NO_HANDLE, COM_NO_HANDLE,
                                           COM_NO_HANDLE, COM_NO_HANDLE, COM_NO_HANDLE};

// The worker reads back to back; a plain mutex could let it take the port again and again ahead of
// the dialog's re-open. Every caller passes Gate first, and a waiting caller holds Gate, so the
// worker's next call queues behind it.
std::mutex Gate;
std::mutex PortLock;

std::unique_lock<std::mutex> LockPort() {
    std::lock_guard<std::mutex> gate(Gate);
    return std::unique_lock<std::mutex>(PortLock);
}

bool SameSettings(const PortSettings& a, const PortSettings& b) {
    return a.BaudRate == b.BaudRate && a.PortIndex == b.PortIndex && a.DataBits == b.DataBits &&
           a.Parity == b.Parity && a.StopBits == b.StopBits;
}

bool ProgramTimeouts(const ComTimeouts& t) {
    if (!COM_OsSetTimeouts(hPort, t))
        return false;
    Timeouts = t;
    CurrentReadTimeout.store(t.ReadTotalTimeoutConstant, std::memory_order_relaxed);
    TimeoutProgramCount.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ClosePortLocked() {
    if (hPort == COM_NO_HANDLE)
        return;
    COM_OsClose(hPort);
    hPort = COM_NO_HANDLE;
    PortState = PORT_CLOSED;
    Timeouts.ReadTotalTimeoutConstant = 0;
    CurrentReadTimeout.store(0, std::memory_order_relaxed);
}

// The line-configuration step: a fresh configuration from the settings, nothing kept from before.
bool COM_ChangeBaudrate() {
    return COM_OsSetLine(hPort, Settings);
}

// _InitCOM's steps under the lock; the message of the failing step, or none. The error box is shown
// by the caller after the lock is released: it runs a message loop and must not block the worker.
const char* InitLocked() {
    if (hPort == COM_NO_HANDLE) {
        hPort = COM_OsOpen(Settings.PortIndex);
        if (hPort == COM_NO_HANDLE)
            return "COM::_InitCOM: Port not available";
    }
    if (!COM_OsSetupQueues(hPort, COM_QUEUE_SIZE, COM_QUEUE_SIZE))
        return "COM::_InitCOM: SetupComm failed";
    // Reads return at once with what is buffered until the first read with a timeout.
    if (!ProgramTimeouts(ComTimeouts{COM_READ_IMMEDIATE, 0, 0, 0, 0}))
        return "COM::_InitCOM: SetCommTimeouts failed";
    if (!COM_ChangeBaudrate())
        return "COM::COM_ChangeBaudrate: SetCommState failed";
    PortState = PORT_READY;
    return nullptr;
}

int Report(const char* pError) {
    if (pError == nullptr)
        return 1;
    APP_ErrorBox(pError);
    return 0;
}

} // namespace

void (*pfnComTrace)(int sent, const uint8_t* pData, uint32_t count) = nullptr;

int COM_ChangeSettings(const PortSettings& settings) {
    const char* pError;
    {
        auto lock = LockPort();
        // Also after a failed open: the same selection again does not retry.
        if (SameSettings(settings, Settings))
            return 0;
        Settings = settings;
        ClosePortLocked();
        pError = InitLocked();
    }
    return Report(pError);
}

int _InitCOM() {
    const char* pError;
    {
        auto lock = LockPort();
        pError = InitLocked();
    }
    return Report(pError);
}

int _CheckCOM() {
    return PortState == PORT_READY ? 0 : 1;
}

int COM_Write(const uint8_t* pData, uint32_t count) {
    auto lock = LockPort();
    if (_CheckCOM() != 0)
        return 1;
    if (pfnComTrace)
        pfnComTrace(1, pData, count);
    return COM_OsWrite(hPort, pData, count) ? 0 : 1;
}

void COM_DiscardInput() {
    auto lock = LockPort();
    if (_CheckCOM() == 0)
        COM_OsDiscardInput(hPort);
}

uint32_t COM_Read(uint8_t* pData, uint32_t count, uint32_t timeoutMs) {
    auto lock = LockPort();
    if (_CheckCOM() != 0)
        return 0;
    if (timeoutMs != Timeouts.ReadTotalTimeoutConstant) {
        // A zero timeout asks for what is buffered; an all-zero set would mean "wait for every
        // byte, however long" on Win32, so zero gets the immediate-return set instead.
        ComTimeouts t{0, 0, timeoutMs, 0, 0};
        if (timeoutMs == 0)
            t.ReadIntervalTimeout = COM_READ_IMMEDIATE;
        // Not reported: the next read tries again, and the frame layer copes with a short read.
        ProgramTimeouts(t);
    }
    uint32_t got = COM_OsRead(hPort, pData, count, Timeouts);
    if (pfnComTrace && got > 0)
        pfnComTrace(0, pData, got);
    return got;
}

int32_t COM_DetectPorts(int32_t aPorts[COM_PORT_COUNT]) {
    auto lock = LockPort();
    int32_t count = 0;
    for (int n = 0; n < COM_PORT_COUNT; ++n) {
        bool present;
        if (n == Settings.PortIndex && hPort != COM_NO_HANDLE) {
            present = true; // ours: it cannot be opened a second time
        } else {
            // A port still held from an earlier detection counts, rather than failing to reopen.
            if (DetectedPorts[n] == COM_NO_HANDLE)
                DetectedPorts[n] = COM_OsOpen(n);
            present = DetectedPorts[n] != COM_NO_HANDLE;
        }
        if (present)
            aPorts[count++] = n;
    }
    return count;
}

void COM_ReleaseDetectedPorts() {
    auto lock = LockPort();
    for (ComHandle& h : DetectedPorts) {
        if (h != COM_NO_HANDLE) {
            COM_OsClose(h);
            h = COM_NO_HANDLE;
        }
    }
}

int COM_GetPortState() {
    return PortState;
}

uint32_t COM_GetCurrentReadTimeout() {
    return CurrentReadTimeout.load(std::memory_order_relaxed);
}

uint32_t COM_GetTimeoutProgramCount() {
    return TimeoutProgramCount.load(std::memory_order_relaxed);
}

const char* COM_PortDevice(int index) {
    return COM_OsPortDevice(index);
}

void COM_ResetPortTable() {
    {
        auto lock = LockPort();
        ClosePortLocked();
        Settings = PortSettings{};
        PortState = PORT_NOT_CONFIGURED;
        Timeouts = ComTimeouts{};
        CurrentReadTimeout.store(0, std::memory_order_relaxed);
        COM_OsResetPortTable();
    }
    COM_ReleaseDetectedPorts();
}
