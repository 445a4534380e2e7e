// Win32 backend of the COM module: the port names "COM1" to "COM9", synchronous handle I/O, the
// driver's own read timeouts.
#include "link/com_internal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>

namespace {

const char* const aPortNames[COM_PORT_COUNT] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                                "COM6", "COM7", "COM8", "COM9"};
// Network ports named by the user (rfc2217://, tcp://) in place of the COMn names; "" where none.
std::string aNetNames[COM_PORT_COUNT];

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

} // namespace

ComHandle COM_OsOpen(int index) {
    char acBuffer[16];
    snprintf(acBuffer, sizeof acBuffer, "COM%d", index + 1);
    // No sharing: a port another program holds cannot be opened, and detection leaves it out.
    HANDLE h = CreateFileA(acBuffer, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return COM_NO_HANDLE;
    return reinterpret_cast<ComHandle>(h);
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
    return SetCommTimeouts(ToHandle(h), &ct) != 0;
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

// The driver applies the timeouts set last. A removed adapter ends the read at once; any other
// failure waits out the total timeout, so a caller that polls in a loop does not spin.
ComIo COM_OsRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot) {
    const ULONGLONG start = GetTickCount64();
    DWORD got = 0;
    const BOOL ok = ReadFile(ToHandle(h), pData, count, &got, nullptr);
    *pGot = got;
    if (ok)
        return COM_IO_OK;
    if (DeviceGone(ToHandle(h), GetLastError()))
        return COM_IO_GONE;
    const ULONGLONG totalMs = ULONGLONG(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const ULONGLONG spent = GetTickCount64() - start;
    if (spent < totalMs)
        Sleep(static_cast<DWORD>(totalMs - spent));
    return COM_IO_FAILED;
}

const char* COM_OsPortDevice(int index) {
    if (index < 0 || index >= COM_PORT_COUNT)
        return "";
    return aNetNames[index].empty() ? aPortNames[index] : aNetNames[index].c_str();
}

void COM_OsResetPortTable() {
    for (std::string& name : aNetNames)
        name.clear();
}

// The COMn names are fixed on Win32; a network port named by the user takes a place in front of one.
void COM_SetPortTable(const char* const* apPaths, int count) {
    char acWhy[8];
    for (int i = 0; i < COM_PORT_COUNT; ++i)
        aNetNames[i] = i < count && apPaths[i] && COM_CheckNetName(apPaths[i], acWhy, sizeof acWhy) > 0
                           ? apPaths[i]
                           : "";
}

// Windows has no group that owns the COM ports: a port refused there is held by another program.
const char* COM_PermissionDeniedDevice() {
    return "";
}

const char* COM_PermissionDeniedText() {
    return "";
}
