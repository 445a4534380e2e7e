// The updater's link against the simulator: tq330-sim started as COM1 (TQ330_PORTS), the real
// serial port module opened with the device's settings, and the real worker thread polling it.
// Shared by the worker-against-simulator tests and the link benchmarks.
#pragma once
#include "sim_harness.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct ImageStore;

// Starts the simulator with simArgs, opens its device as COM1 at 57600 8O1 and starts the worker.
// False when the simulator did not start or the port is not ready (the worker is then not started).
bool Session_Start(const std::vector<std::string>& simArgs, SimChild* pSim);
// Stops the worker, closes the port, stops the simulator (its dump is then complete).
void Session_Stop(SimChild* pSim);
// Hands one job to the worker as the operation runner does and waits for JobType = 0. Returns
// JobStatus, or 0xFF when the job did not end within the timeout.
uint8_t Session_RunJob(uint8_t jobType, ImageStore* pImage,
                       std::chrono::milliseconds timeout = std::chrono::seconds(120));
