// The firmware text the program carries, checked on the embedded constant itself: its form line by
// line, the order of its records as the store's add algorithm sees them, and what the reader makes of it.
#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Line {
    char Type;
    std::vector<uint8_t> Bytes; // count byte, address, data, checksum
};

struct DataRecord {
    uint32_t Address;
    std::vector<uint8_t> Data;
};

struct ExpectedArea {
    uint32_t Start;
    uint32_t Last;
    uint32_t Length;
};
const ExpectedArea kAreas[] = {{0xA0000, 0xE75F6, 292343},
                               {0xE762F, 0xE7652, 36},
                               {0xE766B, 0xEEC6E, 30212},
                               {0xEEC70, 0xEED0B, 156},
                               {0xFDFCA, 0xFDFEF, 38}};

int UpperHex(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Splits the text at CR LF and decodes each line; any other form fails the calling test.
std::vector<Line> ParseLines(std::string_view text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) {
            ADD_FAILURE() << "text does not end in CR LF after line " << lines.size();
            break;
        }
        std::string_view s = text.substr(pos, end - pos);
        pos = end + 2;
        const int number = static_cast<int>(lines.size()) + 1;
        Line line{};
        bool ok = s.size() >= 4 && s.size() % 2 == 0 && s[0] == 'S';
        if (ok) {
            line.Type = s[1];
            for (size_t i = 2; ok && i < s.size(); i += 2) {
                int high = UpperHex(s[i]);
                int low = UpperHex(s[i + 1]);
                ok = high >= 0 && low >= 0;
                line.Bytes.push_back(static_cast<uint8_t>(high * 16 + low));
            }
        }
        if (!ok || line.Bytes[0] + 1u != line.Bytes.size()) {
            ADD_FAILURE() << "line " << number << " is not an upper-case S-record: " << s;
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

bool ChecksumValid(const Line& line) {
    uint8_t sum = 0;
    for (uint8_t b : line.Bytes) {
        sum = static_cast<uint8_t>(sum + b);
    }
    return sum == 0xFF;
}

std::vector<DataRecord> DataRecords(const std::vector<Line>& lines) {
    std::vector<DataRecord> records;
    for (const Line& line : lines) {
        if (line.Type == '2') {
            const std::vector<uint8_t>& b = line.Bytes;
            records.push_back({uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3],
                               std::vector<uint8_t>(b.begin() + 4, b.end() - 1)});
        }
    }
    return records;
}

// The figures of the placeholder image (image/firmware/tq330.s28).
class FirmwareText : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef TQ330_PLACEHOLDER_FIRMWARE
        GTEST_SKIP() << "another firmware image is embedded";
#endif
    }
    static void SetUpTestSuite() {
        pLines = new std::vector<Line>(ParseLines(acFirmwareText));
    }
    static void TearDownTestSuite() {
        delete pLines;
        pLines = nullptr;
    }
    static std::vector<Line>* pLines;
};
std::vector<Line>* FirmwareText::pLines = nullptr;

TEST_F(FirmwareText, HasItsSizeAndLinesEndingInCrLf) {
    EXPECT_EQ(strlen(acFirmwareText), 788406u);
    EXPECT_EQ(FirmwareTextLength, 788406u);
    size_t crlf = 0;
    for (size_t i = 0; acFirmwareText[i] != '\0'; i++) {
        if (acFirmwareText[i] == '\r' || acFirmwareText[i] == '\n') {
            ASSERT_TRUE(acFirmwareText[i] == '\r' && acFirmwareText[i + 1] == '\n')
                << "stray line end at " << i;
            crlf++;
            i++;
        }
    }
    EXPECT_EQ(crlf, 10201u);
    EXPECT_EQ(pLines->size(), 10201u); // every one of them a well-formed upper-case record
}

#ifdef TQ330_FIRMWARE_PATH
TEST(EmbeddedFirmware, HoldsTheFileByteForByte) {
    FILE* pFile = fopen(TQ330_FIRMWARE_PATH, "rb");
    ASSERT_NE(pFile, nullptr);
    std::string file;
    char acBuffer[65536];
    for (size_t n; (n = fread(acBuffer, 1, sizeof(acBuffer), pFile)) > 0;) {
        file.append(acBuffer, n);
    }
    fclose(pFile);
    EXPECT_TRUE(file == std::string_view(acFirmwareText, FirmwareTextLength));
}
#endif

