// The simulator's own tests: the real tq330-sim binary on a real pseudo-terminal, spoken to with
// the updater's own frame building, one simulator per test.
#pragma once
#include "sim_harness.h"
#include "update/crc16.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t GetU32(const std::vector<uint8_t>& data, size_t at) {
    return data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
           (static_cast<uint32_t>(data[at + 3]) << 24);
}

inline uint16_t Crc(const std::vector<uint8_t>& bytes) {
    uint16_t crc;
    Crc16Init(crc);
    if (!bytes.empty())
        Crc16Update(crc, bytes.data(), static_cast<uint32_t>(bytes.size() - 1));
    return crc;
}

// How long a test waits for an answer it expects: a loaded machine may be slow to run the
// simulator, and the wait ends as soon as the answer is in. Silence is asked for with short waits.
constexpr int ANSWER_MS = 5000;

class SimTest : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extra = {}) {
        dir = Sim_TempDir();
        ASSERT_FALSE(dir.empty());
        dumpPath = dir + "/flash.bin";
        logPath = dir + "/sim.log";
        std::vector<std::string> args = {"--baud", "0",      "--clear-ms", "50",
                                         "--dump", dumpPath, "--log",      logPath};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(Sim_Start(args, &sim));
        fd = Sim_OpenRaw(sim.Device);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
        if (sim.Pid >= 0)
            Sim_Stop(&sim);
    }
    // Stops the simulator with SIGTERM; its dump is then complete.
    std::vector<uint8_t> StopAndDump() {
        EXPECT_EQ(Sim_Stop(&sim), 0);
        return Sim_ReadFile(dumpPath);
    }
    int ReadByte(int timeoutMs = ANSWER_MS) {
        uint8_t b;
        return Sim_Read(fd, &b, 1, timeoutMs) == 1 ? b : -1;
    }
    bool Acked(uint8_t command, const std::vector<uint8_t>& data = {}) {
        Sim_SendFrame(fd, command, data.data(), static_cast<uint8_t>(data.size()));
        return ReadByte() == 0x90;
    }
    SimFrame Answer(int timeoutMs = ANSWER_MS) {
        SimFrame frame;
        EXPECT_TRUE(Sim_ReadFrame(fd, &frame, timeoutMs));
        EXPECT_TRUE(frame.Intact);
        return frame;
    }
    // A programming block: the Ack byte (0x90) or the first byte of an error frame.
    int Program(uint32_t address, const std::vector<uint8_t>& bytes, int timeoutMs = ANSWER_MS) {
        std::vector<uint8_t> data;
        PutU32(data, address);
        data.insert(data.end(), bytes.begin(), bytes.end());
        Sim_SendFrame(fd, 2, data.data(), static_cast<uint8_t>(data.size()));
        return ReadByte(timeoutMs);
    }
    uint16_t GetCrc(uint32_t start, uint32_t length) {
        EXPECT_TRUE(Acked(5));
        EXPECT_EQ(Answer().Command, 5);
        std::vector<uint8_t> area;
        PutU32(area, start);
        PutU32(area, length);
        EXPECT_TRUE(Acked(5, area));
        SimFrame frame = Answer();
        EXPECT_EQ(frame.Command, 5);
        EXPECT_EQ(frame.Data.size(), 3u);
        return frame.Data.size() == 3 ? static_cast<uint16_t>(frame.Data[1] | (frame.Data[2] << 8)) : 0;
    }
    bool Identified(int timeoutMs) {
        Sim_SendFrame(fd, 0, nullptr, 0);
        SimFrame frame;
        return Sim_ReadFrame(fd, &frame, timeoutMs) && frame.Intact && frame.Command == 0;
    }
    std::vector<std::string> LogLines() { return Sim_ReadLines(logPath); }
    // Waits until the bytes waiting unread on the device are `count` (FIONREAD); false when they
    // are not within the time.
    bool UnreadBecomes(int count, int timeoutMs = ANSWER_MS) {
        for (int waited = 0;; waited += 10) {
            int n = -1;
            if (ioctl(fd, FIONREAD, &n) == 0 && n == count)
                return true;
            if (waited >= timeoutMs)
                return false;
            usleep(10 * 1000);
        }
    }

    SimChild sim;
    int fd = -1;
    std::string dir, dumpPath, logPath;
};
