// The frame layer through the Win32 backend: after a try that received something it could not use,
// the rest of that reply is read and dropped until the line has been quiet for a while. A reply
// whose pieces are 10 ms apart must be dropped whole, not cut at a pause, or its tail would be
// taken for the answer to the next try.
#include "com_win32_test.h"
#include "tests/fakes/fake_dialog.h"

#include "link/frame.h"

#include <gtest/gtest.h>

namespace {

TEST(ComWin32Frame, ReplyInPiecesIsDroppedWholeAndTheNextTryGetsItsAnswer) {
    ASSERT_GE(comWin32Config.SplitPort, 0) << "run with --split-port=N (scripts/test-windows.sh)";
    fake_dialog::Reset();
    COM_ResetPortTable();
    COM_ChangeSettings(DevicePort(comWin32Config.SplitPort));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << ErrorBoxTexts();

    // The peer answers a new request with three useless pieces 10 ms apart and its retry with a
    // Frame of the tries and the longest pause the pieces really had. Twenty requests, so that the
    // pieces fall at many phases of the receiver's reads. A request whose pieces left more than
    // 15 ms apart (the peer was late on a loaded machine) tells nothing and is not counted.
    int measured = 0;
    for (uint8_t request = 0; request < 20; ++request) {
        uint8_t acBuffer[FRAME_BUFFER_SIZE] = {};
        ASSERT_EQ(Link_Request(0x00, &request, 1, acBuffer, 1000), 0) << "request " << int(request);
        ASSERT_EQ(acBuffer[1], 2);
        if (acBuffer[8] > 15)
            continue;
        ++measured;
        EXPECT_EQ(acBuffer[7], 2) << "request " << int(request) << ", pauses up to " << int(acBuffer[8])
                                  << " ms: a piece of the first reply was taken for the answer to the retry";
    }
    RecordProperty("requests_measured", measured);
    EXPECT_GE(measured, 10) << "the peer was late too often for the pieces to be 10 ms apart";
    COM_ResetPortTable();
}

} // namespace