TEST_F(FirmwareText, HeaderDataAndStartRecordsAreWellFormed) {
    ASSERT_EQ(pLines->size(), 10201u);
    const Line& header = pLines->front();
    EXPECT_EQ(header.Type, '0');
    ASSERT_EQ(header.Bytes[0], 0x0F);
    EXPECT_EQ(header.Bytes[1] | header.Bytes[2], 0); // address 0000
    for (size_t i = 3; i < 15; i++) {
        EXPECT_TRUE(header.Bytes[i] >= 0x20 && header.Bytes[i] < 0x7F) << "header names its tool in text";
    }
    const Line& start = pLines->back();
    EXPECT_EQ(start.Type, '8');
    EXPECT_EQ(start.Bytes[0], 4);
    for (size_t i = 1; i + 1 < pLines->size(); i++) {
        const Line& line = (*pLines)[i];
        EXPECT_EQ(line.Type, '2') << "line " << i + 1;
        EXPECT_TRUE(line.Bytes[0] >= 0x05 && line.Bytes[0] <= 0x24) << "line " << i + 1;
    }
    for (size_t i = 0; i < pLines->size(); i++) {
        EXPECT_TRUE(ChecksumValid((*pLines)[i])) << "checksum of line " << i + 1;
    }
}

TEST_F(FirmwareText, DataRecordsDoNotOverlapAndStartAtTheFourthArea) {
    std::vector<DataRecord> records = DataRecords(*pLines);
    ASSERT_EQ(records.size(), 10199u);
    EXPECT_EQ(records[0].Address, 0xEEC70u);
    std::sort(records.begin(), records.end(),
              [](const DataRecord& x, const DataRecord& y) { return x.Address < y.Address; });
    size_t total = 0;
    for (size_t i = 0; i < records.size(); i++) {
        total += records[i].Data.size();
        if (i > 0) {
            EXPECT_LE(records[i - 1].Address + records[i - 1].Data.size(), records[i].Address)
                << "records at " << records[i - 1].Address << " and " << records[i].Address;
        }
    }
    EXPECT_EQ(total, 322785u);
    // The contents are not a filler pattern.
    std::vector<bool> seen(256);
    for (const DataRecord& record : records) {
        for (uint8_t b : record.Data) {
            seen[b] = true;
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

// Replays the records in file order into a real store and tells, before each add, which branch of the
// add algorithm it takes: the file extends an area downwards 7 times and inserts 59 new areas in front
// of loaded ones.
TEST_F(FirmwareText, FileOrderExtendsDownwardsSevenTimesAndInsertsFiftyNine) {
    ImageStore* pStore = ImageStore_Create();
    ASSERT_NE(pStore, nullptr);
    int downwards = 0;
    int inserted = 0;
    for (const DataRecord& record : DataRecords(*pLines)) {
        uint32_t a = record.Address;
        uint32_t end = a + static_cast<uint32_t>(record.Data.size());
        bool continues = false;
        bool meets = false;
        bool above = false;
        for (const Area* pArea = pStore->pFirstArea; pArea != nullptr; pArea = pArea->pNext) {
            continues |= pArea->Start + pArea->Length == a;
            meets |= pArea->Start == end;
            above |= pArea->Start > a;
        }
        downwards += meets && !continues;
        inserted += !meets && !continues && above;
        ASSERT_EQ(ImageStore_AddBytes(pStore, a, end - a, record.Data.data()), 0) << "record at " << a;
    }
    EXPECT_EQ(downwards, 7);
    EXPECT_EQ(inserted, 59);
    EXPECT_EQ(ImageStore_TotalBytes(pStore), 322785u);
    ImageStore_Destroy(pStore);
}

TEST_F(FirmwareText, ReaderLoadsFiveAreasHoldingEveryRecordsBytes) {
    ImageStore* pStore = ImageStore_Create();
    ASSERT_NE(pStore, nullptr);
    char acError[255] = {};
    ASSERT_EQ(SRecordReader_LoadText(pStore, acFirmwareText, acError, sizeof(acError)), 0) << acError;
    EXPECT_STREQ(acError, "");

    std::vector<ExpectedArea> areas;
    for (const Area* pArea = pStore->pFirstArea; pArea != nullptr; pArea = pArea->pNext) {
        areas.push_back({pArea->Start, pArea->Start + pArea->Length - 1, pArea->Length});
    }
    ASSERT_EQ(areas.size(), 5u);
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(areas[i].Start, kAreas[i].Start) << "area " << i;
        EXPECT_EQ(areas[i].Last, kAreas[i].Last) << "area " << i;
        EXPECT_EQ(areas[i].Length, kAreas[i].Length) << "area " << i;
    }
    EXPECT_EQ(ImageStore_TotalBytes(pStore), 322785u);
    EXPECT_EQ(ImageStore_FirstAddress(pStore), 0xA0000u);
    EXPECT_EQ(ImageStore_LastAddress(pStore), 0xFDFEFu);

    size_t mismatches = 0;
    for (const DataRecord& record : DataRecords(*pLines)) {
        for (size_t i = 0; i < record.Data.size(); i++) {
            mismatches +=
                ImageStore_GetByte(pStore, record.Address + static_cast<uint32_t>(i)) != record.Data[i];
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0xEEC6F), -1); // the one-byte gap below the fourth area
    ImageStore_Destroy(pStore);
}

} // namespace
