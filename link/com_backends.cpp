// The kinds of port the COM module can open, each a table of its operations. The state machine
// (com_common.cpp) asks for the table when it opens a port and keeps it with the handle; it never
// calls a backend by name. A kind of port adds its table here and a test
// of the device name in COM_BackendFor; its read and write say COM_IO_GONE when its device goes
// away, and the state machine does the rest (close at once, quiet re-open from the worker's poll).
#include "link/com_internal.h"
#include "link/com_net.h"

namespace {

// The platform's own serial device: termios on POSIX, the Win32 communications functions.
const ComBackend LocalDevice = {COM_OsOpen,    COM_OsClose, COM_OsSetupQueues,  COM_OsSetTimeouts,
                                COM_OsSetLine, COM_OsWrite, COM_OsDiscardInput, COM_OsRead,
                                nullptr,       false};

// A serial device server on the network: rfc2217:// or tcp:// (com_net*.cpp).
const ComBackend NetworkPort = {COM_NetOpen,    COM_NetClose, COM_NetSetupQueues,  COM_NetSetTimeouts,
                                COM_NetSetLine, COM_NetWrite, COM_NetDiscardInput, COM_NetRead,
                                COM_NetProblem, true};

} // namespace

const ComBackend& COM_BackendFor(int index) {
    return COM_IsNetName(COM_OsPortDevice(index)) ? NetworkPort : LocalDevice;
}
