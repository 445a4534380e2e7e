// A job handed to the worker as the operation runner does. Apart from the session: it needs no child
// process or pseudo-terminal, and the Windows build's tests use it too.
#include "sim_session.h"

#include "link/job_state.h"

#include <thread>

uint8_t Session_RunJob(uint8_t jobType, ImageStore* pImage, std::chrono::milliseconds timeout) {
    jobState.JobStatus = 0xEE; // a job that forgets its status shows
    jobState.ProgramImage = pImage;
    jobState.JobType.store(jobType, std::memory_order_release);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (jobState.JobType.load(std::memory_order_acquire) != JOB_IDENTIFY) {
        if (std::chrono::steady_clock::now() > deadline)
            return 0xFF;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // cheap, and 1 ms late at most
    }
    return jobState.JobStatus;
}
