// The exchanges of the boot loader's protocol. Only the worker thread calls them, one exchange at a
// time; every buffer is a local 500-byte array, nothing is allocated.
#include "link/frame.h"
#include "link/com.h"

#include <cstring>

namespace {

constexpr uint32_t ACK_TIMEOUT_MS = 1000;
constexpr int SEND_ATTEMPTS = 3;
// The boot loader sends a reply without pauses; a line quiet this long has nothing more of it.
constexpr uint32_t QUIET_GAP_MS = 20;
constexpr uint32_t QUIET_LIMIT_MS = 1000; // a line that never falls quiet is left to the retry

uint32_t bytesReceived = 0; // worker thread only, like every exchange

uint32_t ReadLine(uint8_t* pData, uint32_t count, uint32_t timeoutMs) {
    uint32_t got = COM_Read(pData, count, timeoutMs);
    bytesReceived += got;
    return got;
}

// A try that received something it could not use leaves the rest of that reply arriving: it is
// read and dropped until the line falls quiet, so that the next try's reply is the first thing
// read. A silent try costs nothing more.
void DiscardRestOfReply(uint32_t receivedBefore) {
    if (bytesReceived == receivedBefore)
        return;
    uint8_t acJunk[64];
    for (uint32_t spent = 0; spent < QUIET_LIMIT_MS; spent += QUIET_GAP_MS)
        if (COM_Read(acJunk, sizeof acJunk, QUIET_GAP_MS) == 0)
            return;
}

} // namespace

// Builds the Frame and hands it to the line in one write. A port that is not ready sends nothing;
// the exchange then fails at its first read, which returns at once. What is still queued from an
// earlier exchange (the rest of a damaged answer, a late Ack byte, a stray byte at the target's
// power-up) is dropped first: read as this Frame's answer it would put every later exchange one
// answer behind, and a single stray byte would keep the target from ever being found.
void Link_SendFrame(uint8_t command, const uint8_t* pData, uint8_t length) {
    uint8_t acBuffer[FRAME_BUFFER_SIZE];
    std::memset(acBuffer, 0, sizeof acBuffer);
    size_t size = Frame_Build(acBuffer, command, pData, length);
    COM_DiscardInput();
    COM_Write(acBuffer, static_cast<uint32_t>(size));
}

// Reads one Frame in at most three reads, each with the whole timeout. In continuation mode the
// Frame's first byte was already consumed (as a would-be Ack byte), so the buffer holds the Frame
// from its byte 1. The target's checksum covers Frame bytes 4 and 6 and the data, not byte 5. L is
// taken from buffer offset 1 (Frame byte 1 in normal mode, byte 2 in continuation mode); the two
// length bytes are never compared, and the second start byte is not looked at. On failure the rest of the
// Frame stays in the driver's queue: the callers' retries drop it and resend the request.
int Link_ReceiveFrame(uint8_t* acBuffer, uint32_t timeoutMs, ReceiveMode mode) {
    const uint32_t header = (mode == RECEIVE_NORMAL) ? FRAME_HEADER_SIZE : FRAME_HEADER_SIZE - 1;
    if (ReadLine(acBuffer, header, timeoutMs) < header)
        return 1;
    if (mode == RECEIVE_NORMAL && acBuffer[0] != FRAME_START)
        return 1;
    uint8_t sum = static_cast<uint8_t>(acBuffer[header - 3] + acBuffer[header - 1]);
    const uint8_t length = acBuffer[1];
    if (length != 0) {
        if (ReadLine(acBuffer + header, length, timeoutMs) < length)
            return 1;
        for (uint32_t i = 0; i < length; ++i)
            sum = static_cast<uint8_t>(sum + acBuffer[header + i]);
    }
    uint8_t* pTrailer = acBuffer + header + length;
    if (ReadLine(pTrailer, 2, timeoutMs) < 2)
        return 1;
    if (pTrailer[0] != sum || pTrailer[1] != FRAME_END)
        return 1;
    return 0;
}

// One byte within 1000 ms. A missing byte leaves `ack` as it was; only 0x90 counts as success.
int Link_WaitAck(uint8_t& ack) {
    uint8_t received = 0;
    if (ReadLine(&received, 1, ACK_TIMEOUT_MS) != 1)
        return 1;
    ack = received;
    return ack == FRAME_ACK ? 0 : 1;
}

// Sends the Frame until the Ack byte comes, at most three times. A wrong byte counts as no Ack:
// whatever else the target sent with it is read and dropped until the line falls quiet (and what
// still comes later, before the next send), and the whole Frame is sent again.
int Link_SendAcked(uint8_t command, const uint8_t* pData, uint8_t length) {
    uint8_t ack = 0;
    for (int attempt = 0; ack != FRAME_ACK && attempt < SEND_ATTEMPTS; ++attempt) {
        const uint32_t before = bytesReceived;
        Link_SendFrame(command, pData, length);
        if (Link_WaitAck(ack) != 0)
            DiscardRestOfReply(before);
    }
    return ack == FRAME_ACK ? 0 : 1;
}

// A request the target answers with a Frame and no Ack byte; at most three attempts.
int Link_Request(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer,
                 uint32_t timeoutMs) {
    for (int attempt = 0; attempt < SEND_ATTEMPTS; ++attempt) {
        const uint32_t before = bytesReceived;
        Link_SendFrame(command, pData, length);
        if (Link_ReceiveFrame(acBuffer, timeoutMs, RECEIVE_NORMAL) == 0)
            return 0;
        DiscardRestOfReply(before);
    }
    return 1;
}

// A programming block is sent exactly once: writing the same flash twice is not safe to assume.
// Anything but the Ack byte is taken as the first byte of an error Frame, whose rest then follows.
BlockResult Link_SendBlock(uint8_t command, const uint8_t* pData, uint8_t length, uint8_t* acBuffer,
                           uint32_t timeoutMs) {
    uint8_t ack = 0;
    Link_SendFrame(command, pData, length);
    Link_WaitAck(ack);
    if (ack == FRAME_ACK)
        return BLOCK_ACKED;
    if (Link_ReceiveFrame(acBuffer, timeoutMs, RECEIVE_CONTINUATION) == 0)
        return BLOCK_REJECTED;
    return BLOCK_NO_ANSWER;
}
