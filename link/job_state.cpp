#include "link/job_state.h"

#include <cstring>
#include <mutex>

JobState jobState{};

namespace {
// One small lock around the identify record: the worker parses answers into it field by field
// while the main thread copies it.
std::mutex targetInfoLock;
TargetInfo targetInfo{};
} // namespace

void TargetInfo_Copy(TargetInfo* pOut) {
    std::lock_guard<std::mutex> guard(targetInfoLock);
    *pOut = targetInfo;
}

uint8_t TargetInfo_Connected() {
    std::lock_guard<std::mutex> guard(targetInfoLock);
    return targetInfo.Connected;
}

uint32_t TargetInfo_TargetCrc() {
    std::lock_guard<std::mutex> guard(targetInfoLock);
    return targetInfo.TargetCrc;
}

void TargetInfo_SetTargetCrc(uint32_t crc) {
    std::lock_guard<std::mutex> guard(targetInfoLock);
    targetInfo.TargetCrc = crc;
}

void TargetInfo_Update(void (*pfnUpdate)(TargetInfo& info, void* pContext), void* pContext) {
    std::lock_guard<std::mutex> guard(targetInfoLock);
    pfnUpdate(targetInfo, pContext);
}
