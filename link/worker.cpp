// The worker thread: runs the job that JobType names and, whenever none is set, polls the target
// with the identify command and tells the dialog whether the target is present.
#include "link/worker.h"

#include "app/dialog.h"
#include "link/com.h"
#include "link/cursor.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/jobs.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t IDENTIFY_TIMEOUT_MS = 100;
// A port that is not ready fails every poll at once; without a pause the loop would burn a core
// and flood the dialog with notifications.
constexpr auto NOT_READY_PAUSE = std::chrono::milliseconds(100);
constexpr uint32_t ID_TEXT_SIZE = sizeof(TargetInfo{}.IdText1);

std::mutex handleLock; // guards WorkerHandle against concurrent Worker_Start / Worker_Stop
// Never destroyed: the program ends without stopping the worker, and a joinable std::thread left
// to a static destructor would abort the process on its way out.
std::thread& WorkerHandle = *new std::thread;

std::mutex pauseLock; // lets Worker_Stop cut the not-ready pause short
std::condition_variable pauseWake;

// The identify answer's layout, checked against L before anything is stored.
struct IdentifyAnswer {
    const uint8_t* pFrame; // the received Frame from its byte 0
    uint8_t text1Length;   // as sent
    uint8_t text2Length;
};

// The answer's data: IdByte, IdWord, T1, text 1, T2, text 2, CrcStart, CrcLength (L = 15 + T1 + T2).
// The target's lengths are not trusted: an answer whose data do not hold both texts and the CRC
// range is rejected as a whole (the poll then counts as unanswered), so the CRC range the update
// compares always comes from one well-formed answer. A text longer than its 100-byte field is cut
// to 100 bytes; the fields behind it are still read at their offsets on the wire.
bool CheckIdentifyAnswer(const uint8_t* acBuffer, IdentifyAnswer* pOut) {
    const uint32_t length = acBuffer[1];
    const uint8_t* pData = acBuffer + 7;
    if (length < 6) // IdByte, IdWord and T1
        return false;
    const uint32_t text1 = pData[5];
    if (length < 7 + text1) // T2
        return false;
    const uint32_t text2 = pData[6 + text1];
    if (length < 15 + text1 + text2)
        return false;
    *pOut = {acBuffer, static_cast<uint8_t>(text1), static_cast<uint8_t>(text2)};
    return true;
}

void GetText(const uint8_t*& pRead, uint8_t sentLength, uint8_t* pText, uint8_t* pStoredLength) {
    const uint8_t kept = static_cast<uint8_t>(sentLength < ID_TEXT_SIZE ? sentLength : ID_TEXT_SIZE);
    *pStoredLength = kept;
    Cursor_GetBytes(pRead, pText, kept); // bytes beyond the new length keep their older content
    pRead += sentLength - kept;
}

// Runs under the TargetInfo lock, so the dialog thread never copies a half-parsed record.
void StoreIdentifyAnswer(TargetInfo& info, void* pContext) {
    const IdentifyAnswer& answer = *static_cast<const IdentifyAnswer*>(pContext);
    const uint8_t* pRead = answer.pFrame + 6;
    info.IdCode = Cursor_GetU8(pRead);
    info.IdByte = Cursor_GetU8(pRead);
    info.IdWord = Cursor_GetU32(pRead);
    Cursor_GetU8(pRead); // T1, checked already
    GetText(pRead, answer.text1Length, info.IdText1, &info.IdText1Length);
    Cursor_GetU8(pRead); // T2
    GetText(pRead, answer.text2Length, info.IdText2, &info.IdText2Length);
    info.CrcStart = Cursor_GetU32(pRead);
    info.CrcLength = Cursor_GetU32(pRead);
    info.Connected = 1;
}

// Marks the target lost; true when it was connected until now.
void MarkLost(TargetInfo& info, void* pContext) {
    *static_cast<bool*>(pContext) = info.Connected == 1;
    if (info.Connected == 1) {
        info.Connected = 0;
        info.TargetCrc = TARGET_CRC_UNKNOWN;
    }
}

