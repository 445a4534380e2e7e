// The S-record reader's text form: record types, line ends, errors with their line numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "image/srecord_reader.h"
#include "store_check.h"

namespace {

class SRecordTextTest : public ::testing::Test {
  protected:
    void SetUp() override { pStore = ImageStore_Create(); }
    void TearDown() override {
        EXPECT_EQ(CheckInvariants(pStore), "");
        ImageStore_Destroy(pStore);
    }
    int Load(const std::string& text, int errorSize = 255) {
        acError[0] = '\0';
        return SRecordReader_LoadText(pStore, text.c_str(), acError, errorSize);
    }
    ImageStore* pStore = nullptr;
    char acError[255] = "";
};

const std::string S1_100 = Record(1, 0x100, {1, 2, 3, 4});

TEST_F(SRecordTextTest, StoresDataOfAllThreeAddressSizesBigEndian) {
    const std::string text = Record(0, 0, {'h', 'd', 'r'}) + "\r\n" + Record(1, 0x1234, {0xAA}) + "\r\n" +
                             Record(2, 0x0A0000, {1, 2}) + "\r\n" + Record(3, 0x80000010, {9}) + "\r\n" +
                             Record(5, 3, {}) + "\r\n" + Record(8, 0x0A0000, {}) + "\r\n";
    EXPECT_EQ(Load(text), 0);
    EXPECT_STREQ(acError, "");
    EXPECT_EQ(Areas(pStore), (AreaList{{0x1234, 1}, {0xA0000, 2}, {0x80000010, 1}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0xA0001), 2);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x80000010), 9);
}

TEST_F(SRecordTextTest, EmptyTextLowerCaseHexAndAMissingFinalLineEnd) {
    EXPECT_EQ(Load(""), 0);
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
    EXPECT_EQ(Load("S1050100aabb94"), 0); // lower-case digits, no line end at all
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x101), 0xBB);
}

TEST_F(SRecordTextTest, EveryPairOfLineEndCharactersEndsOneLine) {
    for (const char* pEnd : {"\r\n", "\n\r", "\r\r", "\n\n", "\r", "\n"}) {
        ImageStore_Destroy(pStore);
        pStore = ImageStore_Create();
        const std::string text = Record(1, 0x10, {1}) + pEnd + Record(1, 0x20, {2}) + pEnd + "S1";
        EXPECT_EQ(Load(text), -5);
        EXPECT_STREQ(acError, "Error in line 3: Expected Hex character : 0..9, A..F") << "line end " << pEnd;
        EXPECT_EQ(ImageStore_AreaCount(pStore), 2u);
    }
}

TEST_F(SRecordTextTest, EmptyLineIsAnErrorWithCrLfButSwallowedWithLfOnly) {
    EXPECT_EQ(Load(S1_100 + "\r\n\r\n" + Record(1, 0x200, {1}) + "\r\n"), -5);
    EXPECT_STREQ(acError, "Error in line 2: Unexpected character");

    ImageStore_Destroy(pStore);
    pStore = ImageStore_Create();
    // "\n\n" is one line end, so the faulty record counts as line 3 of what is really line 4.
    EXPECT_EQ(Load(S1_100 + "\n\n" + Record(1, 0x200, {1}) + "\n" + "S1zz\n"), -5);
    EXPECT_STREQ(acError, "Error in line 3: Expected Hex character : 0..9, A..F");
}

TEST_F(SRecordTextTest, EndOfFileCharacterAndNulEndTheText) {
    EXPECT_EQ(Load(S1_100 + "\r\n\x1A" + "garbage"), 0);
    EXPECT_EQ(Load(Record(1, 0x300, {5}) + "\x1A" + "garbage"), 0); // right behind the record
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x300), 5);
}

