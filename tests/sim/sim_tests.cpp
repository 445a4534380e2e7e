// The simulator as the updater meets it: the real tq330-sim binary on a real pseudo-terminal,
// spoken to with the updater's own frame building.
#include "sim_fixture.h"
#include "tools/tq330-sim/sim_protocol.h"
#include "update/crc16.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(SimTest, IdentifyAnswerCarriesItsFieldsAndTheDefaultCrcArea) {
    Start();
    Sim_SendFrame(fd, 0, nullptr, 0);
    SimFrame frame = Answer();
    ASSERT_EQ(frame.Command, 0);
    const std::vector<uint8_t>& d = frame.Data;
    size_t t1 = strlen(SIM_ID_TEXT1);
    size_t t2 = strlen(SIM_ID_TEXT2);
    ASSERT_EQ(d.size(), 15 + t1 + t2);
    EXPECT_EQ(d[0], SIM_ID_BYTE);
    EXPECT_EQ(GetU32(d, 1), SIM_ID_WORD);
    EXPECT_EQ(d[5], t1);
    EXPECT_EQ(std::string(d.begin() + 6, d.begin() + 6 + t1), SIM_ID_TEXT1);
    EXPECT_EQ(d[6 + t1], t2);
    EXPECT_EQ(std::string(d.begin() + 7 + t1, d.begin() + 7 + t1 + t2), SIM_ID_TEXT2);
    EXPECT_EQ(GetU32(d, 7 + t1 + t2), SIM_FLASH_START);
    EXPECT_EQ(GetU32(d, 11 + t1 + t2), SIM_FLASH_SIZE);
}

TEST_F(SimTest, CrcAreaOptionsReachTheIdentifyAnswer) {
    Start({"--crc-start", "0xB0000", "--crc-length", "4096"});
    Sim_SendFrame(fd, 0, nullptr, 0);
    SimFrame frame = Answer();
    size_t at = 7 + strlen(SIM_ID_TEXT1) + strlen(SIM_ID_TEXT2);
    ASSERT_EQ(frame.Data.size(), at + 8);
    EXPECT_EQ(GetU32(frame.Data, at), 0xB0000u);
    EXPECT_EQ(GetU32(frame.Data, at + 4), 4096u);
}

TEST_F(SimTest, ClearAnswersAfterItsEraseTimeAndLeavesTheFlashBlank) {
    Start({"--clear-ms", "300"});
    ASSERT_EQ(Program(0xA0000, {1, 2, 3}), 0x90);
    auto sent = Clock::now();
    ASSERT_TRUE(Acked(1));
    SimFrame frame = Answer(2000);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(290));
    EXPECT_EQ(frame.Command, 4);
    EXPECT_TRUE(frame.Data.empty());

    ASSERT_TRUE(Acked(4));
    frame = Answer();
    EXPECT_EQ(frame.Command, 4);
    EXPECT_TRUE(frame.Data.empty());
    EXPECT_EQ(StopAndDump(), std::vector<uint8_t>(SIM_FLASH_SIZE, 0xFF));
}

TEST_F(SimTest, ProgrammedBlocksAreInTheDumpByteForByte) {
    Start();
    std::vector<uint8_t> expected(SIM_FLASH_SIZE, 0xFF);
    std::vector<uint8_t> full(240);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> tail = {0x00, 0x5A, 0xA5, 0x11};
    ASSERT_EQ(Program(0xA0000, full), 0x90);
    ASSERT_EQ(Program(0xA00F0, full), 0x90);
    ASSERT_EQ(Program(0xFDFFC, tail), 0x90); // the very last bytes of the flash
    std::copy(full.begin(), full.end(), expected.begin());
    std::copy(full.begin(), full.end(), expected.begin() + 0xF0);
    std::copy(tail.begin(), tail.end(), expected.end() - 4);

    // Check blank now names the first programmed byte that is not 0xFF.
    ASSERT_TRUE(Acked(4));
    SimFrame frame = Answer();
    ASSERT_EQ(frame.Data.size(), 8u);
    EXPECT_EQ(GetU32(frame.Data, 0), 0xA0000u);
    EXPECT_EQ(GetU32(frame.Data, 4), 3u);
    ASSERT_TRUE(Acked(3)); // make valid
    EXPECT_EQ(StopAndDump(), expected);
}

