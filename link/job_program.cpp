// The programming job: sends the image in ascending address order, in blocks of at most BLOCK_MAX
// bytes of consecutive addresses that never span a gap, each block exactly once.
#include "image/image_store.h"
#include "link/cursor.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/jobs.h"
#include "link/worker.h"

#include "app/dialog.h"

#include <cstring>

namespace {

constexpr uint32_t BLOCK_ERROR_TIMEOUT_MS = 1000;
constexpr uint32_t BLOCK_HEADER = 4;    // the block's target address in front of its bytes
constexpr uint32_t ERROR_DATA_SIZE = 6; // error Frame data: unused byte, address (u32), value (u8)

} // namespace

// Command 2: address (u32) + 1 to 240 bytes; answered with the Ack byte, or instead with an error
// Frame whose data are one unused byte, the failing address (u32) and the value found (u8).
// ResultAddress is the next address to send and Remaining the stored bytes not yet acknowledged.
// The loop handles one address per step (gaps are skipped one by one), moves the progress bar at
// the first step after each block, and looks at AbortFlag after every step.
void Job_Program() {
    uint8_t acBuffer[FRAME_BUFFER_SIZE];
    std::memset(acBuffer, 0, sizeof acBuffer);
    ImageStore* pImage = jobState.ProgramImage;
    ResetTargetCrc();
    if (pImage == nullptr) { // nothing to send from: not a success
        jobState.JobStatus = STATUS_NOT_EXECUTED;
        jobState.JobType.store(JOB_IDENTIFY, std::memory_order_release);
        return;
    }
    jobState.ResultAddress = ImageStore_FirstAddress(pImage);
    jobState.Remaining = ImageStore_TotalBytes(pImage);
    jobState.JobStatus = STATUS_OK;
    const uint32_t lastAddress = ImageStore_LastAddress(pImage);
    DLG_SetProgressRange(0, static_cast<int32_t>(jobState.Remaining));

    uint32_t count = 0;
    uint32_t sent = 0;
    uint32_t shown = 0;
    uint8_t* pWrite = acBuffer + BLOCK_HEADER;
    while (jobState.Remaining != 0) {
        if (sent != shown) {
            DLG_SetProgress(static_cast<int32_t>(sent));
            shown = sent;
        }
        const int v = ImageStore_GetByte(pImage, jobState.ResultAddress + count);
        if (v >= 0 && count < BLOCK_MAX) {
            Cursor_PutU8(pWrite, static_cast<uint32_t>(v));
            ++count;
        } else if (count != 0) { // a gap or a full block closes the block
            uint8_t* pAddress = acBuffer;
            Cursor_PutU32(pAddress, jobState.ResultAddress);
            sent += count;
            BlockResult result =
                Link_SendBlock(JOB_PROGRAM, acBuffer, static_cast<uint8_t>(count + BLOCK_HEADER), acBuffer,
                               BLOCK_ERROR_TIMEOUT_MS);
            if (result == BLOCK_REJECTED) {
                // The error Frame's data (continuation layout: L at offset 1, data from offset 6) in
                // a zero-filled record: fields a short Frame does not cover read as 0, not as its
                // checksum, end byte and the block that was just sent.
                uint8_t acError[ERROR_DATA_SIZE] = {};
                const uint32_t length = acBuffer[1];
                std::memcpy(acError, acBuffer + 6, length < sizeof acError ? length : sizeof acError);
                const uint8_t* pRead = acError;
                Cursor_GetU8(pRead); // not used
                jobState.ResultAddress = Cursor_GetU32(pRead);
                jobState.ResultValue = Cursor_GetU8(pRead);
                jobState.JobStatus = STATUS_TARGET_ERROR;
                break;
            }
            if (result == BLOCK_NO_ANSWER) {
                jobState.JobStatus = STATUS_NOT_EXECUTED;
                break;
            }
            jobState.ResultAddress += count;
            // Bytes the store did not count (a pending write outside its areas) must not wrap
            // Remaining round to four billion.
            jobState.Remaining -= count < jobState.Remaining ? count : jobState.Remaining;
            pWrite = acBuffer + BLOCK_HEADER;
            count = 0;
            std::memset(acBuffer, 0, sizeof acBuffer);
        } else {
            // Past the last stored byte with bytes still owed: the store changed under the job (or
            // its lock timed out). Skipping on would walk the whole address space.
            if (jobState.ResultAddress >= lastAddress) {
                jobState.JobStatus = STATUS_NOT_EXECUTED;
                break;
            }
            jobState.ResultAddress += 1;
        }
        if (jobState.AbortFlag.load() != 0) {
            jobState.JobStatus = STATUS_CANCELLED;
            break;
        }
    }
    jobState.JobType.store(JOB_IDENTIFY, std::memory_order_release);
}
