// What the worker's identify poll must leave in TargetInfo for tq330-sim: its identity and its CRC
// area, as the simulator answers them. Shared by the Linux and the Windows worker tests.
#pragma once
#include "link/job_state.h"
#include "tests/sim/sim_harness.h"
#include "tools/tq330-sim/sim_protocol.h"

#include <cstring>
#include <gtest/gtest.h>

inline void ExpectSimIdentity() {
    TargetInfo info;
    TargetInfo_Copy(&info);
    EXPECT_EQ(info.Connected, 1);
    EXPECT_EQ(info.IdByte, SIM_ID_BYTE);
    EXPECT_EQ(info.IdWord, SIM_ID_WORD);
    ASSERT_EQ(info.IdText1Length, strlen(SIM_ID_TEXT1));
    EXPECT_EQ(std::memcmp(info.IdText1, SIM_ID_TEXT1, info.IdText1Length), 0);
    ASSERT_EQ(info.IdText2Length, strlen(SIM_ID_TEXT2));
    EXPECT_EQ(std::memcmp(info.IdText2, SIM_ID_TEXT2, info.IdText2Length), 0);
    EXPECT_EQ(info.CrcStart, SIM_FLASH_START);
    EXPECT_EQ(info.CrcLength, SIM_FLASH_SIZE);
}
