// A test thread that plays the worker: it watches JobType like the real worker, records each job it
// is handed, ends it with a scripted outcome, clears AbortFlag after every job and poll, and posts
// ID_CONNECTED / ID_POLL_DONE a few milliseconds apart like a polling worker. It also plays the
// target's presence and CRC area through the TargetInfo record.
#pragma once
#include <cstdint>
#include <vector>

struct JobScript {
    uint8_t status = 0;       // JobStatus the job ends with
    uint32_t address = 0;     // ResultAddress
    uint32_t value = 0;       // ResultValue
    uint32_t crc = 0;         // Get CRC: TargetCrc when the job succeeds
    int durationMs = 0;       // how long the job runs
    bool watchAbort = false;  // stops with STATUS_CANCELLED on AbortFlag, as programming does
    bool clickCancel = false; // the user clicks Cancel while the job runs
    bool loseTarget = false;  // the target is gone when the job ends
};

namespace scripted_worker {

// Starts the thread with every job ending in STATUS_OK, the target connected with the given area.
void Start(uint32_t crcStart, uint32_t crcLength);
void Stop();

void Script(uint8_t jobType, const JobScript& script);
// While paused the thread touches nothing: no jobs, no posts, AbortFlag left alone.
void SetPaused(bool paused);
void SetTarget(bool connected, uint32_t crcStart, uint32_t crcLength);

std::vector<int> Seen(); // the job types handed over, in order
// Jobs during which JobType was overwritten by the main thread: must stay 0.
int Overwritten();

} // namespace scripted_worker
