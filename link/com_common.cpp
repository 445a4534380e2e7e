// The COM module's state machine, the same on every platform: the settings in force, PortState, the
// timeout set, the detected ports, the lock and the "COM::" messages. The backend only touches devices.
#include "app/app.h"
#include "link/com.h"
#include "link/com_internal.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A port whose device went away is tried again this often: an adapter plugged back in is found
// within about a second, and an absent one costs one failed open a second.
constexpr auto REOPEN_INTERVAL = std::chrono::seconds(1);

PortSettings Settings;
ComHandle hPort = COM_NO_HANDLE;
const ComBackend* pBackend = nullptr; // the kind of port hPort is; set with every open
Clock::time_point NextReopen;
std::atomic<int> PortState{PORT_NOT_CONFIGURED};
ComTimeouts Timeouts;
// Mirrors of values the getters read without waiting for a running port call.
std::atomic<uint32_t> CurrentReadTimeout{0};
std::atomic<uint32_t> TimeoutProgramCount{0};
struct DetectedPort {
    ComHandle Handle = COM_NO_HANDLE;
    const ComBackend* pBackend = nullptr;
};
DetectedPort DetectedPorts[COM_PORT_COUNT];
// Counts the changes of settings. An open on a thread of its own carries the number of the
// selection it serves, and a later change supersedes it: its handle is closed when it comes.
uint64_t Selection = 0;
// What the selection's failed open leaves: the state the close before it left, as _InitCOM does.
int StateIfNotOpened = PORT_NOT_CONFIGURED;

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

constexpr ComTimeouts IMMEDIATE_TIMEOUTS{COM_READ_IMMEDIATE, 0, 0, 0, 0};
// The longest error box text: a step's message and the reason a network port gives.
constexpr size_t MESSAGE_SIZE = 384;

void NoteTimeouts(const ComTimeouts& t) {
    Timeouts = t;
    CurrentReadTimeout.store(t.ReadTotalTimeoutConstant, std::memory_order_relaxed);
    TimeoutProgramCount.fetch_add(1, std::memory_order_relaxed);
}

bool ProgramTimeouts(const ComTimeouts& t) {
    if (!pBackend->SetTimeouts(hPort, t))
        return false;
    NoteTimeouts(t);
    return true;
}

void CloseHandleLocked() {
    if (hPort == COM_NO_HANDLE)
        return;
    pBackend->Close(hPort);
    hPort = COM_NO_HANDLE;
    Timeouts.ReadTotalTimeoutConstant = 0;
    CurrentReadTimeout.store(0, std::memory_order_relaxed);
}

// A close for new settings: a gone port, or one still being opened, is given up with it, so only
// the new one is opened.
void ClosePortLocked() {
    const bool open = hPort != COM_NO_HANDLE;
    CloseHandleLocked();
    if (open || PortState == PORT_GONE || PortState == PORT_OPENING)
        PortState = PORT_CLOSED;
}

// The device went away: the port is closed at once, so that its name is free for the adapter when
// it comes back (a USB-serial driver gives a returning adapter its old number only once nothing
// holds that number any more).
void MarkGoneLocked() {
    CloseHandleLocked();
    PortState = PORT_GONE;
    NextReopen = Clock::now() + REOPEN_INTERVAL;
}

// The line-configuration step: a fresh configuration from the settings, nothing kept from before.
bool COM_ChangeBaudrate(const ComBackend& kind, ComHandle h, const PortSettings& s) {
    return kind.SetLine(h, s);
}

const char* const LINE_REFUSED = "COM::COM_ChangeBaudrate: SetCommState failed";
const char* const NOT_AVAILABLE = "COM::_InitCOM: Port not available";

// The configuration of a freshly opened handle; the message of the failing step, or none.
// *pTimeoutsSet tells whether the immediate-return set was given to it.
const char* Configure(const ComBackend& kind, ComHandle h, const PortSettings& s, bool* pTimeoutsSet) {
    *pTimeoutsSet = false;
    if (!kind.SetupQueues(h, COM_QUEUE_SIZE, COM_QUEUE_SIZE))
        return "COM::_InitCOM: SetupComm failed";
    // Reads return at once with what is buffered until the first read with a timeout.
    if (!kind.SetTimeouts(h, IMMEDIATE_TIMEOUTS))
        return "COM::_InitCOM: SetCommTimeouts failed";
    *pTimeoutsSet = true;
    if (!COM_ChangeBaudrate(kind, h, s))
        return LINE_REFUSED;
    return nullptr;
}

