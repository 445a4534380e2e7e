#include "com_win32_test.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

ComWin32Config comWin32Config;

namespace {

bool ParseOption(const char* pArg, const char* pName, std::string* pValue) {
    const size_t n = strlen(pName);
    if (strncmp(pArg, pName, n) != 0 || pArg[n] != '=')
        return false;
    *pValue = pArg + n + 1;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (ParseOption(argv[i], "--echo-port", &value))
            comWin32Config.EchoPort = atoi(value.c_str());
        else if (ParseOption(argv[i], "--split-port", &value))
            comWin32Config.SplitPort = atoi(value.c_str());
        else if (ParseOption(argv[i], "--split-count", &value))
            comWin32Config.SplitCount = value;
        else if (ParseOption(argv[i], "--gone-port", &value))
            comWin32Config.GonePort = atoi(value.c_str());
        else if (ParseOption(argv[i], "--sim-port", &value))
            comWin32Config.SimPort = atoi(value.c_str());
        else if (ParseOption(argv[i], "--replug-port", &value))
            comWin32Config.ReplugPort = atoi(value.c_str());
        else if (ParseOption(argv[i], "--flash-out", &value))
            comWin32Config.FlashOut = value;
        else {
            fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
