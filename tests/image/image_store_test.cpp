// The image store: adding and joining areas, refusals, byte lookup, range reads and the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "store_check.h"

namespace {

class ImageStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { pStore = ImageStore_Create(); }
    void TearDown() override {
        EXPECT_EQ(CheckInvariants(pStore), "");
        ImageStore_Destroy(pStore);
    }
    int Add(uint32_t first, uint32_t last) {
        const auto data = Bytes(first, last - first + 1);
        return ImageStore_AddBytes(pStore, first, last - first + 1, data.data());
    }
    ImageStore* pStore = nullptr;
};

TEST_F(ImageStoreTest, EmptyStoreHasNothing) {
    EXPECT_EQ(pStore->ModifiedCount, 1u);
    EXPECT_EQ(ImageStore_FirstAddress(pStore), 0u);
    EXPECT_EQ(ImageStore_LastAddress(pStore), 0u);
    EXPECT_EQ(ImageStore_TotalBytes(pStore), 0u);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0), -1);
    uint8_t acData[16];
    uint32_t start = 0x1234;
    EXPECT_EQ(ImageStore_ReadRange(pStore, 0, 0xFFFFFFFF, 16, acData, &start, 16, 0, 0), 0);
    EXPECT_EQ(start, 0x1234u);
}

TEST_F(ImageStoreTest, AddsJoinUpwardsDownwardsAndAcrossAGap) {
    ASSERT_EQ(Add(0x100, 0x10F), 0);
    ASSERT_EQ(Add(0x110, 0x11F), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 0x20}}));

    ASSERT_EQ(Add(0x140, 0x14F), 0);
    ASSERT_EQ(Add(0x130, 0x13F), 0); // extends 0x140 downwards
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 0x20}, {0x130, 0x20}}));

    ASSERT_EQ(Add(0x120, 0x12F), 0); // continues the first, which then meets the second
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 0x50}}));
    for (uint32_t a = 0x100; a < 0x150; a++)
        ASSERT_EQ(ImageStore_GetByte(pStore, a), static_cast<uint8_t>(a + (a - (a & ~0xFu)) * 6)) << a;
    EXPECT_EQ(ImageStore_FirstAddress(pStore), 0x100u);
    EXPECT_EQ(ImageStore_LastAddress(pStore), 0x14Fu);
    EXPECT_EQ(ImageStore_TotalBytes(pStore), 0x50u);
    EXPECT_EQ(pStore->ModifiedCount, 6u);
}

TEST_F(ImageStoreTest, InsertsInFrontAndBetweenAreas) {
    ASSERT_EQ(Add(0x300, 0x30F), 0);
    ASSERT_EQ(Add(0x100, 0x10F), 0);
    ASSERT_EQ(Add(0x200, 0x20F), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 16}, {0x200, 16}, {0x300, 16}}));
    EXPECT_EQ(pStore->pFirstArea->Capacity, 256u);
}

TEST_F(ImageStoreTest, RefusesEveryRangeThatSharesAnAddress) {
    ASSERT_EQ(Add(0x100, 0x10F), 0);
    ASSERT_EQ(Add(0x200, 0x20F), 0);
    const AreaList before = Areas(pStore);
    const uint32_t modified = pStore->ModifiedCount;
    EXPECT_EQ(Add(0x0F8, 0x107), -1); // reaches into an area from below
    EXPECT_EQ(Add(0x108, 0x117), -1); // begins inside an area
    EXPECT_EQ(Add(0x10F, 0x10F), -1); // the area's last byte
    EXPECT_EQ(Add(0x104, 0x107), -1); // wholly inside
    EXPECT_EQ(Add(0x0F0, 0x1FF), -1); // covers an area and touches the next
    EXPECT_EQ(Add(0x1F0, 0x2FF), -1); // begins before and ends after an area
    EXPECT_EQ(Areas(pStore), before);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x108), Bytes(0x100, 16)[8]);
    EXPECT_EQ(pStore->ModifiedCount, modified + 6);
}