// The error box's text for the failing step: a server that set other values than asked says which,
// and they belong in the message.
void DescribeFailure(const ComBackend& kind, const char* pError, char (&acError)[MESSAGE_SIZE]) {
    char acWhy[MESSAGE_SIZE / 2] = {};
    if (pError == LINE_REFUSED && kind.Problem)
        kind.Problem(acWhy, sizeof acWhy);
    std::snprintf(acError, sizeof acError, "%s%s%s", pError, *acWhy ? ": " : "", acWhy);
}

// Takes the configured (or not) handle hPort as the port: ready without an error, else not ready
// with the handle kept, as _InitCOM leaves it.
bool SettleLocked(const char* pError, bool timeoutsSet) {
    if (timeoutsSet)
        NoteTimeouts(IMMEDIATE_TIMEOUTS);
    if (pError != nullptr)
        return false;
    PortState = PORT_READY;
    return true;
}

// _InitCOM's steps under the lock; false with the message of the failing step in acError. The
// error box is shown by the caller after the lock is released: it runs a message loop and must not
// block the worker.
bool InitLocked(char (&acError)[MESSAGE_SIZE]) {
    if (hPort == COM_NO_HANDLE) {
        pBackend = &COM_BackendFor(Settings.PortIndex);
        hPort = pBackend->Open(Settings.PortIndex);
        if (hPort == COM_NO_HANDLE) {
            std::snprintf(acError, sizeof acError, "%s", NOT_AVAILABLE);
            return false;
        }
    }
    bool timeoutsSet = false;
    const char* pError = Configure(*pBackend, hPort, Settings, &timeoutsSet);
    if (SettleLocked(pError, timeoutsSet))
        return true;
    DescribeFailure(*pBackend, pError, acError);
    return false;
}

// The failure of the latest selection's open on its own thread, until the main thread shows it.
std::mutex ReportLock;
char acSelectionError[MESSAGE_SIZE];
bool SelectionErrorOwed = false;

void OweSelectionError(const char* pText) {
    std::lock_guard<std::mutex> guard(ReportLock);
    std::snprintf(acSelectionError, sizeof acSelectionError, "%s", pText);
    SelectionErrorOwed = pText[0] != '\0';
}

// The selection's open, away from the dialog's thread and outside the lock (the worker's reads and
// a later selection go on meanwhile). Only the selection still in force takes the outcome.
void OpenSelected(PortSettings settings, const ComBackend* pKind, uint64_t selection, void (*pfnDone)()) {
    bool timeoutsSet = false;
    ComHandle h = pKind->Open(settings.PortIndex);
    const char* pError = h == COM_NO_HANDLE ? NOT_AVAILABLE : Configure(*pKind, h, settings, &timeoutsSet);
    char acError[MESSAGE_SIZE] = {};
    if (pError != nullptr)
        DescribeFailure(*pKind, pError, acError);
    {
        auto lock = LockPort();
        if (selection != Selection) {
            if (h != COM_NO_HANDLE)
                pKind->Close(h);
        } else {
            hPort = h;
            pBackend = pKind;
            if (h == COM_NO_HANDLE || !SettleLocked(pError, timeoutsSet))
                PortState = StateIfNotOpened;
            OweSelectionError(acError);
        }
    }
    if (pfnDone)
        pfnDone();
}

int Report(bool ok, const char* pError) {
    if (ok)
        return 1;
    APP_ErrorBox(pError);
    return 0;
}

} // namespace

void (*pfnComTrace)(int sent, const uint8_t* pData, uint32_t count) = nullptr;

int COM_ChangeSettings(const PortSettings& settings) {
    char acError[MESSAGE_SIZE];
    bool ok;
    {
        auto lock = LockPort();
        // Also after a failed open: the same selection again does not retry.
        if (SameSettings(settings, Settings))
            return 0;
        Settings = settings;
        ++Selection;
        OweSelectionError("");
        ClosePortLocked();
        ok = InitLocked(acError);
    }
    return Report(ok, acError);
}

