// The station's model fed with the children's event lines as tq330-flash --json writes them (taken
// from a run against two simulators, one rejecting a block): states, counters, failed steps, the
// last results, and the change counter a reader waits on.
#include "station_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

namespace {

// One port's loop: the first device fails at a block, the second is updated. The lines between
// (status, step results, tally) are the child's own.
const char* const LOOP_FAIL_THEN_UPDATE[] = {
    R"j({"event":"port_opened","t":0.038,"port":"/dev/pts/0","device":"/dev/pts/0"})j",
    R"j({"port":"/dev/pts/0","event":"status","t":0.038,"text":"No connection to TQ330.\nPlease cycle power of TQ330"})j",
    R"j({"event":"connected","t":0.040,"port":"/dev/pts/0","image_crc":"0xF1FC","crc_start":"0xA0000","crc_length":385024})j",
    R"j({"event":"update","t":0.040,"port":"/dev/pts/0"})j",
    R"j({"port":"/dev/pts/0","event":"step","t":0.040,"step":"Clear target"})j",
    R"j({"port":"/dev/pts/0","event":"step_result","t":0.147,"step":"Clear target","status":"ok","seconds":0.106})j",
    R"j({"port":"/dev/pts/0","event":"step","t":0.147,"step":"Programming target"})j",
    R"j({"port":"/dev/pts/0","event":"progress","t":0.150,"step":"Programming target","percent":12,"bytes":36864,"total":322785})j",
    R"j({"port":"/dev/pts/0","event":"step_result","t":0.204,"step":"Programming target","status":"target error (0x83 at address 0xC0000)","seconds":0.057})j",
    R"j({"port":"/dev/pts/0","event":"status","t":0.204,"text":"Target not updated successfully"})j",
    R"j({"event":"result","t":0.204,"result":"not updated","exit_code":1,"port":"/dev/pts/0","device":"/dev/pts/0","status":"Target not updated successfully","failed_step":"Programming target target error (0x83 at address 0xC0000)","image_crc":"0xF1FC","crc_start":"0xA0000","crc_length":385024,"update_seconds":0.164,"seconds":0.204,"message":"Target not updated successfully (CRC image 0xF1FC, target unknown): Programming target target error (0x83 at address 0xC0000)"})j",
    R"j({"port":"/dev/pts/0","event":"tally","t":0.223,"updated":0,"not_updated":1})j",
    R"j({"event":"connection_lost","t":0.606,"port":"/dev/pts/0"})j",
    R"j({"event":"connected","t":1.807,"port":"/dev/pts/0","image_crc":"0xF1FC","crc_start":"0xA0000","crc_length":385024})j",
    R"j({"event":"update","t":1.807,"port":"/dev/pts/0"})j",
    R"j({"port":"/dev/pts/0","event":"step","t":1.807,"step":"Clear target"})j",
    R"j({"port":"/dev/pts/0","event":"step","t":1.909,"step":"Programming target"})j",
    R"j({"port":"/dev/pts/0","event":"progress","t":1.990,"step":"Programming target","percent":100,"bytes":322785,"total":322785})j",
    R"j({"port":"/dev/pts/0","event":"step","t":2.038,"step":"Get CRC"})j",
    R"j({"port":"/dev/pts/0","event":"step","t":2.046,"step":"Start application"})j",
    R"j({"port":"/dev/pts/0","event":"status","t":2.054,"text":"Target updated successfully"})j",
    R"j({"event":"result","t":2.054,"result":"updated","exit_code":0,"port":"/dev/pts/0","device":"/dev/pts/0","status":"Target updated successfully","image_crc":"0xF1FC","target_crc":"0xF1FC","crc_start":"0xA0000","crc_length":385024,"update_seconds":61.5,"seconds":2.054,"message":"Target updated successfully (CRC image 0xF1FC, target 0xF1FC)"})j",
    R"j({"port":"/dev/pts/0","event":"tally","t":2.063,"updated":1,"not_updated":1})j",
    R"j({"event":"connection_lost","t":2.347,"port":"/dev/pts/0"})j",
};

StationPort Port0() {
    return Station_Snapshot().Ports.at(0);
}

// Feeds lines [from, to) of the loop to port 0.
void Feed(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        Station_Apply(0, LOOP_FAIL_THEN_UPDATE[i]);
}

} // namespace

