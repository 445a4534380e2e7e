// The frame layer against the scripted line: bytes written, checks on received Frames, the three
// exchange patterns and their timings in line time.
#include "device.h"
#include "link/cursor.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstring>

using device::Bytes;
using device::Frame;

namespace {

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override { device::ResetAll(); }
    uint8_t acBuffer[FRAME_BUFFER_SIZE] = {};
};

Bytes Written(size_t index) {
    return fake_com::Writes().at(index).bytes;
}

void AckOnWrite(int ackOnCall) {
    auto calls = std::make_shared<int>(0);
    fake_com::SetResponder([calls, ackOnCall](const Bytes&) {
        if (++*calls == ackOnCall)
            fake_com::Feed({FRAME_ACK});
    });
}

TEST_F(FrameTest, WorkedExamplesAreSentByteForByte) {
    Link_SendFrame(4, nullptr, 0);
    Link_SendFrame(0, nullptr, 0);
    const uint8_t crcRange[] = {0x70, 0xEC, 0x0E, 0x00, 0x00, 0x10, 0x00, 0x00};
    Link_SendFrame(5, crcRange, 8);
    const uint8_t block[] = {0x70, 0xEC, 0x0E, 0x00, 0x07, 0x02, 0x06, 0x29};
    Link_SendFrame(2, block, 8);

    ASSERT_EQ(fake_com::Writes().size(), 4u); // one write per Frame
    EXPECT_EQ(Written(0), (Bytes{0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x04, 0x04, 0x16}));
    EXPECT_EQ(Written(1), (Bytes{0x68, 0x00, 0x00, 0x68, 0x00, 0x00, 0x00, 0x00, 0x16}));
    EXPECT_EQ(Written(2), (Bytes{0x68, 0x08, 0x08, 0x68, 0x00, 0x00, 0x05, 0x70, 0xEC, 0x0E, 0x00, 0x00, 0x10,
                                 0x00, 0x00, 0x7F, 0x16}));
    EXPECT_EQ(Written(3), (Bytes{0x68, 0x08, 0x08, 0x68, 0x00, 0x00, 0x02, 0x70, 0xEC, 0x0E, 0x00, 0x07, 0x02,
                                 0x06, 0x29, 0xA4, 0x16}));
}

// What the trace and the record read from the bytes the host writes, the trace's names and the
// commands the simulator acknowledges: one table of the protocol for all of them.
TEST(Protocol, CommandOfWrittenBytesTheirNamesAndWhichAreAcknowledged) {
    uint8_t acFrame[FRAME_BUFFER_SIZE] = {};
    const uint8_t data[] = {1, 2};
    const size_t size = Frame_Build(acFrame, CMD_START_APPLICATION, data, sizeof data);
    EXPECT_EQ(Frame_CommandOf(acFrame, size), CMD_START_APPLICATION);
    EXPECT_EQ(Frame_CommandOf(acFrame, FRAME_HEADER_SIZE), CMD_START_APPLICATION);
    EXPECT_EQ(Frame_CommandOf(acFrame, FRAME_HEADER_SIZE - 1), -1); // the command byte not there
    const uint8_t ack = FRAME_ACK;
    EXPECT_EQ(Frame_CommandOf(&ack, 1), -1);
    acFrame[0] = FRAME_END;
    EXPECT_EQ(Frame_CommandOf(acFrame, size), -1);

    const char* const apNames[] = {"identify",    "clear",   "program", "make valid",
                                   "check blank", "get CRC", nullptr,   "start application"};
    for (int code = 0; code < 256; ++code) {
        const char* pName = code < 8 && apNames[code] != nullptr ? apNames[code] : "unknown command";
        EXPECT_STREQ(Command_Name(static_cast<uint8_t>(code)), pName) << code;
        EXPECT_EQ(Command_IsAcknowledged(static_cast<uint32_t>(code)), code != 0 && code < 8 && code != 6)
            << code;
    }
}

TEST_F(FrameTest, NotReadyPortSendsNothingAndFailsAtOnce) {
    fake_com::SetReady(false);
    EXPECT_EQ(Link_SendAcked(3, nullptr, 0), 1);
    EXPECT_EQ(Link_Request(0, nullptr, 0, acBuffer, 100), 1);
    EXPECT_TRUE(fake_com::Writes().empty());
    EXPECT_EQ(fake_com::Now(), 0u);
}

