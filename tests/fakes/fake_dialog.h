// Headless implementation of the dialog seam (app/dialog.h, app/app.h) for the tests of link/ and
// update/: a thread-safe queue of posted commands that DLG_WaitMessage dispatches to a handler the
// test sets, and a record of every display call, message box and error box.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace fake_dialog {

struct Event {
    std::string op;   // "ShowStatus", "HideStatus", "ShowJob", "HideJob", "Range", "Progress",
                      // "MessageBox", "ErrorBox", "Enable", "Show", "Text", "Focus"
    std::string text; // text argument, if any
    std::string caption; // message boxes: their caption
    int a = 0;        // first numeric argument (id, low, pos)
    int b = 0;        // second numeric argument (high, flag)
};

// Back to a fresh dialog: empty queue, no records, no handler, dialog present, cancel hook empty.
void Reset();
// While false, posted commands are dropped (no dialog exists yet).
void SetDialogExists(bool exists);
// Called on the main thread from DLG_WaitMessage for each dispatched command.
void SetHandler(std::function<void(int id)> handler);

std::vector<int> Posted(); // every command posted while the dialog existed, in order
int CountPosted(int id);
// Waits (without dispatching) until `count` commands with `id` were posted; false on timeout.
bool WaitForPosted(int id, int count, std::chrono::milliseconds timeout);
void ClearPosted();

std::vector<Event> Events();
std::vector<Event> EventsOf(const std::string& op);
void ClearEvents();

} // namespace fake_dialog
