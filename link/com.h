// The one serial line to the target's boot loader. One instance per process, module-level state.
// The state machine (com_common.cpp) is the same everywhere; the backend is chosen per port by its
// name when the port opens (COM_BackendFor): a device server on the network for rfc2217:// and
// tcp:// (com_net*.cpp), else the platform's own serial device (com_posix*.cpp or com_win32.cpp,
// whichever the platform builds). Every port call and the close/re-open of COM_ChangeSettings run
// under one lock, so the port is never closed under a read; the error box is shown after the lock
// is released.
#pragma once
#include "link/protocol.h"

#include <cstddef>
#include <cstdint>

struct PortSettings {
    uint32_t BaudRate;
    uint8_t PortIndex; // 0 is COM1, 8 is COM9
    uint8_t DataBits;
    uint8_t Parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits; // 0 one, 1 one and a half, 2 two
};

// The boot loader's line on port `index` (0 is COM1): 57600 baud, 8 data bits, odd parity, one stop
// bit. Every front end and the doctor open a port with these.
constexpr PortSettings COM_BootLoaderLine(int index) {
    return {LINE_BAUD, static_cast<uint8_t>(index), 8, 1, 0};
}

constexpr int COM_PORT_COUNT = 9;
constexpr int PORT_NOT_CONFIGURED = 0;
constexpr int PORT_READY = 1;
constexpr int PORT_CLOSED = 2;
// Not ready: the device went away while the port was open (an unplugged adapter). The port is
// closed, and COM_ReopenGonePort opens the same name with the same settings again.
constexpr int PORT_GONE = 3;
// Not ready: a network port the dialog selected is being connected and set up on a thread of its
// own (COM_SelectPort).
constexpr int PORT_OPENING = 4;

// Re-opens and configures the port when the settings differ from the ones in force; reports a
// failure through APP_ErrorBox ("COM::..."). Nonzero on success, 0 after an error; callers ignore it.
int COM_ChangeSettings(const PortSettings& settings);
// The dialog's selection: COM_ChangeSettings, except that the window never waits on a network
// connect (up to 3 s, and 2 s for the line set-up, with a server slow or gone). A local port opens at
// once, a failure shown there as COM_ChangeSettings shows it; 0 is returned. A network port reads
// PORT_OPENING while it is connected and set up on a thread of its own, which calls pfnDone (to
// post a notification) when it is done; COM_ReportSelection then shows its outcome on the main
// thread. 1 is returned while the port opens. A later change of settings supersedes an open still
// running: its connection is closed when it comes, and nothing of it is shown.
int COM_SelectPort(const PortSettings& settings, void (*pfnDone)());
// Main thread, after pfnDone: shows the error box of the latest selection's failed open, once, as
// COM_ChangeSettings would have shown it. 0 while the latest selection is still opening (the call
// came from one it superseded), else 1.
int COM_ReportSelection();
int _InitCOM();  // NOLINT(bugprone-reserved-identifier): the module's own name, shown in its messages
int _CheckCOM(); // NOLINT(bugprone-reserved-identifier): 0 when ready, else 1

int COM_Write(const uint8_t* pData, uint32_t count);
// Drops every byte received and not yet read (nothing when the port is not ready), so that the
// next read returns only what arrives after the call.
void COM_DiscardInput();
// Returns as soon as all wanted bytes arrived, or at the deadline with what arrived; 0 at once when
// the port is not ready. A timeout of 0 takes only what is already buffered. A device that is gone
// (an unplugged adapter) closes the port at once: this call and COM_Write return at once, and the
// port reads as not ready (PORT_GONE), like a silent target; neither reports anything.
uint32_t COM_Read(uint8_t* pData, uint32_t count, uint32_t timeoutMs);

// For the worker's poll while the port is not ready: when its device went away, tries to open the
// same name with the settings in force, at most about once a second and without a message (the
// error box belongs to the user's own selections). 1 when the port is ready after the call, else
// 0. A port that never opened is left alone: only another selection tries it again.
int COM_ReopenGonePort();

int32_t COM_DetectPorts(int32_t aPorts[COM_PORT_COUNT]);
void COM_ReleaseDetectedPorts();

int COM_GetPortState();
uint32_t COM_GetCurrentReadTimeout();

// For tests: how often a timeout set was given to the port since the process started (the
// re-open's immediate-return set and every read whose timeout differed from the last one).
uint32_t COM_GetTimeoutProgramCount();

// The platform device behind "COM<index+1>" (for the port list's tooltip); "" when there is none.
const char* COM_PortDevice(int index);

// The first device that detection or an open found present but could not open for lack of
// permission, "" when there was none. On Linux that is a user outside the group owning the serial
// ports (EACCES), which looks to the user like "no port" unless it is named. Always "" on Windows.
// The text stays valid until COM_ResetPortTable, which forgets it.
const char* COM_PermissionDeniedDevice();
// The line that tells the user what to do about that device:
// "permission denied on <device>: add yourself to the dialout group and log in again"; "" when none.
const char* COM_PermissionDeniedText();

// The serial driver's low-latency mode, as the last open of a port found or left it (POSIX builds
// only; a USB-serial adapter without it delays every answer by its latency timer).
enum ComLatency {
    LATENCY_NOT_SUPPORTED, // the driver has no serial flags (a pseudo-terminal, most network ports)
    LATENCY_ALREADY_ON,
    LATENCY_TOOK,    // requested, and the driver holds it now
    LATENCY_REFUSED, // requested, and the driver refused it or held on to its old flags
};
ComLatency COM_LastLatency();

// Makes these device paths the table behind the names, the first one COM1 (at most nine), in place
// of TQ330_PORTS or the detected devices: for a front end that is told its device by path. Ports
// already open stay open. On Windows the entries are port names ("COM12") or network names, in
// place of COM1 to COM9.
void COM_SetPortTable(const char* const* apPaths, int count);

// A network port's name: rfc2217://HOST:PORT (the line set by Telnet COM Port Control) or
// tcp://HOST:PORT (raw, the server's line). 1 for a well-formed one, 0 for a name that is none (a
// device path, COMn), -1 for a faulty one, with the reason in acWhy.
int COM_CheckNetName(const char* name, char* acWhy, size_t whySize);
// What the last open of a network port found: why it failed ("connection refused", "the server set
// 9600 baud, ...") and what it could not confirm without failing ("the server did not confirm DTR
// on, RTS on (SET-CONTROL)"); each "" when nothing. Both buffers hold size characters.
void COM_GetPortNotes(char* acProblem, char* acWarning, size_t size);

// Sees every buffer COM_Write hands to the line (sent 1) and the bytes of every COM_Read that
// returned some (sent 0), on the caller's thread, under the port lock. nullptr (the default) costs
// one test per call; set it before the worker starts.
extern void (*pfnComTrace)(int sent, const uint8_t* pData, uint32_t count);

// For tests: back to the start-up state. Closes the port and every port held by detection,
// forgets the settings (all zero, not configured) and builds the port table again on its next
// use, so a changed TQ330_PORTS takes effect.
void COM_ResetPortTable();
