// The Linux end of a COM port of the Windows build under Wine: serves a pseudo-terminal, prints its
// device path on the first line of standard output, and answers until it is stopped (SIGTERM).
//
//   com_win32_peer echo    sends back every byte it receives, as received
//   com_win32_peer split   answers a Frame whose data differ from the previous Frame's (a new
//                          request) with a useless reply in three pieces 10 ms apart, and a Frame
//                          sent again (a retry) with a Frame of the same command whose two data
//                          bytes are the count of tries of that request so far and the longest
//                          pause between the pieces as they left, in whole ms rounded up (a
//                          loaded machine can make the peer late)
#include "link/frame.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int SPLIT_PIECES = 3;
constexpr size_t SPLIT_PIECE_SIZE = 8;
constexpr auto SPLIT_GAP = std::chrono::milliseconds(10);

bool WriteAll(int fd, const uint8_t* pData, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, pData, count);
        if (n < 0)
            return false;
        pData += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Takes every complete Frame off the front of the input and answers it; bytes in front of a start
// byte are dropped.
void AnswerFrames(int fd, std::vector<uint8_t>& input, std::vector<uint8_t>& lastFrame, int& tries,
                  int& longestGapMs) {
    for (;;) {
        while (!input.empty() && input[0] != FRAME_START)
            input.erase(input.begin());
        if (input.size() < 2 || input.size() < FRAME_OVERHEAD + input[1])
            return;
        const std::vector<uint8_t> frame(input.begin(), input.begin() + FRAME_OVERHEAD + input[1]);
        input.erase(input.begin(), input.begin() + static_cast<long>(frame.size()));
        if (frame != lastFrame) {
            lastFrame = frame;
            tries = 1;
            // No start byte anywhere: the receiver cannot take any of it for a Frame.
            const uint8_t acJunk[SPLIT_PIECE_SIZE] = {0x55, 0x00, 0xAA, 0x16, 0x90, 0x11, 0x13, 0xFF};
            longestGapMs = 0;
            auto last = std::chrono::steady_clock::now();
            for (int piece = 0; piece < SPLIT_PIECES; ++piece) {
                if (piece > 0) {
                    std::this_thread::sleep_for(SPLIT_GAP);
                    const auto now = std::chrono::steady_clock::now();
                    const auto gapUs =
                        std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                    longestGapMs = std::max(longestGapMs, static_cast<int>((gapUs + 999) / 1000));
                    last = now;
                }
                WriteAll(fd, acJunk, sizeof acJunk);
            }
        } else {
            ++tries;
            uint8_t acFrame[FRAME_BUFFER_SIZE];
            const uint8_t acData[2] = {static_cast<uint8_t>(tries), static_cast<uint8_t>(longestGapMs)};
            WriteAll(fd, acFrame, Frame_Build(acFrame, frame[6], acData, 2));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool split = argc == 2 && strcmp(argv[1], "split") == 0;
    if (argc != 2 || (!split && strcmp(argv[1], "echo") != 0)) {
        fprintf(stderr, "usage: com_win32_peer echo|split\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr)
        return 1;
    const char* pDevice = ptsname(master);
    // Held open, so that the master does not read EIO while Wine has the port closed. The line is
    // left as the pty driver makes it (canonical, echo, CR to NL, XON/XOFF, output processing):
    // only the Windows side's own settings can make it pass bytes raw.
    const int slave = open(pDevice, O_RDWR | O_NOCTTY);
    if (slave < 0)
        return 1;
    printf("%s\n", pDevice);
    fflush(stdout);

    std::vector<uint8_t> input, lastFrame;
    int tries = 0, longestGapMs = 0;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, -1) < 0)
            return 1;
        uint8_t acBuffer[4096];
        const ssize_t n = read(master, acBuffer, sizeof acBuffer);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // no client: nothing to read
            continue;
        }
        if (!split) {
            WriteAll(master, acBuffer, static_cast<size_t>(n));
            continue;
        }
        input.insert(input.end(), acBuffer, acBuffer + n);
        AnswerFrames(master, input, lastFrame, tries, longestGapMs);
    }
}
