// The fault matrix: the whole update (real worker, serial port module, runner and flow, a headless
// front end) against tq330-sim with one fault per row. Every row must end with the status line it
// names, the device must have seen the command it names last and hold what it names; no row may
// claim success for a flash that is not the image, none may run past its deadline, and after each
// the dialog is in its Done state and the worker back at its identify poll.
#include "matrix_harness.h"

#include "image/image_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const OK = "Target updated successfully";
const char* const FAIL = "Target not updated successfully";
const char* const NO_CONNECTION = "No connection to TQ330.\nPlease cycle power of TQ330";

struct Row {
    MatrixFault Fault;
    const char* Expect;
    int LastCommand; // -1: none but identify
    const char* Flash;
    uint32_t WrittenTo = 0; // partial: the first address that must not hold the image; 0: any
    int BlockFrames = -1;   // programming frames the device must have received; -1: any
};

Row Make(const char* name, std::vector<std::string> args, const char* expect, int last, const char* flash,
         bool small = true) {
    Row row;
    row.Fault.Name = name;
    row.Fault.SimArgs = std::move(args);
    row.Fault.SmallImage = small;
    row.Expect = expect;
    row.LastCommand = last;
    row.Flash = flash;
    return row;
}

Row Partial(Row row, uint32_t writtenTo) {
    row.WrittenTo = writtenTo;
    return row;
}

Row Blocks(Row row, int frames) {
    row.BlockFrames = frames;
    return row;
}

Row CancelOn(Row row, int command) {
    row.Fault.CancelOnCommand = command;
    return row;
}

uint32_t SmallBlockEnd(size_t blocks) {
    auto list = Matrix_SmallImageBlocks();
    return list.at(blocks - 1).first + list.at(blocks - 1).second;
}