TEST_F(FrameTest, ReceivesIntactFrameInThreeReadsEachWithTheWholeTimeout) {
    fake_com::Feed(Frame(7, {1, 2, 3}));
    ASSERT_EQ(Link_ReceiveFrame(acBuffer, 250, RECEIVE_NORMAL), 0);
    EXPECT_EQ(acBuffer[6], 7);
    EXPECT_EQ(acBuffer[7], 1);
    EXPECT_EQ(acBuffer[9], 3);
    auto reads = fake_com::Reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].count, 7u);
    EXPECT_EQ(reads[1].count, 3u);
    EXPECT_EQ(reads[2].count, 2u);
    for (const auto& r : reads)
        EXPECT_EQ(r.timeoutMs, 250u);

    fake_com::ClearRecords();
    fake_com::Feed(Frame(4));
    EXPECT_EQ(Link_ReceiveFrame(acBuffer, 250, RECEIVE_NORMAL), 0);
    EXPECT_EQ(fake_com::Reads().size(), 2u); // no data read when L is 0
}

TEST_F(FrameTest, ChecksAndChecksumOfAReceivedFrame) {
    struct Case {
        const char* what;
        int index;
        uint8_t value;
        bool fixChecksum; // add the change to the checksum byte
        int expected;
    };
    const Case cases[] = {
        {"byte 5 is neither checked nor summed", 5, 0x33, false, 0},
        {"byte 4 is summed", 4, 0x10, true, 0},
        {"byte 4 left out of the checksum", 4, 0x10, false, 1},
        {"second length byte is not compared", 2, 0x07, false, 0},
        {"second start byte is not checked", 3, 0x00, false, 0},
        {"first start byte is checked", 0, 0x69, false, 1},
        {"wrong checksum", 9, 0x00, false, 1},
        {"wrong end byte", 10, 0x17, false, 1},
    };
    for (const Case& c : cases) {
        device::ResetAll();
        Bytes frame = Frame(4, {0x20, 0x30}); // checksum 0x54 at 9, end at 10
        frame[c.index] = c.value;
        if (c.fixChecksum)
            frame[9] = static_cast<uint8_t>(frame[9] + c.value);
        fake_com::Feed(frame);
        std::memset(acBuffer, 0, sizeof acBuffer);
        EXPECT_EQ(Link_ReceiveFrame(acBuffer, 100, RECEIVE_NORMAL), c.expected) << c.what;
    }
}

TEST_F(FrameTest, LongestFrameFitsTheBuffer) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    fake_com::Feed(Frame(9, data));
    std::memset(acBuffer, 0xAB, sizeof acBuffer);
    ASSERT_EQ(Link_ReceiveFrame(acBuffer, 100, RECEIVE_NORMAL), 0);
    EXPECT_EQ(0, std::memcmp(acBuffer + 7, data.data(), data.size()));
    EXPECT_EQ(acBuffer[263], FRAME_END);
    EXPECT_EQ(acBuffer[264], 0xAB); // nothing written past the Frame's 264 bytes
}

TEST_F(FrameTest, FrameInPiecesWithinTheTimeoutIsReceivedWhole) {
    Bytes frame = Frame(4, device::Concat(device::U32(0x20000), device::U32(0xFF)));
    fake_com::Feed(Bytes(frame.begin(), frame.begin() + 5));
    fake_com::Feed(Bytes(frame.begin() + 5, frame.begin() + 12), 80);
    fake_com::Feed(Bytes(frame.begin() + 12, frame.end()), 150);
    ASSERT_EQ(Link_ReceiveFrame(acBuffer, 100, RECEIVE_NORMAL), 0);
    EXPECT_EQ(fake_com::Now(), 150u); // returns as soon as the last piece is in
}

TEST_F(FrameTest, FrameThatStopsHalfWayFailsAfterTheTimeout) {
    Bytes frame = Frame(4, device::Concat(device::U32(0x20000), device::U32(0xFF)));
    fake_com::Feed(Bytes(frame.begin(), frame.begin() + 10));
    EXPECT_EQ(Link_ReceiveFrame(acBuffer, 100, RECEIVE_NORMAL), 1);
    EXPECT_EQ(fake_com::Now(), 100u);
    EXPECT_EQ(fake_com::Reads().size(), 2u); // the trailer is not waited for
}

TEST_F(FrameTest, ContinuationModeReadsFromTheFramesSecondByte) {
    Bytes frame = Frame(2, {0x00, 0x34, 0x12, 0x00, 0x00, 0x5A});
    frame[0] = 0x00; // the consumed byte is not looked at
    fake_com::Feed(Bytes(frame.begin() + 1, frame.end()));
    ASSERT_EQ(Link_ReceiveFrame(acBuffer, 1000, RECEIVE_CONTINUATION), 0);
    EXPECT_EQ(acBuffer[0], 6);    // L
    EXPECT_EQ(acBuffer[5], 2);    // command byte
    EXPECT_EQ(acBuffer[7], 0x34); // data from offset 6
    const uint8_t* pRead = acBuffer + 7;
    EXPECT_EQ(Cursor_GetU32(pRead), 0x1234u);
    EXPECT_EQ(Cursor_GetU8(pRead), 0x5A);
}

