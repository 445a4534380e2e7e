// One whole update of the real program's lower half against tq330-sim with one fault: the real
// worker and serial port module on the simulator's pseudo-terminal, the real runner and update
// flow, and a headless front end that plays the main dialog's command rules (connection changes,
// Start, Cancel). Shared by the fault matrix and the soak bench.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ImageStore;

// What the simulator's flash holds after a run: "image" (the image's bytes, 0xFF elsewhere),
// "erased" (all 0xFF), "unchanged" (the fill it started with), "partial" (the image up to an
// address and 0xFF from there on), "other" (none of these), "missing" (no dump).
struct FlashState {
    std::string Kind;
    uint32_t WrittenTo = 0; // partial: the first address that does not hold the image
};

struct MatrixFault {
    std::string Name;
    std::vector<std::string> SimArgs; // the fault options; the harness adds baud, log, dump, fill
    bool SmallImage = false;          // a ten-block image instead of the embedded firmware
    int CancelOnCommand = -1;         // click Cancel once the device has seen this command
    int CancelAfterProgress = -1;     // click Cancel once the job has moved the bar this often
    int Updates = 1;                  // the updates the front end waits for (0: none may start)
    int DeadlineSec = 30;             // the run fails, rather than hangs, past this
};

struct MatrixOutcome {
    std::vector<std::string> Results; // the status line after each update that ran
    std::string Status;               // the status line at the end
    int LastCommand = -1;             // the last command other than identify the device saw
    int BlockFrames = 0;              // programming frames the device received, answered or not
    FlashState Flash;
    double Seconds = 0;
    bool TimedOut = false;
    bool Started = false;    // the simulator and the port came up
    bool DialogDone = false; // Start hidden, port list disabled, button "Ok" after the last update
    bool WorkerIdle = false; // JobType back at 0 when the run ended
    int CancelClicks = 0;
};

// The images the rows use: the embedded firmware (loaded once) and a small one of three areas.
ImageStore* Matrix_EmbeddedImage();
ImageStore* Matrix_SmallImage();
// The small image's areas, and its blocks in the order the programming job sends them: start and
// length each.
std::vector<std::pair<uint32_t, uint32_t>> Matrix_SmallImageAreas();
std::vector<std::pair<uint32_t, uint32_t>> Matrix_SmallImageBlocks();
constexpr uint8_t MATRIX_FILL = 0x00; // the flash's content before each run

// The deadline a run gets: the longest a failing update may take by the protocol's own timeouts,
// plus the programming time of its image, for each update it waits for.
int Matrix_DeadlineSec(const MatrixFault& fault);
// Runs the update; fault.DeadlineSec is the limit (see Matrix_DeadlineSec).
MatrixOutcome Matrix_Run(const MatrixFault& fault);
FlashState Matrix_ClassifyFlash(const std::vector<uint8_t>& flash, ImageStore* pImage);

// The process's resident memory in kB and its open descriptors, from /proc/self.
long Matrix_VmRssKb();
int Matrix_OpenFds();
