#include "app/cli/cli_trace.h"
#include "app/cli/cli_output.h"

#include "link/com.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

FILE* pTraceFile = nullptr;
const auto Started = std::chrono::steady_clock::now();
uint8_t LastCommand = 0xFF; // the command of the last frame sent: what the bytes read answer

const char* CommandName(uint8_t command) {
    switch (command) {
    case 0:
        return "identify";
    case 1:
        return "clear";
    case 2:
        return "program";
    case 3:
        return "make valid";
    case 4:
        return "check blank";
    case 5:
        return "get CRC";
    case 7:
        return "start application";
    default:
        return "unknown command";
    }
}

// Called under the port lock, so lines never interleave.
void TraceLine(int sent, const uint8_t* pData, uint32_t count) {
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Started).count();
    std::fprintf(pTraceFile, "%12.3f %s", ms, sent ? ">" : "<");
    for (uint32_t i = 0; i < count; ++i)
        std::fprintf(pTraceFile, " %02X", pData[i]);
    if (sent) {
        // One write is one whole frame: 68 L L 68 00 00 command ...
        if (count >= 7 && pData[0] == 0x68)
            LastCommand = pData[6];
        std::fprintf(pTraceFile, "  %s\n", CommandName(LastCommand));
    } else {
        std::fprintf(pTraceFile, "  (%s)\n", CommandName(LastCommand));
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