TEST_F(SRecordTextTest, RecordErrorsCarryTheirTextsAndLineNumbers) {
    const struct {
        std::string line;
        const char* pExpected;
        bool stored = false; // a complete record is stored before its line end is looked at
    } cases[] = {
        {"s1050100AABB94", "Error in line 2: Unexpected character"},
        {"S\x01"
         "050100AABB94",
         "Error in line 2: Unexpected character"},
        {"S\x80"
         "050100AABB94",
         "Error in line 2: Unexpected character"},
        {"S1050100AABB95", "Error in line 2: Checksum error !"},
        {"S1050100AXBB94", "Error in line 2: Expected Hex character : 0..9, A..F"},
        {"S1050100AABB", "Error in line 2: Expected Hex character : 0..9, A..F"},
        {"S1050100AABB94 ", "Error in line 2: Expected CR or LF", true},
        {"S1050100AABB94FF", "Error in line 2: Expected CR or LF", true},
        {"S1", "Error in line 2: Expected Hex character : 0..9, A..F"},
        {"S", "Error in line 2: Unexpected character"},
        {"X", "Error in line 2: Unexpected character"},
    };
    for (const auto& c : cases) {
        ImageStore_Destroy(pStore);
        pStore = ImageStore_Create();
        EXPECT_EQ(Load(Record(1, 0x10, {7}) + "\r\n" + c.line + "\r\n" + Record(1, 0x20, {8})), -5);
        EXPECT_STREQ(acError, c.pExpected) << "line " << c.line;
        // The record before the faulty line stays; the lines behind it are not read.
        const AreaList expected = c.stored ? AreaList{{0x10, 1}, {0x100, 2}} : AreaList{{0x10, 1}};
        EXPECT_EQ(Areas(pStore), expected) << "line " << c.line;
    }
}

TEST_F(SRecordTextTest, TypeWithoutAddressIsCheckedButNotStored) {
    EXPECT_EQ(Load("S9030000FC\r\nS900\r\n" + S1_100 + "\r\nS7050000000AF0\r\nS~00\r\n"), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 4}}));
    EXPECT_EQ(Load("S9030000FD\r\n"), -5);
    EXPECT_STREQ(acError, "Error in line 1: Checksum error !");
}

TEST_F(SRecordTextTest, TouchingRecordsJoinAndOverlapIsRefused) {
    EXPECT_EQ(Load(Record(1, 0x104, {5, 6}) + "\r\n" + S1_100 + "\r\n"), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 6}}));
    EXPECT_EQ(Load(Record(1, 0x0FD, {1, 2, 3, 4}) + "\r\n"), -5); // its last byte lands on 0x100
    EXPECT_STREQ(acError, "Error in line 1: Areas overlap");
    EXPECT_EQ(Load(Record(1, 0x102, {1}) + "\r\n"), -5); // begins inside the area
    EXPECT_STREQ(acError, "Error in line 1: Areas overlap");
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 6}}));
}

// A data record too short to carry a data byte must never hand the store an empty or negative range.
TEST_F(SRecordTextTest, DataRecordWithoutDataByteIsAFaultyLine) {
    for (const char* pLine : {"S1030100FB", "S2040A0000F1", "S30500000000FA", "S10201FC", "S100", "S301FE"}) {
        EXPECT_EQ(Load(S1_100 + "\r\n" + pLine + "\r\n"), -5) << pLine;
        EXPECT_STREQ(acError, "Error in line 2: Record too short: no data byte") << pLine;
        ImageStore_Destroy(pStore);
        pStore = ImageStore_Create();
    }
}

TEST_F(SRecordTextTest, DataPastTheTopAddressIsRefused) {
    EXPECT_EQ(Load(Record(3, 0xFFFFFFFE, {1, 2, 3}) + "\r\n"), -5);
    EXPECT_STREQ(acError, "Error in line 1: Data beyond address 0xFFFFFFFF");
    EXPECT_EQ(Load(Record(3, 0xFFFFFFFE, {1, 2}) + "\r\n"), 0);
}