TEST_F(SimTest, SigusrWritesTheDumpWhileServing) {
    Start();
    ASSERT_EQ(Program(0xB0000, {0x42}), 0x90);
    kill(sim.Pid, SIGUSR1);
    std::vector<uint8_t> dump;
    for (int i = 0; i < 100 && dump.size() != SIM_FLASH_SIZE; ++i) {
        usleep(20000);
        dump = Sim_ReadFile(dumpPath);
    }
    ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
    EXPECT_EQ(dump[0x10000], 0x42);
    EXPECT_TRUE(Identified(ANSWER_MS)); // still serving
}

TEST_F(SimTest, FailedBlocksGetAnErrorFrameInPlaceOfTheAck) {
    Start({"--reject-at", "0xA0105"});
    struct Case {
        uint32_t address;
        std::vector<uint8_t> bytes;
        uint32_t failAddress;
        uint8_t failValue;
    };
    const Case aCases[] = {
        {0xA0100, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}, 0xA0105, 0x15}, // rejected cell
        {0x9FFF0, {0x01, 0x02}, 0x9FFF0, 0x01},                               // below the flash
        {0xFDFFE, {0x21, 0x22, 0x23}, 0xFE000, 0x23},                         // runs past its end
    };
    for (const Case& c : aCases) {
        int first = Program(c.address, c.bytes);
        ASSERT_EQ(first, 0x68) << std::hex << c.address;
        SimFrame frame;
        ASSERT_TRUE(Sim_ReadFrame(fd, &frame, ANSWER_MS, first));
        EXPECT_TRUE(frame.Intact);
        ASSERT_EQ(frame.Data.size(), 6u);
        EXPECT_EQ(frame.Data[0], 0);
        EXPECT_EQ(GetU32(frame.Data, 1), c.failAddress);
        EXPECT_EQ(frame.Data[5], c.failValue);
    }
    // Programming can only clear bits: writing 0x0F over 0xF0 fails its verify.
    ASSERT_EQ(Program(0xC0000, {0xF0}), 0x90);
    int first = Program(0xC0000, {0x0F});
    ASSERT_EQ(first, 0x68);
    SimFrame frame;
    ASSERT_TRUE(Sim_ReadFrame(fd, &frame, ANSWER_MS, first));
    EXPECT_EQ(GetU32(frame.Data, 1), 0xC0000u);

    std::vector<uint8_t> dump = StopAndDump();
    ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
    // The bytes in front of the rejected one were written, the rest of that block was not.
    EXPECT_EQ(std::vector<uint8_t>(dump.begin() + 0x100, dump.begin() + 0x107),
              (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0xFF, 0xFF}));
    EXPECT_EQ(dump[0x5DFFE], 0x21);
    EXPECT_EQ(dump[0x5DFFF], 0x22);
}

TEST_F(SimTest, GetCrcEqualsTheCrcOverTheFlashWithFfOutsideIt) {
    Start();
    std::vector<uint8_t> bytes(200);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0xC3 ^ i);
    ASSERT_EQ(Program(0xA0000, bytes), 0x90);
    ASSERT_EQ(Program(0xD1234, bytes), 0x90);
    uint16_t whole = GetCrc(SIM_FLASH_START, SIM_FLASH_SIZE);
    uint16_t edge = GetCrc(0x9FFFE, 4); // two addresses below the flash, two inside it
    uint16_t empty = GetCrc(0xA0000, 0);
    std::vector<uint8_t> dump = StopAndDump();
    ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
    EXPECT_EQ(whole, Crc(dump));
    EXPECT_EQ(edge, Crc({0xFF, 0xFF, dump[0], dump[1]}));
    EXPECT_EQ(empty, 0xFFFF);
}

TEST_F(SimTest, WrongCrcReportsTheCrcPlusOne) {
    Start({"--wrong-crc"});
    ASSERT_EQ(Program(0xA0010, {9, 8, 7}), 0x90);
    uint16_t reported = GetCrc(SIM_FLASH_START, SIM_FLASH_SIZE);
    std::vector<uint8_t> dump = StopAndDump();
    EXPECT_EQ(reported, static_cast<uint16_t>(Crc(dump) + 1));
}