// A port whose device went away is opened again from here, quietly; the COM module paces the tries.
void PauseWhilePortNotReady() {
    if (_CheckCOM() == 0 || COM_ReopenGonePort() != 0)
        return;
    std::unique_lock<std::mutex> guard(pauseLock);
    pauseWake.wait_for(guard, NOT_READY_PAUSE, [] { return jobState.StopRequest.load() != 0; });
}

// The one place that maps JobType to its job. A value without a job (6, above 7) cannot be run;
// it is handed back as "not executed" instead of leaving the runner waiting on a spinning worker.
void RunJob(uint8_t jobType) {
    switch (jobType) {
    case JOB_IDENTIFY:
        Job_Identify();
        PauseWhilePortNotReady();
        break;
    case JOB_CLEAR:
        Job_Clear();
        break;
    case JOB_PROGRAM:
        Job_Program();
        break;
    case JOB_MAKE_VALID:
        Job_MakeValid();
        break;
    case JOB_CHECK_BLANK:
        Job_CheckBlank();
        break;
    case JOB_GET_CRC:
        Job_GetCrc();
        break;
    case JOB_START_APPLICATION:
        Job_StartApplication();
        break;
    default:
        jobState.JobStatus = STATUS_NOT_EXECUTED;
        jobState.JobType.store(JOB_IDENTIFY, std::memory_order_release);
        break;
    }
}

} // namespace

void ResetTargetCrc() {
    TargetInfo_SetTargetCrc(TARGET_CRC_UNKNOWN);
}

void SetCancelHook(void (*pfnHook)()) {
    pfnCancelHook = pfnHook;
}

// One poll: ask the target who it is, at most three times 100 ms. The dialog hears ID_CONNECTED
// after every answer, ID_CONNECTION_LOST once when a connected target falls silent, and
// ID_POLL_DONE last, always (it wakes the operation runner's wait).
void Job_Identify() {
    uint8_t acBuffer[FRAME_BUFFER_SIZE];
    std::memset(acBuffer, 0, sizeof acBuffer);
    IdentifyAnswer answer{};
    if (Link_Request(JOB_IDENTIFY, nullptr, 0, acBuffer, IDENTIFY_TIMEOUT_MS) == 0 &&
        CheckIdentifyAnswer(acBuffer, &answer)) {
        TargetInfo_Update(StoreIdentifyAnswer, &answer);
        DLG_PostCommand(ID_CONNECTED);
    } else {
        bool wasConnected = false;
        TargetInfo_Update(MarkLost, &wasConnected);
        if (wasConnected)
            DLG_PostCommand(ID_CONNECTION_LOST);
    }
    DLG_PostCommand(ID_POLL_DONE);
}

void Worker_Main() {
    ResetTargetCrc();
    while (jobState.StopRequest.load() == 0) {
        RunJob(jobState.JobType.load(std::memory_order_acquire));
        jobState.AbortFlag.store(0);
    }
    jobState.StopRequest.store(0);
    jobState.WorkerRunning.store(false);
}

void Worker_Start() {
    std::lock_guard<std::mutex> guard(handleLock);
    if (WorkerHandle.joinable())
        return;
    jobState.WorkerRunning.store(true);
    WorkerHandle = std::thread(Worker_Main);
}

// Returns once the thread has ended: at once from the not-ready pause, within one poll otherwise.
// A job that is running is finished first; the programming job stops early on AbortFlag.
void Worker_Stop() {
    std::lock_guard<std::mutex> guard(handleLock);
    if (!WorkerHandle.joinable())
        return;
    {
        std::lock_guard<std::mutex> pause(pauseLock);
        jobState.StopRequest.store(1);
    }
    pauseWake.notify_all();
    WorkerHandle.join();
    jobState.StopRequest.store(0);
}