std::vector<Row> FastRows() {
    std::vector<Row> rows;
    rows.push_back(Make("clean", {}, OK, 7, "image", false));
    Row silent = Make("silent_device", {"--silent"}, NO_CONNECTION, -1, "unchanged");
    silent.Fault.Updates = 0;
    rows.push_back(silent);

    // The Ack byte lost once, twice, three times: three sends of a frame, but one of a block.
    const std::pair<const char*, const char*> acked[] = {
        {"clear", "1"}, {"make_valid", "3"}, {"get_crc", "5"}};
    for (const auto& [step, command] : acked)
        for (const char* drops : {"1", "2", "3"}) {
            std::string name = std::string("ack_lost_") + drops + "x_" + step;
            bool gives = std::string(drops) == "3";
            const char* flash = std::string(step) == "clear" && gives ? "unchanged" : "image";
            rows.push_back(Make(name.c_str(), {"--drop-acks", drops, "--drop-acks-cmd", command},
                                gives ? FAIL : OK, gives ? std::atoi(command) : 7, flash));
        }
    for (const char* drops : {"1", "2", "3"})
        rows.push_back(Blocks(Make((std::string("ack_lost_") + drops + "x_block").c_str(),
                                   {"--drop-acks", drops, "--drop-acks-cmd", "2"}, FAIL, 2, "erased"),
                              1)); // the block is never sent again

    // Damaged answers: the clear's answer and the CRC's are read once, so one damage fails the
    // step; a damaged identify answer costs one try of a poll.
    for (const char* kind : {"checksum", "end", "start", "length"}) {
        if (std::string(kind) != "length") // waits the clear's 30 s for the byte it lacks: a slow row
            rows.push_back(Make((std::string("corrupt_") + kind + "_clear_answer").c_str(),
                                {"--corrupt-every", "1", "--corrupt-cmd", "1", "--corrupt-kind", kind}, FAIL,
                                1, "erased"));
        rows.push_back(Make((std::string("corrupt_") + kind + "_crc_answer").c_str(),
                            {"--corrupt-every", "1", "--corrupt-cmd", "5", "--corrupt-kind", kind}, FAIL, 5,
                            "image"));
        rows.push_back(Make((std::string("corrupt_") + kind + "_every_2nd_identify").c_str(),
                            {"--corrupt-every", "2", "--corrupt-cmd", "0", "--corrupt-kind", kind}, OK, 7,
                            "image"));
    }
    rows.push_back(Partial(Make("corrupt_error_frame",
                                {"--reject-at", "0xA0100", "--corrupt-every", "1", "--corrupt-cmd", "2"},
                                FAIL, 2, "partial"),
                           0xA0100));

    // Line noise in front of a reply.
    rows.push_back(
        Make("garbage_before_clear_ack", {"--garbage-before", "5", "--garbage-cmd", "1"}, FAIL, 1, "erased"));
    rows.push_back(
        Make("garbage_before_crc_reply", {"--garbage-before", "5", "--garbage-cmd", "5"}, FAIL, 5, "image"));
    rows.push_back(Partial(
        Make("garbage_before_block_ack", {"--garbage-before", "3", "--garbage-cmd", "2"}, FAIL, 2, "partial"),
        SmallBlockEnd(1)));
    // One stray byte while the target is polled (as a device's power-up may send): the link must
    // not stay one answer behind for good.
    rows.push_back(Make("stray_byte_while_polling",
                        {"--garbage-before", "1", "--garbage-cmd", "0", "--garbage-count", "1"}, OK, 7,
                        "image"));
    rows.push_back(Make("stray_byte_before_make_valid_ack",
                        {"--garbage-before", "1", "--garbage-cmd", "3", "--garbage-count", "1"}, OK, 7,
                        "image"));
    // Noise in front of every identify answer: no answer is ever intact, no target is found.
    Row noisy = Make("garbage_before_every_identify", {"--garbage-before", "7", "--garbage-cmd", "0"},
                     NO_CONNECTION, -1, "unchanged");
    noisy.Fault.Updates = 0;
    rows.push_back(noisy);

    // The target refuses a block: at the first, in the middle, at the last.
    rows.push_back(Blocks(Make("reject_first_block", {"--reject-at", "0xA0000"}, FAIL, 2, "erased"), 1));
    rows.push_back(
        Partial(Make("reject_middle_block", {"--reject-at", "0xC1300"}, FAIL, 2, "partial"), 0xC1300));
    rows.push_back(
        Partial(Make("reject_last_block", {"--reject-at", "0xFDFF8"}, FAIL, 2, "partial"), 0xFDFF8));
    rows.push_back(
        Blocks(Partial(Make("block_answer_lost", {"--lose-answer-at-block", "4"}, FAIL, 2, "partial"),
                       SmallBlockEnd(4)),
               4));

    // Unplugged while programming; plugged back, the armed Start runs a fresh update.
    // The 21st block goes to a device that is gone; nothing is sent after it.
    rows.push_back(Blocks(
        Make("unplugged_after_20_blocks", {"--unplug-after-blocks", "20"}, FAIL, 2, "partial", false), 21));
    Row replug = Make("unplugged_and_replugged", {"--unplug-after-blocks", "20", "--replug-ms", "3000"}, OK,
                      7, "image", false);
    replug.Fault.Updates = 2;
    rows.push_back(replug);
    // The USB adapter itself pulled: the port hangs up, the module closes it, and finds it again by
    // its link (a by-id name). The 21st block is heard, never answered; nothing is sent after it.
    rows.push_back(
        Blocks(Make("adapter_pulled_after_20_blocks", {"--unplug-after-blocks", "20", "--unplug-adapter"},
                    FAIL, 2, "partial", false),
               21));
    Row pulled = Make("adapter_pulled_and_back",
                      {"--unplug-after-blocks", "20", "--unplug-adapter", "--replug-ms", "2000"}, OK, 7,
                      "image", false);
    pulled.Fault.Updates = 2;
    rows.push_back(pulled);

    // The CRC compare.
    rows.push_back(Make("wrong_crc", {"--wrong-crc"}, FAIL, 5, "image"));
    rows.push_back(Make("crc_reported_0", {"--report-crc", "0"}, FAIL, 5, "image"));
    rows.push_back(Make("crc_reported_1", {"--report-crc", "1"}, FAIL, 5, "image"));

    rows.push_back(Make("start_app_not_acked", {"--drop-acks", "3", "--drop-acks-cmd", "7"}, OK, 7, "image"));

    // Cancel during each step. Steps that would end before a click could land are slowed by lost
    // Acks (each costs 1 s); only a cancel during start application leaves the success standing.
    rows.push_back(CancelOn(Make("cancel_during_clear", {"--clear-ms", "1500"}, FAIL, 1, "erased"), 1));
    // Paced at the line's speed, so that the click lands while the blocks still go out.
    Row program = Make("cancel_during_programming", {"--baud", "57600"}, FAIL, 2, "partial", false);
    program.Fault.CancelAfterProgress = 20;
    rows.push_back(program);
    rows.push_back(CancelOn(
        Make("cancel_during_make_valid", {"--drop-acks", "2", "--drop-acks-cmd", "3"}, FAIL, 3, "image"), 3));
    rows.push_back(CancelOn(
        Make("cancel_during_get_crc", {"--drop-acks", "2", "--drop-acks-cmd", "5"}, FAIL, 5, "image"), 5));
    rows.push_back(CancelOn(
        Make("cancel_during_start_app", {"--drop-acks", "2", "--drop-acks-cmd", "7"}, OK, 7, "image"), 7));
    return rows;
}

