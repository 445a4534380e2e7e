// The identify poll and the worker thread: what the dialog is told, what TargetInfo holds, how a
// job is handed over and back, and that the worker neither spins nor delays its stop.
#include "device.h"
#include "fakes/fake_dialog.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/worker.h"

#include "app/dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

using device::Bytes;
using device::Frame;
using namespace std::chrono_literals;

namespace {

TargetInfo Info() {
    TargetInfo info;
    TargetInfo_Copy(&info);
    return info;
}

std::string Text(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

Bytes IdentifyAnswer(const Bytes& data) {
    return Frame(0x00, data);
}

// A target that answers identify with `answer` while `present` is set, acknowledges other Frames.
std::shared_ptr<std::atomic<bool>> Target(const Bytes& answer) {
    auto present = std::make_shared<std::atomic<bool>>(true);
    fake_com::SetResponder([present, answer](const Bytes& written) {
        if (!present->load())
            return;
        fake_com::Feed(device::CommandOf(written) == JOB_IDENTIFY ? answer : Bytes{FRAME_ACK});
    });
    return present;
}

// Real-time wait for a condition the worker brings about; generous, it only bounds a hang.
template <typename Pred> bool WaitFor(Pred pred) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
        if (pred())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return pred();
}

class IdentifyTest : public ::testing::Test {
  protected:
    void SetUp() override { device::ResetAll(); }
    void Poll(const Bytes& answerData) {
        fake_com::SetResponder([answerData](const Bytes&) { fake_com::Feed(IdentifyAnswer(answerData)); });
        Job_Identify();
    }
};

TEST_F(IdentifyTest, AnswerFillsTheRecordInWireOrder) {
    Bytes data = device::IdentifyData("TQ330", "BL2", 0xA0000, 0x5DFF0, 0x5C, 0x01020304);
    Poll(data);
    TargetInfo info = Info();
    EXPECT_EQ(info.Connected, 1);
    EXPECT_EQ(info.IdCode, 0x00);
    EXPECT_EQ(info.IdByte, 0x5C);
    EXPECT_EQ(info.IdWord, 0x01020304u);
    EXPECT_EQ(info.IdText1Length, 5);
    EXPECT_EQ(Text(info.IdText1, 5), "TQ330");
    EXPECT_EQ(info.IdText2Length, 3);
    EXPECT_EQ(Text(info.IdText2, 3), "BL2");
    EXPECT_EQ(info.CrcStart, 0xA0000u);
    EXPECT_EQ(info.CrcLength, 0x5DFF0u);
    EXPECT_EQ(fake_dialog::Posted(), (std::vector<int>{ID_CONNECTED, ID_POLL_DONE}));
    // Identify is a plain request: three attempts of 100 ms, no Ack byte.
    EXPECT_EQ(fake_com::Writes().at(0).bytes, Frame(0));
    EXPECT_EQ(fake_com::Reads().at(0).timeoutMs, 100u);
}

TEST_F(IdentifyTest, ShorterTextsKeepOlderBytesBeyondTheirLength) {
    Poll(device::IdentifyData("ABCDEF", "XYZ", 1, 2));
    Poll(device::IdentifyData("abc", "", 3, 4));
    TargetInfo info = Info();
    EXPECT_EQ(info.IdText1Length, 3);
    EXPECT_EQ(Text(info.IdText1, 6), "abcDEF");
    EXPECT_EQ(info.IdText2Length, 0);
    EXPECT_EQ(Text(info.IdText2, 3), "XYZ");
    EXPECT_EQ(info.CrcStart, 3u);
    EXPECT_EQ(info.CrcLength, 4u);
}

TEST_F(IdentifyTest, OverlongTextIsCutToItsFieldAndTheRangeStillFound) {
    std::string longText(200, 'x');
    longText[99] = 'L';
    longText[100] = '!';
    Poll(device::IdentifyData(longText, "ab", 0xEEC70, 0x1000)); // L = 217
    TargetInfo info = Info();
    EXPECT_EQ(info.Connected, 1);
    EXPECT_EQ(info.IdText1Length, 100);
    EXPECT_EQ(info.IdText1[99], 'L');
    EXPECT_EQ(info.IdText2Length, 2);
    EXPECT_EQ(Text(info.IdText2, 2), "ab");
    EXPECT_EQ(info.CrcStart, 0xEEC70u);
    EXPECT_EQ(info.CrcLength, 0x1000u);
}

TEST_F(IdentifyTest, AnswersWhoseLengthsDoNotFitAreRejectedWhole) {
    Poll(device::IdentifyData("good", "one", 0x1111, 0x2222));
    ASSERT_EQ(Info().Connected, 1);
    fake_dialog::ClearPosted();

    Bytes full = device::IdentifyData("abc", "de", 0x3333, 0x4444);
    Bytes crcCut(full.begin(), full.end() - 3);         // CrcLength cut short
    Bytes noSecondText(full.begin(), full.begin() + 9); // ends inside the texts
    Bytes textsBeyondL = full;
    textsBeyondL[5] = 120; // T1 claims more than the whole answer
    Bytes tiny = {0x01, 0x02};
    for (const Bytes& data : {crcCut, noSecondText, textsBeyondL, tiny, Bytes{}}) {
        Poll(data);
        TargetInfo info = Info();
        EXPECT_EQ(info.CrcStart, 0x1111u) << "answer of " << data.size() << " bytes";
        EXPECT_EQ(info.CrcLength, 0x2222u);
        EXPECT_EQ(Text(info.IdText1, 4), "good");
        EXPECT_EQ(info.IdText1Length, 4);
    }
    // The first rejected answer counts as an unanswered poll, the later ones as further silence.
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 1);
    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTED), 0);
    EXPECT_EQ(Info().Connected, 0);

    // Extra bytes behind CrcLength are no reason to refuse an answer.
    Poll(device::Concat(full, {0xEE, 0xEE}));
    EXPECT_EQ(Info().Connected, 1);
    EXPECT_EQ(Info().CrcStart, 0x3333u);
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override { device::ResetAll(); }
    void TearDown() override { Worker_Stop(); }
};

