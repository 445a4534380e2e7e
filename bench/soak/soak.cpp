// Soak: many whole updates in one process against tq330-sim, each with a fault drawn from a fixed
// seed, through the fault matrix's harness. Reports the outcomes by fault, every false success and
// every run that ran into its deadline (both must be 0), the resident memory after the first and
// the last run, and the descriptors open at the end against the start.
// Usage: soak [--runs N] [--seed S]   (defaults 200 and 330)
#include "tests/matrix/matrix_harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const OK = "Target updated successfully";
const char* const FAIL = "Target not updated successfully";

std::string Hex(uint32_t value) {
    char acText[16];
    std::snprintf(acText, sizeof acText, "0x%X", value);
    return acText;
}

MatrixFault Fault(const std::string& name, std::vector<std::string> args, bool small = true) {
    MatrixFault fault;
    fault.Name = name;
    fault.SimArgs = std::move(args);
    fault.SmallImage = small;
    return fault;
}

// One fault drawn from the generator: its kind first, then its parameters.
MatrixFault Draw(std::mt19937& rng) {
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const char* const aAcked[] = {"1", "2", "3", "5", "7"};
    const char* const aKinds[] = {"checksum", "end", "start", "length"};
    const char* const aAnswered[] = {"0", "1", "5"};
    auto blocks = Matrix_SmallImageBlocks();
    switch (pick(12)) {
    case 0:
        return Fault("none", {});
    case 1:
        return Fault("none_embedded", {}, false);
    case 2: {
        std::string drops = std::to_string(1 + pick(3));
        return Fault("ack_lost", {"--drop-acks", drops, "--drop-acks-cmd", aAcked[pick(5)]});
    }
    case 3:
        return Fault("corrupt_answer", {"--corrupt-every", std::to_string(1 + pick(3)), "--corrupt-cmd",
                                        aAnswered[pick(3)], "--corrupt-kind", aKinds[pick(4)]});
    case 4:
        return Fault("garbage", {"--garbage-before", std::to_string(1 + pick(8)), "--garbage-cmd",
                                 aAcked[pick(5)], "--garbage-count", std::to_string(pick(3))});
    case 5: {
        const auto& block = blocks[pick(static_cast<uint32_t>(blocks.size()))];
        return Fault("reject", {"--reject-at", Hex(block.first + pick(block.second))});
    }
    case 6:
        return Fault("answer_lost", {"--lose-answer-at-block", std::to_string(1 + pick(10))});
    case 7:
        return Fault("unplugged", {"--unplug-after-blocks", std::to_string(1 + pick(1300))}, false);
    case 8:
        return Fault("reported_crc", {"--report-crc", std::to_string(pick(0x10000))});
    case 9: {
        MatrixFault fault = Fault("cancel_programming", {}, false);
        fault.CancelAfterProgress = static_cast<int>(1 + pick(1000));
        return fault;
    }
    case 10: {
        MatrixFault fault = Fault("cancel_clear", {"--clear-ms", "300"});
        fault.CancelOnCommand = 1;
        return fault;
    }
    default:
        return Fault("stray_byte_polling", {"--garbage-before", std::to_string(1 + pick(4)), "--garbage-cmd",
                                            "0", "--garbage-count", std::to_string(1 + pick(3))});
    }
}

struct Tally {
    int Runs = 0;
    int Success = 0;
    int Failure = 0;
    int Other = 0;
    int FalseSuccess = 0;
    int Hang = 0;
    double Seconds = 0;
};

} // namespace

int main(int argc, char** argv) {
    int runs = 200;
    unsigned seed = 330;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seed") == 0)
            seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 0));
    }
    if (Matrix_EmbeddedImage() == nullptr) {
        std::fprintf(stderr, "soak: the embedded image does not load\n");
        return 2;
    }
    std::printf("soak: %d runs, seed %u\n", runs, seed);
    std::fflush(stdout);
    std::mt19937 rng(seed);
    std::map<std::string, Tally> tallies;
    int fdsStart = Matrix_OpenFds();
    auto started = std::chrono::steady_clock::now();
    long rssFirst = 0;
    long rssLast = 0;
    int falseSuccesses = 0;
    int hangs = 0;
    for (int run = 1; run <= runs; ++run) {
        MatrixFault fault = Draw(rng);
        fault.DeadlineSec = Matrix_DeadlineSec(fault);
        MatrixOutcome out = Matrix_Run(fault);
        Tally& tally = tallies[fault.Name];
        ++tally.Runs;
        tally.Seconds += out.Seconds;
        bool success = out.Status == OK;
        tally.Success += success;
        tally.Failure += out.Status == FAIL;
        tally.Other += !success && out.Status != FAIL;
        bool falseSuccess = false;
        for (const std::string& result : out.Results)
            falseSuccess = falseSuccess || (result == OK && out.Flash.Kind != "image");
        tally.FalseSuccess += falseSuccess;
        tally.Hang += out.TimedOut;
        falseSuccesses += falseSuccess;
        hangs += out.TimedOut;
        if (falseSuccess || out.TimedOut || !out.Started) {
            std::string args;
            for (const std::string& arg : fault.SimArgs)
                args += " " + arg;
            std::printf("run %d %s%s: %s%s%s\n", run, fault.Name.c_str(), args.c_str(),
                        !out.Started ? "did not start " : "", falseSuccess ? "FALSE SUCCESS " : "",
                        out.TimedOut ? "HANG" : "");
        }
        if (run == 1)
            rssFirst = Matrix_VmRssKb();
        rssLast = Matrix_VmRssKb();
        if (run % 20 == 0) {
            std::printf("  %d runs done, VmRSS %ld kB, %d descriptors open\n", run, rssLast,
                        Matrix_OpenFds());
            std::fflush(stdout);
        }
    }
    int fdsEnd = Matrix_OpenFds();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("\n%-20s %5s %8s %8s %8s %14s %5s %8s\n", "fault", "runs", "success", "failure", "other",
                "false success", "hang", "mean s");
    for (const auto& [name, t] : tallies)
        std::printf("%-20s %5d %8d %8d %8d %14d %5d %8.2f\n", name.c_str(), t.Runs, t.Success, t.Failure,
                    t.Other, t.FalseSuccess, t.Hang, t.Seconds / t.Runs);
    std::printf("\n%d runs in %.0f s\nfalse successes: %d\nhangs: %d\n", runs, seconds, falseSuccesses,
                hangs);
    std::printf("VmRSS after run 1: %ld kB, after run %d: %ld kB\n", rssFirst, runs, rssLast);
    std::printf("open descriptors: %d at the start, %d at the end\n", fdsStart, fdsEnd);
    return (falseSuccesses == 0 && hangs == 0 && fdsEnd <= fdsStart) ? 0 : 1;
}
