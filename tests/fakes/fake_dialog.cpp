#include "fake_dialog.h"

#include "app/app.h"
#include "app/dialog.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

void (*pfnCancelHook)() = nullptr;

namespace {

std::mutex lock;
std::condition_variable changed;
std::deque<int> queue;
std::vector<int> posted;
std::vector<fake_dialog::Event> events;
std::function<void(int)> handler;
bool dialogExists = true;

void Record(const char* op, const char* text, int a = 0, int b = 0) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back({op, text ? text : "", "", a, b});
}

} // namespace

namespace fake_dialog {

void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    queue.clear();
    posted.clear();
    events.clear();
    handler = nullptr;
    dialogExists = true;
    pfnCancelHook = nullptr;
}

void SetDialogExists(bool exists) {
    std::lock_guard<std::mutex> guard(lock);
    dialogExists = exists;
}

void SetHandler(std::function<void(int)> h) {
    std::lock_guard<std::mutex> guard(lock);
    handler = std::move(h);
}

std::vector<int> Posted() {
    std::lock_guard<std::mutex> guard(lock);
    return posted;
}

int CountPosted(int id) {
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    for (int p : posted)
        n += (p == id);
    return n;
}

bool WaitForPosted(int id, int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, [&] {
        int n = 0;
        for (int p : posted)
            n += (p == id);
        return n >= count;
    });
}

void ClearPosted() {
    std::lock_guard<std::mutex> guard(lock);
    posted.clear();
}

std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
}

std::vector<Event> EventsOf(const std::string& op) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.op == op)
            out.push_back(e);
    return out;
}

void ClearEvents() {
    std::lock_guard<std::mutex> guard(lock);
    events.clear();
}

} // namespace fake_dialog

void DLG_ShowStatus(const char* text) { Record("ShowStatus", text); }
void DLG_HideStatus() { Record("HideStatus", nullptr); }
void DLG_ShowJob(const char* name) { Record("ShowJob", name); }
void DLG_HideJob() { Record("HideJob", nullptr); }
void DLG_SetProgressRange(int32_t low, int32_t high) { Record("Range", nullptr, low, high); }
void DLG_SetProgress(int32_t pos) { Record("Progress", nullptr, pos); }
void DLG_MessageBox(const char* caption, const char* text) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back({"MessageBox", text ? text : "", caption ? caption : "", 0, 0});
}
void DLG_EnableControl(int id, bool enable) { Record("Enable", nullptr, id, enable ? 1 : 0); }
void DLG_ShowControl(int id, bool show) { Record("Show", nullptr, id, show ? 1 : 0); }
void DLG_SetControlText(int id, const char* text) { Record("Text", text, id); }
void DLG_SetFocus(int id) { Record("Focus", nullptr, id); }
void APP_ErrorBox(const char* text) { Record("ErrorBox", text); }

void DLG_PostCommand(int id) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!dialogExists)
            return;
        queue.push_back(id);
        posted.push_back(id);
    }
    changed.notify_all();
}

void DLG_WaitMessage() {
    int id;
    std::function<void(int)> h;
    {
        std::unique_lock<std::mutex> guard(lock);
        // A test whose worker never posts again would otherwise hang CI; a minute is far beyond
        // every protocol timeout but the 30-second clear.
        if (!changed.wait_for(guard, std::chrono::seconds(90), [] { return !queue.empty(); })) {
            std::fprintf(stderr, "fake dialog: no message for 90 s\n");
            std::abort();
        }
        id = queue.front();
        queue.pop_front();
        h = handler;
    }
    if (h)
        h(id);
}