TEST_F(FrameTest, WaitAckKeepsTheVariableWhenNothingArrives) {
    uint8_t ack = 0x42;
    EXPECT_EQ(Link_WaitAck(ack), 1);
    EXPECT_EQ(ack, 0x42);
    EXPECT_EQ(fake_com::Now(), 1000u);
    fake_com::Feed({0x55});
    EXPECT_EQ(Link_WaitAck(ack), 1);
    EXPECT_EQ(ack, 0x55);
    fake_com::Feed({FRAME_ACK});
    EXPECT_EQ(Link_WaitAck(ack), 0);
}

TEST_F(FrameTest, SendAckedSucceedsOnTheThirdTry) {
    AckOnWrite(3);
    EXPECT_EQ(Link_SendAcked(3, nullptr, 0), 0);
    auto writes = fake_com::Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].bytes, writes[0].bytes);
    EXPECT_EQ(fake_com::Now(), 2000u);
}

TEST_F(FrameTest, SendAckedGivesUpAfterThreeSilentTries) {
    EXPECT_EQ(Link_SendAcked(3, nullptr, 0), 1);
    EXPECT_EQ(fake_com::Writes().size(), 3u);
    EXPECT_EQ(fake_com::Now(), 3000u);
}

TEST_F(FrameTest, SendAckedResendsAfterAWrongByte) {
    auto calls = std::make_shared<int>(0);
    fake_com::SetResponder(
        [calls](const Bytes&) { fake_com::Feed({++*calls == 1 ? uint8_t{0x55} : FRAME_ACK}); });
    EXPECT_EQ(Link_SendAcked(1, nullptr, 0), 0);
    EXPECT_EQ(fake_com::Writes().size(), 2u);
}

// Bytes left over from an earlier exchange are dropped before the request goes out: the first
// send is answered (kept, they would cost a try and put the line one answer behind).
TEST_F(FrameTest, RequestDropsStaleBytesBeforeItsFirstSend) {
    fake_com::Feed({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}); // left over from an earlier exchange
    fake_com::SetResponder([](const Bytes& written) { fake_com::Feed(Frame(written[6], {0xAA})); });
    ASSERT_EQ(Link_Request(0, nullptr, 0, acBuffer, 100), 0);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
    EXPECT_EQ(acBuffer[0], FRAME_START);
    EXPECT_EQ(acBuffer[7], 0xAA);
}

// A damaged answer whose rest is still on the line when the try fails: the rest is read and
// dropped until the line falls quiet, so that the retry's answer is the one read.
TEST_F(FrameTest, RequestDropsTheRestOfADamagedAnswerBeforeTheRetry) {
    auto calls = std::make_shared<int>(0);
    fake_com::SetResponder([calls](const Bytes& written) {
        if (++*calls == 1) {
            Bytes frame = Frame(written[6], {0x11, 0x22});
            fake_com::Feed({0x00}); // a stray byte in front of the answer
            fake_com::Feed(Bytes(frame.begin(), frame.begin() + 6));
            fake_com::Feed(Bytes(frame.begin() + 6, frame.end()), 8);
        } else {
            fake_com::Feed(Frame(written[6], {0xAA}));
        }
    });
    ASSERT_EQ(Link_Request(0, nullptr, 0, acBuffer, 100), 0);
    EXPECT_EQ(fake_com::Writes().size(), 2u);
    EXPECT_EQ(acBuffer[7], 0xAA);
    EXPECT_EQ(fake_com::Pending(), 0u);
}

// A useless reply in five pieces 16 ms apart (an adapter's default latency timer hands a reply on
// in such pieces), its first piece at every phase of the reads: dropped whole, however many reads
// that takes, so that the retry's answer is the one read. On the line's own clock, where a loaded
// machine cannot stretch the pauses (the Windows build meets such a reply through Wine).
TEST_F(FrameTest, ReplyInPiecesIsDroppedWholeAtEveryPhase) {
    const Bytes junk = {0x55, 0x00, 0xAA, 0x16, 0x90, 0x11, 0x13, 0xFF}; // no start byte anywhere
    for (uint32_t phase = 0; phase < 25; ++phase) {
        device::ResetAll();
        auto calls = std::make_shared<int>(0);
        fake_com::SetResponder([calls, phase, junk](const Bytes& written) {
            if (++*calls > 1) {
                fake_com::Feed(Frame(written[6], {0xAA}));
                return;
            }
            for (uint32_t piece = 0; piece < 5; ++piece)
                fake_com::Feed(junk, phase + 16 * piece);
        });
        ASSERT_EQ(Link_Request(0, nullptr, 0, acBuffer, 100), 0) << "phase " << phase;
        EXPECT_EQ(fake_com::Writes().size(), 2u) << "phase " << phase;
        EXPECT_EQ(acBuffer[7], 0xAA) << "phase " << phase;
    }
}

