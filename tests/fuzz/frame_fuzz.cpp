// The frame layer fed from a device's bytes: Link_ReceiveFrame in both modes, and the exchanges whose
// answers come from the device (Link_SendAcked, Link_Request, Link_SendBlock). Each call is checked
// against a model of the wire: the result, what it wrote to the line, what it left queued, that the
// receive buffer holds the frame exactly and nothing was written past it, and that no call waits
// longer than its retries allow.
//
// Input: byte 0 picks the call, byte 1 the length of the request's data (taken from the bytes that
// follow). The rest is the device: for Link_ReceiveFrame all of it queued at once; for the
// exchanges a script of [delay][length][bytes] chunks, one sent in answer to each frame written.
#include <algorithm>
#include <cstring>

#include "fuzz_line.h"
#include "link/frame.h"

namespace {

using fuzz::Check;

constexpr uint32_t TIMEOUT_MS = 500;
constexpr uint32_t ACK_TIMEOUT_MS = 1000; // Link_WaitAck's own
constexpr uint32_t DROP_LIMIT_MS = 1000;  // dropping the rest of a useless reply, at most
constexpr uint8_t CANARY = 0xA5;

struct Buffer {
    uint8_t Bytes[FRAME_BUFFER_SIZE];
    Buffer() { memset(Bytes, CANARY, sizeof Bytes); }
    // Nothing at or behind `from` was written (the receiver reads at most one frame).
    void CheckUntouchedFrom(size_t from) const {
        for (size_t i = from; i < sizeof Bytes; ++i)
            Check(Bytes[i] == CANARY);
    }
};

void CheckWrites(uint8_t command, const uint8_t* pData, uint8_t length) {
    for (const auto& write : fake_com::Writes()) {
        const auto data = fuzz::CheckHostFrame(write.bytes, command);
        Check(data.size() == length && std::equal(data.begin(), data.end(), pData));
    }
}

void Receive(const uint8_t* pStream, size_t size, bool continuation) {
    fake_com::Feed(fake_com::Bytes(pStream, pStream + size));
    Buffer buffer;
    const int result =
        Link_ReceiveFrame(buffer.Bytes, TIMEOUT_MS, continuation ? RECEIVE_CONTINUATION : RECEIVE_NORMAL);
    const fuzz::ExpectedFrame expected = fuzz::ExpectFrame(pStream, size, continuation);
    Check(result == (expected.Intact ? 0 : 1));
    Check(fake_com::Pending() == size - expected.Taken);
    Check(memcmp(buffer.Bytes, pStream, expected.Taken) == 0);
    buffer.CheckUntouchedFrom(expected.Taken);
    Check(fake_com::Reads().size() <= 3);
    Check(fake_com::Now() <= 3 * TIMEOUT_MS);
}

void SendAcked(const uint8_t* pData, uint8_t length, fuzz::LineModel& model) {
    const int result = Link_SendAcked(0x11, pData, length);
    Check(result == (model.SendAcked() ? 0 : 1));
    model.CheckLine();
    CheckWrites(0x11, pData, length);
    Check(fake_com::Now() <= 3 * (ACK_TIMEOUT_MS + DROP_LIMIT_MS));
}

void Request(const uint8_t* pData, uint8_t length, fuzz::LineModel& model) {
    Buffer buffer;
    const int result = Link_Request(0x22, pData, length, buffer.Bytes, TIMEOUT_MS);
    std::vector<uint8_t> frame;
    size_t widest = 0;
    const fuzz::ExpectedFrame expected = model.Request(TIMEOUT_MS, &frame, &widest);
    Check(result == (expected.Intact ? 0 : 1));
    model.CheckLine();
    CheckWrites(0x22, pData, length);
    if (expected.Intact)
        Check(std::equal(frame.begin(), frame.end(), buffer.Bytes));
    buffer.CheckUntouchedFrom(widest);
    Check(fake_com::Now() <= 3 * (3 * TIMEOUT_MS + DROP_LIMIT_MS));
}

void SendBlock(const uint8_t* pData, uint8_t length, fuzz::LineModel& model) {
    Buffer buffer;
    const BlockResult result = Link_SendBlock(0x02, pData, length, buffer.Bytes, TIMEOUT_MS);
    model.Send(); // exactly once: a block is never resent
    if (model.TakeAck()) {
        Check(result == BLOCK_ACKED);
        buffer.CheckUntouchedFrom(0);
    } else {
        std::vector<uint8_t> frame;
        const fuzz::ExpectedFrame expected = model.TakeFrame(true, TIMEOUT_MS, &frame);
        Check(result == (expected.Intact ? BLOCK_REJECTED : BLOCK_NO_ANSWER));
        Check(std::equal(frame.begin(), frame.end(), buffer.Bytes));
        buffer.CheckUntouchedFrom(frame.size());
    }
    model.CheckLine();
    CheckWrites(0x02, pData, length);
    Check(fake_com::Now() <= ACK_TIMEOUT_MS + 3 * TIMEOUT_MS);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pInput, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t call = pInput[0] % 5;
    const uint8_t length = static_cast<uint8_t>(std::min<size_t>(pInput[1], size - 2));
    const uint8_t* pData = pInput + 2;
    const uint8_t* pStream = pData + length;
    const size_t streamSize = size - 2 - length;

    fuzz::ResetLine();
    fuzz::Script device{pStream, streamSize};
    fuzz::LineModel model{{pStream, streamSize}, {}, 0};
    if (call >= 2)
        fuzz::AnswerFrom(device);
    switch (call) {
    case 0:
        Receive(pStream, streamSize, false);
        break;
    case 1:
        Receive(pStream, streamSize, true);
        break;
    case 2:
        SendAcked(pData, length, model);
        break;
    case 3:
        Request(pData, length, model);
        break;
    default:
        SendBlock(pData, length, model);
        break;
    }
    fake_com::SetResponder(nullptr);
    return 0;
}
