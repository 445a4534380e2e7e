// The Qt-free part of start-up: the program's firmware image and the window title.
#include "app/app.h"

#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "tq330_version.h"

#include <cstdio>
#include <cstring>

ImageStore* pProgramImage = nullptr;

namespace {

const int ERROR_SIZE = 255;
const int RESULT_NO_MEMORY = -3;
char acError[ERROR_SIZE];

const int VERSION_MAJOR = TQ330_VERSION_MAJOR;
const int VERSION_MINOR = TQ330_VERSION_MINOR;
const char* const PRODUCT_TEXT = "TQ330 Updater "; // the blank before " V" is part of the title
char acVersion[16];
char acTitle[64];

} // namespace

int APP_LoadImage() {
    memset(acError, 0, sizeof(acError));
    pProgramImage = ImageStore_Create();
    if (pProgramImage == nullptr) {
        // The reader has no store to fill; report it the way the image subsystem reports short memory.
        snprintf(acError, sizeof(acError), "ImageStore_Create: out of memory");
        return RESULT_NO_MEMORY;
    }
    int result = SRecordReader_LoadText(pProgramImage, acFirmwareText, acError, ERROR_SIZE);
    if (result != 0) {
        ImageStore_Destroy(pProgramImage);
        pProgramImage = nullptr;
    }
    return result;
}

const char* APP_LoadError() {
    return acError;
}

const char* APP_GetTitle() {
    if (acVersion[0] == '\0') {
        char acWork[16];
        snprintf(acWork, sizeof(acWork), "%.2d.%.2d", VERSION_MAJOR, VERSION_MINOR);
        memcpy(acVersion, acWork, sizeof(acVersion));
        snprintf(acTitle, sizeof(acTitle), "%s V%s", PRODUCT_TEXT, acWork);
    }
    return acTitle;
}
