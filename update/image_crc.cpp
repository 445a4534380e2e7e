#include "update/image_crc.h"

#include "app/app.h"
#include "image/image_store.h"
#include "link/job_state.h"
#include "update/crc16.h"
#include "update/runner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr uint8_t FILL_BYTE = 0xFF; // what an erased flash cell reads, for addresses the image lacks
constexpr int32_t READ_SIZE = 10000;

// Feeds `count` fill bytes; in blocks, which gives the same register as one byte at a time.
void FeedFill(uint16_t& crc, uint64_t count) {
    static const std::array<uint8_t, READ_SIZE> acFill = [] {
        std::array<uint8_t, READ_SIZE> a{};
        a.fill(FILL_BYTE);
        return a;
    }();
    while (count > 0) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, READ_SIZE));
        Crc16Update(crc, acFill.data(), n - 1);
        count -= n;
    }
}

} // namespace

int32_t ImageAreaCrc(ImageStore* pImage, uint32_t start, uint64_t length) {
    // The area as 64-bit bounds, so that an area ending at 0xFFFFFFFF still ends the loops.
    const uint64_t endExclusive = start + length;
    if (endExclusive > 0x100000000ULL)
        return -1; // runs past the top of the address space: no target has such an area
    uint16_t crc;
    Crc16Init(crc);
    if (endExclusive == start)
        return crc; // an empty area

    const uint32_t end = static_cast<uint32_t>(endExclusive - 1);
    static uint8_t acBuffer[READ_SIZE]; // main thread only; kept off the stack
    uint64_t next = start;              // first address not fed yet
    while (next < endExclusive) {
        uint32_t progAdr = static_cast<uint32_t>(next);
        std::memset(acBuffer, 0, sizeof acBuffer);
        int32_t n = ImageStore_ReadRange(pImage, progAdr, end, 0, acBuffer, &progAdr, READ_SIZE, 0, 0);
        if (n == 0)
            break;
        // A negative count (the store's lock timed out) or a run outside what was asked for would
        // give a CRC of the wrong bytes: better no CRC at all.
        if (n < 0 || n > READ_SIZE || progAdr < next || progAdr + static_cast<uint64_t>(n) > endExclusive)
            return -1;
        FeedFill(crc, progAdr - next); // addresses between the previous run and this one
        Crc16Update(crc, acBuffer, static_cast<uint32_t>(n - 1));
        next = progAdr + static_cast<uint64_t>(n);
    }
    FeedFill(crc, endExclusive - next); // addresses after the last run
    return crc;
}

int32_t CalcImageCrc() {
    TargetInfo info;
    GetTargetInfo(&info); // one copy: a poll may rewrite the record meanwhile
    ImageStore* pImage = pProgramImage;
    if (pImage == nullptr)
        return -1;
    if (info.CrcLength == 0 && info.CrcStart == 0)
        return -1; // the record of an absent target: in 32 bits its end would wrap to 0xFFFFFFFF
    return ImageAreaCrc(pImage, info.CrcStart, info.CrcLength);
}
