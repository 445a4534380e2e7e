#include "fuzz_line.h"

#include "link/frame.h"

namespace fuzz {

namespace {

void FreshLine() {
    fake_com::Reset();
    fake_com::SetShortReadSleep(std::chrono::microseconds(0));
    fake_dialog::Reset();
}

} // namespace

bool SendDiscardsInput() {
    static const bool discards = [] {
        FreshLine();
        fake_com::Feed({0x55});
        Link_SendFrame(0, nullptr, 0);
        return fake_com::Pending() == 0;
    }();
    return discards;
}

void ResetLine() {
    SendDiscardsInput(); // probed before the first input's line is set up, never during it
    FreshLine();
}

} // namespace fuzz
