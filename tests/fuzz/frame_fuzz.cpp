// The frame layer fed from a device's byte stream: Link_ReceiveFrame in both modes, and the exchanges
// whose answers come from the stream (Link_SendAcked, Link_Request, Link_SendBlock). Each call is
// checked against a model of the wire: the result, how many bytes it took, what it wrote to the
// line, that the receive buffer holds the frame exactly and nothing was written past it, and that
// no call waits longer than its retries allow.
//
// Input: byte 0 picks the call, byte 1 the length of the request's data (taken from the bytes that
// follow), the rest is what the device sends, all of it queued at once.
#include <algorithm>
#include <cstring>

#include "fuzz_line.h"
#include "link/frame.h"

namespace {

using fuzz::Check;

constexpr uint32_t TIMEOUT_MS = 500;
constexpr uint32_t ACK_TIMEOUT_MS = 1000; // Link_WaitAck's own
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

void CheckWrites(uint8_t command, const uint8_t* pData, uint8_t length, size_t count) {
    const auto writes = fake_com::Writes();
    Check(writes.size() == count);
    for (const auto& write : writes) {
        const auto data = fuzz::CheckHostFrame(write.bytes, command);
        Check(data.size() == length && std::equal(data.begin(), data.end(), pData));
    }
}

size_t Consumed(size_t streamSize) {
    return streamSize - fake_com::Pending();
}

void Receive(const uint8_t* pStream, size_t size, bool continuation) {
    Buffer buffer;
    const int result =
        Link_ReceiveFrame(buffer.Bytes, TIMEOUT_MS, continuation ? RECEIVE_CONTINUATION : RECEIVE_NORMAL);
    const fuzz::ExpectedFrame expected = fuzz::ExpectFrame(pStream, size, continuation);
    Check(result == (expected.Intact ? 0 : 1));
    Check(Consumed(size) == expected.Taken);
    Check(memcmp(buffer.Bytes, pStream, expected.Taken) == 0);
    buffer.CheckUntouchedFrom(expected.Taken);
    Check(fake_com::Reads().size() <= 3);
    Check(fake_com::Now() <= 3 * TIMEOUT_MS);
}

void SendAcked(const uint8_t* pData, uint8_t length, const uint8_t* pStream, size_t size) {
    const int result = Link_SendAcked(0x11, pData, length);
    // Each attempt takes one byte while there are any; the first 0x90 ends the exchange.
    size_t attempts = 0;
    bool acked = false;
    while (attempts < 3 && !acked) {
        acked = attempts < size && pStream[attempts] == FRAME_ACK;
        ++attempts;
    }
    Check(result == (acked ? 0 : 1));
    CheckWrites(0x11, pData, length, attempts);
    Check(Consumed(size) == std::min(attempts, size));
    Check(fake_com::Now() <= 3 * ACK_TIMEOUT_MS);
}

void Request(const uint8_t* pData, uint8_t length, const uint8_t* pStream, size_t size) {
    Buffer buffer;
    const int result = Link_Request(0x22, pData, length, buffer.Bytes, TIMEOUT_MS);
    size_t at = 0;
    size_t attempts = 0;
    size_t widest = 0;
    fuzz::ExpectedFrame frame{false, 0};
    while (attempts < 3 && !frame.Intact) {
        frame = fuzz::ExpectFrame(pStream + at, size - at, false);
        widest = std::max(widest, frame.Taken);
        at += frame.Taken;
        ++attempts;
    }
    Check(result == (frame.Intact ? 0 : 1));
    CheckWrites(0x22, pData, length, attempts);
    Check(Consumed(size) == at);
    if (frame.Intact)
        Check(memcmp(buffer.Bytes, pStream + at - frame.Taken, frame.Taken) == 0);
    buffer.CheckUntouchedFrom(widest);
    Check(fake_com::Now() <= 3 * 3 * TIMEOUT_MS);
}

void SendBlock(const uint8_t* pData, uint8_t length, const uint8_t* pStream, size_t size) {
    Buffer buffer;
    const BlockResult result = Link_SendBlock(0x02, pData, length, buffer.Bytes, TIMEOUT_MS);
    CheckWrites(0x02, pData, length, 1); // never resent
    if (size == 0) {
        Check(result == BLOCK_NO_ANSWER);
        Check(Consumed(size) == 0);
        buffer.CheckUntouchedFrom(0);
        return;
    }
    if (pStream[0] == FRAME_ACK) {
        Check(result == BLOCK_ACKED);
        Check(Consumed(size) == 1);
        buffer.CheckUntouchedFrom(0);
        return;
    }
    const fuzz::ExpectedFrame frame = fuzz::ExpectFrame(pStream + 1, size - 1, true);
    Check(result == (frame.Intact ? BLOCK_REJECTED : BLOCK_NO_ANSWER));
    Check(Consumed(size) == 1 + frame.Taken);
    Check(memcmp(buffer.Bytes, pStream + 1, frame.Taken) == 0);
    buffer.CheckUntouchedFrom(frame.Taken);
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
    fake_com::Feed(fake_com::Bytes(pStream, pStream + streamSize));
    switch (call) {
    case 0:
        Receive(pStream, streamSize, false);
        break;
    case 1:
        Receive(pStream, streamSize, true);
        break;
    case 2:
        SendAcked(pData, length, pStream, streamSize);
        break;
    case 3:
        Request(pData, length, pStream, streamSize);
        break;
    default:
        SendBlock(pData, length, pStream, streamSize);
        break;
    }
    return 0;
}
