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
// of the fuzzer's script, chunks being [length][bytes]; a script that has run out answers nothing.
struct Script {
    const uint8_t* pBytes;
    size_t Size;
    size_t At = 0;
    fake_com::Bytes NextChunk() {
        if (At >= Size)
            return {};
        const size_t length = std::min<size_t>(pBytes[At], Size - At - 1);
        const uint8_t* pChunk = pBytes + At + 1;
        At += 1 + length;
        return fake_com::Bytes(pChunk, pChunk + length);
    }
};

// Makes the fake line answer each write from the script (the responder runs inside COM_Write).
inline void AnswerFrom(Script& script) {
    fake_com::SetResponder([&script](const fake_com::Bytes&) { fake_com::Feed(script.NextChunk()); });
}

// Whether sending a frame first drops what is still queued from an earlier exchange; asked once
// of the frame layer itself, so the model follows it either way.
bool SendDiscardsInput();

// What the host must see of the line: the bytes queued for it, refilled from a copy of the script
// at each send, taken by the model's reads exactly as the receiver must take them.
struct LineModel {
    Script Device;
    std::vector<uint8_t> Pending;
    size_t Sends = 0;

    void Send() {
        if (SendDiscardsInput())
            Pending.clear();
        const auto chunk = Device.NextChunk();
        Pending.insert(Pending.end(), chunk.begin(), chunk.end());
        ++Sends;
    }
    // One byte as Link_WaitAck reads it: false (and `got` false) on an empty line.
    bool TakeAck(bool* pGot = nullptr) {
        if (pGot)
            *pGot = !Pending.empty();
        if (Pending.empty())
            return false;
        const uint8_t byte = Pending.front();
        Pending.erase(Pending.begin());
        return byte == 0x90;
    }
    // Link_SendAcked: up to three sends, each followed by one byte.
    bool SendAcked() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            Send();
            if (TakeAck())
                return true;
        }
        return false;
    }
    // One frame as the receiver takes it; `pFrame` gets the bytes taken.
    ExpectedFrame TakeFrame(bool continuation, std::vector<uint8_t>* pFrame = nullptr) {
        const ExpectedFrame frame = ExpectFrame(Pending.data(), Pending.size(), continuation);
        if (pFrame)
            pFrame->assign(Pending.begin(), Pending.begin() + static_cast<long>(frame.Taken));
        Pending.erase(Pending.begin(), Pending.begin() + static_cast<long>(frame.Taken));
        return frame;
    }
    // Link_Request: up to three sends, each followed by one frame.
    ExpectedFrame Request(std::vector<uint8_t>* pFrame, size_t* pWidest = nullptr) {
        ExpectedFrame frame{false, 0};
        for (int attempt = 0; attempt < 3 && !frame.Intact; ++attempt) {
            Send();
            frame = TakeFrame(false, pFrame);
            if (pWidest)
                *pWidest = std::max(*pWidest, frame.Taken);
        }
        return frame;
    }
    // The line must hold what the model holds.
    void CheckLine() const {
        Check(fake_com::Pending() == Pending.size());
        Check(fake_com::Writes().size() == Sends);
    }
};

} // namespace fuzz