TEST_F(SimTest, DropAcksLosesTheFirstTriesOfEveryExchange) {
    Start({"--drop-acks", "2"});
    for (int exchange = 0; exchange < 2; ++exchange) {
        Sim_SendFrame(fd, 3, nullptr, 0);
        EXPECT_EQ(ReadByte(200), -1);
        Sim_SendFrame(fd, 3, nullptr, 0);
        EXPECT_EQ(ReadByte(200), -1);
        EXPECT_TRUE(Acked(3)) << "exchange " << exchange;
    }
    // A lost programming block is not written.
    EXPECT_EQ(Program(0xA0000, {0x00}, 200), -1);
    EXPECT_TRUE(Identified(ANSWER_MS)); // identify is never dropped
    std::vector<std::string> lines = LogLines();
    std::vector<std::string> expected = {
        "cmd=3 addr=0x0 len=0 result=dropped",     "cmd=3 addr=0x0 len=0 result=dropped",
        "cmd=3 addr=0x0 len=0 result=ack",         "cmd=3 addr=0x0 len=0 result=dropped",
        "cmd=3 addr=0x0 len=0 result=dropped",     "cmd=3 addr=0x0 len=0 result=ack",
        "cmd=2 addr=0xA0000 len=1 result=dropped", "cmd=0 addr=0x0 len=0 result=answer"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(StopAndDump()[0], 0xFF);
}

TEST_F(SimTest, DropAcksCmdLimitsTheLossToOneCommand) {
    Start({"--drop-acks", "1", "--drop-acks-cmd", "2"});
    EXPECT_TRUE(Acked(3));
    EXPECT_EQ(Program(0xA0000, {0x01}, 200), -1);
    EXPECT_EQ(Program(0xA0000, {0x01}), 0x90);
}

TEST_F(SimTest, CorruptEveryDamagesTheChecksumOfEveryNthFrame) {
    Start({"--corrupt-every", "2"});
    for (int i = 1; i <= 4; ++i) {
        Sim_SendFrame(fd, 0, nullptr, 0);
        SimFrame frame;
        ASSERT_TRUE(Sim_ReadFrame(fd, &frame, ANSWER_MS));
        EXPECT_EQ(frame.Intact, i % 2 == 1) << "frame " << i;
        uint8_t good = frame.Command;
        for (uint8_t b : frame.Data)
            good = static_cast<uint8_t>(good + b);
        EXPECT_EQ(frame.Checksum, static_cast<uint8_t>(good + (i % 2 == 0 ? 1 : 0)));
    }
    // The Ack byte is never touched.
    EXPECT_TRUE(Acked(3));
}

TEST_F(SimTest, GarbageBadFramesAndTruncatedFramesAreSkipped) {
    Start();
    // Noise, a start byte with a header that does not hold, a frame with a bad checksum and one
    // with a bad end byte, then a good identify.
    std::vector<uint8_t> noise = {0x00, 0xFF, 0x68, 0x05, 0x06, 0x68, 0x16, 0x90, 0x68,
                                  0x00, 0x00, 0x68, 0x00, 0x00, 0x03, 0x04, 0x16, 0x68,
                                  0x00, 0x00, 0x68, 0x00, 0x00, 0x03, 0x03, 0x17};
    ASSERT_TRUE(Sim_Write(fd, noise.data(), noise.size()));
    EXPECT_TRUE(Identified(ANSWER_MS));
    // A frame cut short is given up after the pause; the next frame is served.
    std::vector<uint8_t> cut = {0x68, 0x08, 0x08, 0x68, 0x00, 0x00, 0x05, 0x01};
    ASSERT_TRUE(Sim_Write(fd, cut.data(), cut.size()));
    usleep((SIM_INTER_BYTE_TIMEOUT_MS + 100) * 1000);
    EXPECT_TRUE(Identified(ANSWER_MS));
    EXPECT_EQ(ReadByte(100), -1); // the bad frames got nothing
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines, (std::vector<std::string>(2, "cmd=0 addr=0x0 len=0 result=answer")));
}

TEST_F(SimTest, SilentAnswersNothing) {
    Start({"--silent"});
    Sim_SendFrame(fd, 0, nullptr, 0);
    Sim_SendFrame(fd, 3, nullptr, 0);
    EXPECT_EQ(ReadByte(300), -1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"cmd=0 addr=0x0 len=0 result=silent",
                                                    "cmd=3 addr=0x0 len=0 result=silent"}));
}

TEST_F(SimTest, StartedApplicationKeepsTheBootLoaderAwayForItsTime) {
    Start({"--app-ms", "600"});
    auto started = Clock::now();
    ASSERT_TRUE(Acked(7));
    EXPECT_FALSE(Identified(150));
    EXPECT_FALSE(Identified(150));
    bool back = false;
    while (!back && Clock::now() - started < std::chrono::seconds(5))
        back = Identified(100);
    EXPECT_TRUE(back);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(600));
}