// A range that begins where one area ends and reaches into the next would continue the first and
// then be joined over the second's bytes; one that overlaps the first and ends where the second
// begins would be taken for a downward extension of the second.
TEST_F(ImageStoreTest, RefusesARangeRunningFromOneAreaIntoTheNext) {
    ASSERT_EQ(Add(0x100, 0x10F), 0);
    ASSERT_EQ(Add(0x120, 0x12F), 0);
    const AreaList before = Areas(pStore);
    EXPECT_EQ(Add(0x110, 0x120), -1); // touches the first, overlaps the second
    EXPECT_EQ(Add(0x10F, 0x11F), -1); // overlaps the first, touches the second
    EXPECT_EQ(Add(0x110, 0x12F), -1); // touches the first, covers the second
    EXPECT_EQ(Areas(pStore), before);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x120), Bytes(0x120, 16)[0]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x10F), Bytes(0x100, 16)[15]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x110), -1);
    // The gap itself still fills and joins all three.
    ASSERT_EQ(Add(0x110, 0x11F), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x100, 0x30}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x120), Bytes(0x120, 16)[0]);
}

TEST_F(ImageStoreTest, RefusesEmptyAndWrappingRangesButTakesTheTopAddress) {
    const uint8_t acData[4] = {1, 2, 3, 4};
    EXPECT_EQ(ImageStore_AddBytes(pStore, 0x100, 0, acData), -1);
    EXPECT_EQ(ImageStore_AddBytes(pStore, 0xFFFFFFFE, 4, acData), -1);
    EXPECT_EQ(ImageStore_AreaCount(pStore), 0u);
    // An area ending on 0xFFFFFFFF must not seem to touch one starting at 0.
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0, 2, acData), 0);
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0xFFFFFFFE, 2, acData + 2), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0, 2}, {0xFFFFFFFE, 2}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0xFFFFFFFF), 4);
    EXPECT_EQ(ImageStore_LastAddress(pStore), 0xFFFFFFFFu);
    EXPECT_EQ(ImageStore_AddBytes(pStore, 0xFFFFFFFC, 2, acData), 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0, 2}, {0xFFFFFFFC, 4}}));
}

TEST_F(ImageStoreTest, AreasWithoutBytesReadErasedAndKeepJoinedData) {
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x100, 8, nullptr), 0);
    EXPECT_EQ(pStore->pFirstArea->pBytes, nullptr);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x104), 0xFF);
    ASSERT_EQ(Add(0x108, 0x10F), 0); // data behind an area without bytes
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x0F8, 8, nullptr), 0);
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x120, 8, nullptr), 0);
    ASSERT_EQ(Add(0x110, 0x11F), 0); // joins data with a bufferless successor
    EXPECT_EQ(Areas(pStore), (AreaList{{0x0F8, 0x30}}));
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x0F8), 0xFF);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x107), 0xFF);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x10A), Bytes(0x108, 8)[2]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x115), Bytes(0x110, 16)[5]);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x127), 0xFF);
}

// Many records in random order against a plain map: every byte and every join must survive the
// buffer growth, moves and joins.
TEST_F(ImageStoreTest, RandomOrderAddsMatchAModel) {
    std::mt19937 random(330);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    uint32_t address = 0xA0000;
    for (int i = 0; i < 3000; i++) {
        const uint32_t length = 1 + random() % 40;
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<uint8_t>(random());
        records.emplace_back(address, data);
        address += length + (random() % 25 == 0 ? 1 + random() % 300 : 0);
    }
    std::shuffle(records.begin(), records.end(), random);
    std::map<uint32_t, uint8_t> model;
    for (const auto& [start, data] : records) {
        ASSERT_EQ(ImageStore_AddBytes(pStore, start, static_cast<uint32_t>(data.size()), data.data()), 0);
        for (size_t i = 0; i < data.size(); i++)
            model[start + static_cast<uint32_t>(i)] = data[i];
    }
    ASSERT_EQ(CheckInvariants(pStore), "");
    EXPECT_EQ(ImageStore_TotalBytes(pStore), model.size());
    for (uint32_t a = ImageStore_FirstAddress(pStore) - 2; a <= ImageStore_LastAddress(pStore) + 2; a++) {
        const auto it = model.find(a);
        ASSERT_EQ(ImageStore_GetByte(pStore, a), it == model.end() ? -1 : it->second) << std::hex << a;
    }
}

