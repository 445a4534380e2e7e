// The frame layer through the Win32 backend: after a try that received something it could not use,
// the rest of that reply is read and dropped until the line has been quiet for a while. A reply
// that arrives in pieces must be dropped whole, not cut at a pause, or its tail would be taken for
// the answer to the next try.
//
// The peer (com_win32_peer split) sends each next piece once the one before was read, and says in a
// file when it is on the line; between reads the receiver waits for it. So the pieces always come
// while the reply is still being dropped, however late a loaded machine makes either side, and
// each request's pieces fall at other phases of the receiver's reads.
#include "com_win32_test.h"
#include "tests/fakes/fake_dialog.h"

#include "link/frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

constexpr uint32_t PIECE_SIZE = 8;
constexpr uint32_t PIECES = 3;

// The pieces of useless replies read so far, and whether this try's reply holds a Frame.
uint32_t JunkBytes = 0;
bool FrameSeen = false;

int PiecesOnTheLine() {
    int count = 0;
    std::ifstream(comWin32Config.SplitCount) >> count;
    return count;
}

// Called by the port module after each write and each read that got bytes (on this thread: the
// test calls the frame layer itself). After a piece that is not a reply's last, waits until the
// next one is on the line.
void WaitForTheNextPiece(int sent, const uint8_t* pData, uint32_t count) {
    if (sent) {
        FrameSeen = false;
        return;
    }
    for (uint32_t i = 0; i < count && !FrameSeen; ++i) {
        FrameSeen = pData[i] == FRAME_START;
        JunkBytes += FrameSeen ? 0 : 1;
    }
    const uint32_t pieces = JunkBytes / PIECE_SIZE;
    if (FrameSeen || JunkBytes % PIECE_SIZE != 0 || pieces % PIECES == 0)
        return;
    for (int waited = 0; PiecesOnTheLine() <= static_cast<int>(pieces); ++waited) {
        if (waited == 10000) {
            ADD_FAILURE() << "piece " << pieces + 1 << " never came";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(ComWin32Frame, ReplyInPiecesIsDroppedWholeAndTheNextTryGetsItsAnswer) {
    ASSERT_GE(comWin32Config.SplitPort, 0) << "run with --split-port=N (scripts/test-windows.sh)";
    ASSERT_FALSE(comWin32Config.SplitCount.empty())
        << "run with --split-count=FILE (scripts/test-windows.sh)";
    fake_dialog::Reset();
    COM_ResetPortTable();
    COM_ChangeSettings(DevicePort(comWin32Config.SplitPort));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();
    JunkBytes = static_cast<uint32_t>(PiecesOnTheLine()) * PIECE_SIZE;
    pfnComTrace = WaitForTheNextPiece;

    // The peer answers a new request with three useless pieces and its retry with a Frame of the
    // count of tries. Twenty requests, so that the pieces fall at many phases of the receiver's reads.
    for (uint8_t request = 0; request < 20; ++request) {
        uint8_t acBuffer[FRAME_BUFFER_SIZE] = {};
        ASSERT_EQ(Link_Request(0x00, &request, 1, acBuffer, 1000), 0) << "request " << int(request);
        ASSERT_EQ(acBuffer[1], 1);
        EXPECT_EQ(acBuffer[7], 2) << "request " << int(request)
                                  << ": a piece of the first reply was taken for the answer to the retry";
    }
    EXPECT_EQ(JunkBytes, static_cast<uint32_t>(PiecesOnTheLine()) * PIECE_SIZE) << "a piece was not read";
    pfnComTrace = nullptr;
    COM_ResetPortTable();
}

} // namespace