// A late Ack byte of an earlier try, or a stray 0x90, never acknowledges a block that follows it;
// an answer still on its way when the Frame is sent is kept.
TEST_F(FrameTest, StaleAckNeverAcknowledgesTheNextFrame) {
    const uint8_t block[] = {0x00, 0x10, 0x00, 0x00, 0xAB};
    fake_com::Feed({FRAME_ACK});
    EXPECT_EQ(Link_SendBlock(2, block, 5, acBuffer, 1000), BLOCK_NO_ANSWER);
    EXPECT_EQ(fake_com::Writes().size(), 1u);

    device::ResetAll();
    fake_com::Feed({FRAME_ACK}, 5);
    EXPECT_EQ(Link_SendAcked(3, nullptr, 0), 0);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
}

TEST_F(FrameTest, RequestToASilentTargetCostsThreeTimesTheTimeout) {
    EXPECT_EQ(Link_Request(0, nullptr, 0, acBuffer, 100), 1);
    EXPECT_EQ(fake_com::Writes().size(), 3u);
    EXPECT_EQ(fake_com::Now(), 300u);
}

TEST_F(FrameTest, SendBlockOutcomes) {
    const uint8_t block[] = {0x00, 0x10, 0x00, 0x00, 0xAB};
    fake_com::SetResponder([](const Bytes&) { fake_com::Feed({FRAME_ACK}); });
    EXPECT_EQ(Link_SendBlock(2, block, 5, acBuffer, 1000), BLOCK_ACKED);

    // A 0x68 in place of the Ack byte starts an error Frame; its next 6 bytes complete the header.
    device::ResetAll();
    fake_com::SetResponder([](const Bytes&) {
        fake_com::Feed(Frame(2, {0x00, 0x34, 0x12, 0x00, 0x00, 0x5A}));
    });
    EXPECT_EQ(Link_SendBlock(2, block, 5, acBuffer, 1000), BLOCK_REJECTED);
    EXPECT_EQ(acBuffer[5], 2);
    EXPECT_EQ(acBuffer[7], 0x34);
    EXPECT_EQ(fake_com::Pending(), 0u);

    // Silence: sent once, 1000 ms for the Ack byte and 1000 ms for the error Frame's header.
    device::ResetAll();
    EXPECT_EQ(Link_SendBlock(2, block, 5, acBuffer, 1000), BLOCK_NO_ANSWER);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
    EXPECT_EQ(fake_com::Now(), 2000u);

    // A damaged error Frame is no answer either, and the block is not sent again.
    device::ResetAll();
    fake_com::SetResponder([](const Bytes&) {
        Bytes frame = Frame(2, {0x00, 0x34, 0x12, 0x00, 0x00, 0x5A});
        frame[13] ^= 0xFF;
        fake_com::Feed(frame);
    });
    EXPECT_EQ(Link_SendBlock(2, block, 5, acBuffer, 1000), BLOCK_NO_ANSWER);
    EXPECT_EQ(fake_com::Writes().size(), 1u);
}

TEST(CursorTest, LittleEndianRoundTrip) {
    uint8_t acData[16] = {};
    uint8_t* pWrite = acData;
    Cursor_PutU8(pWrite, 0x1A5);
    Cursor_PutU32(pWrite, 0x89ABCDEF);
    EXPECT_EQ(pWrite, acData + 5);
    EXPECT_EQ(acData[0], 0xA5);
    EXPECT_EQ(acData[1], 0xEF);
    EXPECT_EQ(acData[4], 0x89);
    const uint8_t* pRead = acData;
    EXPECT_EQ(Cursor_GetU8(pRead), 0xA5);
    EXPECT_EQ(Cursor_GetU32(pRead), 0x89ABCDEFu);
    pRead = acData + 1;
    EXPECT_EQ(Cursor_GetU16(pRead), 0xCDEF);
    uint8_t acCopy[3];
    Cursor_GetBytes(pRead, acCopy, 3);
    EXPECT_EQ(pRead, acData + 6);
    EXPECT_EQ(acCopy[0], 0xAB);
    EXPECT_EQ(acCopy[2], 0x00);
}

} // namespace
