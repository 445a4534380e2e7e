// A simulator for one test of tq330-flash: started with a log and a dump in a folder of its own.
#pragma once
#include "tests/sim/sim_harness.h"

#include <string>
#include <vector>

struct TestDevice {
    SimChild Sim;
    std::string Folder;
    bool Started = false;

    // Unpaced, a short clear and a short silence after start application unless extra says otherwise.
    explicit TestDevice(std::vector<std::string> extra = {}, bool paced = false);
    ~TestDevice();
    // Stops the simulator and returns its flash (0x5E000 bytes from 0xA0000).
    std::vector<uint8_t> Flash();
    // The commands it received, polls and repeats left out.
    std::vector<int> Commands();
};

// The flash an update with the embedded image leaves.
const std::vector<uint8_t>& ImageFlash();
