// The record through which the main thread hands one job at a time to the worker, and the target's
// identify record. JobType is the hand-over point in both directions: the main thread writes a job's
// inputs and then JobType (release); the job writes its results and then JobType = 0 (release); each
// side reads the other's fields only after it has read JobType (acquire).
#pragma once
#include "link/protocol.h"

#include <atomic>
#include <cstdint>

struct ImageStore;

// JobType values; each is also the command code its job sends.
constexpr uint8_t JOB_IDENTIFY = CMD_IDENTIFY;
constexpr uint8_t JOB_CLEAR = CMD_CLEAR;
constexpr uint8_t JOB_PROGRAM = CMD_PROGRAM;
constexpr uint8_t JOB_MAKE_VALID = CMD_MAKE_VALID;
constexpr uint8_t JOB_CHECK_BLANK = CMD_CHECK_BLANK;
constexpr uint8_t JOB_GET_CRC = CMD_GET_CRC;
constexpr uint8_t JOB_START_APPLICATION = CMD_START_APPLICATION;

// JobStatus values: the outcome of the last job other than the identify poll.
constexpr uint8_t STATUS_OK = 0;
constexpr uint8_t STATUS_TARGET_ERROR = 1;
constexpr uint8_t STATUS_NOT_EXECUTED = 2;
constexpr uint8_t STATUS_CANCELLED = 3;

constexpr uint32_t TARGET_CRC_UNKNOWN = 0xFFFFFFFF;

struct JobState {
    std::atomic<uint8_t> JobType;
    uint8_t JobStatus;
    uint32_t ResultAddress;
    uint32_t Remaining;
    uint32_t ResultValue;
    ImageStore* ProgramImage;
    std::atomic<int32_t> StopRequest;
    std::atomic<int32_t> AbortFlag;
    std::atomic<bool> WorkerRunning; // the WorkerHandle is kept by the worker module
};

extern JobState jobState;

struct TargetInfo {
    uint8_t IdCode;
    uint8_t IdByte;
    uint32_t IdWord;
    uint8_t IdText1Length;
    uint8_t IdText2Length;
    uint8_t IdText1[100];
    uint8_t IdText2[100];
    uint32_t CrcStart;
    uint32_t CrcLength;
    uint8_t Connected;
    uint32_t TargetCrc;
};

// The worker writes the record field by field while the main thread copies it: every access goes
// through these functions, which hold one small lock.
void TargetInfo_Copy(TargetInfo* pOut);
uint8_t TargetInfo_Connected();
uint32_t TargetInfo_TargetCrc();
void TargetInfo_SetTargetCrc(uint32_t crc);
// The worker's writes (identify parse, connection changes) run inside pfnUpdate, under the lock.
void TargetInfo_Update(void (*pfnUpdate)(TargetInfo& info, void* pContext), void* pContext);