TEST(StationModel, LoopShowsEachStateAndTheSecondDeviceClearsTheFirstsFailedStep) {
    Station_Init(TestInfo(), {"/dev/pts/0"});
    EXPECT_EQ(Port0().State, STATION_STARTING);
    Feed(0, 2);
    EXPECT_EQ(Port0().State, STATION_WAITING);
    EXPECT_EQ(Port0().Line, "No connection to TQ330.\nPlease cycle power of TQ330");
    Feed(2, 3);
    EXPECT_EQ(Port0().State, STATION_CONNECTED);
    EXPECT_EQ(Port0().ImageCrc, "0xF1FC");
    Feed(3, 8);
    StationPort p = Port0();
    EXPECT_EQ(p.State, STATION_STEP);
    EXPECT_EQ(p.Step, "Programming target");
    EXPECT_EQ(p.Percent, 12);
    Feed(8, 12);
    p = Port0();
    EXPECT_EQ(p.State, STATION_NOT_UPDATED);
    EXPECT_EQ(p.Result, "not updated");
    EXPECT_EQ(p.FailedStep, "Programming target target error (0x83 at address 0xC0000)");
    EXPECT_EQ(p.Line, p.FailedStep);
    EXPECT_EQ(p.ExitCode, 1);
    EXPECT_EQ(p.Updated, 0);
    EXPECT_EQ(p.NotUpdated, 1);
    // The failed device leaves the boot loader's line: the result stays until the next device.
    Feed(12, 13);
    EXPECT_EQ(Port0().State, STATION_NOT_UPDATED);
    EXPECT_EQ(Port0().FailedStep, p.FailedStep);
    Feed(13, 14);
    p = Port0();
    EXPECT_EQ(p.State, STATION_CONNECTED);
    EXPECT_EQ(p.FailedStep, "");
    EXPECT_EQ(p.Percent, -1);
    Feed(14, 18);
    EXPECT_EQ(Port0().Percent, 100);
    Feed(18, 20);
    EXPECT_EQ(Port0().Step, "Start application");
    EXPECT_EQ(Port0().Percent, -1);
    Feed(20, std::size(LOOP_FAIL_THEN_UPDATE));
    p = Port0();
    EXPECT_EQ(p.State, STATION_UPDATED);
    EXPECT_EQ(p.FailedStep, "");
    EXPECT_EQ(p.TargetCrc, "0xF1FC");
    EXPECT_DOUBLE_EQ(p.Seconds, 61.5);
    // The counters are the child's tally.
    EXPECT_EQ(p.Updated, 1);
    EXPECT_EQ(p.NotUpdated, 1);
    EXPECT_EQ(p.Results, (std::map<std::string, long long>{{"not updated", 1}, {"updated", 1}}));
    ASSERT_EQ(p.Last.size(), 2u);
    EXPECT_EQ(p.Last[0].Result, "updated");
    EXPECT_EQ(p.Last[0].FailedStep, "");
    EXPECT_DOUBLE_EQ(p.Last[0].Seconds, 61.5);
    EXPECT_EQ(p.Last[1].Result, "not updated");
    EXPECT_EQ(p.Last[1].FailedStep, "Programming target target error (0x83 at address 0xC0000)");
    EXPECT_DOUBLE_EQ(p.Last[1].Seconds, 0.164);
    EXPECT_EQ(p.Last[1].ExitCode, 1);
    EXPECT_TRUE(std::regex_match(p.Last[0].Time, std::regex(R"j(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)j")))
        << p.Last[0].Time;
    // 61.5 s: counted in the buckets from 75 s up.
    EXPECT_EQ(p.UpdateCount, 2);
    EXPECT_EQ(p.Buckets[0], 1);
    EXPECT_EQ(p.Buckets[5], 1);
    EXPECT_NEAR(p.UpdateSecondsSum, 61.664, 1e-9);
}

