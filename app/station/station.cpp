// The station's model: one lock around plain state. Writers (the several-ports runner) apply the
// children's events and wake the readers; readers copy it out and render on their own time.
#include "app/station/station.h"

#include "app/station/station_text.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

using Fields = std::map<std::string, std::string>;

std::mutex Lock;
std::condition_variable Changed;
StationSnapshot Model;
uint64_t Wakes = 0; // Station_WakeWaiters calls

const char* const STATE_WORDS[STATION_STATE_COUNT] = {"starting", "waiting",     "connected",   "step",
                                                      "updated",  "not updated", "interrupted", "current",
                                                      "differs",  "no device",   "port error",  "ended"};

std::string Field(const Fields& fields, const char* key) {
    auto found = fields.find(key);
    return found == fields.end() ? std::string() : STX_Utf8(found->second);
}

bool Has(const Fields& fields, const char* key) {
    return fields.count(key) != 0;
}

StationState StateOfResult(const std::string& result) {
    for (int s = STATION_UPDATED; s < STATION_ENDED; ++s)
        if (result == STATE_WORDS[s])
            return static_cast<StationState>(s);
    return STATION_ENDED;
}

std::string UtcNow() {
    using namespace std::chrono;
    auto now = floor<milliseconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date{day};
    hh_mm_ss<milliseconds> time{now - day};
    char acText[32];
    std::snprintf(acText, sizeof acText, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return acText;
}

// A new device on the port: what the tile said of the one before goes.
void NewDevice(StationPort& p, const Fields& f) {
    p.FailedStep.clear();
    p.Step.clear();
    p.Percent = -1;
    p.TargetCrc.clear();
    p.IdText1 = Field(f, "id_text1");
    p.IdText2 = Field(f, "id_text2");
    if (Has(f, "image_crc"))
        p.ImageCrc = Field(f, "image_crc");
}

void TakeResult(StationPort& p, const Fields& f) {
    p.Result = Field(f, "result");
    p.State = StateOfResult(p.Result);
    p.FailedStep = Field(f, "failed_step");
    std::string message = Field(f, "message");
    // The terminal's line: the failed step, else the message.
    if (!p.FailedStep.empty())
        p.Line = p.FailedStep;
    else if (!message.empty())
        p.Line = message;
    if (Has(f, "image_crc"))
        p.ImageCrc = Field(f, "image_crc");
    p.TargetCrc = Field(f, "target_crc");
    if (Has(f, "id_text1") || Has(f, "id_text2")) {
        p.IdText1 = Field(f, "id_text1");
        p.IdText2 = Field(f, "id_text2");
    }
    if (Has(f, "exit_code"))
        p.ExitCode = std::atoi(Field(f, "exit_code").c_str());
    const bool updateRan = Has(f, "update_seconds");
    p.Seconds = std::atof(Field(f, updateRan ? "update_seconds" : "seconds").c_str());
    p.Results[p.Result]++;
    // The child's tally: every update that ran and did not end updated counts as not updated.
    if (p.State == STATION_UPDATED)
        p.Updated++;
    else if (p.State == STATION_NOT_UPDATED || (p.State == STATION_INTERRUPTED && updateRan))
        p.NotUpdated++;
    if (updateRan) {
        size_t b = 0;
        while (b < STATION_BUCKET_COUNT && p.Seconds > STATION_SECONDS_BUCKETS[b])
            ++b;
        if (b < STATION_BUCKET_COUNT)
            p.Buckets[b]++;
        p.UpdateCount++;
        p.UpdateSecondsSum += p.Seconds;
    }
    StationResult r;
    r.Time = UtcNow();
    r.Result = p.Result;
    r.FailedStep = p.FailedStep;
    r.Seconds = p.Seconds;
    r.ExitCode = p.ExitCode;
    if (Has(f, "retries")) {
        r.Retries = std::atoll(Field(f, "retries").c_str());
        p.Retries += r.Retries;
    }
    p.Last.push_front(r);
    if (p.Last.size() > STATION_LAST_RESULTS)
        p.Last.pop_back();
}

// The words are the events' own (app/cli's child writes them); false for an event that shows nothing.
bool Apply(StationPort& p, const Fields& f) {
    const std::string event = Field(f, "event");
    if (event == "port_opened") {
        if (Has(f, "port")) // one port found by the session itself is named only here
            p.Port = Field(f, "port");
        if (Has(f, "device"))
            p.Device = Field(f, "device");
        p.State = STATION_WAITING;
    } else if (event == "warning") {
        p.Warning = Field(f, "message");
    } else if (event == "status") {
        p.Line = Field(f, "text");
    } else if (event == "connected") {
        NewDevice(p, f);
        p.State = STATION_CONNECTED;
    } else if (event == "update") {
        // The update begins: a look before it (--skip-current) may have left a result on the port.
        p.FailedStep.clear();
        p.TargetCrc.clear();
        p.Step.clear();
        p.Percent = -1;
        p.State = STATION_STEP;
    } else if (event == "step") {
        p.Step = Field(f, "step");
        p.Percent = -1;
        p.State = STATION_STEP;
    } else if (event == "progress") {
        int percent = std::atoi(Field(f, "percent").c_str());
        if (percent == p.Percent && p.State == STATION_STEP)
            return false;
        if (Has(f, "step"))
            p.Step = Field(f, "step");
        p.Percent = percent;
        p.State = STATION_STEP;
    } else if (event == "step_result") {
        std::string status = Field(f, "status");
        if (status == "ok")
            return false;
        p.Line = Field(f, "step") + ": " + status;
    } else if (event == "result") {
        TakeResult(p, f);
    } else if (event == "connection_lost") {
        // A result stays on the tile until the next device: the updated device leaves the boot loader
        // at once, long before the operator takes it off the fixture.
        if (p.State != STATION_CONNECTED)
            return false;
        p.State = STATION_WAITING;
    } else if (event == "record_error") {
        p.Line = Field(f, "message");
    } else {
        return false; // "tally" says again what the results said; others show nothing
    }
    return true;
}

void Touch() {
    Model.Changes++;
    Changed.notify_all();
}

} // namespace

