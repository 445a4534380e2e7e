// The target commands other than programming (job_program.cpp) and identify (worker.cpp). Each job
// writes JobStatus and its results first and JobType = 0 last: that store hands the results back.
#include "link/jobs.h"

#include "app/dialog.h"
#include "link/cursor.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/worker.h"

#include <cstring>

namespace {

constexpr uint32_t CLEAR_TIMEOUT_MS = 30000;
constexpr uint32_t CHECK_BLANK_TIMEOUT_MS = 10000;
constexpr uint32_t GET_CRC_TIMEOUT_MS = 10000;
constexpr uint8_t ANSWER_NOT_BLANK = 4; // command byte of the clear and check-blank answers
constexpr uint8_t ANSWER_CRC = 5;

void EndJob(uint8_t status) {
    jobState.JobStatus = status;
    jobState.JobType.store(JOB_IDENTIFY, std::memory_order_release);
}

// The answer's data (normal layout) copied into a zero-filled record of `size` bytes: a short
// answer leaves the fields it does not cover at 0 instead of reading its own checksum and end byte.
void GetAnswerData(const uint8_t* acBuffer, uint8_t* acData, uint32_t size) {
    std::memset(acData, 0, size);
    const uint32_t length = acBuffer[1];
    std::memcpy(acData, acBuffer + 7, length < size ? length : size);
}

// Clear and check blank: 68 00 00 68 00 00 cmd 00 16, Ack 90, then the answer with command byte 4:
// no data when the target is blank, otherwise the address (u32) and the value (u32) found there.
void RunBlankCommand(uint8_t command, uint32_t timeoutMs) {
    uint8_t acBuffer[FRAME_BUFFER_SIZE];
    std::memset(acBuffer, 0, sizeof acBuffer);
    DLG_SetProgressRange(0, 2);
    DLG_SetProgress(1); // 50% for the whole job: the target's own work cannot be measured
    if (Link_SendAcked(command, nullptr, 0) != 0 ||
        Link_ReceiveFrame(acBuffer, timeoutMs, RECEIVE_NORMAL) != 0)
        return EndJob(STATUS_NOT_EXECUTED);
    const uint8_t length = acBuffer[1];
    const uint8_t* pRead = acBuffer + 6;
    if (Cursor_GetU8(pRead) != ANSWER_NOT_BLANK)
        return EndJob(STATUS_NOT_EXECUTED);
    if (length == 0)
        return EndJob(STATUS_OK);
    uint8_t acData[8];
    GetAnswerData(acBuffer, acData, sizeof acData);
    pRead = acData;
    jobState.ResultAddress = Cursor_GetU32(pRead);
    jobState.ResultValue = Cursor_GetU32(pRead);
    EndJob(STATUS_TARGET_ERROR);
}

// Make valid (3) and start application (7): the Ack byte is the whole answer.
void RunAckedCommand(uint8_t command) {
    EndJob(Link_SendAcked(command, nullptr, 0) == 0 ? STATUS_OK : STATUS_NOT_EXECUTED);
}

} // namespace

void Job_Clear() {
    ResetTargetCrc();
    RunBlankCommand(JOB_CLEAR, CLEAR_TIMEOUT_MS);
}

void Job_CheckBlank() {
    RunBlankCommand(JOB_CHECK_BLANK, CHECK_BLANK_TIMEOUT_MS);
}

void Job_MakeValid() {
    RunAckedCommand(JOB_MAKE_VALID);
}

void Job_StartApplication() {
    RunAckedCommand(JOB_START_APPLICATION);
}

// Get CRC, two exchanges, each acknowledged and answered within 10000 ms: first command 5 without
// data (its answer is not looked at), then command 5 with CrcStart (u32) and CrcLength (u32), whose
// answer (command byte 5) carries one unused byte and the CRC-16 (u16).
void Job_GetCrc() {
    uint8_t acBuffer[FRAME_BUFFER_SIZE];
    std::memset(acBuffer, 0, sizeof acBuffer);
    DLG_SetProgressRange(0, 2);
    DLG_SetProgress(1);
    ResetTargetCrc();
    if (Link_SendAcked(JOB_GET_CRC, nullptr, 0) != 0 ||
        Link_ReceiveFrame(acBuffer, GET_CRC_TIMEOUT_MS, RECEIVE_NORMAL) != 0)
        return EndJob(STATUS_NOT_EXECUTED);

    TargetInfo info;
    TargetInfo_Copy(&info);
    uint8_t* pWrite = acBuffer;
    Cursor_PutU32(pWrite, info.CrcStart);
    Cursor_PutU32(pWrite, info.CrcLength);
    if (Link_SendAcked(JOB_GET_CRC, acBuffer, 8) != 0 ||
        Link_ReceiveFrame(acBuffer, GET_CRC_TIMEOUT_MS, RECEIVE_NORMAL) != 0)
        return EndJob(STATUS_NOT_EXECUTED);
    if (acBuffer[6] != ANSWER_CRC)
        return EndJob(STATUS_NOT_EXECUTED);

    uint8_t acData[3];
    GetAnswerData(acBuffer, acData, sizeof acData);
    const uint8_t* pRead = acData + 1; // the unused byte
    TargetInfo_SetTargetCrc(Cursor_GetU16(pRead));
    EndJob(STATUS_OK);
}
