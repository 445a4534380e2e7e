// What the fuzz targets of the link layer share: the abort-on-violation check, a fresh scripted line
// without real sleeps, a device that answers each frame with the next chunk of the fuzzer's bytes,
// and a model of how the host must take those bytes (each read gets what it asks for while bytes are
// queued; nothing arrives late).
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "fakes/fake_com.h"
#include "fakes/fake_dialog.h"

namespace fuzz {

// Aborts on a violated invariant, naming the check's place so that a crash report says which one.
inline void Check(bool condition, const char* pFile = __builtin_FILE(), int line = __builtin_LINE()) {
    if (condition)
        return;
    fprintf(stderr, "invariant violated at %s:%d\n", pFile, line);
    abort();
}

// A fresh line and dialog, without the fake's short-read sleep: that only keeps polling test threads
// off the core, and a fuzzer runs single-threaded and would spend most of its time asleep.
void ResetLine();

inline uint32_t U32At(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The frame a correct receiver takes from `pBytes` (what is left of the stream, `size` bytes): in
// continuation mode the stream starts at the frame's byte 1. Frame layout on the wire:
// 68 L L 68 b4 b5 cmd data[L] checksum 16, the checksum being b4 + cmd + data modulo 256; L is read
// from frame byte 1 (normal) or frame byte 2 (continuation).
struct ExpectedFrame {
    bool Intact;
    size_t Taken; // bytes the receiver consumes, intact or not
};

inline ExpectedFrame ExpectFrame(const uint8_t* pBytes, size_t size, bool continuation) {
    const size_t skip = continuation ? 1 : 0; // frame byte k is pBytes[k - skip]
    const size_t header = 7 - skip;
    if (size < header)
        return {false, size};
    if (!continuation && pBytes[0] != 0x68)
        return {false, header};
    const size_t length = pBytes[1]; // frame byte 1 (normal) or 2 (continuation)
    const size_t whole = 9 + length - skip;
    if (size < whole)
        return {false, size};
    uint8_t sum = static_cast<uint8_t>(pBytes[4 - skip] + pBytes[6 - skip]);
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + pBytes[7 - skip + i]);
    const bool intact = pBytes[7 - skip + length] == sum && pBytes[8 - skip + length] == 0x16;
    return {intact, whole};
}

// Checks that a host frame is 68 L L 68 00 00 cmd data checksum 16 and returns its data.
inline std::vector<uint8_t> CheckHostFrame(const std::vector<uint8_t>& frame, uint8_t command) {
    Check(frame.size() >= 9);
    const size_t length = frame[1];
    Check(frame.size() == 9 + length);
    Check(frame[0] == 0x68 && frame[2] == length && frame[3] == 0x68 && frame[4] == 0 && frame[5] == 0);
    Check(frame[6] == command);
    uint8_t sum = command;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + frame[7 + i]);
    Check(frame[7 + length] == sum && frame[8 + length] == 0x16);
    return std::vector<uint8_t>(frame.begin() + 7, frame.begin() + 7 + static_cast<long>(length));
}

// The device's side of the exchanges: every frame the host writes is answered with the next chunk
// of the fuzzer's script, chunks being [delay][length][bytes], the bytes arriving delay x 8 ms after
// the write; a script that has run out answers nothing.
constexpr uint32_t DELAY_UNIT_MS = 8;

struct Chunk {
    fake_com::Bytes Bytes;
    uint32_t DelayMs;
};

struct Script {
    const uint8_t* pBytes;
    size_t Size;
    size_t At = 0;
    Chunk NextChunk() {
        if (Size - At < 2) {
            At = Size;
            return {{}, 0};
        }
        const uint32_t delay = pBytes[At] * DELAY_UNIT_MS;
        const size_t length = std::min<size_t>(pBytes[At + 1], Size - At - 2);
        const uint8_t* pChunk = pBytes + At + 2;
        At += 2 + length;
        return {fake_com::Bytes(pChunk, pChunk + length), delay};
    }
};

// Makes the fake line answer each write from the script (the responder runs inside COM_Write).
inline void AnswerFrom(Script& script) {
    fake_com::SetResponder([&script](const fake_com::Bytes&) {
        const Chunk chunk = script.NextChunk();
        fake_com::Feed(chunk.Bytes, chunk.DelayMs);
    });
}

// Whether sending a frame first drops what has arrived and is still unread; asked once of the frame
// layer itself, so the model follows it either way.
bool SendDiscardsInput();

