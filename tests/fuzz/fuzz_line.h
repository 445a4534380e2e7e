// What the fuzz targets of the link layer share: the abort-on-violation check, a fresh scripted line
// without real sleeps, and a model of how the receiver must take a device's bytes that are all queued
// at once (each read gets what it asks for while bytes are left).
#pragma once
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

// A fresh line and dialog. The fake's short-read sleep only keeps polling test threads off the
// core; a fuzzer runs single-threaded and would spend most of its time asleep.
inline void ResetLine() {
    fake_com::Reset();
    fake_com::SetShortReadSleep(std::chrono::microseconds(0));
    fake_dialog::Reset();
}

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

// Stream offset at which each read began, from the fake's record (reads take bytes in order).
inline std::vector<size_t> ReadOffsets(const std::vector<fake_com::ReadCall>& reads) {
    std::vector<size_t> offsets;
    size_t at = 0;
    for (const auto& read : reads) {
        offsets.push_back(at);
        at += read.got;
    }
    offsets.push_back(at);
    return offsets;
}

} // namespace fuzz
