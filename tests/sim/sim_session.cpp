#include "sim_session.h"

#include "link/com.h"
#include "link/job_state.h"
#include "link/worker.h"

#include <cstdlib>

bool Session_Start(const std::vector<std::string>& simArgs, SimChild* pSim) {
    if (!Sim_Start(simArgs, pSim))
        return false;
    setenv("TQ330_PORTS", pSim->Port().c_str(), 1);
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