int COM_SelectPort(const PortSettings& settings, void (*pfnDone)()) {
    const ComBackend* pKind = &COM_BackendFor(settings.PortIndex);
    if (!pKind->ConnectsSlowly) {
        COM_ChangeSettings(settings);
        return 0;
    }
    uint64_t selection;
    {
        auto lock = LockPort();
        if (SameSettings(settings, Settings))
            return PortState == PORT_OPENING ? 1 : 0;
        Settings = settings;
        selection = ++Selection;
        OweSelectionError("");
        ClosePortLocked();
        StateIfNotOpened = PortState;
        PortState = PORT_OPENING;
    }
    try {
        std::thread(OpenSelected, settings, pKind, selection, pfnDone).detach();
    } catch (const std::system_error&) {
        OpenSelected(settings, pKind, selection, pfnDone); // no thread to be had: the slow way
    }
    return 1;
}

int COM_ReportSelection() {
    const bool settled = PortState != PORT_OPENING;
    char acError[MESSAGE_SIZE];
    {
        std::lock_guard<std::mutex> guard(ReportLock);
        if (!SelectionErrorOwed)
            return settled ? 1 : 0;
        SelectionErrorOwed = false;
        std::snprintf(acError, sizeof acError, "%s", acSelectionError);
    }
    APP_ErrorBox(acError);
    return settled ? 1 : 0;
}

int _InitCOM() {
    char acError[MESSAGE_SIZE];
    bool ok;
    {
        auto lock = LockPort();
        ok = InitLocked(acError);
    }
    return Report(ok, acError);
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
    const ComIo result = pBackend->Write(hPort, pData, count);
    if (result == COM_IO_GONE)
        MarkGoneLocked();
    return result == COM_IO_OK ? 0 : 1;
}

void COM_DiscardInput() {
    auto lock = LockPort();
    if (_CheckCOM() == 0)
        pBackend->DiscardInput(hPort);
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
    uint32_t got = 0;
    if (pBackend->Read(hPort, pData, count, Timeouts, &got) == COM_IO_GONE)
        MarkGoneLocked();
    if (pfnComTrace && got > 0)
        pfnComTrace(0, pData, got);
    return got;
}

int COM_ReopenGonePort() {
    PortSettings settings;
    const ComBackend* pKind;
    {
        auto lock = LockPort();
        if (PortState != PORT_GONE)
            return PortState == PORT_READY ? 1 : 0;
        if (Clock::now() < NextReopen)
            return 0;
        settings = Settings;
        pKind = &COM_BackendFor(settings.PortIndex);
    }
    // Outside the lock: connecting to a server takes up to a few seconds, and the dialog's calls
    // must not wait for it. Only a port that takes the whole configuration counts as back; anything
    // less is closed again, so the next try opens it afresh (and the name stays free meanwhile).
    bool timeoutsSet = false;
    ComHandle h = pKind->Open(settings.PortIndex);
    const bool configured = h != COM_NO_HANDLE && Configure(*pKind, h, settings, &timeoutsSet) == nullptr;
    auto lock = LockPort();
    NextReopen = Clock::now() + REOPEN_INTERVAL;
    // Taken only when nothing else was selected meanwhile.
    if (configured && PortState == PORT_GONE && SameSettings(settings, Settings)) {
        hPort = h;
        pBackend = pKind;
        NoteTimeouts(IMMEDIATE_TIMEOUTS);
        PortState = PORT_READY;
        return 1;
    }
    if (h != COM_NO_HANDLE)
        pKind->Close(h);
    return PortState == PORT_READY ? 1 : 0;
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
            DetectedPort& d = DetectedPorts[n];
            const ComBackend& kind = COM_BackendFor(n);
            if (kind.ListedByName) {
                aPorts[count++] = n;
                continue;
            }
            if (d.Handle == COM_NO_HANDLE) {
                d.pBackend = &kind;
                d.Handle = d.pBackend->Open(n);
            }
            present = d.Handle != COM_NO_HANDLE;
        }
        if (present)
            aPorts[count++] = n;
    }
    return count;
}

void COM_ReleaseDetectedPorts() {
    auto lock = LockPort();
    for (DetectedPort& d : DetectedPorts) {
        if (d.Handle != COM_NO_HANDLE) {
            d.pBackend->Close(d.Handle);
            d.Handle = COM_NO_HANDLE;
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
        ++Selection;
        OweSelectionError("");
        Settings = PortSettings{};
        PortState = PORT_NOT_CONFIGURED;
        Timeouts = ComTimeouts{};
        CurrentReadTimeout.store(0, std::memory_order_relaxed);
        COM_OsResetPortTable();
    }
    COM_ReleaseDetectedPorts();
}
