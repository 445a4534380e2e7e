// Editing the store: range removal, shift, the pending-write list, status and the operation table.
#include <gtest/gtest.h>

#include "store_check.h"

namespace {

class ImageStoreEditTest : public ::testing::Test {
  protected:
    void SetUp() override { pStore = ImageStore_Create(); }
    void TearDown() override {
        EXPECT_EQ(CheckInvariants(pStore), "");
        ImageStore_Destroy(pStore);
    }
    void Add(uint32_t first, uint32_t last) {
        const auto data = Bytes(first, last - first + 1);
        ASSERT_EQ(ImageStore_AddBytes(pStore, first, last - first + 1, data.data()), 0);
    }
    ImageStore* pStore = nullptr;
};

TEST_F(ImageStoreEditTest, RemoveInsideSplitsAndKeepsBothHalves) {
    Add(0x100, 0x10F);
    Add(0x200, 0x20F);
    ImageStore_RemoveRange(pStore, 0x104, 0x107);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 4}, {0x108, 8}, {0x200, 16}}));
    const auto data = Bytes(0x100, 16);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x103), data[3]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x104), -1);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x108), data[8]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x10F), data[15]);
}

TEST_F(ImageStoreEditTest, RemoveCutsBeginningsEndsAndWholeAreas) {
    Add(0x100, 0x10F);
    Add(0x200, 0x20F);
    Add(0x300, 0x30F);
    Add(0x400, 0x40F);
    ImageStore_RemoveRange(pStore, 0x10C, 0x203); // end of the first, beginning of the second
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 12}, {0x204, 12}, {0x300, 16}, {0x400, 16}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x204), Bytes(0x200, 16)[4]);
    ImageStore_RemoveRange(pStore, 0x2FF, 0x3FF); // a whole area
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 12}, {0x204, 12}, {0x400, 16}}));
    ImageStore_RemoveRange(pStore, 0, 0xFFFFFFFF);
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
}

TEST_F(ImageStoreEditTest, RemoveWithReversedBoundsRemovesNothing) {
    Add(0x100, 0x10F);
    const uint32_t modified = pStore->ModifiedCount;
    ImageStore_RemoveRange(pStore, 0x108, 0x104);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 16}}));
    EXPECT_EQ(pStore->ModifiedCount, modified + 1);
}

TEST_F(ImageStoreEditTest, ShiftMovesAreasAndPendingWrites) {
    Add(0x100, 0x10F);
    ImageStore_QueueWrite(pStore, 0x105, 0x42);
    EXPECT_EQ(ImageStore_Shift(pStore, 0x1000), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x1100, 16}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x1105), 256 + 0x42);
    EXPECT_EQ(ImageStore_Shift(pStore, -0x1100), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0, 16}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 5), 256 + 0x42);
}

TEST_F(ImageStoreEditTest, ShiftRefusesToWrapAnAreaAroundTheAddressSpace) {
    Add(0x100, 0x10F);
    ImageStore_QueueWrite(pStore, 0x100, 1);
    EXPECT_EQ(ImageStore_Shift(pStore, -0x101), -1);
    Add(0xFFFFFF00, 0xFFFFFFF0);
    EXPECT_EQ(ImageStore_Shift(pStore, 0x10), -1); // the top area would wrap to 0
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 16}, {0xFFFFFF00, 0xF1}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x100), 257);
    EXPECT_EQ(ImageStore_Shift(pStore, 0xF), 0); // ends exactly on 0xFFFFFFFF
    EXPECT_EQ(ImageStore_LastAddress(pStore), 0xFFFFFFFFu);
}

TEST_F(ImageStoreEditTest, CommitAppliesOldestFirstAndReportsStrayAddresses) {
    Add(0x100, 0x10F);
    EXPECT_EQ(ImageStore_QueueWrite(pStore, 0x101, 0x11), 0u);
    EXPECT_EQ(ImageStore_QueueWrite(pStore, 0x101, 0x22), 1u);
    EXPECT_EQ(ImageStore_CommitWrites(pStore), 0);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x101), 0x22);
    EXPECT_EQ(pStore->ModifiedCount, 0u);
    EXPECT_EQ(pStore->pPending, nullptr);

    ImageStore_QueueWrite(pStore, 0x102, 0x33);
    ImageStore_QueueWrite(pStore, 0x900, 0x44); // in no area
    EXPECT_EQ(ImageStore_CommitWrites(pStore), 1);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x102), 0x33);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x900), -1);
}

TEST_F(ImageStoreEditTest, CommitIntoAnAreaWithoutBytesKeepsTheValue) {
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x100, 4, nullptr), 0);
    ImageStore_QueueWrite(pStore, 0x102, 0x5A);
    EXPECT_EQ(ImageStore_CommitWrites(pStore), 0);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x102), 0x5A);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x101), 0xFF);
}

TEST_F(ImageStoreEditTest, PendingListGrowsPastItsFirstHundredEntries) {
    for (uint32_t i = 0; i < 250; i++)
        ASSERT_EQ(ImageStore_QueueWrite(pStore, i, static_cast<uint8_t>(i)), i);
    EXPECT_EQ(pStore->PendingCapacity, 300u);
    for (uint32_t i = 0; i < 250; i++)
        ASSERT_EQ(ImageStore_GetByte(pStore, i), 256 + static_cast<int>(i & 0xFF));
}

