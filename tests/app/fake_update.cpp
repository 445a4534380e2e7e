#include "fake_update.h"

#include "app/dialog.h"
#include "update/flow.h"
#include "update/runner.h"

#include <algorithm>

namespace fake_update {

std::function<int()> Body;
int Calls = 0;
int MaxDepth = 0;
std::vector<std::string> Log;
int Depth = 0;

void Reset() {
    Body = nullptr;
    Calls = 0;
    MaxDepth = 0;
    Log.clear();
    Depth = 0;
}

} // namespace fake_update

using namespace fake_update;

void RunUpdate() {
    Calls++;
    Depth++;
    MaxDepth = std::max(MaxDepth, Depth);
    DLG_EnableControl(IDC_PORT, false);
    DLG_ShowControl(IDC_START, false);
    DLG_ShowControl(IDC_CANCEL, true);
    DLG_SetFocus(IDC_CANCEL);
    DLG_SetControlText(IDC_CANCEL, "Cancel");
    int result = Body ? Body() : 0;
    DLG_SetControlText(IDC_CANCEL, "Ok");
    DLG_ShowStatus(result == 0 ? "Target updated successfully" : "Target not updated successfully");
    Depth--;
    Log.push_back("RunUpdate returned");
}

int UpdateTarget() {
    return 0;
}
int CompareCrc() {
    return 0;
}
void AbandonOperations() {
    Log.push_back("abandoned");
}
int UpdateRunning() {
    return Depth > 0 ? 1 : 0;
}
