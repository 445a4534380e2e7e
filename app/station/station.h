// The station: what every port of a several-ports run is doing, fed by the JSON event lines of the
// port's child process, and read by whoever shows it (the terminal view, the station's page, /state,
// /metrics). The runner writes; readers take a snapshot under the same short lock and never hold it
// while they render or send, so the update path never waits on a reader. One station a process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// A port's state, each with the word the events use (Station_StateWord). The results are the
// words of the child's "result" event; a result that is none of them reads as STATION_ENDED.
enum StationState : uint8_t {
    STATION_STARTING,  // the child runs, its port is not open yet
    STATION_WAITING,   // the port is open: waiting for a device
    STATION_CONNECTED, // a device answered, no step yet
    STATION_STEP,      // a step runs (Step, Percent)
    STATION_UPDATED,
    STATION_NOT_UPDATED, // FailedStep says which step, and how
    STATION_INTERRUPTED,
    STATION_CURRENT, // --check: the device holds this firmware
    STATION_DIFFERS, // --check: it does not
    STATION_NO_DEVICE,
    STATION_PORT_ERROR,
    STATION_ENDED, // the child ended without one of the results above
    STATION_STATE_COUNT
};
const char* Station_StateWord(StationState state);

// Upper bounds of the update seconds' histogram (a full update at 57600 baud takes about a minute).
constexpr double STATION_SECONDS_BUCKETS[] = {10, 20, 30, 45, 60, 75, 90, 120, 180, 300};
constexpr size_t STATION_BUCKET_COUNT = sizeof STATION_SECONDS_BUCKETS / sizeof STATION_SECONDS_BUCKETS[0];
constexpr size_t STATION_LAST_RESULTS = 10; // results kept per port, the newest first

struct StationResult {
    std::string Time;   // when it came, UTC: "2025-03-01T09:30:12.345Z"
    std::string Result; // the child's word: "updated", "not updated", "no device", ...
    std::string FailedStep;
    double Seconds = -1; // the update's seconds ("update_seconds"), else the child's "seconds"
    int ExitCode = -1;
    long long Retries = -1; // -1: the event did not say
};

struct StationPort {
    std::string Port, Device;
    StationState State = STATION_STARTING;
    std::string Result;     // the last result's word, "" before the first
    std::string Step;       // the step running, or the last one
    int Percent = -1;       // of Step; -1 before its first progress
    std::string FailedStep; // of the last result; cleared when the next device connects
    std::string Line;       // the last status text or message, as the terminal shows it
    std::string Warning;    // the port's warning (a network port's line, ...)
    std::string IdText1, IdText2;
    std::string ImageCrc, TargetCrc; // "0x1D0F", "" when not known
    double Seconds = 0;              // of the last result
    int ExitCode = -1;               // the last result's; the child's own once it ended
    bool ChildEnded = false;
    int Updated = 0, NotUpdated = 0;              // the updates that ran, as the child's tally counts them
    long long Retries = 0;                        // frames sent again, over all attempts
    std::map<std::string, long long> Results;     // every result event, by its word
    long long Buckets[STATION_BUCKET_COUNT] = {}; // update seconds, each <= its bound (not cumulative)
    long long UpdateCount = 0;
    double UpdateSecondsSum = 0;
    std::deque<StationResult> Last; // the newest first
};

// The station as a whole: set once by the runner before the first port starts.
struct StationInfo {
    std::string Host;
    std::string Version;  // the program's
    std::string Firmware; // its file, or "built in"
    long long FirmwareSize = 0;
    std::string FirmwareCrc; // "0x1D23"
    std::string FirmwareSha256;
    std::string Record; // the --record file, "" when none
};

struct StationSnapshot {
    StationInfo Info;
    std::vector<StationPort> Ports;
    uint64_t Changes = 0;
};

// Starts again with these ports, all STATION_STARTING. Texts that are not UTF-8 are mended here
// (U+FFFD), as are the texts of every event, so that each rendering can rely on UTF-8.
void Station_Init(const StationInfo& info, const std::vector<std::string>& ports);
// One event line of the child of port index. True when the state changed (the change counter
// moved); lines that are not an event object, and events nobody shows, change nothing.
bool Station_Apply(size_t index, const std::string& line);
// The child ended with exitCode; result ("not started", ...) when the runner knows better than the
// child's last event, else nullptr.
void Station_PortEnded(size_t index, int exitCode, const char* result);

StationSnapshot Station_Snapshot();
uint64_t Station_Changes();
// Waits up to timeoutMs for the change counter to differ from seen, or for Station_WakeWaiters.
// Returns the counter. For readers only: the writers never wait.
uint64_t Station_WaitChange(uint64_t seen, int timeoutMs);
void Station_WakeWaiters();