TEST_F(ImageStoreEditTest, DropAndForgetEditTheList) {
    ImageStore_QueueWrite(pStore, 0x10, 1);
    ImageStore_QueueWrite(pStore, 0x20, 2);
    ImageStore_QueueWrite(pStore, 0x10, 3);
    ImageStore_QueueWrite(pStore, 0x30, 4);
    ImageStore_DropLastWrite(pStore);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x30), -1);
    ImageStore_ForgetWrites(pStore, 0x10);
    ASSERT_EQ(pStore->PendingCount, 1u);
    EXPECT_EQ(pStore->pPending[0].Address, 0x20u);
    ImageStore_DropLastWrite(pStore);
    ImageStore_DropLastWrite(pStore); // nothing left: no effect
    EXPECT_EQ(pStore->PendingCount, 0u);
}

TEST_F(ImageStoreEditTest, WordsAreLittleEndianAndFlagPendingBytes) {
    const uint8_t acData[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x100, 4, acData), 0);
    uint16_t word = 0;
    uint32_t dword = 0;
    uint8_t byte = 0;
    EXPECT_EQ(ImageStore_ReadWord(pStore, 0x101, &word), 0);
    EXPECT_EQ(word, 0x3322);
    EXPECT_EQ(ImageStore_ReadDword(pStore, 0x100, &dword), 0);
    EXPECT_EQ(dword, 0x44332211u);
    word = 0xBEEF;
    EXPECT_EQ(ImageStore_ReadWord(pStore, 0x103, &word), -1); // 0x104 is missing
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(ImageStore_ReadByte(pStore, 0x104, &byte), -1);

    EXPECT_EQ(ImageStore_WriteWord(pStore, 0x102, 0xA1B2), 0u);
    EXPECT_EQ(pStore->pPending[0].Value, 0xB2); // low byte first
    EXPECT_EQ(ImageStore_ReadDword(pStore, 0x100, &dword), 1);
    EXPECT_EQ(dword, 0xA1B22211u);
    EXPECT_EQ(ImageStore_ReadByte(pStore, 0x100, &byte), 0);
    EXPECT_EQ(ImageStore_ReadByte(pStore, 0x103, &byte), 1);
    EXPECT_EQ(byte, 0xA1);
    EXPECT_EQ(ImageStore_WriteDword(pStore, 0x200, 0x01020304), 2u);
    EXPECT_EQ(ImageStore_ReadDword(pStore, 0x200, &dword), 1);
    EXPECT_EQ(dword, 0x01020304u);
}

TEST_F(ImageStoreEditTest, StatusReportsWhetherModified) {
    uint8_t acStatus[2] = {9, 9};
    ImageStore_GetStatus(pStore, acStatus);
    EXPECT_EQ(acStatus[0], 0);
    EXPECT_EQ(acStatus[1], 1);
    ImageStore_CommitWrites(pStore);
    ImageStore_GetStatus(pStore, acStatus);
    EXPECT_EQ(acStatus[1], 0);
    ImageStore_WriteByte(pStore, 0, 0);
    ImageStore_GetStatus(pStore, acStatus);
    EXPECT_EQ(acStatus[1], 1);
}

TEST_F(ImageStoreEditTest, AreaInfoWritesOnlyForAnExistingIndex) {
    Add(0x100, 0x10F);
    uint32_t start = 1, length = 2;
    ImageStore_AreaInfo(pStore, 1, &start, &length);
    EXPECT_EQ(start, 1u);
    EXPECT_EQ(length, 2u);
    ImageStore_AreaInfo(pStore, 0, nullptr, &length);
    EXPECT_EQ(length, 16u);
}

TEST(ImageAccessTest, TableHoldsTheOperationsInSlotOrder) {
    const ImageAccess* pTable = ImageStore_GetAccessTable();
    ASSERT_NE(pTable, nullptr);
    ImageStore* pStore = ImageStore_Create();
    const uint8_t acData[2] = {0x34, 0x12};
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x80, 2, acData), 0);
    EXPECT_EQ(pTable->pfnFirstAddress(pStore), 0x80u);
    EXPECT_EQ(pTable->pfnLastAddress(pStore), 0x81u);
    uint16_t word = 0;
    EXPECT_EQ(pTable->pfnReadWord(pStore, 0x80, &word), 0);
    EXPECT_EQ(word, 0x1234);
    pTable->pfnWriteByte(pStore, 0x80, 0x99);
    pTable->pfnWriteWord(pStore, 0x80, 0x5678);
    pTable->pfnDropLastWrite(pStore);
    pTable->pfnForgetWrites(pStore, 0x80);
    EXPECT_EQ(pStore->PendingCount, 0u);
    EXPECT_EQ(pTable->pfnReadByte, ImageStore_ReadByte);
    EXPECT_EQ(pTable->pfnReadDword, ImageStore_ReadDword);
    EXPECT_EQ(pTable->pfnWriteDword, ImageStore_WriteDword);
    EXPECT_EQ(pTable->pfnGetStatus, ImageStore_GetStatus);
    const void* const* apSlots = reinterpret_cast<const void* const*>(pTable);
    for (int slot : {10, 11, 12, 14, 16, 17, 18, 19, 20, 21, 22, 23})
        EXPECT_EQ(apSlots[slot], nullptr) << "slot " << slot;
    pTable->pfnDestroy(pStore);
}

} // namespace
