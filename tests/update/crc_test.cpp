#include "../image/store_check.h"
#include "app/app.h"
#include "image/image_store.h"
#include "link/job_state.h"
#include "scripted_worker.h"
#include "update/crc16.h"
#include "update/image_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

uint16_t Crc(const std::vector<uint8_t>& bytes) {
    uint16_t crc;
    Crc16Init(crc);
    if (!bytes.empty())
        Crc16Update(crc, bytes.data(), static_cast<uint32_t>(bytes.size() - 1));
    return crc;
}

// The bit-by-bit form of the same CRC, written independently of the table.
uint16_t CrcBitwise(const std::vector<uint8_t>& bytes) {
    uint16_t reg = 0xFFFF;
    for (uint8_t b : bytes) {
        for (int bit = 7; bit >= 0; bit--) {
            bool top = reg & 0x8000;
            reg = static_cast<uint16_t>((reg << 1) | ((b >> bit) & 1));
            if (top)
                reg ^= 0x1021;
        }
    }
    return reg;
}

std::vector<uint8_t> Text(const char* s) {
    return std::vector<uint8_t>(s, s + std::strlen(s));
}

TEST(Crc16, CheckValues) {
    EXPECT_EQ(Crc(Text("123456789")), 0xA69D);
    EXPECT_EQ(Crc(Text("abc")), 0xD278);
    EXPECT_EQ(Crc({}), 0xFFFF);
    EXPECT_EQ(Crc({0xFF}), 0xE10F);
    std::vector<uint8_t> digitsAndZeros = Text("123456789");
    digitsAndZeros.push_back(0);
    digitsAndZeros.push_back(0);
    EXPECT_EQ(Crc(digitsAndZeros), 0xE5CC);
}

TEST(Crc16, TableEntriesShowThroughOneZeroByte) {
    // A register i << 8 fed one zero byte becomes T[i].
    const std::map<uint16_t, uint16_t> expected = {
        {0, 0x0000}, {1, 0x1021}, {2, 0x2042}, {128, 0x9188}, {255, 0x1EF0}};
    const uint8_t zero = 0;
    for (auto [i, t] : expected) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        Crc16Update(crc, &zero, 0);
        EXPECT_EQ(crc, t) << "T[" << i << "]";
    }
}

TEST(Crc16, PiecesGiveTheSameAsOneRunAndMatchTheBitwiseForm) {
    uint16_t crc;
    Crc16Init(crc);
    Crc16Update(crc, reinterpret_cast<const uint8_t*>("1234"), 3);
    Crc16Update(crc, reinterpret_cast<const uint8_t*>("56789"), 4);
    EXPECT_EQ(crc, 0xA69D);

    std::vector<uint8_t> data(3000);
    uint32_t x = 12345;
    for (uint8_t& b : data)
        b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    EXPECT_EQ(Crc(data), CrcBitwise(data));
}

// CalcImageCrc over a store the test fills, with the CRC area of a connected target.
class ImageCrcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pStore = ImageStore_Create();
        ASSERT_NE(pStore, nullptr);
        pProgramImage = pStore;
    }
    void TearDown() override {
        pProgramImage = nullptr;
        ImageStore_Destroy(pStore);
        scripted_worker::SetTarget(false, 0, 0);
    }
    void Add(uint32_t address, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(ImageStore_AddBytes(pStore, address, static_cast<uint32_t>(bytes.size()), bytes.data()), 0);
        for (size_t i = 0; i < bytes.size(); i++)
            held[address + static_cast<uint32_t>(i)] = bytes[i];
    }
    // The CRC of b(start) .. b(start + length - 1), 0xFF where the image holds nothing.
    uint16_t Expected(uint32_t start, uint32_t length) {
        std::vector<uint8_t> seq;
        for (uint64_t a = start; a < uint64_t(start) + length; a++) {
            auto it = held.find(static_cast<uint32_t>(a));
            seq.push_back(it == held.end() ? 0xFF : it->second);
        }
        return Crc(seq);
    }
    int32_t CrcOver(uint32_t start, uint32_t length) {
        scripted_worker::SetTarget(true, start, length);
        return CalcImageCrc();
    }
    ImageStore* pStore = nullptr;
    std::map<uint32_t, uint8_t> held;
};

