// Private to the COM module: the seam between its state machine (com_common.cpp) and its backends,
// the platform's serial device (com_posix*.cpp or com_win32.cpp) and the network port (com_net*.cpp).
// Only the backends include operating-system headers.
#pragma once
#include "link/com.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A platform handle: a file descriptor or a Win32 HANDLE, both fit; -1 (INVALID_HANDLE_VALUE) is none.
using ComHandle = intptr_t;
constexpr ComHandle COM_NO_HANDLE = -1;

// The five read/write timeouts of a port, in ms, in the Win32 COMMTIMEOUTS order.
struct ComTimeouts {
    uint32_t ReadIntervalTimeout; // COM_READ_IMMEDIATE: return at once with what is buffered
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
constexpr uint32_t COM_READ_IMMEDIATE = 0xFFFFFFFF;
constexpr uint32_t COM_QUEUE_SIZE = 10000;

// What a backend's read or write tells the state machine besides its bytes. COM_IO_GONE is the one
// way every backend says that the device itself went away (an unplugged adapter, a closed
// connection), as opposed to a line that is only silent or a call that failed once: the backend
// keeps the operating system's error to itself, and only the state machine acts on it.
enum ComIo : uint8_t {
    COM_IO_OK,     // done; a read may still have got fewer bytes than wanted (a silent line)
    COM_IO_FAILED, // this call failed; the port stays as it is and the frame layer retries
    COM_IO_GONE,   // the device is gone: the state machine closes the port and opens it again later
};

// One kind of port, as a table of its operations, called with the port lock held. The bool
// operations return true on success. A port's kind is chosen by COM_BackendFor when it opens, and
// every later call on its handle goes through the same table.
struct ComBackend {
    ComHandle (*Open)(int index); // exclusive; COM_NO_HANDLE when absent or held elsewhere
    void (*Close)(ComHandle h);
    bool (*SetupQueues)(ComHandle h, uint32_t inSize, uint32_t outSize);
    bool (*SetTimeouts)(ComHandle h, const ComTimeouts& t);
    bool (*SetLine)(ComHandle h, const PortSettings& s);
    ComIo (*Write)(ComHandle h, const uint8_t* pData, uint32_t count); // all bytes, or not OK
    void (*DiscardInput)(ComHandle h);
    // Reads within the timeouts last set; the bytes placed in pData go to *pGot, also when the
    // result is not OK. A backend that reports COM_IO_GONE returns at once.
    ComIo (*Read)(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot);
    // Why the last open or line set-up failed, in words the error box adds to its message; nullptr
    // for a kind whose message says it all.
    void (*Problem)(char* acOut, size_t size);
    // Detection lists the port by its name instead of opening it: a serial server gives one
    // connection at a time, and the selection needs it.
    bool ListedByName;
    // Opening may take seconds (a connect and a set-up with a server that is slow or gone): the
    // dialog's selection opens it away from the window's thread (COM_SelectPort).
    bool ConnectsSlowly;
};
// The kind of port behind "COM<index+1>", from its device name (com_backends.cpp).
const ComBackend& COM_BackendFor(int index);

// The local serial device of the platform (com_posix*.cpp or com_win32.cpp), the operations of
// its ComBackend.
ComHandle COM_OsOpen(int index);
void COM_OsClose(ComHandle h);
bool COM_OsSetupQueues(ComHandle h, uint32_t inSize, uint32_t outSize);
bool COM_OsSetTimeouts(ComHandle h, const ComTimeouts& t);
bool COM_OsSetLine(ComHandle h, const PortSettings& s);
ComIo COM_OsWrite(ComHandle h, const uint8_t* pData, uint32_t count);
void COM_OsDiscardInput(ComHandle h);
ComIo COM_OsRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot);
// The port table of the platform, whatever the kind of each port.
const char* COM_OsPortDevice(int index);
void COM_OsResetPortTable(); // also forgets the device refused for lack of permission
// Keeps `device` as the one COM_PermissionDeniedDevice names, unless one is kept already.
void COM_NotePermissionDenied(const char* device);

// The updater's exclusive open of a POSIX serial device, without TIOCEXCL (the port's own open adds
// it; a look must leave nothing behind): the descriptor, or COM_OPEN_FAILED with open's errno in
// *pOpenError, COM_OPEN_NOT_A_TTY, COM_OPEN_LOCKED (another program holds its lock).
constexpr int COM_OPEN_FAILED = -1;
constexpr int COM_OPEN_NOT_A_TTY = -2;
constexpr int COM_OPEN_LOCKED = -3;
int COM_OpenLocked(const char* device, int* pOpenError);

// The updater's exclusive open of a Windows port by its name (COMn, through the device namespace):
// the handle, or COM_NO_HANDLE with Windows' error in *pError.
ComHandle COM_OpenExclusive(const std::string& name, uint32_t* pError);

// The POSIX line configuration for the settings, on top of the terminal's current one; false when
// termios has no form for them (speed, character size, parity code, one and a half stop bits).
struct termios;
bool COM_BuildTermios(const PortSettings& s, struct termios& tio);

// POSIX port table pieces, exposed for the tests of com_posix_ports.cpp.
// Device paths from a TQ330_PORTS value: one per colon-separated entry, at most nine; an empty entry
// keeps its place and names no device.
std::vector<std::string> COM_ParsePortList(const char* value);
// Serial devices listed under sysRoot (normally /sys/class/tty) with their nodes under devRoot, in
// the order USB serial, CDC-ACM, the rest, each by number; each named by its link under
// devRoot/serial/by-id where it has one, else by its node.
std::vector<std::string> COM_ScanSerialDevices(const char* sysRoot, const char* devRoot);

// Asks the driver of the open port fd to hand received bytes on at once, best effort; the outcome
// of the last call stays readable from any thread through COM_LastLatency (link/com.h).
ComLatency COM_AskForLowLatency(int fd);
// For tests: stands in for ioctl(fd, TIOCGSERIAL or TIOCSSERIAL, pInfo), since a pseudo-terminal
// has no serial flags. nullptr (the default) is the real call.
struct serial_struct;
extern int (*pfnComSerialIoctl)(int fd, unsigned long request, serial_struct* pInfo);

// With PARMRK the line discipline marks a byte received with a parity or framing error as
// 0xFF 0x00 <byte> and a genuine 0xFF as 0xFF 0xFF. The decoder turns that back into the bytes as
// received; its state carries an escape split between two reads.
struct ComMarkDecoder {
    uint8_t State; // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};
size_t COM_DecodeMarked(ComMarkDecoder& d, const uint8_t* pIn, size_t n, uint8_t* pOut);
