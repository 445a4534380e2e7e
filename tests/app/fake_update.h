// A scripted update flow for the dialog's tests: RunUpdate changes the dialog's controls as the real
// flow does, and in between runs the test's body (which may post, click and look at the dialog).
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace fake_update {

// The body's result is the flow's result: 0 shows success, anything else failure.
extern std::function<int()> Body;
extern int Calls;    // RunUpdate calls so far
extern int MaxDepth; // deepest nesting of RunUpdate seen
extern std::vector<std::string> Log;

void Reset();

} // namespace fake_update