// Every result word of the child, and how the counters take it: only an update that ran counts,
// as the child's own tally counts.
TEST(StationModel, EachResultWordIsItsStateAndOnlyUpdatesThatRanCount) {
    struct Case {
        const char* Line;
        StationState State;
        int Updated, NotUpdated;
    } cases[] = {
        {R"j({"event":"result","result":"no device","exit_code":2,"seconds":60.0,"message":"No answer"})j",
         STATION_NO_DEVICE, 0, 0},
        {R"j({"event":"result","result":"port error","exit_code":3,"message":"Error: /dev/x: no such port"})j",
         STATION_PORT_ERROR, 0, 0},
        {R"j({"event":"result","result":"current","exit_code":0})j", STATION_CURRENT, 0, 0},
        {R"j({"event":"result","result":"differs","exit_code":1})j", STATION_DIFFERS, 0, 0},
        {R"j({"event":"result","result":"interrupted","exit_code":130,"seconds":3.0})j", STATION_INTERRUPTED,
         0, 0},
        {R"j({"event":"result","result":"interrupted","exit_code":130,"update_seconds":2.5})j",
         STATION_INTERRUPTED, 0, 1},
        {R"j({"event":"result","result":"record error","exit_code":3})j", STATION_ENDED, 0, 0},
    };
    for (const Case& c : cases) {
        Station_Init(TestInfo(), {"COM3"});
        EXPECT_TRUE(Station_Apply(0, c.Line)) << c.Line;
        StationPort p = Port0();
        EXPECT_EQ(p.State, c.State) << c.Line;
        EXPECT_EQ(p.Updated, c.Updated) << c.Line;
        EXPECT_EQ(p.NotUpdated, c.NotUpdated) << c.Line;
        EXPECT_EQ(p.UpdateCount, c.NotUpdated) << c.Line; // the histogram only has updates that ran
    }
    EXPECT_EQ(Port0().Result, "record error"); // a word the model does not know is kept as it came
    Station_Init(TestInfo(), {"COM3"});
    Station_Apply(
        0,
        R"j({"event":"result","result":"port error","exit_code":3,"message":"Error: COM3: Access denied"})j");
    EXPECT_EQ(Port0().Line, "Error: COM3: Access denied");
}

TEST(StationModel, AChildThatEndsLeavesItsResultOrEndsThePort) {
    Station_Init(TestInfo(), {"a", "b", "c"});
    Station_Apply(0, R"j({"event":"step","step":"Programming target"})j");
    Station_Apply(1, R"j({"event":"result","result":"updated","exit_code":0,"update_seconds":50.0})j");
    Station_PortEnded(0, 1, nullptr); // killed in the middle
    Station_PortEnded(1, 0, nullptr);
    Station_PortEnded(2, 3, "not started");
    StationSnapshot s = Station_Snapshot();
    EXPECT_EQ(s.Ports[0].State, STATION_ENDED);
    EXPECT_EQ(s.Ports[0].Result, "ended");
    EXPECT_EQ(s.Ports[0].ExitCode, 1);
    EXPECT_EQ(s.Ports[1].State, STATION_UPDATED);
    EXPECT_TRUE(s.Ports[1].ChildEnded);
    EXPECT_EQ(s.Ports[2].State, STATION_ENDED);
    EXPECT_EQ(s.Ports[2].Result, "not started");
    EXPECT_EQ(s.Ports[2].ExitCode, 3);
}

// --loop ended by Ctrl-C while the next device was on the fixture: the port has ended, and its last
// result stays the word the summary prints. The port's name is the one the child opened.
TEST(StationModel, ALoopEndedBetweenDevicesKeepsItsLastResult) {
    Station_Init(TestInfo(), {""});
    Station_Apply(0, R"j({"event":"port_opened","port":"COM7","device":"/dev/ttyUSB3"})j");
    Station_Apply(0, R"j({"event":"result","result":"updated","exit_code":0,"update_seconds":50.0})j");
    Station_Apply(0, R"j({"event":"connected","id_text1":"TQ330"})j");
    Station_PortEnded(0, 130, nullptr);
    StationPort p = Port0();
    EXPECT_EQ(p.Port, "COM7");
    EXPECT_EQ(p.Device, "/dev/ttyUSB3");
    EXPECT_EQ(p.State, STATION_ENDED);
    EXPECT_EQ(p.Result, "updated");
    EXPECT_EQ(p.Updated, 1);
    EXPECT_EQ(p.ExitCode, 130);
}

