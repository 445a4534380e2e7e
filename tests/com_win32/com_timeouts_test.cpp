// A driver that refuses the timeouts asked for keeps the earlier set, after _InitCOM the one that
// returns at once: a read with timeout T must still take T unless bytes come, or the worker's poll
// would loop flat out. The port that refuses is a file handle (SetCommTimeouts works on ports only;
// a read at its end returns at once with nothing, as a port under the immediate set does), driven
// through the backend calls the module makes: a refused set, then a read under the set in force.
#include "com_win32_test.h"
#include "link/com_internal.h"
#include "platform/win32.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr ComTimeouts IMMEDIATE{COM_READ_IMMEDIATE, 0, 0, 0, 0};

class ComWin32RefusedTimeouts : public ::testing::Test {
  protected:
    void SetUp() override {
        char acFolder[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, acFolder), 0u);
        ASSERT_NE(GetTempFileNameA(acFolder, "tq3", 0, acPath), 0u);
        hFile = CreateFileA(acPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
        ASSERT_FALSE(COM_OsSetTimeouts(Port(), ComTimeouts{0, 0, 400, 0, 0}))
            << "the file took port timeouts";
    }
    void TearDown() override {
        if (hFile != INVALID_HANDLE_VALUE)
            CloseHandle(hFile);
    }
    ComHandle Port() const { return reinterpret_cast<ComHandle>(hFile); }
    // The bytes a read under the set in force delivered; the read itself must not fail.
    uint32_t Read(uint8_t* pData, uint32_t count) const {
        uint32_t got = 0;
        EXPECT_EQ(COM_OsRead(Port(), pData, count, IMMEDIATE, &got), COM_IO_OK);
        return got;
    }

    char acPath[MAX_PATH] = {};
    HANDLE hFile = INVALID_HANDLE_VALUE;
};

TEST_F(ComWin32RefusedTimeouts, AReadWithNothingToReadTakesTheTimeAskedFor) {
    uint8_t acBuffer[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(acBuffer, sizeof acBuffer), 0u);
    // The tick count moves in steps of up to 16 ms.
    EXPECT_GE(MsSince(start), 380.0) << "the read returned before its timeout";
}

TEST_F(ComWin32RefusedTimeouts, BytesThatAreThereEndTheReadAtOnce) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(hFile, "\x68\x16", 2, &written, nullptr));
    SetFilePointer(hFile, 0, nullptr, FILE_BEGIN);
    uint8_t acBuffer[8];
    ASSERT_FALSE(COM_OsSetTimeouts(Port(), ComTimeouts{0, 0, 5000, 0, 0}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(acBuffer, sizeof acBuffer), 2u);
    EXPECT_LT(MsSince(start), 4000.0) << "the read waited with the bytes there";
    EXPECT_EQ(acBuffer[0], 0x68);
    EXPECT_EQ(acBuffer[1], 0x16);
}

TEST_F(ComWin32RefusedTimeouts, AZeroTimeoutStillReturnsAtOnce) {
    ASSERT_FALSE(COM_OsSetTimeouts(Port(), IMMEDIATE));
    uint8_t acBuffer[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(acBuffer, sizeof acBuffer), 0u);
    EXPECT_LT(MsSince(start), 2000.0);
}

} // namespace
