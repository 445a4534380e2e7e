// The link against the simulator on a pseudo-terminal: the whole embedded image programmed with
// the real worker and serial port module, unpaced (the host's own cost) and paced at 57600 baud
// (against the line-time floor), the cost of a USB-serial adapter's latency timer, and the
// worker's CPU use while it polls in vain.
#include "tests/sim/sim_session.h"

#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "link/com.h"
#include "link/job_state.h"
#include "link/jobs.h"
#include "link/worker.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double BITS_PER_CHARACTER = 11.0; // 8O1: start, 8 data, parity, stop

ImageStore* EmbeddedImage() {
    static ImageStore* pImage = [] {
        ImageStore* p = ImageStore_Create();
        char acError[255] = {};
        if (SRecordReader_LoadText(p, acFirmwareText, acError, sizeof acError) != 0)
            std::abort();
        return p;
    }();
    return pImage;
}

// What the programming job puts on the line, both ways: per block a Frame of 9 + 4 + n characters
// and the Ack byte; blocks never span a gap, so each area is cut on its own.
struct LineLoad {
    uint32_t Blocks = 0;
    uint64_t Characters = 0;
};

LineLoad LoadOf(ImageStore* pImage) {
    LineLoad load;
    for (uint32_t i = 0; i < ImageStore_AreaCount(pImage); ++i) {
        uint32_t start = 0;
        uint32_t length = 0;
        ImageStore_AreaInfo(pImage, i, &start, &length);
        for (uint32_t done = 0; done < length; done += BLOCK_MAX) {
            uint32_t n = length - done < BLOCK_MAX ? length - done : BLOCK_MAX;
            ++load.Blocks;
            load.Characters += 9 + 4 + n + 1;
        }
    }
    return load;
}

double ProgramSeconds(ImageStore* pImage) {
    auto start = Clock::now();
    uint8_t status = Session_RunJob(JOB_PROGRAM, pImage, std::chrono::minutes(5));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return status == STATUS_OK ? seconds : -1.0;
}

void RunProgramBenchmark(benchmark::State& state, uint32_t baud) {
    ImageStore* pImage = EmbeddedImage();
    SimChild sim;
    if (!Session_Start({"--baud", std::to_string(baud), "--clear-ms", "0"}, &sim)) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    LineLoad load = LoadOf(pImage);
    double total = 0;
    int runs = 0;
    for (auto _ : state) {
        if (Session_RunJob(JOB_CLEAR, nullptr) != STATUS_OK) {
            state.SkipWithError("clear failed");
            break;
        }
        double seconds = ProgramSeconds(pImage);
        if (seconds < 0) {
            state.SkipWithError("programming failed");
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
        ++runs;
    }
    Session_Stop(&sim);
    state.counters["blocks"] = load.Blocks;
    state.counters["characters"] = static_cast<double>(load.Characters);
    if (runs == 0)
        return;
    double average = total / runs;
    state.counters["us_per_block"] = 1e6 * average / load.Blocks;
    if (baud != 0) {
        double floor = static_cast<double>(load.Characters) * BITS_PER_CHARACTER / baud;
        state.counters["floor_s"] = floor;
        state.counters["over_floor_pct"] = 100.0 * (average / floor - 1.0);
    }
}

void BM_ProgramEmbeddedUnpaced(benchmark::State& state) {
    RunProgramBenchmark(state, 0);
}
BENCHMARK(BM_ProgramEmbeddedUnpaced)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ProgramEmbeddedAt57600(benchmark::State& state) {
    RunProgramBenchmark(state, 57600);
}
BENCHMARK(BM_ProgramEmbeddedAt57600)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// A USB-serial adapter's latency timer (the simulator's --latency-ms) against none, paced at
// 57600 baud. The whole image takes about 66 s a run, so a part of it is programmed (its first
// PART_BLOCKS full blocks), three times each way; the script scales the difference per block to
// the whole image.
constexpr uint32_t PART_BLOCKS = 150;

ImageStore* PartImage() {
    static ImageStore* pPart = [] {
        ImageStore* pImage = EmbeddedImage();
        static uint8_t acBytes[PART_BLOCKS * BLOCK_MAX];
        uint32_t start = 0;
        const uint32_t first = ImageStore_FirstAddress(pImage);
        const int32_t n = ImageStore_ReadRange(pImage, first, first + sizeof acBytes - 1, 0, acBytes, &start,
                                               static_cast<int32_t>(sizeof acBytes), 0, 0);
        ImageStore* p = ImageStore_Create();
        if (n <= 0 || ImageStore_AddBytes(p, start, static_cast<uint32_t>(n), acBytes) != 0)
            std::abort();
        return p;
    }();
    return pPart;
}

void BM_ProgramPartAt57600WithLatency(benchmark::State& state) {
    const int64_t latencyMs = state.range(0);
    ImageStore* pPart = PartImage();
    SimChild sim;
    if (!Session_Start({"--baud", "57600", "--clear-ms", "0", "--latency-ms", std::to_string(latencyMs)},
                       &sim)) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    std::vector<double> times;
    for (auto _ : state) {
        double seconds = -1;
        if (Session_RunJob(JOB_CLEAR, nullptr) == STATUS_OK)
            seconds = ProgramSeconds(pPart);
        if (seconds < 0) {
            state.SkipWithError("clear or programming failed");
            break;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds);
    }
    Session_Stop(&sim);
    if (times.empty())
        return;
    std::sort(times.begin(), times.end());
    state.counters["latency_ms"] = static_cast<double>(latencyMs);
    state.counters["blocks"] = LoadOf(pPart).Blocks;
    state.counters["median_s"] = times[times.size() / 2];
    state.counters["whole_image_blocks"] = LoadOf(EmbeddedImage()).Blocks;
}
BENCHMARK(BM_ProgramPartAt57600WithLatency)
    ->Arg(0)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kSecond);

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The main thread sleeps while measuring, so the process's CPU time is the worker's.
void MeasureWorkerCpu(benchmark::State& state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // past the first polls
    for (auto _ : state) {
        double cpuBefore = ProcessCpuSeconds();
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        double cpu = ProcessCpuSeconds() - cpuBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
    }
}

void BM_WorkerCpuSilentDevice(benchmark::State& state) {
    SimChild sim;
    if (!Session_Start({"--silent"}, &sim)) {
        state.SkipWithError("the simulator did not start");
        return;
    }
    MeasureWorkerCpu(state);
    Session_Stop(&sim);
}
BENCHMARK(BM_WorkerCpuSilentDevice)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_WorkerCpuPortNotReady(benchmark::State& state) {
    setenv("TQ330_PORTS", "/nonexistent/tq330-port", 1);
    COM_ResetPortTable();
    COM_ChangeSettings(PortSettings{57600, 0, 8, 1, 0}); // fails: the port stays not ready
    if (COM_GetPortState() == PORT_READY) {
        state.SkipWithError("the port opened");
        return;
    }
    Worker_Start();
    MeasureWorkerCpu(state);
    Worker_Stop();
    COM_ResetPortTable();
}
BENCHMARK(BM_WorkerCpuPortNotReady)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
