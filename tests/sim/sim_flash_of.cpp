// Writes the flash the simulator must hold after the program's embedded image was programmed into
// an erased device (Sim_FlashOf), so that a script can compare it with a --dump of tq330-sim: the
// end-to-end test of the Windows program uses it.
//   sim_flash_of FILE
#include "app/app.h"
#include "sim_harness.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sim_flash_of FILE\n");
        return 2;
    }
    if (APP_LoadImage() != 0) {
        std::fprintf(stderr, "the embedded image does not load: %s\n", APP_LoadError());
        return 1;
    }
    std::vector<uint8_t> flash = Sim_FlashOf(pProgramImage);
    FILE* pFile = std::fopen(argv[1], "wb");
    if (!pFile || std::fwrite(flash.data(), 1, flash.size(), pFile) != flash.size() ||
        std::fclose(pFile) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
