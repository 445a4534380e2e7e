#include "sim_session.h"

#include "link/com.h"
#include "link/job_state.h"
#include "link/worker.h"

#include <cstdlib>
#include <thread>

bool Session_Start(const std::vector<std::string>& simArgs, SimChild* pSim) {
    if (!Sim_Start(simArgs, pSim))
        return false;
    setenv("TQ330_PORTS", pSim->Device.c_str(), 1);
    COM_ResetPortTable();
    COM_ChangeSettings(PortSettings{57600, 0, 8, 1, 0});
    if (COM_GetPortState() != PORT_READY) {
        Sim_Stop(pSim);
        return false;
    }
    Worker_Start();
    return true;
}

void Session_Stop(SimChild* pSim) {
    Worker_Stop();
    COM_ResetPortTable();
    if (pSim->Pid >= 0)
        Sim_Stop(pSim);
}

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
