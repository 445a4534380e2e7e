// Start-up's Qt-free half on the embedded firmware: the program's image and the window title.
#include "app/app.h"
#include "image/image_store.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(AppLoadImage, FillsTheProgramsStoreWithTheFiveAreas) {
    ASSERT_EQ(APP_LoadImage(), 0) << APP_LoadError();
    ASSERT_NE(pProgramImage, nullptr);
    EXPECT_STREQ(APP_LoadError(), "");
#ifdef TQ330_PLACEHOLDER_FIRMWARE
    EXPECT_EQ(ImageStore_AreaCount(pProgramImage), 5u);
    EXPECT_EQ(ImageStore_TotalBytes(pProgramImage), 322785u);
    EXPECT_EQ(ImageStore_FirstAddress(pProgramImage), 0xA0000u);
    EXPECT_EQ(ImageStore_LastAddress(pProgramImage), 0xFDFEFu);
#endif
    ImageStore_Destroy(pProgramImage);
    pProgramImage = nullptr;
}

TEST(AppGetTitle, IsTheProductAndVersionBuiltOnce) {
    const char* pTitle = APP_GetTitle();
    EXPECT_STREQ(pTitle, "TQ330 Updater  V03.11");
    EXPECT_EQ(APP_GetTitle(), pTitle);
    EXPECT_STREQ(APP_GetTitle(), "TQ330 Updater  V03.11");
    EXPECT_EQ(strlen(pTitle), 21u);
}

} // namespace
