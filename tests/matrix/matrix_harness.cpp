#include "matrix_harness.h"

#include "matrix_front.h"
#include "tests/sim/sim_session.h"

#include "app/app.h"
#include "app/dialog.h"
#include "fakes/fake_dialog.h"
#include "image/image_store.h"
#include "link/job_state.h"
#include "update/flow.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A run that ran into its deadline has this long, after its simulator was killed, to end: every
// exchange then fails within its own timeout (30 s for a clear at most).
constexpr auto GRACE = std::chrono::seconds(60);
constexpr auto NO_UPDATE_WATCH = std::chrono::seconds(2); // rows that expect no target
constexpr auto CONNECT_WINDOW = std::chrono::seconds(5);  // polls find a present target in 0.1 s

// Kills the simulator at the deadline (every exchange then fails within its timeout) and ends the
// process if even that does not bring the run to its end: a run fails, it never hangs.
class Watchdog {
  public:
    Watchdog(const std::string& name, int pid, Clock::time_point deadline)
        : thread_([this, name, pid, deadline] { Watch(name, pid, deadline); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    bool Fired() const { return fired_.load(); }

  private:
    void Watch(const std::string& name, int pid, Clock::time_point deadline) {
        std::unique_lock<std::mutex> guard(lock_);
        if (wake_.wait_until(guard, deadline, [this] { return done_; }))
            return;
        fired_.store(true);
        kill(pid, SIGKILL);
        if (wake_.wait_until(guard, deadline + GRACE, [this] { return done_; }))
            return;
        std::fprintf(stderr, "fault matrix: '%s' still runs %d s after its deadline\n", name.c_str(),
                     static_cast<int>(GRACE.count()));
        std::abort();
    }

    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// Clicks Cancel (posts IDC_CANCEL, as the button does) once the device's log shows the command or
// the job has moved the progress bar often enough.
class Clicker {
  public:
    Clicker(const std::string& logPath, int command, int progressCount)
        : thread_([this, logPath, command, progressCount] { Watch(logPath, command, progressCount); }) {}
    ~Clicker() {
        stop_.store(true);
        thread_.join();
    }
    int Clicks() const { return clicks_.load(); }

  private:
    void Watch(const std::string& logPath, int command, int progressCount) {
        int fd = command >= 0 ? open(logPath.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        std::string text;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "cmd=%d ", command);
        while (!stop_.load()) {
            bool due = false;
            if (fd >= 0) {
                char acChunk[4096];
                ssize_t n;
                while ((n = read(fd, acChunk, sizeof acChunk)) > 0)
                    text.append(acChunk, static_cast<size_t>(n));
                due =
                    text.rfind(prefix, 0) == 0 || text.find(std::string("\n") + prefix) != std::string::npos;
            }
            if (progressCount >= 0)
                due = static_cast<int>(fake_dialog::EventsOf("Progress").size()) >= progressCount;
            if (due) {
                DLG_PostCommand(IDC_CANCEL);
                clicks_.store(1);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (fd >= 0)
            close(fd);
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> clicks_{0};
    std::thread thread_;
};

// The last of the control calls the flow makes for one control, or -1 / "" when none was made.
int LastFlag(const char* op, int id) {
    int flag = -1;
    for (const fake_dialog::Event& e : fake_dialog::EventsOf(op))
        if (e.a == id)
            flag = e.b;
    return flag;
}

std::string LastText(int id) {
    std::string text;
    for (const fake_dialog::Event& e : fake_dialog::EventsOf("Text"))
        if (e.a == id)
            text = e.text;
    return text;
}

int LastDeviceCommand(const std::vector<std::string>& log) {
    int last = -1;
    for (const std::string& line : log) {
        int command = std::atoi(line.c_str() + 4); // "cmd=C ..."
        if (line.rfind("cmd=", 0) == 0 && command != 0)
            last = command;
    }
    return last;
}

} // namespace

ImageStore* Matrix_EmbeddedImage() {
    if (pProgramImage == nullptr && APP_LoadImage() != 0)
        return nullptr;
    static ImageStore* pEmbedded = pProgramImage;
    return pEmbedded;
}

// Three areas: 1000 bytes at the flash's start (five blocks), 500 in the middle (three) and 256
// that end at its last address (two): ten blocks, with the gaps the job must skip.
ImageStore* Matrix_SmallImage() {
    static ImageStore* pSmall = nullptr;
    if (pSmall == nullptr) {
        pSmall = ImageStore_Create();
        uint32_t seed = 0x2545F491u;
        for (const auto& [start, length] : Matrix_SmallImageAreas()) {
            std::vector<uint8_t> bytes(length);
            for (uint8_t& b : bytes) {
                seed = seed * 1664525u + 1013904223u;
                b = static_cast<uint8_t>(seed >> 24);
            }
            ImageStore_AddBytes(pSmall, start, length, bytes.data());
        }
    }
    return pSmall;
}

std::vector<std::pair<uint32_t, uint32_t>> Matrix_SmallImageAreas() {
    return {{0xA0000, 1000}, {0xC1230, 500}, {0xFDF00, 256}};
}

std::vector<std::pair<uint32_t, uint32_t>> Matrix_SmallImageBlocks() {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (const auto& [start, length] : Matrix_SmallImageAreas())
        for (uint32_t done = 0; done < length; done += 240)
            blocks.push_back({start + done, length - done < 240 ? length - done : 240});
    return blocks;
}

FlashState Matrix_ClassifyFlash(const std::vector<uint8_t>& flash, ImageStore* pImage) {
    if (flash.size() != SIM_FLASH_SIZE)
        return {"missing", 0};
    std::vector<uint8_t> expected = Sim_FlashOf(pImage);
    if (flash == expected)
        return {"image", 0};
    auto all = [&](uint8_t value) {
        for (uint8_t b : flash)
            if (b != value)
                return false;
        return true;
    };
    if (all(0xFF))
        return {"erased", 0};
    if (all(MATRIX_FILL))
        return {"unchanged", 0};
    size_t cut = 0;
    while (flash[cut] == expected[cut])
        ++cut;
    for (size_t i = cut; i < SIM_FLASH_SIZE; ++i)
        if (flash[i] != 0xFF)
            return {"other", static_cast<uint32_t>(SIM_FLASH_START + cut)};
    return {"partial", static_cast<uint32_t>(SIM_FLASH_START + cut)};
}

int Matrix_DeadlineSec(const MatrixFault& fault) {
    // A clear whose Ack comes on the third try and whose answer never does (3 x 1 s + 30 s), a
    // block without any answer (2 s), make valid (3 x 1 s), two Get CRC exchanges (2 x (3 x 1 s +
    // 10 s)), start application (3 x 1 s), and the polls that find the target (1 s).
    const int protocolWorst = 33 + 2 + 3 + 26 + 3 + 1;
    // About 1 s unpaced for the embedded image; the sanitizer builds are many times slower.
    const int programming = fault.SmallImage ? 5 : 60;
    return (protocolWorst + programming) * (fault.Updates > 1 ? fault.Updates : 1);
}

MatrixOutcome Matrix_Run(const MatrixFault& fault) {
    MatrixOutcome out;
    std::string folder = Sim_TempDir();
    std::string logPath = folder + "/log";
    std::string dumpPath = folder + "/flash";
    char acFill[8];
    std::snprintf(acFill, sizeof acFill, "0x%02X", MATRIX_FILL);
    // A started application stays away longer than any run, so the end of a good update is not
    // followed by a reconnect (which would start the update again, as the dialog does).
    // Opened by a link, as a /dev/serial/by-id/ name: the port a pulled adapter comes back to.
    std::vector<std::string> args = {
        "--baud", "0",     "--clear-ms", "100",    "--app-ms", "600000", "--fill",
        acFill,   "--log", logPath,      "--dump", dumpPath,   "--link", folder + "/usb-TQ330"};
    args.insert(args.end(), fault.SimArgs.begin(), fault.SimArgs.end());

    ImageStore* pImage = fault.SmallImage ? Matrix_SmallImage() : Matrix_EmbeddedImage();
    ImageStore* pSaved = pProgramImage;
    pProgramImage = pImage;
    fake_dialog::Reset();
    Front_Reset();
    fake_dialog::SetHandler(Front_Handle);

    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(fault.DeadlineSec);
    SimChild sim;
    out.Started = Session_Start(args, &sim);
    if (out.Started) {
        Watchdog watchdog(fault.Name, sim.Pid, deadline);
        bool clicks = fault.CancelOnCommand >= 0 || fault.CancelAfterProgress >= 0;
        Clicker* pClicker =
            clicks ? new Clicker(logPath, fault.CancelOnCommand, fault.CancelAfterProgress) : nullptr;
        DLG_PostCommand(IDC_START);
        // A run whose target is never found ends once it has had time to be: that is an outcome
        // ("No connection ..."), not a hang.
        const int wanted = fault.Updates > 0 ? fault.Updates : 1;
        const auto window = fault.Updates == 0 ? NO_UPDATE_WATCH : CONNECT_WINDOW;
        for (;;) {
            auto now = Clock::now();
            if (Front_UpdatesDone() >= wanted)
                break;
            if (Front_UpdatesStarted() == 0 && now > start + window)
                break;
            if (now > deadline) {
                out.TimedOut = true;
                break;
            }
            DLG_WaitMessage(); // the worker posts after every poll, so this loop sees its deadline
        }
        out.WorkerIdle = jobState.JobType.load(std::memory_order_acquire) == JOB_IDENTIFY;
        if (pClicker != nullptr) {
            out.CancelClicks = pClicker->Clicks();
            delete pClicker;
        }
        out.TimedOut = out.TimedOut || watchdog.Fired();
        Session_Stop(&sim); // the dump is complete once the simulator has ended
    }
    out.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pProgramImage = pSaved;

    std::vector<std::string> log = Sim_ReadLines(logPath);
    out.LastCommand = LastDeviceCommand(log);
    for (const std::string& line : log)
        out.BlockFrames += line.rfind("cmd=2 ", 0) == 0;
    out.Flash = Matrix_ClassifyFlash(Sim_ReadFile(dumpPath), pImage);
    out.Results = Front_Results();
    std::vector<fake_dialog::Event> shown = fake_dialog::EventsOf("ShowStatus");
    out.Status = shown.empty() ? std::string() : shown.back().text;
    out.DialogDone =
        LastFlag("Show", IDC_START) == 0 && LastFlag("Enable", IDC_PORT) == 0 && LastText(IDC_CANCEL) == "Ok";
    fake_dialog::SetHandler(nullptr);
    unlink(logPath.c_str());
    unlink(dumpPath.c_str());
    rmdir(folder.c_str());
    return out;
}

long Matrix_VmRssKb() {
    FILE* pFile = std::fopen("/proc/self/status", "r");
    if (pFile == nullptr)
        return -1;
    char acLine[256];
    long kb = -1;
    while (std::fgets(acLine, sizeof acLine, pFile) != nullptr)
        if (std::strncmp(acLine, "VmRSS:", 6) == 0)
            kb = std::strtol(acLine + 6, nullptr, 10);
    std::fclose(pFile);
    return kb;
}

int Matrix_OpenFds() {
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return -1;
    int count = 0;
    while (dirent* pEntry = readdir(pDir))
        count += pEntry->d_name[0] != '.';
    closedir(pDir);
    return count - 1; // the directory's own descriptor
}
