// What an image leaves in the simulator's flash. Apart from the rest of the harness: it needs no child
// process or pseudo-terminal, and the Windows build's tests use it too.
#include "sim_harness.h"

#include "image/image_store.h"

std::vector<uint8_t> Sim_FlashOf(ImageStore* pImage) {
    std::vector<uint8_t> flash(SIM_FLASH_SIZE, 0xFF);
    for (uint32_t i = 0; i < ImageStore_AreaCount(pImage); ++i) {
        uint32_t start = 0, length = 0;
        ImageStore_AreaInfo(pImage, i, &start, &length);
        for (uint32_t a = start; a < start + length; ++a)
            if (a >= SIM_FLASH_START && a - SIM_FLASH_START < SIM_FLASH_SIZE)
                flash[a - SIM_FLASH_START] = static_cast<uint8_t>(ImageStore_GetByte(pImage, a));
    }
    return flash;
}