TEST_F(ImageCrcTest, AbsentBytesReadAsFill) {
    EXPECT_EQ(CrcOver(0x100, 2), 0xE2F0);
    EXPECT_EQ(CrcOver(0x100, 10000), 0x9723);
    Add(0x101, {0x11});
    Add(0x103, {0x22});
    EXPECT_EQ(CrcOver(0x100, 4), 0x7A0D);
}

TEST_F(ImageCrcTest, EmptyAreaGivesInitialValue) {
    Add(0x100, {1, 2, 3});
    EXPECT_EQ(CrcOver(0x100, 0), 0xFFFF);
}

TEST_F(ImageCrcTest, LongRunReadInPiecesEqualsOnePiece) {
    std::vector<uint8_t> run(25000);
    for (size_t i = 0; i < run.size(); i++)
        run[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    Add(0x20000, run);
    EXPECT_EQ(CrcOver(0x20000, 25000), Crc(run));
}

TEST_F(ImageCrcTest, AreasGapsAndBytesOutsideTheArea) {
    // An area that begins before the CRC area, a long one with gaps wider than a read on both
    // sides, and one that reaches past the CRC area's end.
    std::vector<uint8_t> a(40, 0x3C), b(12000), c(64, 0xA5);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(i ^ (i >> 5));
    Add(0x0FE0, a);
    Add(0x5000, b);
    Add(0x1D000, c);
    EXPECT_EQ(CrcOver(0x1000, 0x1C020), Expected(0x1000, 0x1C020));
    EXPECT_EQ(CrcOver(0x0FE8, 16), Expected(0x0FE8, 16));
}

TEST_F(ImageCrcTest, AreaEndingAtTheTopOfTheAddressSpace) {
    Add(0xFFFFFFF0, {0x5A, 0x00, 0x01});
    EXPECT_EQ(CrcOver(0xFFFFFF00, 0x100), Expected(0xFFFFFF00, 0x100));
}

// The command line asks for the image's whole span, whose length may need 33 bits: an area may
// reach the top of the address space, never go past it.
TEST_F(ImageCrcTest, AreaLengthBeyond32BitsIsRefusedNotCut) {
    Add(0xFFFFFFF0, {0x5A, 0x00, 0x01});
    EXPECT_EQ(ImageAreaCrc(pStore, 0xFFFFFFF0, 0x10), Expected(0xFFFFFFF0, 0x10));
    EXPECT_EQ(ImageAreaCrc(pStore, 0xFFFFFFF0, 0x11), -1);
    EXPECT_EQ(ImageAreaCrc(pStore, 0x10, 0x100000000), -1); // as 32 bits: an empty area
    EXPECT_EQ(ImageAreaCrc(pStore, 0xFFFFFFF0, 0x100000010), -1);
}

// A store that another thread holds past the lock's wait cannot be read: no CRC rather than the
// CRC of an image taken for erased.
TEST_F(ImageCrcTest, StoreLockTimeOutGivesNoCrc) {
    Add(0x100, {1, 2, 3, 4});
    int32_t crc = 0;
    WhileStoreLockIsHeld(pStore, [&] { crc = CrcOver(0x100, 8); });
    EXPECT_EQ(crc, -1);
    EXPECT_EQ(CrcOver(0x100, 8), Expected(0x100, 8)); // the same read once the lock is free
}

TEST_F(ImageCrcTest, AreasThatWrapOrNothingToCompareGiveNoCrc) {
    Add(0x0, {1, 2, 3});
    // No target: the all-zero record would make an area from 0 to 0xFFFFFFFF.
    scripted_worker::SetTarget(false, 0x100, 4);
    EXPECT_EQ(CalcImageCrc(), -1);
    EXPECT_EQ(CrcOver(0, 0), -1);
    EXPECT_EQ(CrcOver(0xFFFFFF00, 0x200), -1);
    EXPECT_EQ(CrcOver(0x80000000, 0x80000001), -1);
    pProgramImage = nullptr;
    EXPECT_EQ(CrcOver(0x0, 3), -1);
}

} // namespace
