// The reader's file form on real files: refills across the 60,000-character buffer, open failures,
// empty and foreign files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "image/srecord_reader.h"
#include "store_check.h"

namespace {

class SRecordFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A folder of this test's own (other builds may run the same test at the same time); the
        // Windows build has no mkdtemp.
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = ::testing::TempDir() + "srec_file_" + pInfo->name() + "_" +
              std::to_string(std::random_device()());
        std::filesystem::remove_all(dir);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        pStore = ImageStore_Create();
    }
    void TearDown() override {
        EXPECT_EQ(CheckInvariants(pStore), "");
        ImageStore_Destroy(pStore);
        std::error_code error;
        std::filesystem::remove_all(dir, error);
        EXPECT_FALSE(error) << error.message();
    }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    int LoadFile(const std::string& path) {
        strcpy(acError, "left over");
        return SRecordReader_LoadFile(pStore, path.c_str(), acError, sizeof acError);
    }
    std::string dir;
    ImageStore* pStore = nullptr;
    char acError[255] = "";
};

// Several hundred KB of records with lengths of 1 to 250 data bytes in shuffled order, so that line
// starts fall on many offsets of the buffer when it is refilled.
std::string BigText(uint32_t seed, int* pLines, const char* pLineEnd = "\r\n") {
    std::mt19937 random(seed);
    std::vector<std::string> lines;
    uint32_t address = 0x10000;
    for (int i = 0; i < 3000; i++) {
        const uint32_t length = 1 + random() % 250;
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<uint8_t>(random());
        lines.push_back(Record(3, address, data));
        address += length + (random() % 50 == 0 ? 0x1000 : 0);
    }
    std::shuffle(lines.begin(), lines.end(), random);
    std::string text = Record(0, 0, {'t', 'e', 's', 't'}) + pLineEnd;
    for (const auto& line : lines)
        text += line + pLineEnd;
    text += Record(7, 0x10000, {}) + pLineEnd;
    *pLines = static_cast<int>(lines.size()) + 2;
    return text;
}

void ExpectSameImage(ImageStore* pA, ImageStore* pB) {
    ASSERT_EQ(Areas(pA), Areas(pB));
    for (const auto& [start, length] : Areas(pA))
        for (uint32_t a = start; a < start + length; a++)
            ASSERT_EQ(ImageStore_GetByte(pA, a), ImageStore_GetByte(pB, a)) << std::hex << a;
}

TEST_F(SRecordFileTest, LargeFileReadsLikeTheSameTextInMemory) {
    for (const char* pLineEnd : {"\r\n", "\n"}) {
        int lines = 0;
        const std::string text = BigText(7, &lines, pLineEnd);
        ASSERT_GT(text.size(), 400000u);
        ImageStore* pText = ImageStore_Create();
        char acTextError[255] = "";
        ASSERT_EQ(SRecordReader_LoadText(pText, text.c_str(), acTextError, sizeof acTextError), 0);
        ImageStore_Destroy(pStore);
        pStore = ImageStore_Create();
        EXPECT_EQ(LoadFile(Write("big.s37", text)), 0);
        EXPECT_STREQ(acError, "");
        EXPECT_EQ(pStore->ModifiedCount, 0u);
        ExpectSameImage(pStore, pText);
        ImageStore_Destroy(pText);
    }
}

TEST_F(SRecordFileTest, ErrorFarBehindTheFirstBufferHasItsLineNumber) {
    int lines = 0;
    std::string text = BigText(11, &lines);
    // Spoil the checksum of the record that starts line 2500 (its last hex digit).
    size_t position = 0;
    for (int line = 1; line < 2500; line++)
        position = text.find("\r\n", position) + 2;
    const size_t end = text.find("\r\n", position);
    text[end - 1] = text[end - 1] == '0' ? '1' : '0';
    ASSERT_GT(position, 120000u);
    EXPECT_EQ(LoadFile(Write("bad.s37", text)), -5);
    EXPECT_STREQ(acError, "Error in line 2500: Checksum error !");
    EXPECT_EQ(pStore->ModifiedCount, 0u);
}

TEST_F(SRecordFileTest, EmptyAndForeignFilesAreNotMotFiles) {
    EXPECT_EQ(LoadFile(Write("empty.s19", "")), -4);
    EXPECT_STREQ(acError, "Error in line 1: Not a mot file");
    EXPECT_EQ(LoadFile(Write("blank.s19", "\r\nS1050100AABB94\r\n")), -4);
    EXPECT_STREQ(acError, "Error in line 1: Not a mot file");
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
}

TEST_F(SRecordFileTest, MissingFileAndUnreadablePathsAreToldApart) {
    EXPECT_EQ(LoadFile(dir + "/no-such.s19"), -1);
    EXPECT_STREQ(acError, "File not found");
    EXPECT_EQ(LoadFile(dir), -1); // a directory
    EXPECT_STREQ(acError, "Invalid file handle");
    const std::string file = Write("plain.s19", "S9030000FC\r\n");
    EXPECT_EQ(LoadFile(file + "/below"), -1); // a path through a plain file
    EXPECT_STREQ(acError, "Invalid file handle");
    EXPECT_EQ(pStore->ModifiedCount, 0u);
}

TEST_F(SRecordFileTest, EndOfFileMarkersAndAMissingLastLineEnd) {
    EXPECT_EQ(LoadFile(Write("eof.s19", "S1050100AABB94\r\n\x1A\r\nnot a record")), 0);
    EXPECT_STREQ(acError, "");
    // Not named nul.*: on Windows that is the null device, whatever the folder.
    EXPECT_EQ(LoadFile(Write("zero.s19", std::string("S1050200AABB93\r\n\0junk", 22))), 0);
    EXPECT_EQ(LoadFile(Write("last.s19", "S1050300AABB92")), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 2}, {0x200, 2}, {0x300, 2}}));
}

TEST_F(SRecordFileTest, CutOffLastLineIsAFaultyLine) {
    EXPECT_EQ(LoadFile(Write("cut.s19", "S1050100AABB94\r\nS1050200AA")), -5);
    EXPECT_STREQ(acError, "Error in line 2: Expected Hex character : 0..9, A..F");
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 2}}));
}

} // namespace
