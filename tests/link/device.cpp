#include "device.h"

#include "fakes/fake_dialog.h"
#include "link/frame.h"
#include "link/job_state.h"

namespace device {

Bytes Frame(uint8_t command, const Bytes& data) {
    uint8_t acFrame[FRAME_BUFFER_SIZE] = {};
    size_t size = Frame_Build(acFrame, command, data.data(), static_cast<uint8_t>(data.size()));
    return Bytes(acFrame, acFrame + size);
}

Bytes U32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes IdentifyData(const std::string& text1, const std::string& text2, uint32_t crcStart, uint32_t crcLength,
                   uint8_t idByte, uint32_t idWord) {
    Bytes data{idByte};
    data = Concat(data, U32(idWord));
    data.push_back(static_cast<uint8_t>(text1.size()));
    data.insert(data.end(), text1.begin(), text1.end());
    data.push_back(static_cast<uint8_t>(text2.size()));
    data.insert(data.end(), text2.begin(), text2.end());
    data = Concat(data, U32(crcStart));
    return Concat(data, U32(crcLength));
}

uint8_t CommandOf(const Bytes& written) {
    if (written.size() < FRAME_OVERHEAD || written[0] != FRAME_START)
        return 0xFF;
    return written[6];
}

namespace {
void ClearTargetInfo(TargetInfo& info, void*) {
    info = TargetInfo{};
}
} // namespace

void ResetAll() {
    fake_com::Reset();
    fake_dialog::Reset();
    jobState.JobType.store(0);
    jobState.JobStatus = 0;
    jobState.ResultAddress = 0;
    jobState.Remaining = 0;
    jobState.ResultValue = 0;
    jobState.ProgramImage = nullptr;
    jobState.StopRequest.store(0);
    jobState.AbortFlag.store(0);
    TargetInfo_Update(ClearTargetInfo, nullptr);
}

} // namespace device