TEST_F(WorkerTest, AnsweringTargetIsReportedAfterEveryPoll) {
    Target(IdentifyAnswer(device::IdentifyData("T", "", 0xA0000, 0x100)));
    Worker_Start();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 5, 10s));
    Worker_Stop();
    std::vector<int> posted = fake_dialog::Posted();
    ASSERT_EQ(posted.size() % 2, 0u);
    for (size_t i = 0; i < posted.size(); i += 2) {
        EXPECT_EQ(posted[i], ID_CONNECTED);
        EXPECT_EQ(posted[i + 1], ID_POLL_DONE);
    }
    EXPECT_EQ(Info().Connected, 1);
    EXPECT_EQ(Info().TargetCrc, TARGET_CRC_UNKNOWN); // reset when the worker starts
}

TEST_F(WorkerTest, TargetThatStopsIsLostExactlyOnce) {
    auto present = Target(IdentifyAnswer(device::IdentifyData("T", "", 0xA0000, 0x100)));
    Worker_Start();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 2, 10s));
    TargetInfo_SetTargetCrc(0x1D0F); // as a Get CRC job would leave it
    present->store(false);
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTION_LOST, 1, 10s));
    const int doneAtLoss = fake_dialog::CountPosted(ID_POLL_DONE);
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, doneAtLoss + 3, 10s));
    Worker_Stop();

    EXPECT_EQ(fake_dialog::CountPosted(ID_CONNECTION_LOST), 1);
    std::vector<int> posted = fake_dialog::Posted();
    auto lost = std::find(posted.begin(), posted.end(), ID_CONNECTION_LOST);
    ASSERT_NE(lost, posted.end());
    EXPECT_EQ(*(lost + 1), ID_POLL_DONE);
    EXPECT_EQ(std::count(lost, posted.end(), ID_CONNECTED), 0);
    TargetInfo info = Info();
    EXPECT_EQ(info.Connected, 0);
    EXPECT_EQ(info.TargetCrc, TARGET_CRC_UNKNOWN);
    EXPECT_EQ(info.CrcStart, 0xA0000u);
    EXPECT_EQ(info.CrcLength, 0x100u);
    EXPECT_EQ(info.IdText1[0], 'T');
}