// A clear answered just inside and just outside the 30 s the program waits for it, and a clear
// answer one byte short of its length byte, whose missing byte is waited for as long.
std::vector<Row> SlowRows() {
    return {Make("clear_answer_after_29s", {"--clear-ms", "29000"}, OK, 7, "image"),
            Make("clear_answer_after_31s", {"--clear-ms", "31000"}, FAIL, 1, "erased"),
            Make("corrupt_length_clear_answer",
                 {"--corrupt-every", "1", "--corrupt-cmd", "1", "--corrupt-kind", "length"}, FAIL, 1,
                 "erased")};
}

// The classification every row's verdict rests on: a flash that is not the image must never read
// as "image", and "partial" must mean nothing written past the cut.
TEST(FlashClassification, TellsTheImageFromWhatIsLeftOfIt) {
    ImageStore* pImage = Matrix_SmallImage();
    std::vector<uint8_t> flash(0x5E000, 0xFF);
    EXPECT_EQ(Matrix_ClassifyFlash(flash, pImage).Kind, "erased");
    EXPECT_EQ(Matrix_ClassifyFlash(std::vector<uint8_t>(0x5E000, MATRIX_FILL), pImage).Kind, "unchanged");
    EXPECT_EQ(Matrix_ClassifyFlash({}, pImage).Kind, "missing");

    std::vector<uint8_t> image = flash;
    for (const auto& [start, length] : Matrix_SmallImageAreas())
        for (uint32_t a = start; a < start + length; ++a)
            image[a - 0xA0000] = static_cast<uint8_t>(ImageStore_GetByte(pImage, a));
    EXPECT_EQ(Matrix_ClassifyFlash(image, pImage).Kind, "image");

    std::vector<uint8_t> prefix = flash;
    std::copy(image.begin(), image.begin() + 0x100, prefix.begin());
    FlashState state = Matrix_ClassifyFlash(prefix, pImage);
    EXPECT_EQ(state.Kind, "partial");
    EXPECT_GE(state.WrittenTo, 0xA0100u);
    prefix[0x20000] = 0x00; // a byte written far beyond the cut
    EXPECT_EQ(Matrix_ClassifyFlash(prefix, pImage).Kind, "other");
    image.back() ^= 0x01; // one bit off in the last byte
    EXPECT_NE(Matrix_ClassifyFlash(image, pImage).Kind, "image");
}