TEST_F(ImageStoreTest, PendingWriteWinsAndIsSeenOutsideAreas) {
    ASSERT_EQ(Add(0x100, 0x10F), 0);
    ImageStore_QueueWrite(pStore, 0x105, 0x11);
    ImageStore_QueueWrite(pStore, 0x105, 0x22);
    ImageStore_QueueWrite(pStore, 0x500, 0x33);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x105), 256 + 0x22); // the latest entry wins
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x500), 256 + 0x33);
    EXPECT_EQ(ImageStore_GetByte(pStore, 0x501), -1);
}

class ReadRangeTest : public ImageStoreTest {
  protected:
    void SetUp() override {
        ImageStoreTest::SetUp();
        ASSERT_EQ(Add(0x100, 0x10F), 0);
        ASSERT_EQ(Add(0x120, 0x12F), 0);
    }
    int32_t Read(uint32_t from, uint32_t to, uint32_t gap, int32_t largest, int startBits = 0,
                 int endBits = 0) {
        start = 0xDEAD;
        return ImageStore_ReadRange(pStore, from, to, gap, acData, &start, largest, startBits, endBits);
    }
    uint8_t acData[10000] = {};
    uint32_t start = 0;
};

TEST_F(ReadRangeTest, WithoutGapsOneAreaAtATime) {
    EXPECT_EQ(Read(0x0F0, 0x1FF, 0, 10000), 16);
    EXPECT_EQ(start, 0x100u);
    EXPECT_EQ(acData[3], Bytes(0x100, 16)[3]);
    EXPECT_EQ(Read(0x110, 0x1FF, 0, 10000), 16);
    EXPECT_EQ(start, 0x120u);
    EXPECT_EQ(Read(0x130, 0x1FF, 0, 10000), 0);
    EXPECT_EQ(start, 0xDEADu);
    EXPECT_EQ(Read(0x108, 0x10B, 0, 10000), 4);
    EXPECT_EQ(start, 0x108u);
    EXPECT_EQ(Read(0x0F0, 0x100, 0, 10000), 1);
    EXPECT_EQ(start, 0x100u);
    EXPECT_EQ(Read(0x100, 0x1FF, 0, 10), 10);
    EXPECT_EQ(Read(0x10A, 0x1FF, 0, 10), 6);
    EXPECT_EQ(start, 0x10Au);
}

TEST_F(ReadRangeTest, GapsJoinWhenSmallEnoughAndReadErased) {
    EXPECT_EQ(Read(0x0F0, 0x1FF, 16, 10000), 48);
    EXPECT_EQ(start, 0x100u);
    EXPECT_EQ(acData[0x10], 0xFF);
    EXPECT_EQ(acData[0x1F], 0xFF);
    EXPECT_EQ(acData[0x20], Bytes(0x120, 16)[0]);
    EXPECT_EQ(Read(0x0F0, 0x1FF, 15, 10000), 16);   // the 16-address gap is too large
    EXPECT_EQ(Read(0x0F0, 0x124, 16, 10000), 0x25); // cut at 'to'
    EXPECT_EQ(Read(0x0F0, 0x1FF, 16, 20), 20);      // stops joining once the count is reached
}

TEST_F(ReadRangeTest, AlignmentWidensAndTheCountCutsOnABoundary) {
    EXPECT_EQ(Read(0x104, 0x1FF, 0, 10000, 4, 0), 16);
    EXPECT_EQ(start, 0x100u);
    EXPECT_EQ(Read(0x104, 0x10A, 0, 10000, 0, 3), 12); // on to 0x10F, past 'to'
    EXPECT_EQ(Read(0x103, 0x1FF, 0, 10, 2, 2), 8);     // from 0x100, cut to 10, then back to 8
    EXPECT_EQ(start, 0x100u);
    // An end alignment wider than the count cannot cut below the start: nothing, not a negative count.
    EXPECT_EQ(Read(0x101, 0x1FF, 0, 2, 0, 4), 0);
    EXPECT_EQ(start, 0xDEADu);
    EXPECT_EQ(Read(0x100, 0x1FF, 0, 0), 0);
}

