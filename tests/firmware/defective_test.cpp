// Start-up on a defective firmware text (defective.s28: line 3 has a wrong checksum), embedded the same
// way as the real one: the store is given up and the reader's result comes back.
#include "app/app.h"
#include "image/firmware_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

TEST(AppLoadImageDefective, EmbedsTheFileByteForByte) {
    FILE* pFile = fopen(DEFECTIVE_FILE, "rb");
    ASSERT_NE(pFile, nullptr);
    std::string file;
    char acBuffer[4096];
    for (size_t n; (n = fread(acBuffer, 1, sizeof(acBuffer), pFile)) > 0;) {
        file.append(acBuffer, n);
    }
    fclose(pFile);
    EXPECT_EQ(std::string_view(acFirmwareText, FirmwareTextLength), file);
}

TEST(AppLoadImageDefective, DestroysTheStoreAndReturnsTheReadersResult) {
    // Twice: the error buffer must be cleared before every load, or the second load would stop on
    // the first load's message at line 1.
    for (int attempt = 0; attempt < 2; attempt++) {
        EXPECT_EQ(APP_LoadImage(), -5);
        EXPECT_EQ(pProgramImage, nullptr);
        EXPECT_STREQ(APP_LoadError(), "Error in line 3: Checksum error !");
    }
}

} // namespace