TEST_F(WorkerTest, SilentTargetGetsOnlyPollDone) {
    Worker_Start();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 5, 10s));
    Worker_Stop();
    for (int id : fake_dialog::Posted())
        EXPECT_EQ(id, ID_POLL_DONE);
    // Each poll costs three 100 ms reads of line time.
    const uint64_t polls = fake_dialog::Posted().size();
    EXPECT_GE(fake_com::Now(), polls * 300);
}

TEST_F(WorkerTest, PortNotReadyIsPolledAboutEveryHundredMilliseconds) {
    fake_com::SetReady(false);
    Worker_Start();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 1, 10s));
    fake_dialog::ClearPosted();
    // Six polls hold five pauses, at least half a second; without the pause they would take
    // microseconds. A loaded machine only makes them slower.
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 6, 30s));
    EXPECT_GE(std::chrono::steady_clock::now() - first, 450ms);

    auto start = std::chrono::steady_clock::now();
    Worker_Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // the pause does not hold up the stop
}

TEST_F(WorkerTest, StopDuringAPollReturnsWithinTheExchange) {
    Worker_Start(); // silent ready line: the worker is always inside a poll
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 1, 10s));
    auto start = std::chrono::steady_clock::now();
    Worker_Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(jobState.WorkerRunning.load());
    Worker_Start(); // and it can be started again
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_POLL_DONE, 2, 10s));
}

TEST_F(WorkerTest, JobIsHandedOverAndBackAndAbortFlagCleared) {
    Target(IdentifyAnswer(device::IdentifyData("T", "", 0xA0000, 0x100)));
    Worker_Start();
    ASSERT_TRUE(fake_dialog::WaitForPosted(ID_CONNECTED, 1, 10s));
    jobState.JobStatus = 0xEE;
    jobState.AbortFlag.store(1); // e.g. a click on Cancel just before: make valid does not look at it
    jobState.JobType.store(JOB_MAKE_VALID, std::memory_order_release);
    ASSERT_TRUE(WaitFor([] { return jobState.JobType.load(std::memory_order_acquire) == JOB_IDENTIFY; }));
    EXPECT_EQ(jobState.JobStatus, STATUS_OK);
    ASSERT_TRUE(WaitFor([] { return jobState.AbortFlag.load() == 0; }));
    bool sentMakeValid = false;
    for (const auto& w : fake_com::Writes())
        sentMakeValid |= device::CommandOf(w.bytes) == JOB_MAKE_VALID;
    EXPECT_TRUE(sentMakeValid);
}

TEST_F(WorkerTest, JobTypeWithoutAJobIsHandedBackNotExecuted) {
    Worker_Start();
    jobState.JobStatus = 0xEE;
    jobState.JobType.store(6, std::memory_order_release);
    ASSERT_TRUE(WaitFor([] { return jobState.JobType.load(std::memory_order_acquire) == JOB_IDENTIFY; }));
    EXPECT_EQ(jobState.JobStatus, STATUS_NOT_EXECUTED);
}

TEST(CancelHookTest, StoredInTheDialogsSlot) {
    static int calls;
    calls = 0;
    SetCancelHook([] { ++calls; });
    ASSERT_NE(pfnCancelHook, nullptr);
    pfnCancelHook();
    EXPECT_EQ(calls, 1);
    SetCancelHook(nullptr);
}

} // namespace
