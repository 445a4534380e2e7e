// The identify poll fed from a device's byte stream. Checked afterwards: the record's invariants
// (texts at most 100 bytes, Connected 0 or 1), that it holds exactly what a well-formed answer said
// or was marked lost, and that the dialog heard ID_CONNECTED, ID_CONNECTION_LOST and ID_POLL_DONE as
// it should.
//
// Input: byte 0 bit 0 says whether the target was connected before the poll; the rest is the device's
// script: [delay][length][bytes] chunks, one sent in answer to each request.
#include <cstring>
#include <vector>

#include "app/dialog.h"
#include "fuzz_line.h"
#include "link/job_state.h"
#include "link/worker.h"

namespace {

using fuzz::Check;

constexpr uint32_t IDENTIFY_TIMEOUT_MS = 100;
constexpr uint8_t OLD_TEXT = 0xEE;
constexpr uint32_t OLD_CRC = 0x1234;

void SetBefore(TargetInfo& info, void* pContext) {
    memset(&info, 0, sizeof info);
    memset(info.IdText1, OLD_TEXT, sizeof info.IdText1);
    memset(info.IdText2, OLD_TEXT, sizeof info.IdText2);
    info.IdText1Length = 7;
    info.IdText2Length = 9;
    info.Connected = *static_cast<const uint8_t*>(pContext);
    info.TargetCrc = OLD_CRC;
}

// A text as the record must hold it: the first min(sent, 100) bytes, older content behind them.
void CheckText(const uint8_t* pStored, uint8_t storedLength, const uint8_t* pSent, uint32_t sentLength) {
    const uint32_t kept = sentLength < 100 ? sentLength : 100;
    Check(storedLength == kept);
    Check(memcmp(pStored, pSent, kept) == 0);
    for (uint32_t i = kept; i < 100; ++i)
        Check(pStored[i] == OLD_TEXT);
}

// The answer's data: IdByte, IdWord (u32), T1, text 1, T2, text 2, CrcStart, CrcLength.
bool IsWellFormed(const uint8_t* pFrame) {
    const uint32_t length = pFrame[1];
    const uint8_t* pData = pFrame + 7;
    return length >= 6 && length >= 7u + pData[5] && length >= 15u + pData[5] + pData[6 + pData[5]];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pInput, size_t size) {
    if (size < 1)
        return 0;
    uint8_t wasConnected = pInput[0] & 1;
    const uint8_t* pStream = pInput + 1;
    const size_t streamSize = size - 1;
    fuzz::ResetLine();
    TargetInfo_Update(SetBefore, &wasConnected);
    fuzz::Script device{pStream, streamSize};
    fuzz::AnswerFrom(device);

    Job_Identify();
    fake_com::SetResponder(nullptr);

    // Up to three requests, each answered by whatever frame the line holds next.
    fuzz::LineModel model{{pStream, streamSize}, {}, 0};
    std::vector<uint8_t> answer;
    const bool received = model.Request(IDENTIFY_TIMEOUT_MS, &answer).Intact;
    model.CheckLine();
    const uint8_t* pFrame = answer.data();
    const bool answered = received && IsWellFormed(pFrame);

    TargetInfo info;
    TargetInfo_Copy(&info);
    Check(info.Connected == 0 || info.Connected == 1);
    Check(info.IdText1Length <= 100 && info.IdText2Length <= 100);
    const auto posted = fake_dialog::Posted();
    Check(!posted.empty() && posted.back() == ID_POLL_DONE);
    Check(fake_dialog::CountPosted(ID_POLL_DONE) == 1);
    Check(fake_dialog::CountPosted(ID_CONNECTED) == (answered ? 1 : 0));
    Check(fake_dialog::CountPosted(ID_CONNECTION_LOST) == (!answered && wasConnected ? 1 : 0));
    if (answered) {
        const uint8_t* pData = pFrame + 7;
        const uint32_t text1 = pData[5];
        const uint8_t* pText2 = pData + 7 + text1;
        const uint32_t text2 = pText2[-1];
        Check(info.Connected == 1);
        Check(info.IdCode == pFrame[6] && info.IdByte == pData[0] && info.IdWord == fuzz::U32At(pData + 1));
        CheckText(info.IdText1, info.IdText1Length, pData + 6, text1);
        CheckText(info.IdText2, info.IdText2Length, pText2, text2);
        Check(info.CrcStart == fuzz::U32At(pText2 + text2));
        Check(info.CrcLength == fuzz::U32At(pText2 + text2 + 4));
        Check(info.TargetCrc == OLD_CRC);
    } else {
        Check(info.Connected == 0);
        Check(info.TargetCrc == (wasConnected ? TARGET_CRC_UNKNOWN : OLD_CRC));
        Check(info.IdText1Length == 7 && info.IdText2Length == 9); // a rejected answer changes nothing
        for (size_t i = 0; i < 100; ++i)
            Check(info.IdText1[i] == OLD_TEXT && info.IdText2[i] == OLD_TEXT);
    }
    return 0;
}
