// The kinds of port the COM module can open, each a table of its operations. The state machine
// (com_common.cpp) asks for the table when it opens a port and keeps it with the handle; it never
// calls a backend by name. A kind of port adds its table here and a test
// of the device name in COM_BackendFor; its read and write say COM_IO_GONE when its device goes
// away, and the state machine does the rest (close at once, quiet re-open from the worker's poll).
#include "link/com_internal.h"
#include "link/com_net.h"

namespace {

// The platform's own serial device: termios on POSIX, the Win32 communications functions.
const ComBackend LocalDevice = {.Open = COM_OsOpen,
                                .Close = COM_OsClose,
                                .SetupQueues = COM_OsSetupQueues,
                                .SetTimeouts = COM_OsSetTimeouts,
                                .SetLine = COM_OsSetLine,
                                .Write = COM_OsWrite,
                                .DiscardInput = COM_OsDiscardInput,
                                .Read = COM_OsRead,
                                .Problem = nullptr,
                                .ListedByName = false,
                                .ConnectsSlowly = false};

// A serial device server on the network: rfc2217:// or tcp:// (com_net*.cpp).
const ComBackend NetworkPort = {.Open = COM_NetOpen,
                                .Close = COM_NetClose,
                                .SetupQueues = COM_NetSetupQueues,
                                .SetTimeouts = COM_NetSetTimeouts,
                                .SetLine = COM_NetSetLine,
                                .Write = COM_NetWrite,
                                .DiscardInput = COM_NetDiscardInput,
                                .Read = COM_NetRead,
                                .Problem = COM_NetProblem,
                                .ListedByName = true,
                                .ConnectsSlowly = true};

} // namespace

const ComBackend& COM_BackendFor(int index) {
    return COM_IsNetName(COM_OsPortDevice(index)) ? NetworkPort : LocalDevice;
}
