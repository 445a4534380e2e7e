#include "app/cli/cli_trace.h"
#include "app/cli/cli_output.h"

#include "link/com.h"
#include "link/protocol.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

FILE* pTraceFile = nullptr;
const auto Started = std::chrono::steady_clock::now();
uint8_t LastCommand = 0xFF; // the command of the last frame sent: what the bytes read answer

// Called under the port lock, so lines never interleave.
void TraceLine(int sent, const uint8_t* pData, uint32_t count) {
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Started).count();
    std::fprintf(pTraceFile, "%12.3f %s", ms, sent ? ">" : "<");
    for (uint32_t i = 0; i < count; ++i)
        std::fprintf(pTraceFile, " %02X", pData[i]);
    if (sent) {
        // One write is one whole frame.
        int command = Frame_CommandOf(pData, count);
        if (command >= 0)
            LastCommand = static_cast<uint8_t>(command);
        std::fprintf(pTraceFile, "  %s\n", Command_Name(LastCommand));
    } else {
        std::fprintf(pTraceFile, "  (%s)\n", Command_Name(LastCommand));
    }
    std::fflush(pTraceFile); // a second Ctrl-C ends the process without flushing
}

} // namespace

bool CLI_StartTrace(const std::string& path, std::string* pError) {
    pTraceFile = std::fopen(path.c_str(), "w");
    if (pTraceFile == nullptr) {
        *pError = path + ": " + CLI_ErrorText(errno);
        return false;
    }
    std::fprintf(pTraceFile, "# ms since start, > sent / < received, bytes in hex, command\n");
    pfnComTrace = TraceLine;
    return true;
}