std::vector<std::string> table;

std::string Short(const std::string& status) {
    if (status == OK)
        return "success";
    if (status == FAIL)
        return "failure";
    if (status == NO_CONNECTION)
        return "no connection";
    return status.empty() ? "(none)" : status;
}

class PrintTable : public ::testing::Environment {
  public:
    void TearDown() override {
        if (table.empty())
            return;
        std::printf("\n%-36s %-14s %-14s %-5s %-20s %7s\n", "row", "expected", "got", "last", "flash",
                    "seconds");
        for (const std::string& line : table)
            std::printf("%s\n", line.c_str());
    }
};

const auto* const pTableEnvironment = ::testing::AddGlobalTestEnvironment(new PrintTable);

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, Row) {
    Row row = GetParam();
    row.Fault.DeadlineSec = Matrix_DeadlineSec(row.Fault);
    MatrixOutcome out = Matrix_Run(row.Fault);
    ASSERT_TRUE(out.Started) << "the simulator or the port did not come up";

    char acFlash[40];
    std::snprintf(acFlash, sizeof acFlash, "%s", out.Flash.Kind.c_str());
    if (out.Flash.Kind == "partial" || out.Flash.Kind == "other")
        std::snprintf(acFlash, sizeof acFlash, "%s<0x%X", out.Flash.Kind.c_str(), out.Flash.WrittenTo);
    std::string got = out.TimedOut ? "TIMED OUT" : Short(out.Status);
    char acLine[200];
    std::snprintf(acLine, sizeof acLine, "%-36s %-14s %-14s %-5d %-20s %7.1f", row.Fault.Name.c_str(),
                  Short(row.Expect).c_str(), got.c_str(), out.LastCommand, acFlash, out.Seconds);
    table.push_back(acLine);

    // The promises first: no hang, no false success.
    EXPECT_FALSE(out.TimedOut) << "ran past its deadline of " << row.Fault.DeadlineSec << " s";
    for (const std::string& result : out.Results) {
        if (result == OK) {
            EXPECT_EQ(out.Flash.Kind, "image") << "success claimed for a flash that is not the image";
        }
    }

    EXPECT_EQ(out.Status, row.Expect);
    EXPECT_EQ(out.LastCommand, row.LastCommand);
    EXPECT_EQ(out.Flash.Kind, row.Flash);
    if (row.WrittenTo != 0) {
        EXPECT_EQ(out.Flash.WrittenTo, row.WrittenTo)
            << std::hex << "written up to 0x" << out.Flash.WrittenTo;
    }
    if (row.BlockFrames >= 0) {
        EXPECT_EQ(out.BlockFrames, row.BlockFrames);
    }
    EXPECT_TRUE(out.WorkerIdle) << "the worker is not back at its identify poll";
    if (row.Fault.CancelOnCommand >= 0 || row.Fault.CancelAfterProgress >= 0) {
        EXPECT_EQ(out.CancelClicks, 1) << "Cancel was never clicked";
    }

    if (row.Fault.Updates == 0) {
        EXPECT_TRUE(out.Results.empty()) << "an update ran without a target";
    } else {
        ASSERT_EQ(static_cast<int>(out.Results.size()), row.Fault.Updates);
        EXPECT_TRUE(out.DialogDone) << "Start hidden, port list disabled and Ok expected";
    }
    if (row.Fault.Updates == 2) {
        EXPECT_EQ(out.Results.front(), FAIL) << "the update went on with a device that went away";
    }
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.Fault.Name;
}

INSTANTIATE_TEST_SUITE_P(Fast, FaultMatrix, ::testing::ValuesIn(FastRows()), RowName);
INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, ::testing::ValuesIn(SlowRows()), RowName);

} // namespace
