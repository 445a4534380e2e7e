#include "scripted_worker.h"

#include "app/dialog.h"
#include "link/job_state.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace scripted_worker {
namespace {

std::mutex lock;
std::map<uint8_t, JobScript> scripts;
std::vector<int> seen;
std::atomic<int> overwritten{0};
std::atomic<bool> stop{false};
std::atomic<bool> paused{false};
std::thread thread;

struct TargetArgs {
    bool connected;
    uint32_t crcStart;
    uint32_t crcLength;
};

void ApplyTarget(TargetInfo& info, void* pContext) {
    const TargetArgs& args = *static_cast<TargetArgs*>(pContext);
    info.Connected = args.connected ? 1 : 0;
    info.CrcStart = args.crcStart;
    info.CrcLength = args.crcLength;
}

void Disconnect(TargetInfo& info, void*) {
    info.Connected = 0;
    info.TargetCrc = TARGET_CRC_UNKNOWN;
}

void RunJob(uint8_t jobType) {
    JobScript script;
    {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(jobType);
        if (scripts.count(jobType))
            script = scripts[jobType];
    }
    if (jobType == JOB_CLEAR || jobType == JOB_PROGRAM || jobType == JOB_GET_CRC)
        TargetInfo_SetTargetCrc(TARGET_CRC_UNKNOWN); // as the real jobs do at their start
    if (script.clickCancel)
        DLG_PostCommand(IDC_CANCEL);
    uint8_t status = script.status;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(script.durationMs);
    while (std::chrono::steady_clock::now() < until) {
        if (script.watchAbort && jobState.AbortFlag.load() != 0) {
            status = STATUS_CANCELLED;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (jobState.JobType.load(std::memory_order_acquire) != jobType)
        overwritten++;
    jobState.JobStatus = status;
    jobState.ResultAddress = script.address;
    jobState.ResultValue = script.value;
    if (jobType == JOB_GET_CRC && status == STATUS_OK)
        TargetInfo_SetTargetCrc(script.crc);
    if (script.loseTarget)
        TargetInfo_Update(Disconnect, nullptr);
    jobState.JobType.store(JOB_IDENTIFY, std::memory_order_release);
}

void Main() {
    while (!stop.load()) {
        if (paused.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        uint8_t jobType = jobState.JobType.load(std::memory_order_acquire);
        if (jobType != JOB_IDENTIFY) {
            RunJob(jobType);
        } else {
            if (TargetInfo_Connected())
                DLG_PostCommand(ID_CONNECTED);
            DLG_PostCommand(ID_POLL_DONE);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        jobState.AbortFlag.store(0);
    }
}

} // namespace

void Start(uint32_t crcStart, uint32_t crcLength) {
    {
        std::lock_guard<std::mutex> guard(lock);
        scripts.clear();
        seen.clear();
    }
    overwritten = 0;
    stop = false;
    paused = false;
    jobState.JobType.store(JOB_IDENTIFY);
    jobState.JobStatus = STATUS_OK;
    jobState.AbortFlag.store(0);
    SetTarget(true, crcStart, crcLength);
    TargetInfo_SetTargetCrc(TARGET_CRC_UNKNOWN);
    thread = std::thread(Main);
}

void Stop() {
    stop = true;
    if (thread.joinable())
        thread.join();
    SetTarget(false, 0, 0);
}

void Script(uint8_t jobType, const JobScript& script) {
    std::lock_guard<std::mutex> guard(lock);
    scripts[jobType] = script;
}

void SetPaused(bool p) {
    paused = p;
}

void SetTarget(bool connected, uint32_t crcStart, uint32_t crcLength) {
    TargetArgs args{connected, crcStart, crcLength};
    TargetInfo_Update(ApplyTarget, &args);
}

std::vector<int> Seen() {
    std::lock_guard<std::mutex> guard(lock);
    return seen;
}

int Overwritten() {
    return overwritten.load();
}

} // namespace scripted_worker