TEST_F(SRecordTextTest, ErrorTextIsCutToTheCallersBuffer) {
    EXPECT_EQ(Load("x", 10), -5);
    EXPECT_STREQ(acError, "Error in ");
    // Buffers too small to hold any text must not hide the error (or loop on it).
    EXPECT_EQ(Load("x", 1), -5);
    EXPECT_STREQ(acError, "");
    EXPECT_EQ(SRecordReader_LoadText(pStore, "x", nullptr, 0), -5);
    EXPECT_EQ(SRecordReader_LoadText(pStore, S1_100.c_str(), nullptr, 0), 0);
}

TEST_F(SRecordTextTest, TextNotStartingWithSFailsOnLineOne) {
    EXPECT_EQ(Load("\r\n" + S1_100), -5);
    EXPECT_STREQ(acError, "Error in line 1: Unexpected character");
}

TEST_F(SRecordTextTest, ErrorTextAlreadyInTheBufferCountsAsFound) {
    strcpy(acError, "earlier");
    EXPECT_EQ(SRecordReader_LoadText(pStore, S1_100.c_str(), acError, sizeof acError), -5);
    EXPECT_STREQ(acError, "Error in line 1: earlier");
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
}

TEST_F(SRecordTextTest, LoadHoldsTheLockAndLeavesTheModifiedCount) {
    std::string text;
    for (uint32_t i = 0; i < 100; i++)
        text += Record(2, 0xA0000 + 32 * (99 - i), Bytes(i, 32)) + "\r\n";
    EXPECT_EQ(Load(text), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0xA0000, 3200}}));
    EXPECT_EQ(pStore->ModifiedCount, 101u);
    EXPECT_EQ(ImageStore_Lock(pStore), 0); // released by the load: taken again at once
    ImageStore_Unlock(pStore);
}

// A store that another thread holds past the lock's wait is not read into at all.
TEST_F(SRecordTextTest, LockNotObtainedGivesMinusOne) {
    int result = 0;
    WhileStoreLockIsHeld(pStore, [&] { result = Load(S1_100 + "\r\n"); });
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(acError, "Image store locked");
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
    EXPECT_EQ(Load(S1_100 + "\r\n"), 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SREC_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define SREC_TEST_SANITIZED 1
#endif
#endif

#if !defined(SREC_TEST_SANITIZED) && !defined(_WIN32) && !defined(TQ330_TEST_EMULATOR)
// Lets this process map at most `more` bytes beyond what it has mapped now.
bool CapAddressSpace(rlim_t more) {
    long pages = 0;
    if (FILE* pFile = fopen("/proc/self/statm", "r")) {
        if (fscanf(pFile, "%ld", &pages) != 1)
            pages = 0;
        fclose(pFile);
    }
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + more;
    const rlimit limit{cap, cap};
    return pages > 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}
#endif

// The store running out of memory ends the load with -3 and "malloc Problem" on the record's line.
// The address space is capped in a child process, so that the buffer a record needs (1 GiB, to
// continue an area added without bytes) cannot be had.
TEST_F(SRecordTextTest, StoreOutOfMemoryGivesMinusThree) {
#if defined(SREC_TEST_SANITIZED)
    GTEST_SKIP() << "a sanitizer's allocator dies on a failed allocation instead of returning none";
#elif defined(_WIN32)
    GTEST_SKIP() << "no cap on a process's address space in the Windows build";
#elif defined(TQ330_TEST_EMULATOR)
    GTEST_SKIP() << "qemu-user keeps the address-space limit from the host, so the cap has no effect";
#else
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0, 0x40000000, nullptr), 0);
    const std::string text = Record(3, 0x50000000, {7}) + "\r\n" + Record(3, 0x40000000, {1, 2}) + "\r\n";
    const AreaList expected{{0, 0x40000000}, {0x50000000, 1}};
    EXPECT_EXIT(
        {
            bool ok = CapAddressSpace(256 << 20) && Load(text) == -3;
            ok = ok && strcmp(acError, "Error in line 2: malloc Problem") == 0;
            // The record before it is stored; the failed one changed nothing.
            ok = ok && Areas(pStore) == expected;
            ok = ok && pStore->pFirstArea->pBytes == nullptr;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}

} // namespace
