// Win32 backend of the COM module: the port names "COM1" to "COM9" (or the one port a front end
// names, up to COM256), synchronous handle I/O, the driver's own read timeouts.
#include "link/com_internal.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The names behind the indexes: "COM1" to "COM9" unless a front end set its own (COM_SetPortTable).
std::mutex TableLock;
std::string aPortNames[COM_PORT_COUNT];
bool TableSet = false;

void MakeDefaultTableLocked() {
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        aPortNames[i] = "COM" + std::to_string(i + 1);
    TableSet = true;
}

const std::string& PortNameLocked(int index) {
    if (!TableSet)
        MakeDefaultTableLocked();
    return aPortNames[index];
}

// What the driver was last asked for and whether it took it. A refused set leaves the earlier one in
// force (after _InitCOM the one that returns at once), which the module hands to COM_OsRead.
struct AskedTimeouts {
    HANDLE Port;
    ComTimeouts Asked;
    bool Taken;
};
AskedTimeouts LastAsked{INVALID_HANDLE_VALUE, {}, true};

// Waits of a read under a driver that did not take the timeouts: short, so that bytes arriving
// meanwhile end the read soon, and long enough that the wait costs no CPU worth measuring.
constexpr DWORD READ_STEP_MS = 10;

HANDLE ToHandle(ComHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

// A read or write failed: is the device gone? Drivers fail the calls of a removed USB adapter with
// one of these (Wine, whose port is a hung-up terminal, with ERROR_NOT_READY); ClearCommError then
// fails too, where a live port with a line error still answers it.
bool DeviceGone(HANDLE h, DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_OPERATION_ABORTED:
        break;
    default:
        return false;
    }
    DWORD errors = 0;
    COMSTAT status;
    return ClearCommError(h, &errors, &status) == 0;
}

ULONGLONG TotalTimeoutMs(const ComTimeouts& t, uint32_t count) {
    return ULONGLONG(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
}

} // namespace

ComHandle COM_OpenExclusive(const std::string& name, uint32_t* pError) {
    // The device namespace: "COM10" and above open only by that name, COM1 to COM9 by either.
    const std::string device = "\\\\.\\" + name;
    // No sharing: a port another program holds cannot be opened, and detection leaves it out.
    HANDLE h =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *pError = GetLastError();
        return COM_NO_HANDLE;
    }
    return reinterpret_cast<ComHandle>(h);
}

ComHandle COM_OsOpen(int index) {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        if (index < 0 || index >= COM_PORT_COUNT || PortNameLocked(index).empty())
            return COM_NO_HANDLE;
        name = PortNameLocked(index);
    }
    uint32_t error = 0;
    return COM_OpenExclusive(name, &error);
}

void COM_OsClose(ComHandle h) {
    CloseHandle(ToHandle(h));
}

bool COM_OsSetupQueues(ComHandle h, uint32_t inSize, uint32_t outSize) {
    return SetupComm(ToHandle(h), inSize, outSize) != 0;
}

bool COM_OsSetTimeouts(ComHandle h, const ComTimeouts& t) {
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    LastAsked = AskedTimeouts{ToHandle(h), t, SetCommTimeouts(ToHandle(h), &ct) != 0};
    return LastAsked.Taken;
}

// A fresh DCB: binary, parity checking, DTR and RTS enabled, no flow control, no error-character
// replacement (a byte with a parity error is delivered as received), no abort on error. Its flag
// word is 0x1013.
bool COM_OsSetLine(ComHandle h, const PortSettings& s) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.BaudRate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = s.DataBits;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return SetCommState(ToHandle(h), &dcb) != 0;
}

ComIo COM_OsWrite(ComHandle h, const uint8_t* pData, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!WriteFile(ToHandle(h), pData + done, count - done, &written, nullptr))
            return DeviceGone(ToHandle(h), GetLastError()) ? COM_IO_GONE : COM_IO_FAILED;
        if (written == 0)
            return COM_IO_FAILED;
        done += written;
    }
    return COM_IO_OK;
}

void COM_OsDiscardInput(ComHandle h) {
    PurgeComm(ToHandle(h), PURGE_RXCLEAR);
}

// The driver applies the timeouts set last. A removed adapter ends the read at once. Any other
// failed read, or one under an earlier set because the driver refused the one asked for, still
// takes the time asked for, so that a caller that polls in a loop does not spin; bytes that come
// meanwhile end it.
ComIo COM_OsRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot) {
    const ULONGLONG start = GetTickCount64();
    const bool ours = LastAsked.Port == ToHandle(h);
    DWORD got = 0;
    *pGot = 0;
    BOOL ok = ReadFile(ToHandle(h), pData, count, &got, nullptr);
    if (ok && (got > 0 || !ours || LastAsked.Taken)) {
        *pGot = got;
        return COM_IO_OK;
    }
    if (!ok && DeviceGone(ToHandle(h), GetLastError()))
        return COM_IO_GONE;
    const ULONGLONG totalMs = TotalTimeoutMs(ours ? LastAsked.Asked : t, count);
    for (ULONGLONG spent = GetTickCount64() - start; spent < totalMs; spent = GetTickCount64() - start) {
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(totalMs - spent, READ_STEP_MS)));
        got = 0;
        ok = ReadFile(ToHandle(h), pData, count, &got, nullptr);
        if (ok && got > 0) {
            *pGot = got;
            return COM_IO_OK;
        }
        if (!ok && DeviceGone(ToHandle(h), GetLastError()))
            return COM_IO_GONE;
    }
    return ok ? COM_IO_OK : COM_IO_FAILED;
}

const char* COM_OsPortDevice(int index) {
    if (index < 0 || index >= COM_PORT_COUNT)
        return "";
    std::lock_guard<std::mutex> guard(TableLock);
    return PortNameLocked(index).c_str();
}

void COM_OsResetPortTable() {
    std::lock_guard<std::mutex> guard(TableLock);
    MakeDefaultTableLocked();
}

// The names are the port names Windows gives ("COM12"); the window keeps the default table.
void COM_SetPortTable(const char* const* apPaths, int count) {
    std::lock_guard<std::mutex> guard(TableLock);
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        aPortNames[i] = i < count && apPaths[i] ? apPaths[i] : "";
    TableSet = true;
}

// Windows has no group that owns the COM ports: a port refused there is held by another program.
const char* COM_PermissionDeniedDevice() {
    return "";
}

const char* COM_PermissionDeniedText() {
    return "";
}
