// tq330-flash --doctor on a system of the test's own making: the program's own doctor, with the
// folders it reads named first (--proc DIR, --sys DIR, --udev DIR, --by-id DIR, --groups FILE);
// the arguments after them as tq330-flash takes them. A test program only: the shipped program
// always reads the real /proc, /sys and /run/udev.
#include "app/cli/cli_doctor.h"
#include "app/cli/cli_firmware.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    DoctorPlaces places;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string* pPlace = nullptr;
        if (std::strcmp(argv[i], "--proc") == 0)
            pPlace = &places.Proc;
        else if (std::strcmp(argv[i], "--sys") == 0)
            pPlace = &places.Sys;
        else if (std::strcmp(argv[i], "--udev") == 0)
            pPlace = &places.Udev;
        else if (std::strcmp(argv[i], "--by-id") == 0)
            pPlace = &places.ById;
        else if (std::strcmp(argv[i], "--groups") == 0)
            pPlace = &places.Groups;
        if (pPlace != nullptr && i + 1 < argc)
            *pPlace = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    CliOptions options;
    std::string error;
    if (!CLI_ParseOptions(static_cast<int>(rest.size()), rest.data(), &options, &error) || !options.Doctor) {
        std::fprintf(stderr, "doctor_probe: %s\n", options.Doctor ? error.c_str() : "--doctor missing");
        return EXIT_USAGE;
    }
    OUT_Init(options.Json, options.Quiet, false);
    if (!CLI_LoadFirmware(options.Firmware, &error)) {
        std::fprintf(stderr, "doctor_probe: %s\n", error.c_str());
        return EXIT_FIRMWARE;
    }
    return DOC_Run(options, places);
}
