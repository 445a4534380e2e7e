#include "app/cli/cli_firmware.h"

#include "app/app.h"
#include "app/cli/cli_record.h"
#include "image/firmware_text.h"
#include "image/image_store.h"
#include "image/srecord_reader.h"
#include "tq330_version.h"
#include "update/image_crc.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

constexpr int ERROR_SIZE = 255;
constexpr int RESULT_NOT_OPENED = -1;

} // namespace

bool CLI_LoadFirmware(const std::string& path, std::string* pError) {
    if (path.empty()) {
        if (APP_LoadImage() == 0)
            return true;
        *pError = APP_LoadError();
        return false;
    }
    ImageStore* pStore = ImageStore_Create();
    if (pStore == nullptr) {
        *pError = "out of memory";
        return false;
    }
    char acError[ERROR_SIZE] = {};
    int result = SRecordReader_LoadFile(pStore, path.c_str(), acError, ERROR_SIZE);
    if (result == 0 && ImageStore_TotalBytes(pStore) == 0) {
        result = -4;
        std::snprintf(acError, sizeof acError, "no data records");
    }
    if (result != 0) {
        ImageStore_Destroy(pStore);
        *pError = path + ": " +
                  (acError[0] ? acError : (result == RESULT_NOT_OPENED ? "cannot be read" : "not read"));
        return false;
    }
    pProgramImage = pStore;
    return true;
}

uint16_t CLI_ImageSpanCrc(uint32_t* pFirst, uint32_t* pLast) {
    *pFirst = ImageStore_FirstAddress(pProgramImage);
    *pLast = ImageStore_LastAddress(pProgramImage);
    const uint64_t length = ImageStore_TotalBytes(pProgramImage) == 0 ? 0 : uint64_t{*pLast} - *pFirst + 1;
    // The span lies inside the address space, and the command line reads its image before any job
    // runs, so the store's lock is free: the CRC is always there.
    return static_cast<uint16_t>(ImageAreaCrc(pProgramImage, *pFirst, length));
}

bool CLI_FirmwareSha256(const std::string& path, std::string* pSha256, std::string* pError) {
    std::string text;
    if (path.empty()) {
        text.assign(acFirmwareText, FirmwareTextLength);
    } else {
        std::ifstream file(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            *pError = path + ": cannot be read for its SHA-256";
            return false;
        }
    }
    *pSha256 = REC_Sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return true;
}

std::string CLI_VersionText(const std::string& path) {
    uint32_t first = 0, last = 0;
    uint16_t crc = CLI_ImageSpanCrc(&first, &last);
    char acText[512];
    std::snprintf(acText, sizeof acText,
                  "tq330-flash %s%s\n"
                  "firmware: %s, %u bytes in %u areas\n"
                  "firmware CRC-16: 0x%04X over 0x%X..0x%X (the image's whole address span, 0xFF in gaps)\n",
                  TQ330_VERSION_TEXT, path.empty() ? TQ330_FIRMWARE_NOTE : "",
                  path.empty() ? "built in" : path.c_str(),
                  static_cast<unsigned>(ImageStore_TotalBytes(pProgramImage)),
                  static_cast<unsigned>(ImageStore_AreaCount(pProgramImage)), crc,
                  static_cast<unsigned>(first), static_cast<unsigned>(last));
    return acText;
}