const char* Station_StateWord(StationState state) {
    return state < STATION_STATE_COUNT ? STATE_WORDS[state] : "ended";
}

void Station_Init(const StationInfo& info, const std::vector<std::string>& ports) {
    std::lock_guard<std::mutex> guard(Lock);
    Model.Info = info;
    for (std::string* pText : {&Model.Info.Host, &Model.Info.Version, &Model.Info.Firmware,
                               &Model.Info.FirmwareCrc, &Model.Info.FirmwareSha256, &Model.Info.Record})
        *pText = STX_Utf8(*pText);
    Model.Ports.assign(ports.size(), StationPort{});
    for (size_t i = 0; i < ports.size(); ++i)
        Model.Ports[i].Port = Model.Ports[i].Device = STX_Utf8(ports[i]);
    Touch();
}

bool Station_Apply(size_t index, const std::string& line) {
    Fields fields;
    if (!STX_ReadEvent(line, &fields))
        return false;
    std::lock_guard<std::mutex> guard(Lock);
    if (index >= Model.Ports.size() || !Apply(Model.Ports[index], fields))
        return false;
    Touch();
    return true;
}

void Station_PortEnded(size_t index, int exitCode, const char* result) {
    std::lock_guard<std::mutex> guard(Lock);
    if (index >= Model.Ports.size())
        return;
    StationPort& p = Model.Ports[index];
    p.ChildEnded = true;
    p.ExitCode = exitCode;
    if (result != nullptr) {
        p.Result = result;
        p.State = StateOfResult(p.Result);
    } else if (p.State < STATION_UPDATED) {
        // Ended in the middle: killed, or interrupted while waiting. The last result, if any, stays
        // the port's word (the summary's), the state says it ended.
        if (p.Result.empty())
            p.Result = "ended";
        p.State = STATION_ENDED;
    }
    Touch();
}

StationSnapshot Station_Snapshot() {
    std::lock_guard<std::mutex> guard(Lock);
    return Model;
}

uint64_t Station_Changes() {
    std::lock_guard<std::mutex> guard(Lock);
    return Model.Changes;
}

uint64_t Station_WaitChange(uint64_t seen, int timeoutMs) {
    std::unique_lock<std::mutex> guard(Lock);
    const uint64_t wakes = Wakes;
    Changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                     [&] { return Model.Changes != seen || Wakes != wakes; });
    return Model.Changes;
}

void Station_WakeWaiters() {
    std::lock_guard<std::mutex> guard(Lock);
    Wakes++;
    Changed.notify_all();
}
