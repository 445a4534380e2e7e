// Runs the real tq330-sim binary as a child process and speaks to it over its pseudo-terminal:
// shared by the simulator's own tests, the worker-against-simulator tests and the benchmarks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ImageStore;

// The simulator's flash: 0xA0000 .. 0xFDFFF.
constexpr uint32_t SIM_FLASH_START = 0xA0000;
constexpr uint32_t SIM_FLASH_SIZE = 0x5E000;

struct SimChild {
    int Pid = -1;
    int OutFd = -1;     // the child's standard output (its first line was read)
    std::string Device; // the pseudo-terminal slave it serves
    std::string Link;   // its --link path, "" without
    // The name a program opens: the link where there is one (it follows a pulled adapter that
    // comes back), else the device.
    const std::string& Port() const { return Link.empty() ? Device : Link; }
};

// The command that runs one of this build's programs: the program itself, or in a cross-build the
// emulator the tests run under (qemu-user for arm64, TQ330_TEST_EMULATOR) followed by the program.
std::vector<std::string> Sim_Command(const std::string& program);

// Starts tq330-sim with the arguments and reads the device path from its first line. False (with
// nothing left running) when it does not start or prints no line within a few seconds.
bool Sim_Start(const std::vector<std::string>& args, SimChild* pChild);
// Waits for the next device the simulator announces (a pulled adapter plugged in again) and makes
// it pChild->Device. False when none comes within the timeout.
bool Sim_NextDevice(SimChild* pChild, int timeoutMs);
// Sends the signal and waits for the end; returns the exit code, or 128 + signal when killed.
int Sim_Stop(SimChild* pChild, int signal = 15);
// Runs tq330-sim to its end (for --help and bad options): exit code, standard output and error.
int Sim_RunToEnd(const std::vector<std::string>& args, std::string* pOut, std::string* pErr);

// Opens a device in raw mode, 8 data bits, as a client of the simulator would. -1 on failure.
int Sim_OpenRaw(const std::string& device);
// Reads exactly count bytes unless the timeout passes first; returns how many arrived.
size_t Sim_Read(int fd, uint8_t* pData, size_t count, int timeoutMs);
bool Sim_Write(int fd, const uint8_t* pData, size_t count);
void Sim_SendFrame(int fd, uint8_t command, const uint8_t* pData, uint8_t length);

// A received frame: command byte, data, and whether its checksum and end byte were right.
struct SimFrame {
    uint8_t Command = 0;
    std::vector<uint8_t> Data;
    uint8_t Checksum = 0;
    bool Intact = false;
};
// Reads one frame whose first byte may already have been read (firstByte >= 0). False when it did
// not arrive in full within the timeout or does not start with 0x68.
bool Sim_ReadFrame(int fd, SimFrame* pFrame, int timeoutMs, int firstByte = -1);

std::string Sim_TempDir(); // a fresh folder of its own under the system's temporary folder
std::vector<uint8_t> Sim_ReadFile(const std::string& path);
std::vector<std::string> Sim_ReadLines(const std::string& path);
// What the flash holds after pImage was programmed into an erased device (0xFF where it has no byte).
std::vector<uint8_t> Sim_FlashOf(ImageStore* pImage);
