// The Linux end of a COM port of the Windows build under Wine: serves a pseudo-terminal, prints its
// device path on the first line of standard output, and answers until it is stopped (SIGTERM).
//
//   com_win32_peer echo          sends back every byte it receives, as received
//   com_win32_peer gone          ends at the first byte it receives, as a device that is unplugged
//   com_win32_peer split COUNT   answers a Frame whose data differ from the previous Frame's (a new
//                                request) with a useless reply in three pieces, and a Frame sent
//                                again (a retry) with a Frame of the same command whose data byte
//                                is the count of tries of that request so far
//
// The pieces follow the receiver, not a clock: each next piece leaves a few ms after the one before
// has been read (or dropped by a purge), and the file COUNT then says how many pieces have reached
// the line so far, so that the receiver can wait for the next piece before it reads on. However
// late a loaded machine makes either side, the next piece always comes while the receiver still
// drops the reply: what the test checks is that it keeps dropping until the reply has ended.
#include "link/frame.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SPLIT_PIECES = 3;
constexpr size_t SPLIT_PIECE_SIZE = 8;
// Longest wait for the receiver; a run that needs it has failed anyway.
constexpr auto PEER_PATIENCE = std::chrono::seconds(10);

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

struct Split {
    int Master = -1;
    int Slave = -1; // our own descriptor of the line Wine reads: its input queue is Wine's
    int Watch = -1; // inotify on the slave: a read of it by Wine
    std::string CountPath;
    int Sent = 0; // pieces on the line so far
    int Requests = 0;
    std::vector<uint8_t> LastFrame;
    int Tries = 0;
};

int Unread(const Split& s) {
    int n = 0;
    return ioctl(s.Slave, FIONREAD, &n) == 0 ? n : 0;
}

// Whether Wine read the line since the last call.
bool ReadMeanwhile(const Split& s) {
    alignas(inotify_event) char acEvents[4096];
    bool read = false;
    ssize_t n;
    while ((n = ::read(s.Watch, acEvents, sizeof acEvents)) > 0)
        for (ssize_t at = 0; at < n;) {
            const inotify_event* pEvent = reinterpret_cast<const inotify_event*>(acEvents + at);
            read = read || (pEvent->mask & IN_ACCESS) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
        }
    return read;
}

template <class Done> void WaitUntil(Done done) {
    const auto deadline = Clock::now() + PEER_PATIENCE;
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void TellCount(const Split& s) {
    const std::string temporary = s.CountPath + ".new";
    FILE* pFile = fopen(temporary.c_str(), "w");
    if (pFile == nullptr)
        return;
    fprintf(pFile, "%d\n", s.Sent);
    fclose(pFile);
    rename(temporary.c_str(), s.CountPath.c_str()); // the receiver never reads a half-written count
}

// One piece: on the line once Wine's queue holds it or Wine has read it already.
void SendPiece(Split& s) {
    const uint8_t acJunk[SPLIT_PIECE_SIZE] = {0x55, 0x00, 0xAA, 0x16,
                                              0x90, 0x11, 0x13, 0xFF}; // no start byte
    ReadMeanwhile(s);                                                  // forget the reads before this piece
    WriteAll(s.Master, acJunk, sizeof acJunk);
    WaitUntil([&s] { return Unread(s) > 0 || ReadMeanwhile(s); });
    ++s.Sent;
    TellCount(s);
}

// Takes every complete Frame off the front of the input and answers it; bytes in front of a start
// byte are dropped.
void AnswerFrames(Split& s, std::vector<uint8_t>& input) {
    for (;;) {
        while (!input.empty() && input[0] != FRAME_START)
            input.erase(input.begin());
        if (input.size() < 2 || input.size() < FRAME_OVERHEAD + input[1])
            return;
        const std::vector<uint8_t> frame(input.begin(), input.begin() + FRAME_OVERHEAD + input[1]);
        input.erase(input.begin(), input.begin() + static_cast<long>(frame.size()));
        if (frame != s.LastFrame) {
            s.LastFrame = frame;
            s.Tries = 1;
            ++s.Requests;
            for (int piece = 0; piece < SPLIT_PIECES; ++piece) {
                if (piece > 0) {
                    // Read or purged; then a pause that moves the piece across the receiver's reads:
                    // into the read that took the one before, or into a later one.
                    WaitUntil([&s] { return Unread(s) == 0; });
                    std::this_thread::sleep_for(std::chrono::milliseconds((s.Requests * 7 + piece * 5) % 25));
                }
                SendPiece(s);
            }
        } else {
            ++s.Tries;
            uint8_t acFrame[FRAME_BUFFER_SIZE];
            const uint8_t acData[1] = {static_cast<uint8_t>(s.Tries)};
            WriteAll(s.Master, acFrame, Frame_Build(acFrame, frame[6], acData, 1));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool split = argc == 3 && strcmp(argv[1], "split") == 0;
    const bool gone = argc == 2 && strcmp(argv[1], "gone") == 0;
    if (!split && !gone && (argc != 2 || strcmp(argv[1], "echo") != 0)) {
        fprintf(stderr, "usage: com_win32_peer echo|gone|split COUNT\n");
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
    Split state;
    if (split) {
        state.Master = master;
        state.Slave = slave;
        state.Watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        state.CountPath = argv[2];
        if (state.Watch < 0 || inotify_add_watch(state.Watch, pDevice, IN_ACCESS) < 0)
            return 1;
        TellCount(state);
    }
    printf("%s\n", pDevice);
    fflush(stdout);

    std::vector<uint8_t> input;
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
        if (gone)
            return 0; // both ends of the pty close: the line hangs up
        if (!split) {
            WriteAll(master, acBuffer, static_cast<size_t>(n));
            continue;
        }
        input.insert(input.end(), acBuffer, acBuffer + n);
        AnswerFrames(state, input);
    }
}