TEST_F(ReadRangeTest, PendingWritesShowInTheBuffer) {
    ImageStore_QueueWrite(pStore, 0x101, 0xAB);
    ImageStore_QueueWrite(pStore, 0x115, 0xCD); // in the gap
    EXPECT_EQ(Read(0x100, 0x1FF, 16, 10000), 48);
    EXPECT_EQ(acData[1], 0xAB);
    EXPECT_EQ(acData[0x15], 0xCD);
    EXPECT_EQ(acData[0x14], 0xFF);
}

TEST(ImageStoreLockTest, IsRecursiveAndCreatedWhenMissing) {
    ImageStore* pStore = ImageStore_Create();
    delete pStore->pLock;
    pStore->pLock = nullptr;
    ASSERT_EQ(ImageStore_Lock(pStore), 0);
    ASSERT_NE(pStore->pLock, nullptr);
    EXPECT_EQ(ImageStore_Lock(pStore), 0);
    const uint8_t b = 7;
    EXPECT_EQ(ImageStore_AddBytes(pStore, 5, 1, &b), 0); // re-entered from inside a hold
    ImageStore_Unlock(pStore);
    ImageStore_Unlock(pStore);
    std::thread other([&] {
        EXPECT_EQ(ImageStore_Lock(pStore), 0);
        ImageStore_Unlock(pStore);
    });
    other.join();
    ImageStore_Destroy(pStore);
}

TEST(ImageStoreLockTest, OtherThreadWaitsWhileHeldAndTimesOutAfterTenSeconds) {
    ImageStore* pStore = ImageStore_Create();
    ASSERT_EQ(ImageStore_Lock(pStore), 0);
    std::atomic<int> result{1};
    const auto begin = std::chrono::steady_clock::now();
    std::thread other([&] { result = ImageStore_Lock(pStore); });
    other.join();
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(result, -1);
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_LT(waited, std::chrono::seconds(30));

    // A wait that ends in time takes the lock.
    std::thread late([&] {
        result = ImageStore_Lock(pStore);
        ImageStore_Unlock(pStore);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ImageStore_Unlock(pStore);
    late.join();
    EXPECT_EQ(result, 0);
    ImageStore_Destroy(pStore);
}

// A read that cannot take the lock says so, rather than report a range without bytes.
TEST(ImageStoreLockTest, ReadRangeReportsALockTimeOut) {
    ImageStore* pStore = ImageStore_Create();
    const uint8_t acBytes[4] = {1, 2, 3, 4};
    ASSERT_EQ(ImageStore_AddBytes(pStore, 0x100, 4, acBytes), 0);
    int32_t result = 0;
    uint32_t start = 0x1234;
    WhileStoreLockIsHeld(pStore, [&] {
        uint8_t acData[16];
        result = ImageStore_ReadRange(pStore, 0, 0x1FF, 0, acData, &start, 16, 0, 0);
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(start, 0x1234u);
    uint8_t acData[16];
    EXPECT_EQ(ImageStore_ReadRange(pStore, 0, 0x1FF, 0, acData, &start, 16, 0, 0), 4);
    ImageStore_Destroy(pStore);
}

// Readers on two threads while a third adds: each read sees a whole store.
TEST(ImageStoreLockTest, ConcurrentReadersSeeConsistentData) {
    ImageStore* pStore = ImageStore_Create();
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    auto reader = [&] {
        uint8_t acData[64];
        uint32_t start = 0;
        while (!done) {
            const int32_t n = ImageStore_ReadRange(pStore, 0, 0xFFFFFFFF, 0, acData, &start, 64, 0, 0);
            for (int32_t i = 0; i < n; i++)
                if (acData[i] != static_cast<uint8_t>(start + i))
                    wrong++;
            const int b = ImageStore_GetByte(pStore, 0x1000);
            if (b != -1 && b != 0x00)
                wrong++;
        }
    };
    std::thread a(reader), b(reader);
    for (uint32_t i = 0; i < 2000; i++) {
        const uint32_t address = 0x1000 + ((i * 37) % 2000) * 4;
        uint8_t acData[4];
        for (uint32_t k = 0; k < 4; k++)
            acData[k] = static_cast<uint8_t>(address + k);
        ASSERT_EQ(ImageStore_AddBytes(pStore, address, 4, acData), 0);
    }
    done = true;
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Areas(pStore), (AreaList{{0x1000, 8000}}));
    ImageStore_Destroy(pStore);
}

} // namespace
