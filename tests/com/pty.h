// A pseudo-terminal for the COM tests: the module opens the slave by its path, the test plays the
// device on the master.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct PortSettings;

struct Pty {
    int Master = -1;
    std::string SlavePath;
};

Pty Pty_Open();
void Pty_Close(Pty& pty);
void Pty_Write(const Pty& pty, const std::vector<uint8_t>& bytes);
// Reads from the master until `count` bytes arrived or the timeout passed.
std::vector<uint8_t> Pty_Read(const Pty& pty, size_t count, std::chrono::milliseconds timeout);

// Sets TQ330_PORTS to the given paths and starts the COM module afresh with that table.
void Com_UsePorts(const std::vector<std::string>& paths);
// The settings the dialog passes: 57600 baud, 8 data bits, odd parity, one stop bit.
PortSettings Com_DialogSettings(uint8_t index);

using Ms = std::chrono::milliseconds;
// Milliseconds since `start` on the monotonic clock.
int64_t Com_ElapsedMs(std::chrono::steady_clock::time_point start);