// A device runs its new firmware until it is power cycled: by default the boot loader does not come
// back, so an updater's final result is not followed by a new connection (polled here for longer
// than any pause a test would give it).
TEST_F(SimTest, StartedApplicationKeepsTheBootLoaderAwayByDefault) {
    Start();
    auto started = Clock::now();
    ASSERT_TRUE(Acked(7));
    int polls = 0;
    while (Clock::now() - started < std::chrono::milliseconds(4000)) {
        EXPECT_FALSE(Identified(100));
        polls++;
    }
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), static_cast<size_t>(polls) + 1);
    EXPECT_EQ(log[0], "cmd=7 addr=0x0 len=0 result=ack");
    EXPECT_EQ(log.back(), "cmd=0 addr=0x0 len=0 result=app");
}

TEST_F(SimTest, UnpluggedAfterBlocksAndBackWithTheFlashAsItWas) {
    Start({"--unplug-after-blocks", "2", "--replug-ms", "400"});
    EXPECT_EQ(Program(0xA0000, {0x01}), 0x90);
    EXPECT_EQ(Program(0xA0001, {0x02}), 0x90);
    auto unplugged = Clock::now();
    const uint8_t acBlock[] = {0x02, 0x00, 0x0A, 0x00, 0x03};
    Sim_SendFrame(fd, 2, acBlock, sizeof acBlock);
    EXPECT_EQ(ReadByte(100), -1);
    EXPECT_FALSE(Identified(100));
    bool back = false;
    while (!back && Clock::now() - unplugged < std::chrono::seconds(5))
        back = Identified(100);
    EXPECT_TRUE(back);
    EXPECT_GE(Clock::now() - unplugged, std::chrono::milliseconds(300));
    std::vector<uint8_t> dump = StopAndDump();
    ASSERT_EQ(dump.size(), SIM_FLASH_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(dump.begin(), dump.begin() + 3), (std::vector<uint8_t>{1, 2, 0xFF}));
}

TEST_F(SimTest, ClientMayCloseAndReopenTheDevice) {
    Start();
    EXPECT_TRUE(Identified(ANSWER_MS));
    close(fd);
    fd = Sim_OpenRaw(sim.Device);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Identified(ANSWER_MS));
    close(fd);
    usleep(100000); // nobody holds the device for a while
    fd = Sim_OpenRaw(sim.Device);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Identified(ANSWER_MS));
}

TEST_F(SimTest, AnswersNobodyHeardAreNotLeftForTheNextClient) {
    Start({"--baud", "9600"}); // the answer is still on the line when the client goes
    Sim_SendFrame(fd, 0, nullptr, 0);
    close(fd);
    usleep(200000);
    fd = Sim_OpenRaw(sim.Device);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadByte(200), -1);
    // Unread bytes go with the last close, as a serial driver drops its buffer: once the simulator
    // has heard of the close, which takes it a moment (it is told, not asked), so the next client
    // may meet them for that moment, never for longer.
    Sim_SendFrame(fd, 0, nullptr, 0);
    const int answer = static_cast<int>(9 + 15 + strlen(SIM_ID_TEXT1) + strlen(SIM_ID_TEXT2));
    ASSERT_TRUE(UnreadBecomes(answer)) << "the answer did not come";
    close(fd);
    fd = Sim_OpenRaw(sim.Device);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(UnreadBecomes(0)) << "the answer nobody read was left for the next client";
    EXPECT_EQ(ReadByte(200), -1);
    EXPECT_TRUE(Identified(ANSWER_MS));
}

TEST_F(SimTest, PacingCostsTheLineTimeOfBothDirections) {
    Start({"--baud", "1200"});
    // Identify: 9 characters out, 9 + L back, 11 bits each at 1200 baud.
    size_t characters = 9 + 9 + 15 + strlen(SIM_ID_TEXT1) + strlen(SIM_ID_TEXT2);
    auto floor = std::chrono::microseconds(characters * 11 * 1000000 / 1200);
    auto sent = Clock::now();
    EXPECT_TRUE(Identified(5000));
    auto took = Clock::now() - sent;
    EXPECT_GE(took, floor);
    EXPECT_LT(took, floor * 3);
}

// The adapter's latency timer holds back every answer, the Ack byte and the frame alike; an Ack and
// the frame behind it are held side by side, not one after the other.
TEST_F(SimTest, LatencyHoldsBackEveryAnswer) {
    Start({"--latency-ms", "150"});
    const auto floor = std::chrono::milliseconds(150);
    auto sent = Clock::now();
    EXPECT_TRUE(Identified(2000));
    auto took = Clock::now() - sent;
    EXPECT_GE(took, floor);
    EXPECT_LT(took, floor + std::chrono::milliseconds(400));

    sent = Clock::now();
    ASSERT_TRUE(Acked(3)); // make valid: the Ack byte alone
    EXPECT_GE(Clock::now() - sent, floor);

    sent = Clock::now();
    ASSERT_TRUE(Acked(5)); // Get CRC: the Ack byte, then the answer frame
    EXPECT_GE(Clock::now() - sent, floor);
    EXPECT_EQ(Answer().Command, 5);
    took = Clock::now() - sent;
    EXPECT_LT(took, 2 * floor);
}