// What the page shows beside the state: the identify texts and the resends, where the child's
// events carry them, the port's warning, and no more than the last results it keeps.
TEST(StationModel, KeepsIdentifyTextsRetriesWarningAndTheLastResults) {
    Station_Init(TestInfo(), {"tcp://line:4001"});
    Station_Apply(0,
                  R"j({"event":"warning","port":"tcp://line:4001","message":"the server sets the line"})j");
    Station_Apply(0, R"j({"event":"connected","id_text1":"TQ330","id_text2":"Boot loader \u00e9\\x01"})j");
    EXPECT_EQ(Port0().IdText2, "Boot loader \xC3\xA9\\x01");
    for (int i = 0; i < 12; ++i)
        Station_Apply(0, R"j({"event":"result","result":"updated","update_seconds":40.0,"retries":2})j");
    StationPort p = Port0();
    EXPECT_EQ(p.Warning, "the server sets the line");
    EXPECT_EQ(p.IdText1, "TQ330");
    EXPECT_EQ(p.Retries, 24);
    EXPECT_EQ(p.Last.size(), STATION_LAST_RESULTS);
    EXPECT_EQ(p.Last[0].Retries, 2);
    EXPECT_EQ(p.Updated, 12);
    // The next device: its texts, not the last one's.
    Station_Apply(0, R"j({"event":"connected"})j");
    EXPECT_EQ(Port0().IdText1, "");
}

TEST(StationModel, OnlyEventsThatShowSomethingMoveTheChangeCounter) {
    Station_Init(TestInfo(), {"a"});
    uint64_t before = Station_Changes();
    const char* const nothing[] = {
        "",
        "not json",
        R"j({"event":"result","result":"updated")j",          // cut short
        R"j({"event":"result"} trailing)j",                   // more after the object
        R"j({"event":"result","nested":{"a":1}})j",           // not one of the child's objects
        R"j({"event":"tally","updated":3,"not_updated":0})j", // says what the results said
        R"j({"event":"step_result","step":"Clear target","status":"ok"})j",
        R"j({"event":"update_available"})j",
    };
    for (const char* line : nothing)
        EXPECT_FALSE(Station_Apply(0, line)) << line;
    EXPECT_FALSE(Station_Apply(1, R"j({"event":"step","step":"x"})j")); // no such port
    EXPECT_EQ(Station_Changes(), before);
    EXPECT_TRUE(Station_Apply(0, R"j({"event":"progress","step":"Programming target","percent":5})j"));
    EXPECT_FALSE(Station_Apply(0, R"j({"event":"progress","step":"Programming target","percent":5})j"));
    EXPECT_EQ(Station_Changes(), before + 1);
}

TEST(StationModel, TextsThatAreNotUtf8AreMended) {
    Station_Init(TestInfo(), {"/dev/tty\xFF\xFE"});
    Station_Apply(0, "{\"event\":\"connected\",\"id_text1\":\"ab\xC0\xAF"
                     "c\"}"); // an overlong '/'
    StationPort p = Port0();
    EXPECT_EQ(p.Port, "/dev/tty\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(p.IdText1, "ab\xEF\xBF\xBD\xEF\xBF\xBD"
                         "c");
}

// A reader waits for the next change without a timing verdict: the waits' limits are far beyond any
// machine's load, and a wait that ran out returns the counter it was given.
TEST(StationModel, AReaderWaitsForTheNextChangeOrAWake) {
    Station_Init(TestInfo(), {"a"});
    uint64_t seen = Station_Changes();
    std::thread writer([] { Station_Apply(0, R"j({"event":"step","step":"Clear target"})j"); });
    uint64_t now = Station_WaitChange(seen, 60000);
    writer.join();
    EXPECT_NE(now, seen);
    EXPECT_EQ(Station_WaitChange(now, 0), now);
    // Woken, it returns the counter it was given: no change came.
    std::atomic<bool> returned{false};
    std::thread waker([&] {
        while (!returned) {
            Station_WakeWaiters();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(Station_WaitChange(now, 120000), now);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(90));
    returned = true;
    waker.join();
}