// What the host must see of the line, on the line's virtual clock: the bytes queued for it with
// their arrival times, refilled from a copy of the script at each send, and taken by reads in order,
// each read waiting at most its timeout for the bytes it wants. The model's reads are the ones the
// protocol prescribes, with their timeouts, so the fake's clock and queue must end where the
// model's do.
struct LineModel {
    struct Byte {
        uint8_t Value;
        uint64_t AtMs;
    };
    Script Device;
    std::deque<Byte> Pending{};
    uint64_t NowMs = 0;
    size_t Sends = 0;

    void Send() {
        if (SendDiscardsInput())
            while (!Pending.empty() && Pending.front().AtMs <= NowMs)
                Pending.pop_front();
        const Chunk chunk = Device.NextChunk();
        for (uint8_t value : chunk.Bytes)
            Pending.push_back({value, NowMs + chunk.DelayMs});
        ++Sends;
    }
    size_t Received = 0; // bytes taken by the protocol's own reads (not by dropping a reply)

    // One read of `count` bytes; true when all of them came in time.
    bool Read(size_t count, uint32_t timeoutMs, std::vector<uint8_t>& out) {
        const size_t got = ReadSome(count, timeoutMs, &out);
        Received += got;
        return got == count;
    }
    // After a try that received something it could not use, the rest of that reply is read and
    // dropped until the line is quiet for 20 ms (for at most 1000 ms).
    void DropRestOfReply(size_t receivedBefore) {
        if (Received == receivedBefore)
            return;
        for (uint32_t spent = 0; spent < 1000; spent += 20)
            if (ReadSome(64, 20, nullptr) == 0)
                return;
    }
    // Link_WaitAck: one byte within 1000 ms.
    bool TakeAck() {
        std::vector<uint8_t> byte;
        return Read(1, 1000, byte) && byte[0] == 0x90;
    }
    // Link_SendAcked: up to three sends, each followed by the wait for the Ack byte.
    bool SendAcked() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const size_t before = Received;
            Send();
            if (TakeAck())
                return true;
            DropRestOfReply(before);
        }
        return false;
    }
    // One frame in at most three reads (header, data, checksum and end byte), each with the whole
    // timeout; `pFrame` gets the bytes taken. Layout as in ExpectFrame.
    ExpectedFrame TakeFrame(bool continuation, uint32_t timeoutMs, std::vector<uint8_t>* pFrame = nullptr) {
        std::vector<uint8_t> bytes;
        const bool intact = ReadFrame(continuation, timeoutMs, bytes);
        if (pFrame)
            *pFrame = bytes;
        return {intact, bytes.size()};
    }
    // Link_Request: up to three sends, each followed by one frame.
    ExpectedFrame Request(uint32_t timeoutMs, std::vector<uint8_t>* pFrame, size_t* pWidest = nullptr) {
        ExpectedFrame frame{false, 0};
        for (int attempt = 0; attempt < 3 && !frame.Intact; ++attempt) {
            const size_t before = Received;
            Send();
            frame = TakeFrame(false, timeoutMs, pFrame);
            if (pWidest)
                *pWidest = std::max(*pWidest, frame.Taken);
            if (!frame.Intact)
                DropRestOfReply(before);
        }
        return frame;
    }
    // The line must hold what the model holds, at the same time.
    void CheckLine() const {
        Check(fake_com::Pending() == Pending.size());
        Check(fake_com::Writes().size() == Sends);
        Check(fake_com::Now() == NowMs);
    }

  private:
    // What one COM_Read of the fake line returns: the queued bytes in order while they arrive by the
    // deadline; the clock moves to the last arrival, or to the deadline when some are missing.
    size_t ReadSome(size_t count, uint32_t timeoutMs, std::vector<uint8_t>* pOut) {
        const uint64_t deadline = NowMs + timeoutMs;
        uint64_t last = NowMs;
        size_t got = 0;
        while (got < count && !Pending.empty() && Pending.front().AtMs <= deadline) {
            if (pOut)
                pOut->push_back(Pending.front().Value);
            last = std::max(last, Pending.front().AtMs);
            Pending.pop_front();
            ++got;
        }
        NowMs = got == count ? last : deadline;
        return got;
    }
    bool ReadFrame(bool continuation, uint32_t timeoutMs, std::vector<uint8_t>& bytes) {
        const size_t skip = continuation ? 1 : 0;
        if (!Read(7 - skip, timeoutMs, bytes) || (!continuation && bytes[0] != 0x68))
            return false;
        const size_t length = bytes[1];
        if (length != 0 && !Read(length, timeoutMs, bytes))
            return false;
        if (!Read(2, timeoutMs, bytes))
            return false;
        return ExpectFrame(bytes.data(), bytes.size(), continuation).Intact;
    }
};

} // namespace fuzz