TEST(SimCommandLine, HelpNamesEveryOption) {
    std::string out, err;
    ASSERT_EQ(Sim_RunToEnd({"--help"}, &out, &err), 0);
    for (const char* pOption : {"--baud",
                                "--clear-ms",
                                "--latency-ms",
                                "--app-ms",
                                "--crc-start",
                                "--crc-length",
                                "--reject-at",
                                "--drop-acks",
                                "--drop-acks-cmd",
                                "--corrupt-every",
                                "--silent",
                                "--unplug-after-blocks",
                                "--unplug-after-polls",
                                "--unplug-adapter",
                                "--replug-ms",
                                "--link",
                                "--wrong-crc",
                                "--log",
                                "--dump",
                                "--help"})
        EXPECT_NE(out.find(std::string(pOption) + " "), std::string::npos) << pOption;
}

TEST(SimCommandLine, InvalidOptionsExitWithTwoAndSayWhy) {
    const std::vector<std::vector<std::string>> aCases = {
        {"--bogus"},
        {"--baud"},
        {"--baud", "fast"},
        {"--clear-ms", "-5"},
        {"--baud", "0x"},
        {"--app-ms", "99999999999"},
        {"--latency-ms", "-1"},
        {"--drop-acks-cmd", "6", "--drop-acks", "1"},
        {"--replug-ms", "5"},
        {"--unplug-adapter"},
        {"--unplug-adapter", "--unplug-after-polls", "0"},
        {"--unplug-after-blocks", "1", "--unplug-after-polls", "1"},
        {"--crc-start", "0xFFFFFFF0", "--crc-length", "0x20"},
        {"stray"}};
    for (const auto& args : aCases) {
        std::string out, err;
        EXPECT_EQ(Sim_RunToEnd(args, &out, &err), 2) << args[0];
        EXPECT_NE(err.find("tq330-sim: "), std::string::npos) << args[0];
        EXPECT_TRUE(out.empty()) << args[0];
    }
}

// The reasons of the refusals the case above does not reach, word for word.
TEST(SimCommandLine, EachRefusedOptionSaysWhyInItsOwnWords) {
    std::vector<std::string> seventeen;
    for (int i = 1; i <= 17; ++i)
        seventeen.insert(seventeen.end(), {"--reject-at", std::to_string(i)});
    const struct {
        std::vector<std::string> Args;
        const char* pWhy;
    } aCases[] = {
        {seventeen, "--reject-at: at most 16 addresses"},
        {{"--corrupt-kind", "bad"}, "--corrupt-kind: 'bad' is not checksum, end, start or length"},
        {{"--corrupt-cmd", "6", "--corrupt-every", "2"},
         "--corrupt-cmd: 6 is not one of 0, 1, 2, 3, 4, 5, 7"},
        {{"--garbage-cmd=6", "--garbage-before", "3"}, "--garbage-cmd: 6 is not one of 0, 1, 2, 3, 4, 5, 7"},
        {{"--drop-acks-cmd", "0", "--drop-acks", "1"}, "--drop-acks-cmd: 0 is not one of 1, 2, 3, 4, 5, 7"},
        {{"--report-crc", "0x10000"}, "--report-crc: 0x10000 does not fit 16 bits"},
        {{"--fill", "0x100"}, "--fill: 0x100 is not a byte"},
        {{"--id-byte", "256"}, "--id-byte: 0x100 is not a byte"},
        {{"--id-word", "0x1FFFFFFFF"}, "--id-word: not a number: '0x1FFFFFFFF'"},
        {{"--corrupt-cmd", "2"}, "--corrupt-cmd needs --corrupt-every"},
        {{"--garbage-count", "1"}, "--garbage-cmd and --garbage-count need --garbage-before"},
        {{"--drop-acks-cmd", "2"}, "--drop-acks-cmd needs --drop-acks"},
        {{"--silent=1"}, "unknown option or missing value: --silent=1"},
    };
    for (const auto& c : aCases) {
        std::string out, err;
        EXPECT_EQ(Sim_RunToEnd(c.Args, &out, &err), 2) << c.pWhy;
        EXPECT_EQ(err, std::string("tq330-sim: ") + c.pWhy + "\nTry 'tq330-sim --help'.\n");
        EXPECT_TRUE(out.empty()) << c.pWhy;
    }
}

} // namespace
