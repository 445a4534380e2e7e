#include "app/cli/cli_output.h"

#include "app/dialog_rules.h"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex OutputLock;
bool bJson = false;
bool bQuiet = false;
bool bTerminal = false;
Clock::time_point Started = Clock::now();
void (*pfnEventSink)(const std::string& line) = nullptr;

// The step on display. The bar's line is open (no newline yet) while BarShown.
struct Step {
    std::string Name;
    bool Active = false;
    bool BarShown = false;
    double Begun = 0;
    int32_t Low = 0, High = 0, Pos = 0;
    int LastPercent = -1;    // the last percent reported (JSON, plain lines)
    int LastPlainDecile = 0; // plain lines: every 10 %
    double LastDrawn = -1;   // the terminal bar is redrawn at most every 0.1 s
};
Step Current;

double Seconds() {
    return std::chrono::duration<double>(Clock::now() - Started).count();
}

// Called with the lock held: a line that is not the bar starts on a clean line.
void CloseBar() {
    if (Current.BarShown) {
        std::fputs("\r\033[K", stderr);
        Current.BarShown = false;
    }
}

void Print(const std::string& text) {
    CloseBar();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

// Wanted when --json writes events or a sink reads them.
bool EventsWanted() {
    return bJson || pfnEventSink != nullptr;
}

void EmitJson(const char* event, const JsonLine& fields) {
    std::string line = "{\"event\":\"" + JSON_Escape(event) + "\"";
    char acTime[32];
    std::snprintf(acTime, sizeof acTime, ",\"t\":%.3f", Seconds());
    line += acTime;
    if (fields.Text.size() > 1)
        line += "," + fields.Text.substr(1);
    line += "}";
    if (pfnEventSink != nullptr)
        pfnEventSink(line);
    if (!bJson)
        return;
    line += "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

std::string Duration(double seconds) {
    char acText[32];
    int whole = static_cast<int>(std::lround(seconds));
    std::snprintf(acText, sizeof acText, "%d:%02d", whole / 60, whole % 60);
    return acText;
}

void DrawBar(int percent, double now) {
    const int WIDTH = 24;
    int filled = percent < 0 ? 0 : (percent > 100 ? WIDTH : percent * WIDTH / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(WIDTH - filled), '.');
    char acLine[256];
    int32_t span = Current.High - Current.Low;
    if (span > 2) { // the programming step: bytes, rate and time left
        double elapsed = now - Current.Begun;
        double rate = elapsed > 0.2 ? Current.Pos / elapsed : 0;
        char acRate[64] = {};
        if (rate > 0) // nothing to say before the first blocks
            std::snprintf(acRate, sizeof acRate, "  %.1f kB/s  %s left", rate / 1000,
                          Duration((Current.High - Current.Pos) / rate).c_str());
        std::snprintf(acLine, sizeof acLine, "\r%-20s [%s] %3d%%  %" PRId32 "/%" PRId32 " bytes%s\033[K",
                      Current.Name.c_str(), bar.c_str(), percent, Current.Pos, Current.High, acRate);
    } else {
        std::snprintf(acLine, sizeof acLine, "\r%-20s [%s] %3d%%\033[K", Current.Name.c_str(), bar.c_str(),
                      percent);
    }
    std::fputs(acLine, stderr);
    std::fflush(stderr);
    Current.BarShown = true;
    Current.LastDrawn = now;
}

} // namespace

std::string JSON_Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char acEscape[8];
                std::snprintf(acEscape, sizeof acEscape, "\\u%04x", c);
                out += acEscape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

JsonLine& JsonLine::Add(const char* key, const std::string& value) {
    Text += (Text.size() > 1 ? ",\"" : "\"") + JSON_Escape(key) + "\":\"" + JSON_Escape(value) + "\"";
    return *this;
}

JsonLine& JsonLine::Add(const char* key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

JsonLine& JsonLine::Add(const char* key, long long value) {
    Text += (Text.size() > 1 ? ",\"" : "\"") + JSON_Escape(key) + "\":" + std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Add(const char* key, double value) {
    char acValue[32];
    std::snprintf(acValue, sizeof acValue, "%.3f", value);
    Text += (Text.size() > 1 ? ",\"" : "\"") + JSON_Escape(key) + "\":" + acValue;
    return *this;
}

JsonLine& JsonLine::AddBool(const char* key, bool value) {
    Text += (Text.size() > 1 ? ",\"" : "\"") + JSON_Escape(key) + "\":" + (value ? "true" : "false");
    return *this;
}

JsonLine& JsonLine::AddHex(const char* key, uint32_t value, int digits) {
    char acValue[16];
    std::snprintf(acValue, sizeof acValue, "0x%0*X", digits, static_cast<unsigned>(value));
    return Add(key, std::string(acValue));
}

void OUT_Init(bool json, bool quiet, bool terminal) {
    std::lock_guard<std::mutex> guard(OutputLock);
    bJson = json;
    bQuiet = quiet;
    bTerminal = terminal;
}

double OUT_Now() {
    return Seconds();
}

void OUT_Line(const std::string& text) {
    std::lock_guard<std::mutex> guard(OutputLock);
    if (!bQuiet)
        Print(text);
}

void OUT_Always(const std::string& text) {
    std::lock_guard<std::mutex> guard(OutputLock);
    Print(text);
}

bool OUT_Terminal() {
    return bTerminal;
}

void OUT_SetEventSink(void (*pfnSink)(const std::string& line)) {
    std::lock_guard<std::mutex> guard(OutputLock);
    pfnEventSink = pfnSink;
}

void OUT_Event(const char* event, const JsonLine& fields) {
    std::lock_guard<std::mutex> guard(OutputLock);
    if (EventsWanted())
        EmitJson(event, fields);
}

void OUT_StepBegin(const std::string& step) {
    std::lock_guard<std::mutex> guard(OutputLock);
    CloseBar();
    Current = Step{};
    Current.Name = step;
    Current.Active = true;
    Current.Begun = Seconds();
    if (EventsWanted())
        EmitJson("step", JsonLine().Add("step", step));
    if (!bQuiet && !bTerminal) {
        std::fprintf(stderr, "%s ...\n", step.c_str());
        std::fflush(stderr);
    }
}

void OUT_StepProgress(int32_t low, int32_t high, int32_t pos) {
    std::lock_guard<std::mutex> guard(OutputLock);
    if (!Current.Active)
        return;
    Current.Low = low;
    Current.High = high;
    Current.Pos = pos;
    // The window's own percentage rule, so the two never show different numbers.
    int percent = DLG_Percentage(pos, low, high);
    double now = Seconds();
    if (percent != Current.LastPercent) {
        Current.LastPercent = percent;
        if (EventsWanted())
            EmitJson("progress", JsonLine()
                                     .Add("step", Current.Name)
                                     .Add("percent", static_cast<long long>(percent))
                                     .Add("bytes", static_cast<long long>(pos))
                                     .Add("total", static_cast<long long>(high - low)));
    }
    if (bQuiet)
        return;
    if (bTerminal) {
        if (now - Current.LastDrawn >= 0.1 || percent >= 100)
            DrawBar(percent, now);
    } else if (percent / 10 != Current.LastPlainDecile && high - low > 2) {
        Current.LastPlainDecile = percent / 10;
        std::fprintf(stderr, "%s %d%% (%" PRId32 "/%" PRId32 " bytes)\n", Current.Name.c_str(), percent, pos,
                     high);
        std::fflush(stderr);
    }
}

void OUT_StepEnd(const char* outcome) {
    std::lock_guard<std::mutex> guard(OutputLock);
    if (!Current.Active)
        return;
    double seconds = Seconds() - Current.Begun;
    if (EventsWanted())
        EmitJson("step_result",
                 JsonLine().Add("step", Current.Name).Add("status", outcome).Add("seconds", seconds));
    if (!bQuiet) {
        CloseBar();
        std::fprintf(stderr, "%s: %s (%.1f s)\n", Current.Name.c_str(), outcome, seconds);
        std::fflush(stderr);
    }
    Current.Active = false;
}

// Only the main thread of this program asks for an error's text (the worker never does), so
// strerror's shared buffer is never raced.
std::string CLI_ErrorText(int error) {
    return std::strerror(error); // NOLINT(concurrency-mt-unsafe): main thread only, see above
}
