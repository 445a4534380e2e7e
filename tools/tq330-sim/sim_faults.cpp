#include "sim_faults.h"

#include "link/protocol.h"

namespace {

uint32_t noiseState = 0x1234567u;

} // namespace

void Faults_DamageFrame(uint8_t* acFrame, size_t size, CorruptKind kind) {
    switch (kind) {
    case CORRUPT_CHECKSUM:
        acFrame[size - 2] = static_cast<uint8_t>(acFrame[size - 2] + 1);
        break;
    case CORRUPT_END:
        acFrame[size - 1] = static_cast<uint8_t>(FRAME_END + 1);
        break;
    case CORRUPT_START:
        acFrame[0] = static_cast<uint8_t>(FRAME_START + 1);
        break;
    case CORRUPT_LENGTH: // only the first copy: the receiver trusts it and waits for a byte more
        acFrame[FRAME_LENGTH_AT] = static_cast<uint8_t>(acFrame[FRAME_LENGTH_AT] + 1);
        break;
    }
}

void Faults_Noise(uint8_t* pData, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t b;
        do {
            noiseState = noiseState * 1103515245u + 12345u;
            b = static_cast<uint8_t>(noiseState >> 16);
        } while (b == FRAME_START || b == FRAME_ACK);
        pData[i] = b;
    }
}
